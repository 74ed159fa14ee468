// sorvena-cli search: a whole search with the window's workers, the result
// list printed at the end.

#include <CLI/CLI.hpp>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/Commands.h"
#include "cli/Display.h"
#include "metainfo/Magnet.h"
#include "net/IndyUtil.h"
#include "settings/IniFile.h"
#include "settings/TorznabEndpoints.h"
#include "search/SearchSession.h"
#include "search/SearchUtil.h"
#include "base/StringUtil.h"
#include "base/AsciiCase.h"

namespace sorvena::cli {

namespace {

using Clock = std::chrono::steady_clock;

struct SearchOptions {
    std::string keyword;
    std::string category = "All";
    bool json = false;
    bool noPeers = false;
    bool noFiles = false;
    double timeoutSeconds = 0;
    std::string settings;
};

std::atomic<bool> interrupted{false};

extern "C" void onInterrupt(int)
{
    interrupted = true;
}

std::optional<int> categoryIndex(const std::string& text)
{
    for (int i = 0; i < CategoryCount; ++i) {
        if (AsciiEqualsNoCase(CategoryNames[i], text)) return i;
    }
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos && text.size() <= 2) {
        const int index = std::stoi(text);
        if (index < CategoryCount) return index;
    }
    return std::nullopt;
}

// "12 torrents, 30 files found; still searching: Google, BTBot; failed:
// isoHunt (name not resolved)". Torznab endpoints follow the catalogue's
// slots, each with the reason it failed.
std::string progressLine(const TSearchSession& session, const TSearchSession::Progress& p)
{
    std::string busy, failed;
    for (size_t i = 0; i < p.busy.size(); ++i) {
        const int site = static_cast<int>(i);
        const std::string name = TerminalText(session.SiteName(site));
        if (p.busy[i]) {
            busy += (busy.empty() ? "" : ", ") + name;
        } else if (i < SITE_COUNT) {
            if (p.started[i] && p.sites[i].Unreachable())
                failed += (failed.empty() ? "" : ", ") + name + " (" +
                          FetchFailureBrief(p.sites[i].Error, p.sites[i].Status, p.sites[i].Reason) + ")";
        } else if (const std::string why = session.SiteFailure(site); !why.empty()) {
            failed += (failed.empty() ? "" : ", ") + name + " (" + TerminalText(why) + ")";
        }
    }
    std::string line = std::to_string(p.torrents) + " torrents, " + std::to_string(p.files) + " files found";
    if (!busy.empty()) line += "; still searching: " + busy;
    if (!failed.empty()) line += "; failed: " + failed;
    return line;
}

// Shows progress on stderr until the search ends, the deadline passes or the
// user interrupts; true when it ended on its own.
bool follow(TSearchSession& session, std::optional<Clock::time_point> deadline)
{
    const bool tty = ::isatty(STDERR_FILENO) != 0;
    std::string shown;
    for (;;) {
        auto wake = Clock::now() + std::chrono::milliseconds(250);
        if (deadline && *deadline < wake) wake = *deadline;
        const bool finished = session.WaitFinished(wake);
        const std::string line = progressLine(session, session.GetProgress());
        if (line != shown) {
            if (tty)
                std::fprintf(stderr, "\r\033[K%s", line.c_str());
            else
                std::fprintf(stderr, "%s\n", line.c_str());
            shown = line;
        }
        if (finished || interrupted || (deadline && Clock::now() >= *deadline)) {
            if (tty) std::fputc('\n', stderr);
            return finished;
        }
    }
}

// Where a torrent came from: the endpoint's name, or the host of its link.
std::string sourceOf(const TTorrentEx& t)
{
    return t.Source.empty() ? GetUrlHost(t.LinkUrl) : t.Source;
}

void printTable(const TSearchSession& session)
{
    std::printf("%6s  %10s  %5s  %-20s  %s\n", "Peers", "Size", "Files", "Site", "Name");
    session.ForEachResult([](const TTorrentEx& t) {
        const int32_t shown = t.PeerCount >= 0 ? t.PeerCount : t.SourcePeers;
        const std::string peers = shown < 0 ? "?" : std::to_string(shown);
        const std::string files = t.IsMagnet() ? "?" : std::to_string(t.SubFiles.size());
        std::printf("%6s  %10s  %5s  %-20s  %s\n", peers.c_str(), SizeToText(t.TotalSize).c_str(), files.c_str(),
                    TerminalText(sourceOf(t)).c_str(), TerminalText(t.TorrentName).c_str());
    });
}

void runSearch(const SearchOptions& options)
{
    const std::optional<int> category = categoryIndex(options.category);
    if (!category) {
        std::fprintf(stderr, "sorvena-cli: search: unknown category %s\n", TerminalText(options.category).c_str());
        exitStatus = 2;
        return;
    }
    TSiteHosts hosts = TSiteHosts::Defaults();
    std::vector<TTorznabEndpoint> endpoints;
    if (!options.settings.empty()) {
        TIniFile settings;
        std::string reason;
        if (!settings.LoadFromFile(options.settings, reason)) {
            std::fprintf(stderr, "sorvena-cli: search: cannot read %s: %s\n", TerminalText(options.settings).c_str(),
                         TerminalText(reason).c_str());
            exitStatus = 2;
            return;
        }
        hosts.ReadOverrides(settings);
        endpoints = ReadTorznabEndpoints(settings);
    }
    TIniOptions settings;
    settings.AutoCheckPeer = !options.noPeers;
    settings.AutoFetchFiles = !options.noFiles;

    std::optional<Clock::time_point> deadline;
    if (options.timeoutSeconds > 0)
        deadline = Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(options.timeoutSeconds * 1000));
    std::signal(SIGINT, onInterrupt);

