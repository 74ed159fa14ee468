// sorvena-cli peers: the peer check of the window's Check Peers command, for
// torrent files on disk. One check per torrent, a few dozen at a time; a
// line per torrent as its check ends.

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "cli/Display.h"
#include "metainfo/TorrentFile.h"
#include "worker/ConsoleMessages.h"
#include "tracker/CheckPingThread.h"
#include "tracker/UdpTracker.h"
#include "base/AsciiCase.h"

namespace sorvena::cli {

namespace {

// Checks asking their trackers at one time; the others wait their turn.
constexpr size_t PeerChecksAtOnce = 64;

struct PeersOptions {
    std::vector<std::string> files;
    int recheckSeconds = static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(PeerRecheckWait).count());
    double timeoutSeconds = 0;  // 0 = until every check has ended
};

// The check asks every tracker; those of other schemes (wss://, dht://) give
// no answer.
bool hasAskableTracker(const TTorrentFile& torrent)
{
    for (const std::string& url : PeerCheckTrackers(torrent)) {
        if (AsciiStartsWithNoCase(url, "http://") || AsciiStartsWithNoCase(url, "https://") || IsUdpTrackerUrl(url))
            return true;
    }
    return false;
}

// Everything the lines are written from, shared with the receiving thread.
struct Output {
    std::mutex mutex;
    std::map<std::string, std::string> names;  // info hash text → name shown
    std::map<std::string, int> reported;       // info hash text → reports seen

    void line(std::FILE* stream, const std::string& text)
    {
        std::lock_guard lock(mutex);
        std::fputs(text.c_str(), stream);
        std::fflush(stream);
    }
};

void runPeers(const PeersOptions& options)
{
    auto output = std::make_shared<Output>();
    TConsoleMessages::Handlers handlers;
    handlers.peerCount = [output](std::string_view hash, int32_t count) {
        std::string name;
        {
            std::lock_guard lock(output->mutex);
            ++output->reported[std::string(hash)];
            name = output->names[std::string(hash)];
        }
        output->line(stdout, std::string(hash) + "  " + std::to_string(count) + (count == 1 ? " peer   " : " peers  ") +
                                 name + "\n");
    };
    auto messages = std::make_shared<TConsoleMessages>(std::move(handlers));

    PeerCheckOptions checkOptions;
    checkOptions.recheckWait = std::chrono::seconds(options.recheckSeconds);
    std::vector<std::shared_ptr<TCheckPingThread>> checks;
    for (const std::string& path : options.files) {
        std::string bytes;
        std::string reason;
        if (!ReadWholeFile(path, bytes, reason)) {
            output->line(stderr, "sorvena-cli: cannot read " + TerminalText(path) + ": " + reason + "\n");
            exitStatus = 1;
            continue;
        }
        TTorrentFile torrent;
        torrent.LoadMetainfo(bytes);
        if (torrent.InfoHashHex.empty()) {
            output->line(stderr, "sorvena-cli: " + TerminalText(path) + ": not a torrent file (no info dictionary)\n");
            exitStatus = 1;
            continue;
        }
        if (!hasAskableTracker(torrent)) {
            const bool none = torrent.AnnounceUrl.empty() && torrent.BackupTrackers.empty();
            const std::string why = none ? "the torrent lists no tracker"
                                          : "the torrent lists no http://, https:// or udp:// tracker";
            output->line(stderr, "sorvena-cli: " + TerminalText(path) + ": no usable tracker: " + why + "\n");
            exitStatus = 1;
            continue;
        }
        {
            std::lock_guard lock(output->mutex);
            output->names[torrent.InfoHashHex] = TerminalText(torrent.TorrentName.empty() ? path : torrent.TorrentName);
        }
        checks.push_back(TCheckPingThread::Create(torrent, messages, checkOptions));
    }
    // At most PeerChecksAtOnce checks ask at a time, the next starting as the
    // oldest ends: a thousand torrent files would otherwise open more sockets
    // than a process may, and every tracker would seem not to answer.
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<int64_t>(options.timeoutSeconds * 1000));
    bool timedOut = false;
    const auto waitEnded = [&](TCheckPingThread& check) {
        if (options.timeoutSeconds <= 0) {
            check.WaitEnded();
            return true;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        return check.WaitEnded(std::max(left, std::chrono::milliseconds::zero()));
    };
    std::deque<std::shared_ptr<TCheckPingThread>> running;
    std::vector<std::shared_ptr<TCheckPingThread>> started;
    std::map<std::string, int> cutShort;  // info hash text -> checks the timeout ended or kept from starting
    for (const auto& check : checks) {
        while (!timedOut && running.size() >= PeerChecksAtOnce) {
            if (waitEnded(*running.front()))
                running.pop_front();
            else
                timedOut = true;  // it stays in running, to be ended below
        }
        if (timedOut) {
            // --timeout passed before its turn: no count, as for one cut short.
            ++cutShort[check->InfoHashHex()];
            started.push_back(check);
            continue;
        }
        try {
            check->Start();
        } catch (const std::exception& e) {
            // A worker that never started never ends: it is not waited for.
            std::string name;
            {
                std::lock_guard lock(output->mutex);
                name = output->names[check->InfoHashHex()];
            }
            output->line(stderr, "sorvena-cli: " + check->InfoHashHex() + " (" + name +
                                     "): no count: the check could not start: " + e.what() + "\n");
            exitStatus = 1;
            continue;
        }
        running.push_back(check);
        started.push_back(check);
    }
    while (!timedOut && !running.empty()) {
        if (waitEnded(*running.front()))
            running.pop_front();
        else
            timedOut = true;
    }
    // --timeout ends the checks still asking as Stop would: without a count.
    if (timedOut) {
        for (const auto& check : running) {
            if (check->Ended()) continue;
            ++cutShort[check->InfoHashHex()];
            check->Terminate();
        }
        // A fetch ends within about 100 ms of the stop.
        for (const auto& check : running) check->WaitEnded();
    }
    // Ended is set inside the run; let the threads finish leaving too.
    TWorkerThread::WaitForAll(std::chrono::seconds(10));

    // A check that ended without a report met a tracker reply it could not
    // trust; the window leaves such a torrent's count blank.
    std::map<std::string, int> checksOf;
    for (const auto& check : started) ++checksOf[check->InfoHashHex()];
    std::lock_guard lock(output->mutex);
    for (const auto& [hash, count] : checksOf) {
        if (output->reported[hash] >= count) continue;
        const std::string why = cutShort[hash] > 0 ? "the trackers were still being asked when --timeout passed"
                                                   : "the tracker's peer list is malformed";
        std::fputs(("sorvena-cli: " + hash + " (" + output->names[hash] + "): no count: " + why + "\n").c_str(),
                   stderr);
        exitStatus = 1;
    }
}

}  // namespace

void addPeersCommand(CLI::App& app)
{
    auto options = std::make_shared<PeersOptions>();
    CLI::App* cmd = app.add_subcommand("peers", "Count the distinct peers the trackers of torrent files hand out");
    cmd->add_option("FILE", options->files, "Torrent files")->required();
    cmd->add_option("--recheck", options->recheckSeconds,
                    "Seconds to wait before asking a tracker again while its answers bring new peers")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    cmd->add_option("--timeout", options->timeoutSeconds,
                    "End the checks still asking after this many seconds (they print no count); 0 = no limit")
        ->check(CLI::Range(0.0, 1e6));
    cmd->callback([options] { runPeers(*options); });
}

}  // namespace sorvena::cli
