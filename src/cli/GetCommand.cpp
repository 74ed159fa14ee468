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

const char* failureText(FetchError error)
{
    switch (error) {
    case FetchError::None: return "no error";
    case FetchError::BadUrl: return "the URL names no host, a bad port, or a scheme other than http without a port";
    case FetchError::NoTls: return "https is not supported";
    case FetchError::Resolve: return "the host name did not resolve";
    case FetchError::Connect: return "the connection was refused or failed";
    case FetchError::Send: return "sending the request failed";
    case FetchError::Receive: return "a socket error while reading the response";
    case FetchError::Closed: return "the server closed the connection before the response was complete";
    case FetchError::Timeout: return "the server sent nothing within the read timeout";
    case FetchError::LineTooLong: return "a response line is longer than 16384 bytes";
    case FetchError::HeaderTooLarge: return "the response head is too large";
    case FetchError::Redirect: return "redirect (redirects are not followed)";
    case FetchError::HttpStatus: return "the server answered with an error status";
    case FetchError::BodyTooLarge: return "the body is larger than 64 MiB";
    case FetchError::ChunkTooLarge: return "a chunk size is out of range";
    case FetchError::Stopped: return "stopped";
    case FetchError::Internal: return "out of memory";
    }
    return "unknown error";
}

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
                     TerminalText(options.url).c_str(), result.attempts, failureText(result.error));
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
    get->add_option("url", options->url, "An http:// URL")->required();
    get->add_option("--attempts", options->attempts, "Attempts; 0 = until one succeeds")
        ->capture_default_str();
    get->add_option("--pause", options->pauseSeconds, "Seconds between attempts")->capture_default_str();
    get->add_option("--timeout", options->readTimeoutMs, "Read timeout in ms; 0 = none")->capture_default_str();
    get->callback([options] { runGet(*options); });
}

}  // namespace sorvena::cli
