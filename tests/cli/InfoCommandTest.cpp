// sorvena-cli info, run as a user runs it.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/CliRun.h"

namespace fs = std::filesystem;

namespace {

using sorvena::test::CliResult;
using sorvena::test::RunCli;

const fs::path TorrentDir = fs::path(SORVENA_TEST_DATA_DIR) / "torrents";

std::vector<nlohmann::json> jsonLines(const std::string& out)
{
    std::vector<nlohmann::json> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    return lines;
}

TEST(CliInfo, JsonHasExactlyTheDocumentedKeys)
{
    const CliResult r = RunCli({"info", "--json", (TorrentDir / "multi-file-tiers.torrent").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = jsonLines(r.out);
    ASSERT_EQ(lines.size(), 1u);
    const nlohmann::json& j = lines[0];

    std::vector<std::string> keys;
    for (auto it = j.begin(); it != j.end(); ++it) keys.push_back(it.key());
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<std::string>{"announce", "backup_trackers", "comment", "creation_date", "errors",
                                              "file", "file_count", "files", "info_hash", "multi_file", "name", "ok",
                                              "piece_length", "pieces", "total_size"}));
    EXPECT_EQ(j["ok"], true);
    EXPECT_EQ(j["info_hash"], "e273b3c20ca3e21b6c304b2738853bb18c314c42");
    EXPECT_EQ(j["file_count"], 3);
    EXPECT_EQ(j["multi_file"], true);
    EXPECT_EQ(j["backup_trackers"].size(), 4u);
    EXPECT_TRUE(j["creation_date"].is_number_integer());
    EXPECT_EQ(j["files"][2]["path"], (nlohmann::json{"Season 1", "Extras", "Making of.mkv"}));
    EXPECT_EQ(j["files"][2]["offset"].get<int64_t>() + j["files"][2]["size"].get<int64_t>(), j["total_size"]);
    EXPECT_EQ(j["errors"], nlohmann::json::array());
}

TEST(CliInfo, UnreadableAndBrokenFilesAreReportedAndTheRestShown)
{
    const fs::path dir = fs::temp_directory_path() / ("sorvena-cli-test-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    // Not UTF-8: the name is shown decoded as Latin-1.
    std::ofstream(dir / "latin1.torrent", std::ios::binary)
        << "d8:announce1:u4:infod6:lengthi1e4:name4:caf\xe9" "12:piece lengthi1e6:pieces0:ee";
    std::ofstream(dir / "page.torrent") << "<html>not a torrent</html>";

    const CliResult r = RunCli({"info", "--json", (dir / "missing.torrent").string(), (dir / "latin1.torrent").string(),
                                (dir / "page.torrent").string()});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("missing.torrent"), std::string::npos) << r.err;
    const auto lines = jsonLines(r.out);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["name"], "caf\xc3\xa9");
    EXPECT_EQ(lines[0]["creation_date"], nullptr);
    EXPECT_EQ(lines[1]["ok"], false);
    EXPECT_EQ(lines[1]["errors"][0], "Error parsing file; does not appear to be valid bencoded metainfo");

    const CliResult text = RunCli({"info", (dir / "latin1.torrent").string()});
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("caf\xc3\xa9"), std::string::npos);
    fs::remove_all(dir);
}

}  // namespace
