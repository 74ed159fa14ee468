// sorvena-cli search against fixture sites named in a settings file: the
// result lines, and a timeout that stops the search and still prints them.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "support/FixtureSites.h"
#include "support/FixtureTorznab.h"

namespace sorvena::test {
namespace {

namespace fs = std::filesystem;

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

CliRun runCli(const std::string& args)
{
    const fs::path errFile = fs::temp_directory_path() / ("sorvena-search-" + std::to_string(::getpid()) + ".err");
    const std::string command = std::string("'") + SORVENA_CLI + "' " + args + " 2>'" + errFile.string() + "'";
    CliRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return run;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.out.append(buffer, n);
    run.status = ::pclose(pipe);
    std::ifstream err(errFile);
    run.err.assign(std::istreambuf_iterator<char>(err), {});
    fs::remove(errFile);
    return run;
}

std::string settingsText(const TSiteHosts& hosts)
{
    std::string text = "[View]\nOnlyHasPeers=0\n[Hosts]\n";
    for (int slot = 0; slot < SITE_COUNT; ++slot)
        if (!HostKeys[slot].empty()) text += std::string(HostKeys[slot]) + "=" + hosts.Site[static_cast<size_t>(slot)] + "\n";
    text += std::string(PirateBayImagesKey) + "=" + hosts.PirateBayImages + "\n";
    text += std::string(IsoHuntDownloadKey) + "=" + hosts.IsoHuntDownload + "\n";
    return text;
}

TEST(SearchCommand, PrintsEveryTorrentFoundAlsoWhenStoppedByTheTimeout)
{
    struct Case {
        const char* name;
        bool holdASite;
        const char* extraArgs;
        bool stopped;
    };
    const Case cases[] = {
        {"every site done", false, "", false},
        {"a site that never answers", true, "--timeout 4", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FixtureSites sites;
        sites.Add(SITE_TORRENTREACTOR).SetPages({{"t1", "t2"}, {"t3"}});
        sites.Add(SITE_BTBOT).SetPages({{"t3", "t4"}});
        if (c.holdASite) sites.Add(SITE_PIRATEBAY).HoldQuery(0);
        const fs::path settings = fs::temp_directory_path() / ("sorvena-search-" + std::to_string(::getpid()) + ".ini");
        std::ofstream(settings) << settingsText(sites.Prepare("linux", 5));

        const CliRun run = runCli("search linux --category linux --json --no-peers --settings '" + settings.string() +
                                  "' " + c.extraArgs);
        fs::remove(settings);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err.find("stopped") != std::string::npos, c.stopped) << run.err;
        std::set<std::string> hashes;
        for (size_t at = 0, end; (end = run.out.find('\n', at)) != std::string::npos; at = end + 1) {
            const auto j = nlohmann::json::parse(run.out.substr(at, end - at));
            EXPECT_EQ(j["link"].get<std::string>().rfind("http://127.0.0.1:", 0), 0u);
            EXPECT_TRUE(j["peers"].is_null());
            hashes.insert(j["info_hash"].get<std::string>());
        }
        EXPECT_EQ(hashes, (std::set<std::string>{FixtureInfoHash(1), FixtureInfoHash(2), FixtureInfoHash(3),
                                                 FixtureInfoHash(4)}));
    }
}

TEST(SearchCommand, AsksTheEndpointsOfTheSettingsFile)
{
    FixtureSites sites;
    sites.Add(SITE_TORRENTREACTOR).SetPages({{"t1"}});
    FixtureTorznab endpoint, failing, disabled;
    endpoint.SetItems({{"Two", 2, 2, false, 10, 3, 8, -1}, {"Three", -1, 3, true, 20, 1, -1, -1}});
    failing.SetSearchReply({200, TorznabErrorXml(100, "Invalid API Key"), false, ""});
    const fs::path settings = fs::temp_directory_path() / ("sorvena-torznab-" + std::to_string(::getpid()) + ".ini");
    const TSiteHosts hosts = sites.Prepare("linux", 0);
    std::ofstream(settings) << settingsText(hosts) << "[Torznab]\nLocal Jackett="
                            << endpoint.ApiUrl() << "\nBad key=" << failing.ApiUrl() << "\nOff=" << disabled.ApiUrl()
                            << "\n[TorznabDisabled]\nOff=1\n";
    const CliRun run = runCli("search linux --json --no-peers --settings '" + settings.string() + "'");
    fs::remove(settings);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("Bad key: wrong API key (error 100: Invalid API Key)\n"), std::string::npos) << run.err;
    EXPECT_TRUE(disabled.Server().Targets().empty());
    std::map<std::string, nlohmann::json> byHash;
    for (size_t at = 0, end; (end = run.out.find('\n', at)) != std::string::npos; at = end + 1) {
        const auto j = nlohmann::json::parse(run.out.substr(at, end - at));
        byHash[j["info_hash"].get<std::string>()] = j;
    }
    ASSERT_EQ(byHash.size(), 3u) << run.out;
    const auto& one = byHash[FixtureInfoHash(1)];
    EXPECT_EQ(one["source"], hosts.Site[SITE_TORRENTREACTOR]) << "the host of a catalogue site's link";
    EXPECT_EQ(one["magnet"].get<std::string>().rfind("magnet:?xt=urn:btih:" + FixtureInfoHash(1), 0), 0u);
    const auto& two = byHash[FixtureInfoHash(2)];
    EXPECT_EQ(two["source"], "Local Jackett");
    EXPECT_EQ(two["source_peers"], 8);
    EXPECT_EQ(two["file_count"], 1);
    const auto& three = byHash[FixtureInfoHash(3)];
    EXPECT_EQ(three["source"], "Local Jackett");
    EXPECT_EQ(three["magnet"], FixtureMagnet(3));
    EXPECT_EQ(three["name"], "fixture-torrent-3.iso");
    EXPECT_TRUE(three["files"].empty());
}

}  // namespace
}  // namespace sorvena::test
