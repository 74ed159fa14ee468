// sorvena-cli info: show what the loader makes of torrent files.

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "cli/Display.h"
#include "metainfo/TorrentFile.h"

namespace sorvena::cli {

namespace {

struct InfoOptions {
    std::vector<std::string> files;
    bool json = false;
};

void runInfo(const InfoOptions& opts)
{
    bool first = true;
    for (const std::string& path : opts.files) {
        std::string bytes;
        std::string reason;
        if (!ReadWholeFile(path, bytes, reason)) {
            std::cout.flush();
            std::cerr << "sorvena-cli: cannot read " << TerminalText(path) << ": " << reason << "\n";
            exitStatus = 1;
            continue;
        }
        auto torrent = std::make_unique<TTorrentFile>();
        const bool ok = torrent->LoadMetainfo(bytes);
        if (!ok) exitStatus = 1;
        if (opts.json) {
            nlohmann::ordered_json j;
            j["file"] = DisplayText(path);
            j["ok"] = ok;
            j.update(TorrentToJson(*torrent));
            std::cout << j.dump() << "\n";
        } else {
            if (!first) std::cout << "\n";
            PrintTorrentSummary(path, *torrent, ok);
        }
        first = false;
    }
}

}  // namespace

void addInfoCommand(CLI::App& app)
{
    auto opts = std::make_shared<InfoOptions>();
    CLI::App* cmd = app.add_subcommand("info", "Show the contents of torrent files");
    cmd->add_option("FILE", opts->files, "Torrent files")->required();
    cmd->add_flag("--json", opts->json, "One JSON object per file and line");
    cmd->callback([opts] { runInfo(*opts); });
}

}  // namespace sorvena::cli
