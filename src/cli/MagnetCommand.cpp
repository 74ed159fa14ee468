// sorvena-cli magnet: what the magnet parser makes of a link.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "cli/Commands.h"
#include "cli/Display.h"
#include "metainfo/Magnet.h"

namespace sorvena::cli {

namespace {

struct MagnetOptions {
    std::string uri;
    bool json = false;
};

void runMagnet(const MagnetOptions& options)
{
    std::string reason;
    const std::optional<TMagnetLink> link = ParseMagnet(options.uri, &reason);
    if (options.json) {
        nlohmann::ordered_json j;
        j["ok"] = link.has_value();
        if (link) {
            j["info_hash"] = link->InfoHashHex;
            j["name"] = DisplayText(link->DisplayName);
            j["size"] = link->ExactLength < 0 ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(link->ExactLength);
            j["trackers"] = nlohmann::ordered_json::array();
            for (const std::string& tracker : link->Trackers) j["trackers"].push_back(DisplayText(tracker));
            j["peers"] = nlohmann::ordered_json::array();
            for (const std::string& peer : link->Peers) j["peers"].push_back(DisplayText(peer));
        } else {
            j["error"] = reason;
        }
        std::cout << j.dump() << "\n";
    } else if (link) {
        std::printf("info hash  %s\n", link->InfoHashHex.c_str());
        std::printf("name       %s\n", DisplayText(link->DisplayName).c_str());
        if (link->ExactLength >= 0)
            std::printf("size       %lld\n", static_cast<long long>(link->ExactLength));
        else
            std::printf("size       unknown\n");
        for (const std::string& tracker : link->Trackers) std::printf("tracker    %s\n", DisplayText(tracker).c_str());
        for (const std::string& peer : link->Peers) std::printf("peer       %s\n", DisplayText(peer).c_str());
    }
    std::fflush(stdout);
    if (!link) {
        std::fprintf(stderr, "sorvena-cli: magnet: %s\n", reason.c_str());
        exitStatus = 1;
    }
}

}  // namespace

void addMagnetCommand(CLI::App& app)
{
    auto options = std::make_shared<MagnetOptions>();
    CLI::App* cmd = app.add_subcommand("magnet", "Show what a magnet link names");
    cmd->add_option("URI", options->uri, "The magnet link (quote it for the shell)")->required();
    cmd->add_flag("--json", options->json, "One JSON object");
    cmd->callback([options] { runMagnet(*options); });
}

}  // namespace sorvena::cli
