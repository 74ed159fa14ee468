// Torrents made by real clients: our info hash, sizes and file lists must
// agree with what those tools report.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>

#include "support/Shell.h"
#include "metainfo/TorrentEx.h"

using namespace sorvena;
namespace fs = std::filesystem;

using namespace sorvena::test;

namespace {

const fs::path TorrentDir = fs::path(SORVENA_TEST_DATA_DIR) / "torrents";

std::string hashFromTransmissionShow(const fs::path& torrent)
{
    std::istringstream lines(RunCommand("transmission-show '" + torrent.string() + "'"));
    for (std::string line; std::getline(lines, line);)
        if (auto at = line.find("Hash: "); at != std::string::npos && line.find("  Hash:") == 0)
            return line.substr(at + 6, 40);
    return {};
}

TEST(RealTorrents, ShippedFixturesMatchTheirMakers)
{
    std::ifstream expected(TorrentDir / "expected.txt");
    ASSERT_TRUE(expected) << "missing expected.txt";
    int seen = 0;
    for (std::string line; std::getline(expected, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string file, hash;
        int32_t fileCount = 0;
        int64_t totalSize = 0;
        int rebuiltKeepsHash = 0;
        fields >> file >> hash >> fileCount >> totalSize >> rebuiltKeepsHash;
        SCOPED_TRACE(file);
        ++seen;

        TTorrentEx t;
        ASSERT_TRUE(t.LoadMetainfo(ReadAll(TorrentDir / file)));
        EXPECT_TRUE(t.LoadErrors.empty());
        EXPECT_EQ(t.InfoHashHex, hash);
        EXPECT_EQ(t.FileCount, fileCount);
        EXPECT_EQ(t.TotalSize, totalSize);

        // Only a torrent whose info holds exactly the keys we write keeps its hash.
        TTorrentEx rebuilt;
        ASSERT_TRUE(rebuilt.LoadMetainfo(WriteMetainfo(t)));
        EXPECT_EQ(rebuilt.InfoHashHex == t.InfoHashHex, rebuiltKeepsHash == 1);
        EXPECT_EQ(rebuilt.TotalSize, t.TotalSize);
        EXPECT_EQ(rebuilt.FileCount, t.FileCount);
    }
    EXPECT_EQ(seen, 5);

    TTorrentEx tiers;
    tiers.LoadMetainfo(ReadAll(TorrentDir / "multi-file-tiers.torrent"));
    EXPECT_EQ(tiers.BackupTrackers,
              (std::vector<std::string>{"http://t1.example/announce", "http://t1b.example/announce",
                                        "http://t2.example/announce", "udp://t3.example:6969/announce"}));
    ASSERT_EQ(tiers.SubFiles.size(), 3u);
    EXPECT_EQ(tiers.SubFiles[2].DirPath, "Season 1\\Extras\\");
    EXPECT_EQ(tiers.SubFiles[2].FileName, "Making of.mkv");
    EXPECT_EQ(tiers.Comment, "");

    TTorrentEx noDate;
    noDate.LoadMetainfo(ReadAll(TorrentDir / "no-creation-date.torrent"));
    EXPECT_EQ(noDate.CreatedAt, 0);

    TTorrentEx nonAscii;
    nonAscii.LoadMetainfo(ReadAll(TorrentDir / "non-ascii-names.torrent"));
    EXPECT_EQ(nonAscii.SubFiles.at(0).DirPath, "\xc3\x9cn\xc3\xaf" "c\xc3\xb8" "d\xc3\xa9\\");  // bytes kept as they are
    EXPECT_EQ(nonAscii.SubFiles.at(0).FileName, "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.txt");
}

// Makes fresh torrents with the Debian tools and checks every hash against
// what transmission-show reports for the same file.
TEST(RealTorrents, FreshlyMadeTorrentsMatchTransmission)
{
    if (!HaveTool("mktorrent") || !HaveTool("transmission-create") || !HaveTool("transmission-show"))
        GTEST_SKIP() << "mktorrent and transmission-cli are not installed";

    const fs::path dir = fs::temp_directory_path() / ("sorvena-real-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "content" / "deep" / "er" / "est");
    std::ofstream(dir / "content" / "top.txt") << "top";
    std::ofstream(dir / "content" / "deep" / "er" / "est" / "\xc3\xa9t\xc3\xa9.bin") << std::string(100000, 'x');
    fs::create_directories(dir / "many");
    for (int i = 0; i < 2000; ++i) std::ofstream(dir / "many" / ("f" + std::to_string(i))) << i;

    const std::string d = "'" + dir.string() + "'";
    const std::string made[] = {
        "mktorrent -l 15 -a http://a/1,http://a/2 -a http://b/1 -c note -o " + d + "/m1.torrent " + d + "/content",
        "mktorrent -d -l 16 -a http://a/1 -o " + d + "/m2.torrent " + d + "/content/top.txt",
        "transmission-create -t http://a/1 -t http://b/1 -o " + d + "/t1.torrent " + d + "/content",
        "transmission-create -t http://a/1 -o " + d + "/t2.torrent " + d + "/many",
    };
    for (const std::string& command : made) ASSERT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;

    for (const char* name : {"m1.torrent", "m2.torrent", "t1.torrent", "t2.torrent"}) {
        SCOPED_TRACE(name);
        TTorrentEx t;
        ASSERT_TRUE(t.LoadMetainfo(ReadAll(dir / name)));
        EXPECT_TRUE(t.LoadErrors.empty());
        EXPECT_EQ(t.InfoHashHex, hashFromTransmissionShow(dir / name));
    }
    TTorrentEx many;
    many.LoadMetainfo(ReadAll(dir / "t2.torrent"));
    EXPECT_EQ(many.FileCount, 2000);
    fs::remove_all(dir);
}

}  // namespace
