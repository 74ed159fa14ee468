// sorvena-cli pack and list, run as a script runs them.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const fs::path TorrentDir = fs::path(SORVENA_TEST_DATA_DIR) / "torrents";

struct Result {
    int status = -1;
    std::string out;
};

Result runCli(const std::string& args)
{
    Result r;
    FILE* pipe = popen((std::string("'") + SORVENA_CLI + "' " + args + " 2>/dev/null").c_str(), "r");
    if (!pipe) return r;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) r.out.append(buf, n);
    const int raw = pclose(pipe);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return r;
}

std::string q(const fs::path& p) { return "'" + p.string() + "' "; }

}  // namespace

TEST(CliPack, PackThenListGivesTheTorrentsBack)
{
    const fs::path dir = fs::temp_directory_path() / ("sorvena-cli-pack-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path vrk = dir / "out.vrk";

    Result r = runCli("pack " + q(vrk) + q(TorrentDir / "multi-file-tiers.torrent") +
                      q(TorrentDir / "non-ascii-names.torrent") + "--keyword 'first second' --category 8");
    ASSERT_EQ(r.status, 0);
    r = runCli("list --json " + q(vrk));
    ASSERT_EQ(r.status, 0);
    const nlohmann::json j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["comment"], "8;first second");
    EXPECT_EQ(j["category"], 8);
    EXPECT_EQ(j["keyword"], "first second");
    ASSERT_EQ(j["members"].size(), 2u);
    EXPECT_EQ(j["members"][0]["member"], "multi.torrent");
    EXPECT_EQ(j["members"][0]["info_hash"], "e273b3c20ca3e21b6c304b2738853bb18c314c42");

    // Failures: a missing input writes nothing; an out-of-range category is refused.
    const fs::path none = dir / "none.vrk";
    EXPECT_NE(runCli("pack " + q(none) + q(dir / "missing.torrent")).status, 0);
    EXPECT_NE(runCli("pack " + q(none) + q(TorrentDir / "single-file.torrent") + "--category 12").status, 0);
    EXPECT_FALSE(fs::exists(none));
    EXPECT_NE(runCli("list " + q(TorrentDir / "single-file.torrent")).status, 0);  // not a ZIP archive
    fs::remove_all(dir);
}