    TSearchSession session(hosts, settings, endpoints);
    session.BeginSearch(options.keyword, *category);
    if (!follow(session, deadline)) {
        std::fprintf(stderr, "sorvena-cli: search stopped; showing what was found so far\n");
        session.StopSearch();
    } else if ((!options.noPeers || !options.noFiles) && !interrupted) {
        // The search is over; the peer checks and file-list fetches it
        // started may still be asking.
        std::fprintf(stderr, "waiting for %s...\n",
                     options.noFiles ? "peer counts" : options.noPeers ? "file lists" : "peer counts and file lists");
        while (!session.WaitForWorkers(std::chrono::milliseconds(250)) && !interrupted &&
               !(deadline && Clock::now() >= *deadline)) {
        }
    }
    session.TerminateWorkers();
    // Every fetch ends within about 100 ms of the stop.
    if (!session.WaitForWorkers(std::chrono::seconds(5)))
        std::fprintf(stderr, "sorvena-cli: search: some workers did not end\n");
    std::signal(SIGINT, SIG_DFL);

    const auto progress = session.GetProgress();
    if (options.json) {
        session.ForEachResult([](const TTorrentEx& t) {
            nlohmann::ordered_json j = TorrentToJson(t);
            j["link"] = DisplayText(t.LinkUrl);
            j["peers"] = t.PeerCount < 0 ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(t.PeerCount);
            j["magnet"] = DisplayText(EntryMagnetUri(t));
            j["source"] = DisplayText(sourceOf(t));
            j["source_peers"] =
                t.SourcePeers < 0 ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(t.SourcePeers);
            std::cout << j.dump() << "\n";
        });
        std::cout.flush();
    } else {
        printTable(session);
        std::fflush(stdout);
    }
    for (size_t site = 0; site < progress.busy.size(); ++site) {
        const std::string failure = session.SiteFailure(static_cast<int>(site));
        if (!failure.empty())
            std::fprintf(stderr, "%s: %s\n", TerminalText(session.SiteName(static_cast<int>(site))).c_str(),
                         TerminalText(failure).c_str());
    }
    // Magnet entries still without files say why (the list's lock is not
    // held while the reasons are asked for).
    std::vector<std::pair<std::string, std::string>> magnets;  // name, info hash
    session.ForEachResult([&](const TTorrentEx& t) {
        if (t.IsMagnet()) magnets.emplace_back(t.TorrentName, t.InfoHashHex);
    });
    for (const auto& [name, hash] : magnets)
        if (const std::string why = session.FileListFailure(hash); !why.empty())
            std::fprintf(stderr, "%s: no file list: %s\n", TerminalText(name).c_str(), TerminalText(why).c_str());
    std::fprintf(stderr, "%d torrents and %d files found.\n", progress.torrents, progress.files);
}

}  // namespace

void addSearchCommand(CLI::App& app)
{
    auto options = std::make_shared<SearchOptions>();
    CLI::App* cmd = app.add_subcommand("search", "Search every site for torrents matching a keyword");
    cmd->add_option("KEYWORD", options->keyword, "What to search for")->required();
    cmd->add_option("--category", options->category, "Category name (All, Adult, Anime, Application, Game, Linux, "
                                                      "Macintosh, Misc, Movies, Music, \"Series & TV\", Other) "
                                                      "or index 0-11")
        ->capture_default_str();
    cmd->add_flag("--json", options->json, "One JSON object per torrent and line");
    cmd->add_flag("--no-peers", options->noPeers, "Do not ask the trackers for peer counts");
    cmd->add_flag("--no-files", options->noFiles, "Do not fetch the file lists of magnet results from the swarm");
    cmd->add_option("--timeout", options->timeoutSeconds, "Stop after this many seconds and show what was found")
        ->check(CLI::NonNegativeNumber);
    cmd->add_option("--settings", options->settings,
                    "Settings file with a [Hosts] section of host overrides and a [Torznab] section of endpoints");
    cmd->callback([options] { runSearch(*options); });
}

}  // namespace sorvena::cli
