// sorvena-cli search against fixture sites named in a settings file: the
// result lines, and a timeout that stops the search and still prints them.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

#include "support/FixtureSites.h"

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

TEST(SearchCommand, ProgressNamesTheSitesThatFailedAndWhy)
{
    FixtureSites sites;
    sites.Add(SITE_TORRENTREACTOR).SetPages({{"t1"}});
    sites.SetHost(SITE_ISOHUNT, DeadHost());
    FixtureServer missing([](const std::string&) { return FixtureServer::Reply{404, "gone"}; });
    sites.SetHost(SITE_GOOGLE, missing.Host());
    const fs::path settings = fs::temp_directory_path() / ("sorvena-failed-" + std::to_string(::getpid()) + ".ini");
    std::ofstream(settings) << settingsText(sites.Prepare("linux", 0));
    const CliRun run = runCli("search linux --no-peers --settings '" + settings.string() + "'");
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
