// The peer check against a real tracker: Debian's opentracker on 127.0.0.1.

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/OpentrackerProcess.h"
#include "support/PeerCheckRun.h"
#include "support/ScriptedUdpTracker.h"
#include "support/Waits.h"
#include "tracker/CheckPingThread.h"

namespace sorvena::test {
namespace {

using namespace std::chrono_literals;

using Opentracker = PeerCheckTest;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool UnderSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool UnderSanitizer = true;
#else
constexpr bool UnderSanitizer = false;
#endif
#else
constexpr bool UnderSanitizer = false;
#endif

// The number of peers opentracker hands out per reply unless asked for more;
// every swarm here stays below it, so one reply holds the whole swarm.
constexpr int TrackerRepliesUpTo = 50;

struct Swarm {
    std::unique_ptr<TTorrentFile> torrent;
    int seededPeers = 0;
};

std::unique_ptr<TTorrentFile> loadTorrent(const std::string& name, const std::string& announce)
{
    auto torrent = std::make_unique<TTorrentFile>();
    torrent->LoadMetainfo(TorrentBytes(name, announce));
    return torrent;
}

// An announce reply over UDP that is no error (action 1).
bool udpAccepted(const std::string& reply)
{
    return reply.size() >= 20 && reply[0] == 0 && reply[1] == 0 && reply[2] == 0 && reply[3] == 1;
}

enum class Over { Http, Udp };

// Announces the torrent from 127.0.0.2, 127.0.0.3, ...: peers the tracker
// tells apart by their source address. The first announces also wait for the
// tracker to have read its whitelist.
::testing::AssertionResult seed(const OpentrackerProcess& tracker, const TTorrentFile& torrent, int peers,
                                Over over = Over::Http)
{
    const auto announce = [&](const std::string& source) {
        if (over == Over::Http) return AnnounceFrom(source, tracker.Port(), torrent.InfoHashRaw);
        const std::string reply = UdpAnnounceFrom(source, tracker.Port(), torrent.InfoHashRaw);
        return udpAccepted(reply) ? std::string("accepted") : "UDP reply of " + std::to_string(reply.size()) +
                                                                   " bytes: failure reason " + reply;
    };
    for (int i = 0; i < peers; ++i) {
        const std::string source = "127.0.0." + std::to_string(2 + i);
        std::string reply;
        for (auto until = std::chrono::steady_clock::now() + EventWaitCap;
             !Accepted(reply = announce(source)) && std::chrono::steady_clock::now() < until;)
            std::this_thread::sleep_for(50ms);
        if (!Accepted(reply)) return ::testing::AssertionFailure() << "announce from " << source << ": " << reply;
    }
    return ::testing::AssertionSuccess();
}

constexpr const char* NotInstalled = "opentracker is not installed (apt-get install opentracker; scripts/install-deps.sh)";

TEST_F(Opentracker, CountsTheSeededPeersAndTheAskingPeer)
{
    if (OpentrackerProcess::Program().empty()) GTEST_SKIP() << NotInstalled;
    struct Case {
        const char* name;
        int seededPeers;
        bool whitelisted;
        const char* trackerQuery;  // already in the announce URL
        int32_t expected;
    };
    // The tracker includes the asking peer (127.0.0.1, port 6881) in its
    // reply: one more than the seeded peers. A hash off the whitelist gets a
    // "failure reason", which is the answer: 0.
    const Case cases[] = {
        {"seven other peers", 7, true, "", 8},
        {"no other peer", 0, true, "", 1},
        {"a passkey in the announce URL", 3, true, "?passkey=0123456789abcdef", 4},
        {"not on the whitelist", 0, false, "", 0},
    };
    std::vector<std::string> whitelist;
    std::vector<std::unique_ptr<TTorrentFile>> torrents;
    for (const Case& c : cases) {
        torrents.push_back(loadTorrent(c.name, "placeholder"));
        if (c.whitelisted) whitelist.push_back(torrents.back()->InfoHashHex);
    }
    OpentrackerProcess tracker(whitelist);
    ASSERT_TRUE(tracker.Running()) << tracker.Error();

    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        TTorrentFile& torrent = *torrents[i];
        if (c.whitelisted) {
            ASSERT_TRUE(seed(tracker, torrent, c.seededPeers));
        }
        torrent.AnnounceUrl = tracker.AnnounceUrl() + c.trackerQuery;

        PeerCountLog log;
        PeerCheckOptions options;
        options.recheckWait = 50ms;
        ASSERT_TRUE(RunCheck(torrent, log, options));
        EXPECT_EQ(log.Reports(), (std::vector<PeerCountLog::Report>{{torrent.InfoHashHex, c.expected}}));
    }
}

// The same over the tracker's UDP port, seeded over UDP: what the BEP 15
// announce reply holds is counted as the HTTP reply's peers are.
TEST_F(Opentracker, CountsTheSeededPeersAndTheAskingPeerOverUdp)
{
    if (OpentrackerProcess::Program().empty()) GTEST_SKIP() << NotInstalled;
    struct Case {
        const char* name;
        int seededPeers;
        bool whitelisted;
        const char* path;  // not sent: BEP 15 has no place for it
        int32_t expected;
    };
    // Over UDP the tracker drops an announce of a hash off its whitelist
    // without a word: no answer, 0 (that case gets a short limit).
    const Case cases[] = {
        {"seven other peers", 7, true, "/announce", 8},
        {"no other peer", 0, true, "", 1},
        {"a path and query in the URL", 3, true, "/announce?passkey=0123456789abcdef", 4},
        {"not on the whitelist", 0, false, "/announce", 0},
    };
    std::vector<std::string> whitelist;
    std::vector<std::unique_ptr<TTorrentFile>> torrents;
    for (const Case& c : cases) {
        torrents.push_back(loadTorrent(std::string("udp: ") + c.name, "placeholder"));
        if (c.whitelisted) whitelist.push_back(torrents.back()->InfoHashHex);
    }
    OpentrackerProcess tracker(whitelist);
    ASSERT_TRUE(tracker.Running()) << tracker.Error();
    const std::string udpBase = "udp://127.0.0.1:" + std::to_string(tracker.Port());

    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        TTorrentFile& torrent = *torrents[i];
        if (c.whitelisted) {
            ASSERT_TRUE(seed(tracker, torrent, c.seededPeers, Over::Udp));
        }
        torrent.AnnounceUrl = udpBase + c.path;

        PeerCountLog log;
        PeerCheckOptions options;
        options.recheckWait = 50ms;
        if (!c.whitelisted) options.udp.limit = 500ms;
        ::testing::internal::CaptureStderr();
        const bool ended = RunCheck(torrent, log, options);
        const std::string trace = ::testing::internal::GetCapturedStderr();
        ASSERT_TRUE(ended);
        EXPECT_EQ(log.Reports(), (std::vector<PeerCountLog::Report>{{torrent.InfoHashHex, c.expected}})) << trace;
        if (!c.whitelisted) {
            EXPECT_NE(trace.find(torrent.AnnounceUrl + ": no reply to the announce request"), std::string::npos) << trace;
        }
    }
}

