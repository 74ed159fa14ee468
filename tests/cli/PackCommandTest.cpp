// sorvena-cli pack and list, run as a script runs them.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/CliRun.h"

namespace fs = std::filesystem;

namespace {

using sorvena::test::CliResult;
using sorvena::test::RunCli;

const fs::path TorrentDir = fs::path(SORVENA_TEST_DATA_DIR) / "torrents";

}  // namespace

TEST(CliPack, PackThenListGivesTheTorrentsBack)
{
    const fs::path dir = fs::temp_directory_path() / ("sorvena-cli-pack-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path vrk = dir / "out.vrk";

    CliResult r = RunCli({"pack", vrk.string(), (TorrentDir / "multi-file-tiers.torrent").string(),
                          (TorrentDir / "non-ascii-names.torrent").string(), "--keyword", "first second", "--category",
                          "8"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = RunCli({"list", "--json", vrk.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["comment"], "8;first second");
    EXPECT_EQ(j["category"], 8);
    EXPECT_EQ(j["keyword"], "first second");
    ASSERT_EQ(j["members"].size(), 2u);
    EXPECT_EQ(j["members"][0]["member"], "multi.torrent");
    EXPECT_EQ(j["members"][0]["info_hash"], "e273b3c20ca3e21b6c304b2738853bb18c314c42");

    // Failures: a missing input writes nothing; an out-of-range category is refused.
    const fs::path none = dir / "none.vrk";
    EXPECT_NE(RunCli({"pack", none.string(), (dir / "missing.torrent").string()}).status, 0);
    EXPECT_NE(RunCli({"pack", none.string(), (TorrentDir / "single-file.torrent").string(), "--category", "12"}).status,
              0);
    // A file whose load stopped after the name ("files" is an integer) has
    // no info hash: it is no torrent, and nothing is written.
    const fs::path noHash = dir / "no-hash.torrent";
    std::ofstream(noHash, std::ios::binary)
        << "d8:announce3:url4:infod5:filesi1e4:name7:no hash12:piece lengthi16384e6:pieces0:ee";
    const CliResult refused =
        RunCli({"pack", none.string(), (TorrentDir / "single-file.torrent").string(), noHash.string()});
    EXPECT_NE(refused.status, 0);
    EXPECT_NE(refused.err.find("no-hash.torrent is not a torrent"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(none));
    EXPECT_NE(RunCli({"list", (TorrentDir / "single-file.torrent").string()}).status, 0);  // not a ZIP archive
    fs::remove_all(dir);
}
