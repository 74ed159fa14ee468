// sorvena-cli get: one GetHtml, the body on stdout. For checking a site by
// hand: the same requests, attempts and limits as a search makes.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <string>

#include "cli/Commands.h"
#include "cli/Display.h"
#include "net/IndyUtil.h"

namespace sorvena::cli {

namespace {

struct GetOptions {
    std::string url;
    int attempts = FetchAttempts;
    int pauseSeconds = FetchRetryDelay;
    int readTimeoutMs = FetchReadTimeout;
};

void runGet(const GetOptions& options)
{
    FetchOptions fetch;
    fetch.attempts = options.attempts;
    fetch.pause = std::chrono::seconds(options.pauseSeconds);
    fetch.readTimeoutMs = options.readTimeoutMs;
    std::string body;
    const FetchResult result = GetHtml(options.url, fetch, body);
    if (!result.ok) {
        std::fprintf(stderr, "sorvena-cli: get %s: every attempt failed (%d made); last: %s",
                     TerminalText(options.url).c_str(), result.attempts, FetchErrorText(result.error));
        if (!result.reason.empty()) std::fprintf(stderr, ": %s", TerminalText(result.reason).c_str());
        if (result.status >= 0) std::fprintf(stderr, " (status %d)", result.status);
        std::fputc('\n', stderr);
        exitStatus = 1;
        return;
    }
    if (std::fwrite(body.data(), 1, body.size(), stdout) != body.size() || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "sorvena-cli: get: writing the body to stdout failed\n");
        exitStatus = 1;
    }
}

}  // namespace

void addGetCommand(CLI::App& app)
{
    auto options = std::make_shared<GetOptions>();
    CLI::App* get = app.add_subcommand("get", "Fetch a URL with GetHtml and print the response body");
    get->add_option("url", options->url, "An http:// or https:// URL")->required();
    get->add_option("--attempts", options->attempts, "Attempts; 0 = until one succeeds")
        ->capture_default_str();
    get->add_option("--pause", options->pauseSeconds, "Seconds between attempts")->capture_default_str();
    get->add_option("--timeout", options->readTimeoutMs, "Read timeout in ms; 0 = the idle limit only")
        ->capture_default_str();
    get->callback([options] { runGet(*options); });
}

}  // namespace sorvena::cli
