// sorvena-cli peers, run as a user runs it, against scripted trackers.

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/CliRun.h"
#include "support/FixtureTracker.h"
#include "support/PeerCheckRun.h"
#include "support/ScriptedUdpTracker.h"
#include "support/TestPki.h"

namespace sorvena::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> sortedLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::string hashOf(const std::string& bytes)
{
    TTorrentFile torrent;
    torrent.LoadMetainfo(bytes);
    return torrent.InfoHashHex;
}

TEST(CliPeers, ALinePerCheckedTorrentAndAReasonForEveryOtherFile)
{
    const fs::path dir = fs::temp_directory_path() / ("sorvena-peers-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    FixtureTracker three({{200, DictionaryPeers({"10.0.0.1", "10.0.0.2", "10.0.0.3"})}});
    FixtureTracker one({{200, "d5:peers" + BString(CompactPeers({"10.0.0.9:1"})) + "e"}});
    FixtureTracker malformed({{200, "d5:peersl5:helloee"}});
    // A UDP tracker that hands out two addresses (one on two ports).
    ScriptedUdpTracker udp([](const UdpRequest& r, size_t) -> std::vector<std::string> {
        if (r.action == 0) return {UdpConnectReply(r.transactionId, 77)};
        return {UdpAnnounceReplyBytes(r.transactionId, {"10.0.0.1:1", "10.0.0.1:2", "10.0.0.2:1"})};
    });
    ASSERT_TRUE(three.Listening() && one.Listening() && malformed.Listening() && udp.Listening());

    struct File {
        const char* name;
        std::string bytes;
    };
    const std::vector<File> files = {
        {"three.torrent", TorrentBytes("Three", three.Url())},
        // The backup tracker is not asked: the first one answered.
        {"one.torrent", TorrentBytes("One", one.Url(), {"udp://127.0.0.1:1/announce"})},
        {"udp.torrent", TorrentBytes("UDP", udp.Url())},
        {"websocket-only.torrent", TorrentBytes("WebSocket only", "wss://tracker.example/announce")},
        {"malformed.torrent", TorrentBytes("Malformed", malformed.Url())},
        {"not-a-torrent.torrent", "<html></html>"},
    };
    std::vector<std::string> args = {"peers", "--recheck", "0"};
    for (const File& file : files) {
        std::ofstream(dir / file.name, std::ios::binary) << file.bytes;
        args.push_back((dir / file.name).string());
    }
    args.push_back((dir / "missing.torrent").string());

    const CliResult r = RunCli(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(sortedLines(r.out), sortedLines(hashOf(files[0].bytes) + "  3 peers  Three\n" + hashOf(files[1].bytes) +
                                              "  1 peer   One\n" + hashOf(files[2].bytes) + "  2 peers  UDP\n"));
    for (const std::string& expected :
         {(dir / "websocket-only.torrent").string() +
              ": no usable tracker: the torrent lists no http://, https:// or udp:// tracker",
          hashOf(files[4].bytes) + " (Malformed): no count: the tracker's peer list is malformed",
          (dir / "not-a-torrent.torrent").string() + ": not a torrent file",
          "cannot read " + (dir / "missing.torrent").string()})
        EXPECT_NE(r.err.find(expected), std::string::npos) << expected << "\nin:\n" << r.err;
    EXPECT_EQ(three.Targets().size(), 2u);
    EXPECT_EQ(udp.Requests().size(), 3u);  // connect, announce, the re-ask with the same connection id
    fs::remove_all(dir);
}

TEST(CliPeers, HttpsTrackersAndTheTimeout)
{
    const fs::path dir = fs::temp_directory_path() / ("sorvena-peers-tls-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    TrustTestCa();  // the command inherits SSL_CERT_FILE
    FixtureTracker secure({{200, DictionaryPeers({"10.0.0.1", "10.0.0.2"})}}, &Pki().good);
    FixtureTracker stalled({{200, "", true}});  // takes the request, never answers
    ASSERT_TRUE(secure.Listening() && stalled.Listening());
    const std::string secureTorrent = TorrentBytes("Secure", secure.Url());
    const std::string stalledTorrent = TorrentBytes("Stalled", stalled.Url());
    std::ofstream(dir / "secure.torrent", std::ios::binary) << secureTorrent;
    std::ofstream(dir / "stalled.torrent", std::ios::binary) << stalledTorrent;

    const CliResult r = RunCli({"peers", "--recheck", "0", "--timeout", "2", (dir / "secure.torrent").string(),
                                (dir / "stalled.torrent").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, hashOf(secureTorrent) + "  2 peers  Secure\n");
    const std::string expected =
        hashOf(stalledTorrent) + " (Stalled): no count: the trackers were still being asked when --timeout passed";
    EXPECT_NE(r.err.find(expected), std::string::npos) << r.err;
    EXPECT_EQ(stalled.Targets().size(), 1u);
    fs::remove_all(dir);
}

// More torrents than the process may open sockets at once: every one is
// still counted, none reported as 0 because its socket could not open.
TEST(CliPeers, ManyTorrentsUnderALowFileLimit)
{
    const fs::path dir = fs::temp_directory_path() / ("sorvena-peers-many-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    ScriptedUdpTracker udp([](const UdpRequest& r, size_t) -> std::vector<std::string> {
        if (r.action == 0) return {UdpConnectReply(r.transactionId, 5)};
        return {UdpAnnounceReplyBytes(r.transactionId, {"10.0.0.1:1", "10.0.0.2:1"})};
    });
    ASSERT_TRUE(udp.Listening());
    constexpr int Torrents = 200;
    std::vector<std::string> args = {"peers", "--recheck", "0"};
    std::string expected;
    for (int i = 0; i < Torrents; ++i) {
        const std::string name = "T" + std::to_string(i);
        const std::string bytes = TorrentBytes(name, udp.Url());
        std::ofstream(dir / (name + ".torrent"), std::ios::binary) << bytes;
        args.push_back((dir / (name + ".torrent")).string());
        expected += hashOf(bytes) + "  2 peers  " + name + "\n";
    }

    // The command inherits the limit: 150 descriptors, fewer than one socket per torrent.
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
    rlimit low = before;
    low.rlim_cur = std::min<rlim_t>(before.rlim_cur, 150);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    const CliResult r = RunCli(args);
    ::setrlimit(RLIMIT_NOFILE, &before);

    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sortedLines(r.out), sortedLines(expected));
    fs::remove_all(dir);
}

}  // namespace
}  // namespace sorvena::test
