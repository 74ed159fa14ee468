// sorvena-cli metadata against a real peer: Debian's python3-libtorrent
// seeding a generated torrent on 127.0.0.1 and announcing it to a local
// opentracker. The torrent the command writes (or shows) must be the
// original: the same info hash, name and files.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "metainfo/TorrentFile.h"
#include "support/CliRun.h"
#include "support/FixtureTracker.h"
#include "support/LibtorrentSeeder.h"
#include "support/OpentrackerProcess.h"
#include "support/SeedTorrents.h"

namespace sorvena::test {
namespace {

namespace fs = std::filesystem;

// Three files in a folder of their own; 16 KiB pieces make the info
// dictionary longer than one metadata piece.
const std::vector<SeedFile> Files = {
    {"readme.txt", 1000},
    {"data/part one.bin", 6 * 1024 * 1024},
    {"data/part two.bin", 7 * 1024 * 1024 + 123},
};

struct Swarm {
    fs::path dir;
    SeedTorrent torrent;
    TTorrentFile original;
    std::unique_ptr<OpentrackerProcess> tracker;
    std::unique_ptr<LibtorrentSeeder> seeder;
    std::string error;

    ~Swarm()
    {
        seeder.reset();
        tracker.reset();
        std::error_code ignored;
        if (!dir.empty()) fs::remove_all(dir, ignored);
    }
};

class CliMetadata : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!LibtorrentSeeder::Available() || OpentrackerProcess::Program().empty()) return;
        swarm = std::make_unique<Swarm>();
        std::string pattern = (fs::temp_directory_path() / "sorvena-metadata-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) return;
        swarm->dir = pattern;
        swarm->torrent = MakeSeedTorrent("Seeded Files", Files, 16384, 17, swarm->dir / "data");
        swarm->original.LoadMetainfo(swarm->torrent.metainfo);
        const fs::path torrentFile = swarm->dir / "seeded.torrent";
        std::ofstream(torrentFile, std::ios::binary) << swarm->torrent.metainfo;
        swarm->tracker = std::make_unique<OpentrackerProcess>(std::vector<std::string>{swarm->torrent.infoHashHex});
        if (!swarm->tracker->Running()) {
            swarm->error = "opentracker: " + swarm->tracker->Error();
            return;
        }
        swarm->seeder = std::make_unique<LibtorrentSeeder>((swarm->dir / "data").string(),
                                                           std::vector<std::string>{torrentFile.string()},
                                                           swarm->tracker->AnnounceUrl());
        if (!swarm->seeder->Ready()) swarm->error = "libtorrent: " + swarm->seeder->Error();
    }
    static void TearDownTestSuite() { swarm.reset(); }

    void SetUp() override
    {
        if (!swarm) GTEST_SKIP() << "python3-libtorrent or opentracker is not installed";
        ASSERT_TRUE(swarm->error.empty()) << swarm->error;
        ASSERT_GT(swarm->torrent.info.size(), 16384u);
    }

    static std::string readFile(const fs::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        return bytes.str();
    }

    static void expectOriginal(const TTorrentFile& got)
    {
        const TTorrentFile& want = swarm->original;
        EXPECT_EQ(got.InfoHashHex, want.InfoHashHex);
        EXPECT_EQ(got.TorrentName, "Seeded Files");
        ASSERT_EQ(got.SubFiles.size(), want.SubFiles.size());
        for (size_t i = 0; i < want.SubFiles.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(got.SubFiles[i].DirPath, want.SubFiles[i].DirPath);
            EXPECT_EQ(got.SubFiles[i].FileName, want.SubFiles[i].FileName);
            EXPECT_EQ(got.SubFiles[i].FileSize, want.SubFiles[i].FileSize);
        }
        EXPECT_EQ(got.PieceHashes.size(), want.PieceHashes.size());
    }

    static inline std::unique_ptr<Swarm> swarm;
};

TEST_F(CliMetadata, WritesTheTorrentOfPeersFromTheTracker)
{
    const std::string magnet = SeedMagnet(swarm->torrent, {swarm->tracker->AnnounceUrl()});
    const fs::path out = swarm->dir / "fetched.torrent";
    const CliResult r = RunCli({"metadata", magnet, "-o", out.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    TTorrentFile got;
    ASSERT_TRUE(got.LoadMetainfo(readFile(out)));
    expectOriginal(got);
    EXPECT_EQ(got.AnnounceUrl, swarm->tracker->AnnounceUrl());
}

// The same swarm through the tracker's UDP port: the seeder announced over
// HTTP, and opentracker hands it out to UDP announces as well.
TEST_F(CliMetadata, WritesTheTorrentOfPeersFromAUdpTracker)
{
    const std::string magnet = SeedMagnet(swarm->torrent, {swarm->tracker->UdpAnnounceUrl()});
    const fs::path out = swarm->dir / "fetched-udp.torrent";
    const CliResult r = RunCli({"metadata", magnet, "-o", out.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    TTorrentFile got;
    ASSERT_TRUE(got.LoadMetainfo(readFile(out)));
    expectOriginal(got);
    EXPECT_EQ(got.AnnounceUrl, swarm->tracker->UdpAnnounceUrl());
}

TEST_F(CliMetadata, ShowsWhatInfoShowsForThePeerOfTheLink)
{
    const std::string magnet = SeedMagnet(swarm->torrent, {}, {swarm->seeder->Endpoint()});
    const CliResult text = RunCli({"metadata", magnet});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("  Info hash:       " + swarm->torrent.infoHashHex + "\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("    data/part two.bin  7340155 bytes at 6292456\n"), std::string::npos)
        << text.out;

    const CliResult json = RunCli({"metadata", "--json", magnet});
    ASSERT_EQ(json.status, 0) << json.err;
    const auto j = nlohmann::json::parse(json.out);
    EXPECT_EQ(j["info_hash"], swarm->torrent.infoHashHex);
    EXPECT_EQ(j["name"], "Seeded Files");
    ASSERT_EQ(j["files"].size(), Files.size());
    EXPECT_EQ(j["files"][1]["path"], (std::vector<std::string>{"data", "part one.bin"}));
    EXPECT_EQ(j["files"][1]["size"], 6 * 1024 * 1024);
}

TEST_F(CliMetadata, FailuresGoToStderr)
{
    RefusingPort refusing;
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {"not a magnet link", {"metadata", "http://example.invalid/"}, "sorvena-cli: metadata: not a magnet link"},
        {"no peer answers",
         {"metadata", SeedMagnet(swarm->torrent, {}, {refusing.Url("").substr(7)}), "-o",
          (swarm->dir / "never.torrent").string()},
         "sorvena-cli: metadata " + swarm->torrent.infoHashHex + ": no peer could be reached (1 peers found, 1 asked)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const CliResult r = RunCli(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << r.err;
    }
    EXPECT_FALSE(fs::exists(swarm->dir / "never.torrent"));
}

}  // namespace
}  // namespace sorvena::test
