// sorvena-cli metadata: the torrent of a magnet link, fetched from its swarm
// as the window fetches a magnet result's file list.

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <string>

#include "cli/Commands.h"
#include "cli/Display.h"
#include "metainfo/Magnet.h"
#include "metainfo/TorrentEx.h"
#include "results/ResultsFile.h"
#include "swarm/MetadataFetch.h"

namespace sorvena::cli {

namespace {

struct MetadataOptions {
    std::string uri;
    std::string output;
    bool json = false;
    double timeoutSeconds = 0;  // 0 = the fetch's own limit
};

// The bytes to write: the writer's rebuilt file, as Save Torrent writes it,
// unless the info dictionary held keys the model does not keep (private,
// source...): then the rebuilt file would name another torrent, and the
// torrent as fetched is written instead.
std::string torrentBytes(const MetadataFetchResult& result)
{
    std::string rebuilt = WriteMetainfo(*result.Torrent);
    TTorrentFile check;
    if (check.LoadMetainfo(rebuilt) && check.InfoHashHex == result.Torrent->InfoHashHex) return rebuilt;
    return result.Metainfo;
}

void runMetadata(const MetadataOptions& options)
{
    std::string reason;
    const std::optional<TMagnetLink> link = ParseMagnet(options.uri, &reason);
    if (!link) {
        std::fprintf(stderr, "sorvena-cli: metadata: %s\n", TerminalText(reason).c_str());
        exitStatus = 1;
        return;
    }
    const std::unique_ptr<TTorrentEx> entry = MakeMagnetEntry(*link, options.uri);
    MetadataFetchOptions fetchOptions;
    if (options.timeoutSeconds > 0)
        fetchOptions.limit = std::chrono::milliseconds(static_cast<int64_t>(options.timeoutSeconds * 1000));
    const MetadataFetchResult result = FetchMagnetMetadata(*entry, fetchOptions);
    if (!result.Torrent) {
        std::fprintf(stderr, "sorvena-cli: metadata %s: %s (%zu peers found, %zu asked)\n", link->InfoHashHex.c_str(),
                     TerminalText(result.Reason).c_str(), result.PeersFound, result.PeersAsked);
        exitStatus = 1;
        return;
    }
    if (!options.output.empty()) {
        try {
            WriteFileAtomically(options.output, torrentBytes(result));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "sorvena-cli: metadata: cannot write %s: %s\n", TerminalText(options.output).c_str(),
                         TerminalText(e.what()).c_str());
            exitStatus = 1;
        }
        return;
    }
    if (options.json) {
        nlohmann::ordered_json j;
        j["magnet"] = DisplayText(options.uri);
        j["ok"] = true;
        j.update(TorrentToJson(*result.Torrent));
        std::cout << j.dump() << "\n";
    } else {
        PrintTorrentSummary(options.uri, *result.Torrent, true);
    }
    std::cout.flush();
}

}  // namespace

void addMetadataCommand(CLI::App& app)
{
    auto options = std::make_shared<MetadataOptions>();
    CLI::App* cmd = app.add_subcommand("metadata", "Fetch the torrent of a magnet link from its peers");
    cmd->add_option("MAGNET", options->uri, "The magnet link (quote it for the shell)")->required();
    cmd->add_option("-o,--output", options->output, "Write the torrent file here instead of showing it");
    cmd->add_flag("--json", options->json, "Show it as `info --json` does");
    cmd->add_option("--timeout", options->timeoutSeconds,
                    "Give up after this many seconds; 0 = the fetch's own limit (120)")
        ->check(CLI::Range(0.0, 1e6));
    cmd->callback([options] { runMetadata(*options); });
}

}  // namespace sorvena::cli
