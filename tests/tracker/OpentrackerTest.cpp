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

// Announces the torrent from 127.0.0.2, 127.0.0.3, ...: peers the tracker
// tells apart by their source address. The first announces also wait for the
// tracker to have read its whitelist.
::testing::AssertionResult seed(const OpentrackerProcess& tracker, const TTorrentFile& torrent, int peers)
{
    for (int i = 0; i < peers; ++i) {
        const std::string source = "127.0.0." + std::to_string(2 + i);
        std::string reply;
        for (auto until = std::chrono::steady_clock::now() + EventWaitCap;
             !Accepted(reply = AnnounceFrom(source, tracker.Port(), torrent.InfoHashRaw)) &&
             std::chrono::steady_clock::now() < until;)
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

TEST_F(Opentracker, AThousandChecksAtOnceAllCountRight)
{
    if (OpentrackerProcess::Program().empty()) GTEST_SKIP() << NotInstalled;
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
        ASSERT_TRUE(seed(tracker, *swarm.torrent, swarm.seededPeers));
        swarm.torrent->AnnounceUrl = tracker.AnnounceUrl();
        expected[swarm.torrent->InfoHashHex] = swarm.seededPeers + 1;
    }

    const long rssBeforeKiB = peakRssKiB();
    const int threadsBefore = threadCount();
    PeerCountLog log;
    PeerCheckOptions options;
    options.recheckWait = 500ms;
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

    std::printf("%d checks: %lld ms, peak RSS %ld KiB (%ld KiB before), peak threads %d (%d before)\n", Checks,
                static_cast<long long>(elapsed.count()), peakKiB, rssBeforeKiB, peakThreads, threadsBefore);
    RecordProperty("elapsed_ms", static_cast<int>(elapsed.count()));
    RecordProperty("peak_rss_kib", static_cast<int>(peakKiB));
    RecordProperty("peak_threads", peakThreads);
    // Each check is a thread with a reply of a few hundred bytes: memory
    // grows with the checks, never with anything a tracker sends. (The
    // sanitizers add their own shadow memory per thread.)
    if (!UnderSanitizer) {
        EXPECT_LT(peakKiB - rssBeforeKiB, 64L * 1024);
    }
}

}  // namespace
}  // namespace sorvena::test