int threadCount()
{
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        ::closedir(dir);
    }
    return count;
}

long peakRssKiB()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Checks started all at once against one tracker, each its own thread:
// every one counts right, and memory and threads stay bounded.
void thousandChecksAtOnce(Over over)
{
    constexpr int Checks = 1000;
    const int swarmSizes[] = {0, 3, 12, 40};
    static_assert(40 + 1 <= TrackerRepliesUpTo);

    // Every check holds a socket at some point: make room for all at once.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 4096) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, 4096);
        ::setrlimit(RLIMIT_NOFILE, &files);
    }

    std::vector<Swarm> swarms;
    std::vector<std::string> whitelist;
    for (const int size : swarmSizes) {
        swarms.push_back({loadTorrent("swarm of " + std::to_string(size), "placeholder"), size});
        whitelist.push_back(swarms.back().torrent->InfoHashHex);
    }
    OpentrackerProcess tracker(whitelist);
    ASSERT_TRUE(tracker.Running()) << tracker.Error();
    std::map<std::string, int32_t> expected;
    for (Swarm& swarm : swarms) {
        ASSERT_TRUE(seed(tracker, *swarm.torrent, swarm.seededPeers, over));
        swarm.torrent->AnnounceUrl = over == Over::Http ? tracker.AnnounceUrl() : tracker.UdpAnnounceUrl();
        expected[swarm.torrent->InfoHashHex] = swarm.seededPeers + 1;
    }

    const long rssBeforeKiB = peakRssKiB();
    const int threadsBefore = threadCount();
    PeerCountLog log;
    PeerCheckOptions options;
    options.recheckWait = 500ms;
    // A thousand connects at once may overflow the tracker's socket buffer:
    // a dropped datagram is sent again a second later, and again, until the
    // cap.
    options.udp.firstWait = 1s;
    options.udp.maxSends = 8;
    options.udp.limit = EventWaitCap;
    std::vector<std::shared_ptr<TCheckPingThread>> workers;
    for (int i = 0; i < Checks; ++i)
        workers.push_back(TCheckPingThread::Create(*swarms[i % swarms.size()].torrent, log.Receiver(), options));

    const auto started = std::chrono::steady_clock::now();
    for (const auto& worker : workers) worker->Start();
    int peakThreads = threadCount();
    const auto until = started + EventWaitCap;
    while (!std::all_of(workers.begin(), workers.end(), [](const auto& w) { return w->Ended(); }) &&
           std::chrono::steady_clock::now() < until) {
        peakThreads = std::max(peakThreads, threadCount());
        std::this_thread::sleep_for(10ms);
    }
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    const long peakKiB = peakRssKiB();

    const auto reports = log.Reports();
    ASSERT_EQ(reports.size(), static_cast<size_t>(Checks));
    std::map<std::string, int> wrong;
    for (const auto& [hash, count] : reports)
        if (count != expected[hash]) ++wrong[hash + " counted " + std::to_string(count)];
    EXPECT_TRUE(wrong.empty()) << wrong.begin()->first << " and " << wrong.size() - 1 << " more kinds";

    std::printf("%d %s checks: %lld ms, peak RSS %ld KiB (%ld KiB before), peak threads %d (%d before)\n", Checks,
                over == Over::Http ? "HTTP" : "UDP",
                static_cast<long long>(elapsed.count()), peakKiB, rssBeforeKiB, peakThreads, threadsBefore);
    ::testing::Test::RecordProperty("elapsed_ms", static_cast<int>(elapsed.count()));
    ::testing::Test::RecordProperty("peak_rss_kib", static_cast<int>(peakKiB));
    ::testing::Test::RecordProperty("peak_threads", peakThreads);
    // Each check is a thread with a reply of a few hundred bytes: memory
    // grows with the checks, never with anything a tracker sends. (The
    // sanitizers add their own shadow memory per thread.)
    if (!UnderSanitizer) {
        EXPECT_LT(peakKiB - rssBeforeKiB, 64L * 1024);
    }
}

TEST_F(Opentracker, AThousandChecksAtOnceAllCountRight)
{
    if (OpentrackerProcess::Program().empty()) GTEST_SKIP() << NotInstalled;
    thousandChecksAtOnce(Over::Http);
}

TEST_F(Opentracker, AThousandUdpChecksAtOnceAllCountRight)
{
    if (OpentrackerProcess::Program().empty()) GTEST_SKIP() << NotInstalled;
    ForgetUdpConnectionIds();
    thousandChecksAtOnce(Over::Udp);
}

}  // namespace
}  // namespace sorvena::test
