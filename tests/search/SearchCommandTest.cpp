// sorvena-cli search against fixture sites named in a settings file: the
// result lines, and a search stopped by Ctrl-C or by its timeout that still
// prints what it found.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>

#include "support/CliRun.h"
#include "support/FixtureSites.h"
#include "support/FixtureTorznab.h"
#include "support/Waits.h"

namespace sorvena::test {
namespace {

namespace fs = std::filesystem;

std::string settingsText(const TSiteHosts& hosts)
{
    std::string text = "[View]\nOnlyHasPeers=0\n[Hosts]\n";
    for (int slot = 0; slot < SITE_COUNT; ++slot)
        if (!HostKeys[slot].empty()) text += std::string(HostKeys[slot]) + "=" + hosts.Site[static_cast<size_t>(slot)] + "\n";
    text += std::string(PirateBayImagesKey) + "=" + hosts.PirateBayImages + "\n";
    text += std::string(IsoHuntDownloadKey) + "=" + hosts.IsoHuntDownload + "\n";
    return text;
}

// The torrents the search reported at its end ("N torrents and M files found.").
int reportedTorrents(const std::string& err)
{
    std::smatch match;
    static const std::regex report("(\\d+) torrents and \\d+ files found\\.");
    return std::regex_search(err, match, report) ? std::stoi(match[1]) : -1;
}

TEST(SearchCommand, PrintsEveryTorrentFoundAlsoWhenStopped)
{
    enum class Ending { SitesDone, CtrlC, Timeout };
    struct Case {
        const char* name;
        Ending ending;
    };
    const Case cases[] = {
        {"every site done", Ending::SitesDone},
        // A site that never answers keeps the search going until it is
        // stopped: by Ctrl-C once all four torrents have arrived, or by the
        // timeout with whatever has arrived by then.
        {"Ctrl-C", Ending::CtrlC},
        {"the timeout", Ending::Timeout},
    };
    const std::set<std::string> all = {FixtureInfoHash(1), FixtureInfoHash(2), FixtureInfoHash(3),
                                       FixtureInfoHash(4)};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FixtureSites sites;
        // Torrent 3 on both sites. BTBot's page starts with a torrent only it
        // has: whichever site hands 3 over first, the other's scan goes on.
        sites.Add(SITE_TORRENTREACTOR).SetPages({{"t1", "t2"}, {"t3"}});
        sites.Add(SITE_BTBOT).SetPages({{"t4", "t3"}});
        if (c.ending != Ending::SitesDone) sites.Add(SITE_PIRATEBAY).HoldQuery(0);
        const fs::path settings = fs::temp_directory_path() / ("sorvena-search-" + std::to_string(::getpid()) + ".ini");
        std::ofstream(settings) << settingsText(sites.Prepare("linux", 5));

        std::vector<std::string> args = {"search", "linux", "--category", "linux", "--json", "--no-peers",
                                         "--settings", settings.string()};
        if (c.ending == Ending::Timeout) args.insert(args.end(), {"--timeout", "1"});
        ChildProcess cli = StartCli(args);
        if (c.ending == Ending::CtrlC) {
            // The progress line on stderr says when the four have arrived.
            EXPECT_TRUE(cli.WaitForErr("4 torrents, 4 files found", EventWaitCap)) << cli.Err();
            cli.Signal(SIGINT);
        }
        const CliResult run = cli.Finish();
        fs::remove(settings);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err.find("stopped") != std::string::npos, c.ending != Ending::SitesDone) << run.err;
        std::set<std::string> hashes;
        size_t lines = 0;
        for (size_t at = 0, end; (end = run.out.find('\n', at)) != std::string::npos; at = end + 1, ++lines) {
            const auto j = nlohmann::json::parse(run.out.substr(at, end - at));
            EXPECT_EQ(j["link"].get<std::string>().rfind("http://127.0.0.1:", 0), 0u);
            EXPECT_TRUE(j["peers"].is_null());
            hashes.insert(j["info_hash"].get<std::string>());
        }
        EXPECT_EQ(static_cast<int>(lines), reportedTorrents(run.err)) << run.err;
        EXPECT_EQ(hashes.size(), lines) << "a torrent printed twice";
        if (c.ending == Ending::Timeout) {
            // How many arrived within the second depends on the machine;
            // each of them is printed.
            for (const std::string& hash : hashes) EXPECT_EQ(all.count(hash), 1u) << hash;
        } else {
            EXPECT_EQ(hashes, all);
        }
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
    const CliResult run = RunCli({"search", "linux", "--json", "--no-peers", "--settings", settings.string()});
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

TEST(SearchCommand, MagnetResultsAreResolvedUnlessAskedNotTo)
{
    // No peer serves FixtureMagnet(3) (its tracker is a closed port), so the
    // fetch fails and the list says why, or no fetch runs at all.
    FixtureSites sites;  // every catalogue slot on 127.0.0.1, none with results
    FixtureTorznab endpoint;
    endpoint.SetItems({{"Three", -1, 3, true, 20, 1, -1, -1}});
    const fs::path settings = fs::temp_directory_path() / ("sorvena-files-" + std::to_string(::getpid()) + ".ini");
    std::ofstream(settings) << settingsText(sites.Prepare("linux", 0)) << "[Torznab]\nLocal Jackett=" << endpoint.ApiUrl()
                            << "\n";
    struct Case {
        std::vector<std::string> flags;
        bool fetched;
    };
    const Case cases[] = {{{"--no-peers"}, true}, {{"--no-peers", "--no-files"}, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flags.size());
        std::vector<std::string> args = {"search", "linux", "--settings", settings.string()};
        args.insert(args.end(), c.flags.begin(), c.flags.end());
        const CliResult run = RunCli(args);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err.find("fixture-torrent-3.iso: no file list: ") != std::string::npos, c.fetched) << run.err;
        EXPECT_EQ(run.err.find("waiting for file lists...") != std::string::npos, c.fetched) << run.err;
        EXPECT_NE(run.out.find("fixture-torrent-3.iso"), std::string::npos) << run.out;
    }
    fs::remove(settings);
}

TEST(SearchCommand, ProgressNamesTheSitesThatFailedAndWhy)
{
    FixtureSites sites;
    sites.Add(SITE_TORRENTREACTOR).SetPages({{"t1"}});
    sites.SetHost(SITE_ISOHUNT, DeadHost());
    FixtureServer missing([](const std::string&) { return FixtureServer::Reply{404, "gone"}; });
    sites.SetHost(SITE_GOOGLE, missing.Host());
    const fs::path settings = fs::temp_directory_path() / ("sorvena-failed-" + std::to_string(::getpid()) + ".ini");
    std::ofstream(settings) << settingsText(sites.Prepare("linux", 0));
    const CliResult run = RunCli({"search", "linux", "--no-peers", "--settings", settings.string()});
    fs::remove(settings);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("; failed: "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("isoHunt (connection refused)"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("Google (HTTP status 404)"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("TorrentReactor ("), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("1 torrents and 1 files found."), std::string::npos) << run.err;
}

}  // namespace
}  // namespace sorvena::test
