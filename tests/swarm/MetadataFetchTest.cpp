// The metadata fetch against peers of our own on 127.0.0.1: a good one, and
// the hostile ones a swarm holds (wrong bytes, a huge size, a stall, a
// flood), alone and ahead of a good one; peers from an HTTP tracker; the
// limits and the stop.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "metainfo/Magnet.h"
#include "support/CountingAllocator.h"
#include "support/FixturePeer.h"
#include "support/FixtureTracker.h"
#include "support/SeedTorrents.h"
#include "support/Waits.h"
#include "swarm/MetadataFetch.h"
#include "swarm/PeerWire.h"

namespace sorvena::test {
namespace {

using namespace std::chrono_literals;

// An info dictionary of several metadata pieces (the last one short).
SeedTorrent manyFiles(uint32_t seed = 1)
{
    std::vector<SeedFile> files;
    for (int i = 0; i < 1500; ++i)
        files.push_back({"folder " + std::to_string(i % 7) + "/file number " + std::to_string(i) + ".bin", 1000 + i});
    return MakeSeedTorrent("many files", files, 16384, seed);
}

SeedTorrent fewFiles()
{
    return MakeSeedTorrent("few files", {{"a.txt", 10}, {"b/c.bin", 70000}}, 32768, 2);
}

std::unique_ptr<TTorrentEx> entryOf(const std::string& uri)
{
    const std::optional<TMagnetLink> link = ParseMagnet(uri);
    if (!link) throw std::runtime_error("bad test link: " + uri);
    return MakeMagnetEntry(*link, uri);
}

MetadataFetchResult fetch(const std::string& uri, MetadataFetchOptions options = {}, std::stop_token stop = {})
{
    return FetchMagnetMetadata(*entryOf(uri), options, stop);
}

TEST(MetadataFetch, MultiPieceDictionaryFromAGoodPeer)
{
    const SeedTorrent torrent = manyFiles();
    ASSERT_GT(MetadataPieceCount(static_cast<int64_t>(torrent.info.size())), MetadataRequestWindow);
    FixturePeer peer(torrent.info, PeerBehaviour::Serve);
    ASSERT_TRUE(peer.Listening());
    RefusingPort deadTracker;
    const std::string uri = SeedMagnet(torrent, {deadTracker.Url(), "udp://127.0.0.1:9/announce"}, {peer.Endpoint()});
    std::unique_ptr<TTorrentEx> entry = entryOf(uri);
    entry->LinkUrl = "http://indexer.test/t/1";
    entry->Source = "Indexer";
    entry->SourcePeers = 12;
    entry->PeerCount = 7;

    const MetadataFetchResult result = FetchMagnetMetadata(*entry);
    ASSERT_TRUE(result.Torrent) << result.Reason;
    const TTorrentEx& t = *result.Torrent;
    EXPECT_EQ(t.InfoHashHex, torrent.infoHashHex);
    EXPECT_EQ(t.TorrentName, "many files");
    ASSERT_EQ(t.FileCount, 1500);
    EXPECT_EQ(t.SubFiles[1499].DirPath, "folder 1\\");
    EXPECT_EQ(t.SubFiles[1499].FileName, "file number 1499.bin");
    EXPECT_EQ(t.SubFiles[1499].FileSize, 2499);
    EXPECT_FALSE(t.IsMagnet());
    EXPECT_EQ(t.AnnounceUrl, deadTracker.Url());
    EXPECT_EQ(t.BackupTrackers, (std::vector<std::string>{deadTracker.Url(), "udp://127.0.0.1:9/announce"}));
    EXPECT_EQ(t.LinkUrl, "http://indexer.test/t/1");
    EXPECT_EQ(t.Source, "Indexer");
    EXPECT_EQ(t.SourcePeers, 12);
    EXPECT_EQ(t.PeerCount, 7);
    // Each piece asked once; the torrent as built loads to the same hash.
    EXPECT_EQ(peer.Requests(), MetadataPieceCount(static_cast<int64_t>(torrent.info.size())));
    TTorrentFile again;
    ASSERT_TRUE(again.LoadMetainfo(result.Metainfo));
    EXPECT_EQ(again.InfoHashHex, torrent.infoHashHex);
    EXPECT_EQ(result.PeersFound, 1u);
}

struct HostileCase {
    const char* what;
    PeerBehaviour behaviour;
    const char* reason;  // of a fetch from that peer alone
};

const HostileCase HostileCases[] = {
    {"wrong bytes", PeerBehaviour::WrongBytes, "the file list from every peer was wrong"},
    {"a huge metadata_size", PeerBehaviour::HugeSize, "the file list is larger than the limit of 16 MiB"},
    {"a stall", PeerBehaviour::Stall, "no peer had the file list"},
    {"a flood of messages", PeerBehaviour::Flood, "no peer had the file list"},
    {"a reject", PeerBehaviour::Reject, "no peer had the file list"},
    {"no extension protocol", PeerBehaviour::NoExtensions, "no peer had the file list"},
    {"a 2 GiB message", PeerBehaviour::HugeMessage, "no peer had the file list"},
};

// The idle limit is shortened so that a stall ends soon; the overall limit
// stays far away, so only the idle limit can end it.
MetadataFetchOptions shortIdle()
{
    MetadataFetchOptions options;
    options.idleLimit = 300ms;
    options.limit = std::chrono::duration_cast<std::chrono::milliseconds>(EventWaitCap);
    return options;
}

TEST(MetadataFetch, HostilePeerAloneIsRefused)
{
    const SeedTorrent torrent = fewFiles();
    for (const HostileCase& c : HostileCases) {
        SCOPED_TRACE(c.what);
        FixturePeer peer(torrent.info, c.behaviour);
        const MetadataFetchResult result = fetch(SeedMagnet(torrent, {}, {peer.Endpoint()}), shortIdle());
        EXPECT_FALSE(result.Torrent);
        EXPECT_EQ(result.Reason, c.reason);
        EXPECT_TRUE(result.Metainfo.empty());
        EXPECT_EQ(peer.Connections(), 1);
        if (c.behaviour == PeerBehaviour::HugeSize) {
            EXPECT_EQ(peer.Requests(), 0);
        }
    }
}

TEST(MetadataFetch, GoodPeerAfterAHostileOneWins)
{
    const SeedTorrent torrent = manyFiles(3);
    for (const HostileCase& c : HostileCases) {
        SCOPED_TRACE(c.what);
        FixturePeer hostile(torrent.info, c.behaviour);
        FixturePeer good(torrent.info, PeerBehaviour::Serve);
        // One connection at a time: the good peer is asked only once the
        // hostile one has been given up.
        MetadataFetchOptions options = shortIdle();
        options.peersAtOnce = 1;
        const MetadataFetchResult result =
            fetch(SeedMagnet(torrent, {}, {hostile.Endpoint(), good.Endpoint()}), options);
        ASSERT_TRUE(result.Torrent) << result.Reason;
        EXPECT_EQ(result.Torrent->InfoHashHex, torrent.infoHashHex);
        EXPECT_EQ(hostile.Connections(), 1);
        EXPECT_EQ(good.Connections(), 1);
        EXPECT_EQ(result.PeersAsked, 2u);
    }
}

TEST(MetadataFetch, FloodCostsNoMoreMemoryThanAFewMessages)
{
    const SeedTorrent torrent = fewFiles();
    FixturePeer flood(torrent.info, PeerBehaviour::Flood);
    const std::string uri = SeedMagnet(torrent, {}, {flood.Endpoint()});
    const std::unique_ptr<TTorrentEx> entry = entryOf(uri);
    // Limits far away: only the cap on useless bytes can end it.
    MetadataFetchOptions options;
    options.idleLimit = std::chrono::duration_cast<std::chrono::milliseconds>(EventWaitCap);
    options.limit = options.idleLimit;
    const AllocationPeak peak;
    const MetadataFetchResult result = FetchMagnetMetadata(*entry, options);
    EXPECT_EQ(result.Reason, "no peer had the file list");
    ASSERT_TRUE(flood.WaitServed(1, EventWaitCap));
    EXPECT_GT(flood.BytesSent(), MetadataMaxUselessBytes);
    // The read buffer, one kept message, the fixture's burst: well under 1 MiB.
    EXPECT_LT(peak.Bytes(), 1024u * 1024);
}

TEST(MetadataFetch, PeersFromAnHttpTracker)
{
    const SeedTorrent torrent = manyFiles(4);
    FixturePeer good(torrent.info, PeerBehaviour::Serve);
    RefusingPort deadPeer;  // its port refuses: the fetch goes on to the next peer
    const std::string deadEndpoint = deadPeer.Url("").substr(7, deadPeer.Url("").size() - 7);
    FixtureTracker tracker({{200, "d8:intervali1800e5:peers" + BString(CompactPeers({deadEndpoint, good.Endpoint()})) + "e"}});
    MetadataFetchOptions options;
    options.peersAtOnce = 1;
    const MetadataFetchResult result = fetch(SeedMagnet(torrent, {tracker.Url()}), options);
    ASSERT_TRUE(result.Torrent) << result.Reason;
    EXPECT_EQ(result.Torrent->InfoHashHex, torrent.infoHashHex);
    EXPECT_EQ(result.PeersFound, 2u);
    const std::vector<std::string> targets = tracker.Targets();
    ASSERT_EQ(targets.size(), 1u);
    EXPECT_NE(targets[0].find("&compact=1"), std::string::npos) << targets[0];
    EXPECT_NE(targets[0].find("&numwant=50"), std::string::npos) << targets[0];
    EXPECT_NE(targets[0].find("&peer_id=-SV1000-"), std::string::npos) << targets[0];
}

TEST(MetadataFetch, FailuresSayWhy)
{
    const SeedTorrent torrent = fewFiles();
    RefusingPort refusing;
    const std::string refusingEndpoint = refusing.Url("").substr(7);
    struct Case {
        const char* what;
        std::string uri;
        const char* reason;
    };
    const Case cases[] = {
        {"no tracker, no peer", SeedMagnet(torrent, {}), "no tracker handed out a peer, and the link names none"},
        {"a tracker that refuses", SeedMagnet(torrent, {refusing.Url()}),
         "no tracker handed out a peer, and the link names none"},
        {"a peer that refuses", SeedMagnet(torrent, {}, {refusingEndpoint}), "no peer could be reached"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const MetadataFetchResult result = fetch(c.uri);
        EXPECT_FALSE(result.Torrent);
        EXPECT_EQ(result.Reason, c.reason);
    }
    TTorrentEx notMagnet;
    EXPECT_EQ(FetchMagnetMetadata(notMagnet).Reason, "not a magnet link");
}

TEST(MetadataFetch, OverallLimitEndsAStall)
{
    const SeedTorrent torrent = fewFiles();
    FixturePeer stall(torrent.info, PeerBehaviour::Stall);
    MetadataFetchOptions options;  // the idle limit of 15 s stays: only the overall limit can end it
    options.limit = 500ms;
    const MetadataFetchResult result = fetch(SeedMagnet(torrent, {}, {stall.Endpoint()}), options);
    EXPECT_FALSE(result.Torrent);
    EXPECT_EQ(result.Reason.rfind("no peer sent the file list within the time limit", 0), 0u) << result.Reason;
}

TEST(MetadataFetch, StopEndsTheFetch)
{
    const SeedTorrent torrent = fewFiles();
    FixturePeer stall(torrent.info, PeerBehaviour::Stall);
    std::stop_source stop;
    std::jthread stopper([&] {
        stall.WaitHandshake(EventWaitCap);
        stop.request_stop();
    });
    const MetadataFetchResult result = fetch(SeedMagnet(torrent, {}, {stall.Endpoint()}), {}, stop.get_token());
    EXPECT_FALSE(result.Torrent);
    EXPECT_EQ(result.Reason, "stopped");
}

TEST(MetadataFetch, PeerOfTheLinkByHostName)
{
    const SeedTorrent torrent = fewFiles();
    FixturePeer good(torrent.info, PeerBehaviour::Serve);
    const std::string port = good.Endpoint().substr(good.Endpoint().rfind(':') + 1);
    // "localhost" resolves from the hosts file, without the network.
    const MetadataFetchResult result = fetch(SeedMagnet(torrent, {}, {"localhost:" + port}));
    ASSERT_TRUE(result.Torrent) << result.Reason;
    EXPECT_EQ(result.Torrent->InfoHashHex, torrent.infoHashHex);
}

TEST(MetadataFetch, PeersOverIPv6FromTheTrackerAndTheLink)
{
    const SeedTorrent torrent = manyFiles(5);
    // The link's peer is asked first and rejects; only the tracker's can give it.
    FixturePeer fromLink(torrent.info, PeerBehaviour::Reject, "::1");
    FixturePeer fromTracker(torrent.info, PeerBehaviour::Serve, "::1");
    if (!fromTracker.Listening() || !fromLink.Listening()) GTEST_SKIP() << "no IPv6 loopback on this host";
    FixtureTracker tracker({{200, "d8:intervali1800e5:peers0:6:peers6" + BString(CompactPeers({fromTracker.Endpoint()})) + "e"}});
    MetadataFetchOptions options;
    options.peersAtOnce = 1;
    const MetadataFetchResult result = fetch(SeedMagnet(torrent, {tracker.Url()}, {fromLink.Endpoint()}), options);
    ASSERT_TRUE(result.Torrent) << result.Reason;
    EXPECT_EQ(result.Torrent->InfoHashHex, torrent.infoHashHex);
    EXPECT_EQ(fromLink.Connections(), 1);
    EXPECT_EQ(fromTracker.Connections(), 1);
    EXPECT_EQ(result.PeersFound, 2u);
}

TEST(MetadataFetch, NoMorePeersAtOnceThanAllowed)
{
    const SeedTorrent torrent = fewFiles();
    FixturePeer first(torrent.info, PeerBehaviour::Stall);
    FixturePeer second(torrent.info, PeerBehaviour::Stall);
    FixturePeer third(torrent.info, PeerBehaviour::Stall);
    MetadataFetchOptions options;  // stalls end only after the idle limit of 15 s
    options.peersAtOnce = 2;
    std::stop_source stop;
    std::jthread stopper([&] {
        first.WaitHandshake(EventWaitCap);
        second.WaitHandshake(EventWaitCap);
        stop.request_stop();
    });
    const MetadataFetchResult result =
        fetch(SeedMagnet(torrent, {}, {first.Endpoint(), second.Endpoint(), third.Endpoint()}), options,
              stop.get_token());
    EXPECT_EQ(result.Reason, "stopped");
    EXPECT_EQ(third.Connections(), 0);
    EXPECT_EQ(result.PeersAsked, 2u);
}

}  // namespace
}  // namespace sorvena::test
