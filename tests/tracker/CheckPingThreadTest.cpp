// The peer check against scripted trackers on 127.0.0.1.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/FixtureTracker.h"
#include "support/PeerCheckRun.h"
#include "support/ScriptedUdpTracker.h"
#include "support/TestPki.h"
#include "support/Waits.h"
#include "tracker/CheckPingThread.h"

namespace sorvena::test {
namespace {

using namespace std::chrono_literals;

using CheckPingThread = PeerCheckTest;

// Short waits: the table is about what is asked and counted, not when.
PeerCheckOptions quick(size_t maxAddresses = PeerCheckMaxAddresses)
{
    PeerCheckOptions options;
    options.recheckWait = 1ms;
    options.fetchPause = 1ms;
    options.maxAddresses = maxAddresses;
    return options;
}

// Every wait and limit far longer than any test runs.
PeerCheckOptions endless()
{
    PeerCheckOptions options;
    options.recheckWait = std::chrono::hours(24);
    options.fetchLimits = {std::chrono::hours(24), std::chrono::hours(24), std::chrono::hours(24)};
    options.udp.firstWait = std::chrono::hours(24);
    options.udp.limit = std::chrono::hours(24);
    options.checkLimit = std::chrono::hours(24);
    return options;
}

std::vector<std::string> numberedAddresses(int first, int count)
{
    std::vector<std::string> ips;
    for (int i = first; i < first + count; ++i)
        ips.push_back("10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256));
    return ips;
}

TrackerReply ok(std::string body)
{
    return {200, std::move(body)};
}

struct ScriptedTracker {
    std::vector<TrackerReply> replies;  // empty: the port refuses connections
    size_t expectedRequests;
};

struct Scenario {
    const char* name;
    std::vector<ScriptedTracker> trackers;  // the announce URL, then the backup trackers
    std::optional<int32_t> expectedCount;   // nullopt: the check ends without a report
    size_t maxAddresses = PeerCheckMaxAddresses;
};

TEST_F(CheckPingThread, CountsTheDistinctAddressesOfTheFirstTrackerThatAnswers)
{
    const std::string failure = "d14:failure reason6:deniede";
    const std::vector<Scenario> scenarios = {
        // Reply forms. A pass that brings new addresses is followed by one
        // more, which brings none.
        {"dictionary peers; repeats and letter case are one address",
         {{{ok(DictionaryPeers({"10.0.0.1", "10.0.0.2", "10.0.0.1", "fe80::A", "FE80::a"}))}, 2}},
         3},
        {"compact peers: one address on two ports counts once",
         {{{ok("d5:peers" + BString(CompactPeers({"1.2.3.4:1", "1.2.3.4:2", "5.6.7.8:1"})) + "e")}, 2}},
         2},
        {"compact peers6",
         {{{ok("d6:peers6" + BString(CompactPeers({"[2001:db8::1]:1", "[2001:db8::1]:2", "[2001:db8::2]:1"})) + "e")},
           2}},
         2},
        {"compact forms give the text the dictionary form gives",
         {{{ok("d5:peers" + BString(CompactPeers({"10.0.0.1:1"})) + "6:peers6" +
               BString(CompactPeers({"[2001:db8::1]:1"})) + "e"),
            ok(DictionaryPeers({"10.0.0.1", "2001:DB8::1"}))},
           2}},
         2},
        {"compact string whose length is not a multiple of 6: the partial entry is dropped",
         {{{ok("d5:peers" + BString(CompactPeers({"1.2.3.4:1", "5.6.7.8:1"}) + "x") + "e")}, 2}},
         2},
        {"no peers key", {{{ok("d8:intervali1800ee")}, 1}}, 0},
        {"peers given as an integer", {{{ok("d5:peersi5ee")}, 1}}, 0},
        {"an integer ip reads as the empty text", {{{ok("d5:peersld2:ipi7eeee")}, 2}}, 1},
        {"not bencoded still counts as the answer",
         {{{ok("<html>busy</html>")}, 1}, {{ok(DictionaryPeers({"1.1.1.1"}))}, 0}},
         0},
        {"failure reason, peers or not",
         {{{ok("d14:failure reason6:denied5:peersld2:ip7:1.1.1.1eee")}, 1}},
         0},
        {"failure reason after a pass with peers keeps those peers",
         {{{ok(DictionaryPeers({"10.0.0.1", "10.0.0.2"})), ok(failure)}, 2}},
         2},
        {"a pass that fails after a successful one re-reads the last reply",
         {{{ok(DictionaryPeers({"10.0.0.1", "10.0.0.2"})), {500, ""}}, 1 + FetchAttempts}},
         2},
        {"50 peers, then 30 of them and 20 new, then known ones only",
         {{{ok(DictionaryPeers(numberedAddresses(0, 50))), ok(DictionaryPeers(numberedAddresses(20, 50))),
            ok(DictionaryPeers(numberedAddresses(10, 30)))},
           3}},
         70},
        // Which trackers are asked.
        {"an HTTP 400 with a bencoded body is no answer: the next tracker is asked",
         {{{{400, failure}}, FetchAttempts}, {{ok(DictionaryPeers({"10.0.0.1"}))}, 2}},
         1},
        {"an empty body is no answer", {{{ok("")}, 1}, {{ok(DictionaryPeers({"10.0.0.1"}))}, 2}}, 1},
        {"the second backup tracker answers; the third is not asked",
         {{{{400, ""}}, FetchAttempts},
          {{}, 0},
          {{ok(DictionaryPeers(numberedAddresses(0, 5)))}, 2},
          {{ok(DictionaryPeers({"10.9.9.9"}))}, 0}},
         5},
        {"no tracker answers", {{{}, 0}, {{{404, "d5:peerslee"}}, FetchAttempts}}, 0},
        // A peer list that is not what it claims to be gives no count at all.
        {"a peer item that is not a dictionary", {{{ok("d5:peersl5:helloee")}, 1}}, std::nullopt},
        {"a peer item without ip", {{{ok("d5:peersld4:porti1eeee")}, 1}}, std::nullopt},
        {"a peer item whose ip is a list", {{{ok("d5:peersld2:iplee" "ee")}, 1}}, std::nullopt},
        {"after good peers in an earlier pass",
         {{{ok(DictionaryPeers({"10.0.0.1"})), ok("d5:peersld2:ipdeeee")}, 2}},
         std::nullopt},
        // The bound on one check's addresses.
        {"collecting stops at the address limit",
         {{{ok(DictionaryPeers(numberedAddresses(0, 5)))}, 1}},
         3,
         3},
    };

    for (const Scenario& scenario : scenarios) {
        SCOPED_TRACE(scenario.name);
        std::vector<std::unique_ptr<FixtureTracker>> trackers;
        std::vector<std::unique_ptr<RefusingPort>> refusing;
        std::vector<std::string> urls;
        for (const ScriptedTracker& scripted : scenario.trackers) {
            if (scripted.replies.empty()) {
                refusing.push_back(std::make_unique<RefusingPort>());
                urls.push_back(refusing.back()->Url());
                trackers.push_back(nullptr);
            } else {
                trackers.push_back(std::make_unique<FixtureTracker>(scripted.replies));
                ASSERT_TRUE(trackers.back()->Listening());
                urls.push_back(trackers.back()->Url());
            }
        }
        const auto torrent =
            TorrentWithTrackers(urls.front(), std::vector<std::string>(urls.begin() + 1, urls.end()));

        PeerCountLog log;
        ASSERT_TRUE(RunCheck(*torrent, log, quick(scenario.maxAddresses)));

        if (scenario.expectedCount) {
            const PeerCountLog::Report report{torrent->InfoHashHex, *scenario.expectedCount};
            EXPECT_EQ(log.Reports(), std::vector<PeerCountLog::Report>{report});
        } else {
            EXPECT_TRUE(log.Reports().empty());
        }
        for (size_t i = 0; i < trackers.size(); ++i) {
            if (!trackers[i]) continue;
            SCOPED_TRACE("tracker " + std::to_string(i));
            EXPECT_EQ(trackers[i]->Targets().size(), scenario.trackers[i].expectedRequests);
        }
    }
}

TEST_F(CheckPingThread, TheTrackerReceivesTheExactAnnounceTarget)
{
    // Every byte that a URL could misread, and the unreserved ones that pass.
    const std::string hash("\x00\x20\x23\x25\x26\x2B\x3F\x5C\x2F\x3D\x7F\x80\xFF~-_.aZ9", 20);
    const std::string encoded = "%00%20%23%25%26%2B%3F%5C%2F%3D%7F%80%FF~-_.aZ9";
    const std::string parameters =
        "info_hash=" + encoded + "&peer_id=1E217EC12DEC49F19D2R&port=6881&uploaded=0&downloaded=0&left=0";
    struct Case {
        const char* path;
        std::string target;
    };
    const Case cases[] = {
        {"/announce", "/announce?" + parameters},
        {"/announce?passkey=abc123", "/announce?passkey=abc123&" + parameters},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        FixtureTracker tracker({ok("d5:peerslee")});
        ASSERT_TRUE(tracker.Listening());
        PeerCountLog log;
        ASSERT_TRUE(RunCheck(*TorrentWithTrackers(tracker.Url(c.path), {}, hash), log, quick()));
        EXPECT_EQ(tracker.Targets(), std::vector<std::string>{c.target});
    }
}

TEST_F(CheckPingThread, CountsThePeersOfAnHttpsTrackerAndTracesWhyAnotherFailed)
{
    TrustTestCa();
    FixtureTracker wrongHost({ok(DictionaryPeers({"10.0.0.9"}))}, &Pki().wrongHost);
    FixtureTracker good({ok(DictionaryPeers({"10.0.0.1", "10.0.0.2"}))}, &Pki().good);
    ASSERT_TRUE(wrongHost.Listening() && good.Listening());
    // By name, so that the certificate's names are compared with it.
    std::string refused = wrongHost.Url();
    refused.replace(refused.find("127.0.0.1"), 9, "localhost");
    const auto torrent = TorrentWithTrackers(refused, {good.Url()});

    PeerCountLog log;
    ::testing::internal::CaptureStderr();
    const bool ended = RunCheck(*torrent, log, quick());
    const std::string trace = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(ended);
    EXPECT_EQ(log.Reports(), (std::vector<PeerCountLog::Report>{{torrent->InfoHashHex, 2}}));
    EXPECT_TRUE(wrongHost.Targets().empty());
    EXPECT_EQ(good.Targets().size(), 2u);  // asked again after new peers, then no more
    EXPECT_NE(trace.find(refused + ": the TLS handshake or the certificate check failed: host name mismatch"),
              std::string::npos)
        << trace;
}

TEST_F(CheckPingThread, TrackersThatStallEndTheCheckAtTheFetchLimits)
{
    // The first two trackers take the request and never answer: each fails
    // its attempts at the idle limit, and the check still ends and reports,
    // with the third tracker's count.
    FixtureTracker silent({{200, "", true}});
    FixtureTracker last({ok(DictionaryPeers({"10.0.0.1"}))});
    ASSERT_TRUE(silent.Listening() && last.Listening());
    PeerCheckOptions options = quick();
    options.fetchLimits.idle = 200ms;
    PeerCountLog log;
    const auto torrent = TorrentWithTrackers(silent.Url(), {silent.Url("/again"), last.Url()});
    ::testing::internal::CaptureStderr();
    const bool ended = RunCheck(*torrent, log, options);
    const std::string trace = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(ended);
    EXPECT_EQ(log.Reports(), (std::vector<PeerCountLog::Report>{{torrent->InfoHashHex, 1}}));
    EXPECT_EQ(silent.Targets().size(), 2u * FetchAttempts);
    EXPECT_NE(trace.find(silent.Url() + ": the server sent nothing"), std::string::npos) << trace;
}

TEST_F(CheckPingThread, TerminateEndsTheCheckWithoutAReport)
{
    struct Case {
        const char* name;
        TrackerReply reply;
    };
    // A wait before asking again and fetch limits far longer than any test
    // runs: only the request can end either, so the check ending at all
    // shows that it did.
    const Case cases[] = {
        {"during the wait before asking again", ok(DictionaryPeers({"10.0.0.1"}))},
        {"during a fetch the tracker never answers", {200, "", true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FixtureTracker tracker({c.reply});
        ASSERT_TRUE(tracker.Listening());
        PeerCountLog log;
        const auto worker = TCheckPingThread::Create(*TorrentWithTrackers(tracker.Url()), log.Receiver(), endless());
        worker->Start();
        while (tracker.Targets().empty()) std::this_thread::sleep_for(5ms);
        std::this_thread::sleep_for(100ms);  // into the wait, or deep in the read
        ASSERT_FALSE(worker->Ended());

        worker->Terminate();
        ASSERT_TRUE(worker->WaitEnded(EventWaitCap)) << "the request did not end the check";
        EXPECT_TRUE(log.Reports().empty());
        EXPECT_EQ(tracker.Targets().size(), 1u);
    }
    {
        SCOPED_TRACE("during a UDP announce the tracker never answers");
        ScriptedUdpTracker tracker([](const UdpRequest&, size_t) { return std::vector<std::string>{}; });
        ASSERT_TRUE(tracker.Listening());
        PeerCountLog log;
        const auto worker = TCheckPingThread::Create(*TorrentWithTrackers(tracker.Url()), log.Receiver(), endless());
        worker->Start();
        while (tracker.Requests().empty()) std::this_thread::sleep_for(5ms);
        worker->Terminate();
        ASSERT_TRUE(worker->WaitEnded(EventWaitCap)) << "the request did not end the check";
        EXPECT_TRUE(log.Reports().empty());
        EXPECT_EQ(tracker.Requests().size(), 1u);
    }
}

TEST_F(CheckPingThread, OutlivesItsTorrentAndFreesItselfWhenItEnds)
{
    FixtureTracker tracker({ok(DictionaryPeers({"10.0.0.1", "10.0.0.2"}))});
    ASSERT_TRUE(tracker.Listening());
    PeerCountLog log;
    std::weak_ptr<TCheckPingThread> watched;
    std::string hash;
    {
        auto torrent = TorrentWithTrackers(tracker.Url());
        hash = torrent->InfoHashHex;
        auto worker = TCheckPingThread::Create(*torrent, log.Receiver(), quick());
        torrent.reset();  // the row is deleted while its check runs
        watched = worker;
        worker->Start();
    }
    const auto until = std::chrono::steady_clock::now() + EventWaitCap;
    while (!watched.expired() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(watched.expired());
    EXPECT_EQ(log.Reports(), (std::vector<PeerCountLog::Report>{{hash, 2}}));
}

// What a scripted UDP tracker answers to its n-th announce (the last repeats).
struct UdpPass {
    enum Kind { Peers, Error, Silent } kind = Peers;
    std::vector<std::string> peers;  // "a.b.c.d:port" or "[v6]:port"
};

ScriptedUdpTracker::Script udpPasses(std::vector<UdpPass> passes)
{
    auto announces = std::make_shared<size_t>(0);
    return [passes, announces](const UdpRequest& r, size_t index) -> std::vector<std::string> {
        if (r.action == 0) return {UdpConnectReply(r.transactionId, 1000 + index)};
        if (r.action != 1) return {};
        const UdpPass& pass = passes[std::min((*announces)++, passes.size() - 1)];
        if (pass.kind == UdpPass::Silent) return {};
        if (pass.kind == UdpPass::Error) return {UdpErrorReply(r.transactionId, "torrent not registered")};
        return {UdpAnnounceReplyBytes(r.transactionId, pass.peers)};
    };
}

TEST_F(CheckPingThread, CountsTheAddressesOfUdpTrackersByTheSameRules)
{
    struct Case {
        const char* name;
        const char* address;  // where the UDP tracker listens
        std::vector<UdpPass> passes;
        std::vector<uint32_t> expectedActions;  // what the UDP tracker was sent
        int32_t expectedCount;
        size_t backupRequests;  // an HTTP backup tracker's, which hands out one address
        size_t maxAddresses = PeerCheckMaxAddresses;
    };
    using P = UdpPass;
    const Case cases[] = {
        {"asked again while new addresses come, with the same connection id; ports do not count",
         "127.0.0.1",
         {{P::Peers, {"10.0.0.1:1", "10.0.0.1:2", "10.0.0.2:1"}}, {P::Peers, {"10.0.0.2:1", "10.0.0.3:1"}},
          {P::Peers, {"10.0.0.3:9"}}},
         {0, 1, 1, 1},
         3,
         0},
        {"18-byte peers over IPv6", "::1", {{P::Peers, {"[2001:db8::1]:1", "[2001:db8::1]:2", "[2001:db8::2]:1"}}},
         {0, 1, 1}, 2, 0},
        {"an error reply is the answer: nothing counted, no other tracker asked", "127.0.0.1", {{P::Error, {}}},
         {0, 1}, 0, 0},
        {"an error reply after a pass with peers keeps those peers", "127.0.0.1",
         {{P::Peers, {"10.0.0.1:1", "10.0.0.2:1"}}, {P::Error, {}}}, {0, 1, 1}, 2, 0},
        {"a re-ask that gets no answer brings nothing new", "127.0.0.1",
         {{P::Peers, {"10.0.0.1:1", "10.0.0.2:1"}}, {P::Silent, {}}}, {0, 1, 1}, 2, 0},
        {"no answer: the next tracker is asked", "127.0.0.1", {{P::Silent, {}}}, {0, 1}, 1, 2},
        {"collecting stops at the address limit", "127.0.0.1",
         {{P::Peers, {"10.0.0.1:1", "10.0.0.2:1", "10.0.0.3:1", "10.0.0.4:1"}}}, {0, 1}, 3, 0, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ForgetUdpConnectionIds();
        ScriptedUdpTracker udp(udpPasses(c.passes), c.address);
        if (!udp.Listening()) {
            ASSERT_STRNE(c.address, "127.0.0.1");
            continue;  // no IPv6 here
        }
        FixtureTracker backup({ok(DictionaryPeers({"10.9.9.9"}))});
        ASSERT_TRUE(backup.Listening());
        PeerCheckOptions options = quick(c.maxAddresses);
        // One send per request, and a wait no busy machine misses for a
        // reply the tracker does give.
        options.udp.maxSends = 1;
        options.udp.firstWait = 2s;
        const auto torrent = TorrentWithTrackers(udp.Url(), {backup.Url()});
        PeerCountLog log;
        ::testing::internal::CaptureStderr();
        const bool ended = RunCheck(*torrent, log, options);
        const std::string trace = ::testing::internal::GetCapturedStderr();
        ASSERT_TRUE(ended);
        EXPECT_EQ(log.Reports(), (std::vector<PeerCountLog::Report>{{torrent->InfoHashHex, c.expectedCount}}));
        std::vector<uint32_t> actions;
        for (const UdpRequest& r : udp.Requests()) actions.push_back(r.action);
        EXPECT_EQ(actions, c.expectedActions);
        EXPECT_EQ(backup.Targets().size(), c.backupRequests);
        if (c.backupRequests > 0) {
            EXPECT_NE(trace.find(udp.Url() + ": no reply to the announce request after 1 send"), std::string::npos)
                << trace;
        }
    }
}

TEST_F(CheckPingThread, AWholeCheckEndsAtItsLimitWithWhatItCollected)
{
    {
        SCOPED_TRACE("a tracker that hands out a new address on every ask");
        ForgetUdpConnectionIds();
        ScriptedUdpTracker endlessSwarm([](const UdpRequest& r, size_t index) -> std::vector<std::string> {
            if (r.action == 0) return {UdpConnectReply(r.transactionId, 7)};
            return {UdpAnnounceReplyBytes(r.transactionId, {"10.1." + std::to_string(index / 256 % 256) + "." +
                                                            std::to_string(index % 256) + ":1"})};
        });
        ASSERT_TRUE(endlessSwarm.Listening());
        PeerCheckOptions options = endless();
        options.recheckWait = 1ms;
        options.checkLimit = 300ms;
        PeerCountLog log;
        const auto torrent = TorrentWithTrackers(endlessSwarm.Url());
        ::testing::internal::CaptureStderr();
        const bool ended = RunCheck(*torrent, log, options);
        const std::string trace = ::testing::internal::GetCapturedStderr();
        ASSERT_TRUE(ended);
        const auto reports = log.Reports();
        ASSERT_EQ(reports.size(), 1u);
        const size_t announces = endlessSwarm.Requests().size() - 1;
        EXPECT_GE(reports[0].second, 1);
        EXPECT_LE(static_cast<size_t>(reports[0].second), announces);
        EXPECT_GE(static_cast<size_t>(reports[0].second) + 1, announces);  // the last may have been cut
        EXPECT_NE(trace.find("the peer check's time limit passed"), std::string::npos) << trace;
    }
    {
        SCOPED_TRACE("an HTTP attempt in progress is cut; later trackers are not asked");
        FixtureTracker silent({{200, "", true}});
        FixtureTracker later({ok(DictionaryPeers({"10.0.0.1"}))});
        ASSERT_TRUE(silent.Listening() && later.Listening());
        PeerCheckOptions options = endless();
        options.checkLimit = 300ms;
        PeerCountLog log;
        const auto torrent = TorrentWithTrackers(silent.Url(), {later.Url()});
        ::testing::internal::CaptureStderr();
        const bool ended = RunCheck(*torrent, log, options);
        ::testing::internal::GetCapturedStderr();
        ASSERT_TRUE(ended);
        EXPECT_EQ(log.Reports(), (std::vector<PeerCountLog::Report>{{torrent->InfoHashHex, 0}}));
        EXPECT_EQ(silent.Targets().size(), 1u);
        EXPECT_TRUE(later.Targets().empty());
    }
}

}  // namespace
}  // namespace sorvena::test
