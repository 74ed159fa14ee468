// UDP tracker announces (BEP 15) against scripted trackers on 127.0.0.1 and ::1.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "support/ScriptedUdpTracker.h"
#include "support/Waits.h"
#include "tracker/UdpTracker.h"

namespace sorvena::test {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t ConnectAction = 0;
constexpr uint32_t AnnounceAction = 1;

AnnounceRequest request()
{
    AnnounceRequest r;
    r.InfoHashRaw = std::string("\x01\x00\xFFinfo-hash-bytes-", 20);
    r.PeerId = "1E217EC12DEC49F19D2R";
    return r;
}

// Short first waits and many sends: a reply that a busy machine delivers
// late is taken by a later send, and the limit is only a cap.
UdpAnnounceOptions patient()
{
    UdpAnnounceOptions options;
    options.firstWait = 1s;
    options.maxSends = 8;
    options.limit = EventWaitCap;
    return options;
}

// A tracker that answers every connect with connection id 1000 + its index
// and every announce with peers.
ScriptedUdpTracker::Script answering(std::vector<std::string> peers)
{
    return [peers](const UdpRequest& r, size_t index) -> std::vector<std::string> {
        if (r.action == ConnectAction) return {UdpConnectReply(r.transactionId, 1000 + index)};
        if (r.action == AnnounceAction) return {UdpAnnounceReplyBytes(r.transactionId, peers, 900, 7, 3)};
        return {};
    };
}

std::vector<uint32_t> actions(const std::vector<UdpRequest>& requests)
{
    std::vector<uint32_t> out;
    for (const UdpRequest& r : requests) out.push_back(r.action);
    return out;
}

class UdpTracker : public ::testing::Test {
protected:
    // Each test's trackers are new; ids kept from another test's tracker on
    // a reused port would not be theirs.
    void SetUp() override { ForgetUdpConnectionIds(); }
};

TEST_F(UdpTracker, SendsTheBepRequestsAndReadsPeersOfTheAddressFamily)
{
    struct Case {
        const char* address;
        std::vector<std::string> peers;
        std::vector<PeerEndpoint> expected;
    };
    const Case cases[] = {
        {"127.0.0.1", {"10.0.0.1:6881", "10.0.0.2:1"}, {{"10.0.0.1", 6881}, {"10.0.0.2", 1}}},
        {"::1", {"[2001:db8::1]:6881", "[::ffff:10.0.0.1]:2"}, {{"2001:db8::1", 6881}, {"::ffff:10.0.0.1", 2}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        ScriptedUdpTracker tracker(answering(c.peers), c.address);
        if (!tracker.Listening()) {
            ASSERT_STRNE(c.address, "127.0.0.1");
            continue;  // no IPv6 here
        }
        // Path and query of the URL are not sent anywhere.
        const UdpAnnounceReply reply =
            UdpAnnounce(tracker.Url("/announce?passkey=abc"), request(), patient());
        ASSERT_TRUE(reply.Answered) << reply.Reason;
        EXPECT_EQ(reply.Failure, "");
        EXPECT_EQ(reply.Peers, c.expected);
        EXPECT_EQ(reply.Interval, 900);
        EXPECT_EQ(reply.Leechers, 7);
        EXPECT_EQ(reply.Seeders, 3);

        const std::vector<UdpRequest> seen = tracker.Requests();
        ASSERT_EQ(actions(seen), (std::vector<uint32_t>{ConnectAction, AnnounceAction}));
        EXPECT_EQ(seen[0].bytes, 16u);
        EXPECT_EQ(seen[0].connectionId, UdpProtocolId);
        const UdpRequest& a = seen[1];
        EXPECT_EQ(a.bytes, 98u);
        EXPECT_EQ(a.connectionId, 1000u);
        EXPECT_NE(a.transactionId, seen[0].transactionId);
        EXPECT_EQ(a.infoHash, request().InfoHashRaw);
        EXPECT_EQ(a.peerId, "1E217EC12DEC49F19D2R");
        EXPECT_EQ(a.downloaded, 0u);
        EXPECT_EQ(a.left, 0u);
        EXPECT_EQ(a.uploaded, 0u);
        EXPECT_EQ(a.event, 0u);
        EXPECT_EQ(a.ip, 0u);
        EXPECT_EQ(a.numWant, -1);
        EXPECT_EQ(a.port, 6881);
    }
}

// An IPv4 tracker written as an IPv6 address is reached over IPv4 and
// answers with 6-byte peers, which must not be read as 18-byte ones.
TEST_F(UdpTracker, ReadsIpv4PeersFromATrackerWrittenAsAMappedAddress)
{
    ScriptedUdpTracker tracker(answering({"10.0.0.1:6881", "10.0.0.2:1", "10.0.0.3:2"}));
    ASSERT_TRUE(tracker.Listening());
    const std::string url = "udp://[::ffff:127.0.0.1]:" + std::to_string(tracker.Port()) + "/announce";
    const UdpAnnounceReply reply = UdpAnnounce(url, request(), patient());
    if (!reply.Answered && tracker.Requests().empty()) GTEST_SKIP() << "no IPv6 sockets here: " << reply.Reason;
    ASSERT_TRUE(reply.Answered) << reply.Reason;
    EXPECT_EQ(reply.Peers, (std::vector<PeerEndpoint>{{"10.0.0.1", 6881}, {"10.0.0.2", 1}, {"10.0.0.3", 2}}));
}

TEST_F(UdpTracker, SkipsRepliesThatDoNotFitAndTakesErrorReplies)
{
    struct Case {
        const char* name;
        // Sent before the fitting reply to each connect and announce.
        std::vector<std::string> (*beforeConnect)(uint32_t tid);
        std::vector<std::string> (*beforeAnnounce)(uint32_t tid);
        bool errorOnAnnounce;
        bool errorOnConnect;
    };
    using Bytes = std::vector<std::string>;
    const Case cases[] = {
        {"another transaction id", [](uint32_t t) { return Bytes{UdpConnectReply(t + 1, 7)}; },
         [](uint32_t t) { return Bytes{UdpAnnounceReplyBytes(t ^ 0x80000000u, {"10.9.9.9:1"})}; }, false, false},
        {"another action", [](uint32_t t) { return Bytes{UdpAnnounceReplyBytes(t, {"10.9.9.9:1"})}; },
         [](uint32_t t) {
             std::string scrape = UdpConnectReply(t, 7);
             scrape[3] = 2;  // scrape
             return Bytes{UdpConnectReply(t, 7), scrape};
         },
         false, false},
        {"short replies", [](uint32_t t) { return Bytes{UdpConnectReply(t, 7).substr(0, 15), std::string(7, '\0')}; },
         [](uint32_t t) { return Bytes{UdpAnnounceReplyBytes(t, {}).substr(0, 19)}; }, false, false},
        {"an error reply to the announce", [](uint32_t) { return Bytes{}; }, [](uint32_t) { return Bytes{}; }, true,
         false},
        {"an error reply to the connect", [](uint32_t) { return Bytes{}; }, [](uint32_t) { return Bytes{}; }, false,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ForgetUdpConnectionIds();
        ScriptedUdpTracker tracker([&c](const UdpRequest& r, size_t) {
            std::vector<std::string> out;
            if (r.action == ConnectAction) {
                out = c.beforeConnect(r.transactionId);
                out.push_back(c.errorOnConnect ? UdpErrorReply(r.transactionId, "go away")
                                               : UdpConnectReply(r.transactionId, 42));
            } else if (r.action == AnnounceAction) {
                out = c.beforeAnnounce(r.transactionId);
                out.push_back(c.errorOnAnnounce ? UdpErrorReply(r.transactionId, "torrent not registered")
                                                : UdpAnnounceReplyBytes(r.transactionId, {"10.0.0.1:1"}));
            }
            return out;
        });
        ASSERT_TRUE(tracker.Listening());
        const UdpAnnounceReply reply = UdpAnnounce(tracker.Url(), request(), patient());
        ASSERT_TRUE(reply.Answered) << reply.Reason;
        if (c.errorOnConnect) {
            EXPECT_EQ(reply.Failure, "go away");
        } else if (c.errorOnAnnounce) {
            EXPECT_EQ(reply.Failure, "torrent not registered");
        } else {
            EXPECT_EQ(reply.Failure, "");
        }
        EXPECT_EQ(reply.Peers, (c.errorOnConnect || c.errorOnAnnounce ? std::vector<PeerEndpoint>{}
                                                                       : std::vector<PeerEndpoint>{{"10.0.0.1", 1}}));
        // Each request was sent once: what was skipped did not end a wait.
        const std::vector<UdpRequest> seen = tracker.Requests();
        EXPECT_EQ(actions(seen), c.errorOnConnect ? std::vector<uint32_t>{ConnectAction}
                                                  : (std::vector<uint32_t>{ConnectAction, AnnounceAction}));
        if (!c.errorOnConnect) {
            EXPECT_EQ(seen.back().connectionId, 42u);
        }
    }
}

TEST_F(UdpTracker, SendsAgainWhenNoReplyCame)
{
    // The first connect and the first announce get nothing; the
    // retransmissions get their replies.
    ScriptedUdpTracker tracker([](const UdpRequest& r, size_t index) -> std::vector<std::string> {
        if (index == 0 || index == 2) return {};
        if (r.action == ConnectAction) return {UdpConnectReply(r.transactionId, 5)};
        return {UdpAnnounceReplyBytes(r.transactionId, {"10.0.0.3:3"})};
    });
    ASSERT_TRUE(tracker.Listening());
    const UdpAnnounceReply reply = UdpAnnounce(tracker.Url(), request(), patient());
    ASSERT_TRUE(reply.Answered) << reply.Reason;
    EXPECT_EQ(reply.Peers, (std::vector<PeerEndpoint>{{"10.0.0.3", 3}}));
    const std::vector<UdpRequest> seen = tracker.Requests();
    ASSERT_GE(seen.size(), 4u);
    EXPECT_EQ(actions(seen)[0], ConnectAction);
    EXPECT_EQ(actions(seen)[1], ConnectAction);
    EXPECT_EQ(seen[0].transactionId, seen[1].transactionId);  // the same request again
    EXPECT_EQ(actions(seen)[2], AnnounceAction);
    EXPECT_EQ(actions(seen).back(), AnnounceAction);
}

TEST_F(UdpTracker, KeepsTheConnectionIdWhileItIsValid)
{
    struct Case {
        const char* name;
        std::chrono::milliseconds lifetime;
        std::chrono::milliseconds between;  // the pause between the two announces
        std::vector<uint32_t> expected;
    };
    const Case cases[] = {
        {"reused within its lifetime", std::chrono::hours(1), 0ms, {ConnectAction, AnnounceAction, AnnounceAction}},
        {"a new connect once it has expired", 50ms, 100ms,
         {ConnectAction, AnnounceAction, ConnectAction, AnnounceAction}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedUdpTracker tracker(answering({"10.0.0.1:1"}));
        ASSERT_TRUE(tracker.Listening());
        UdpAnnounceOptions options = patient();
        options.connectionIdLifetime = c.lifetime;
        ASSERT_TRUE(UdpAnnounce(tracker.Url(), request(), options).Answered);
        std::this_thread::sleep_for(c.between);
        ASSERT_TRUE(UdpAnnounce(tracker.Url(), request(), options).Answered);
        const std::vector<UdpRequest> seen = tracker.Requests();
        ASSERT_EQ(actions(seen), c.expected);
        EXPECT_EQ(seen.back().connectionId, c.expected.size() == 3 ? 1000u : 1002u);
    }
}

TEST_F(UdpTracker, ConnectsAgainWhenTheIdExpiresWhileWaitingOrIsForgotten)
{
    {
        SCOPED_TRACE("the id expires while the announce waits for its reply");
        // The first announce gets nothing; by its retransmission the id is
        // older than its lifetime, so a new connect comes first.
        ScriptedUdpTracker tracker([](const UdpRequest& r, size_t index) -> std::vector<std::string> {
            if (r.action == ConnectAction) return {UdpConnectReply(r.transactionId, 1000 + index)};
            if (index == 1) return {};
            return {UdpAnnounceReplyBytes(r.transactionId, {"10.0.0.1:1"})};
        });
        ASSERT_TRUE(tracker.Listening());
        UdpAnnounceOptions options = patient();
        options.connectionIdLifetime = 50ms;  // shorter than the first wait
        const UdpAnnounceReply reply = UdpAnnounce(tracker.Url(), request(), options);
        ASSERT_TRUE(reply.Answered) << reply.Reason;
        const std::vector<UdpRequest> seen = tracker.Requests();
        ASSERT_GE(seen.size(), 4u);
        EXPECT_EQ(actions(seen)[0], ConnectAction);
        EXPECT_EQ(actions(seen)[1], AnnounceAction);
        EXPECT_EQ(actions(seen)[2], ConnectAction);
        EXPECT_EQ(seen.back().action, AnnounceAction);
        EXPECT_NE(seen.back().connectionId, 1000u);
    }
    {
        SCOPED_TRACE("the tracker no longer knows a kept id");
        // As a tracker that restarted: announces with the first id get no reply.
        ScriptedUdpTracker tracker([](const UdpRequest& r, size_t index) -> std::vector<std::string> {
            if (r.action == ConnectAction) return {UdpConnectReply(r.transactionId, 1000 + index)};
            if (r.connectionId == 1000 && index > 1) return {};
            return {UdpAnnounceReplyBytes(r.transactionId, {"10.0.0.1:1"})};
        });
        ASSERT_TRUE(tracker.Listening());
        UdpAnnounceOptions options = patient();
        options.connectionIdLifetime = std::chrono::hours(1);
        ASSERT_TRUE(UdpAnnounce(tracker.Url(), request(), options).Answered);
        const UdpAnnounceReply reply = UdpAnnounce(tracker.Url(), request(), options);
        ASSERT_TRUE(reply.Answered) << reply.Reason;
        const std::vector<UdpRequest> seen = tracker.Requests();
        ASSERT_EQ(actions(seen), (std::vector<uint32_t>{ConnectAction, AnnounceAction, AnnounceAction, ConnectAction,
                                                         AnnounceAction}));
        EXPECT_EQ(seen[2].connectionId, 1000u);
        EXPECT_EQ(seen[4].connectionId, 1003u);
    }
    {
        SCOPED_TRACE("the tracker answers a kept id with an error");
        // A restarted tracker that says so: the error is not its answer to
        // the torrent, a new connect is; an error to a fresh id is.
        ScriptedUdpTracker tracker([](const UdpRequest& r, size_t index) -> std::vector<std::string> {
            if (r.action == ConnectAction) return {UdpConnectReply(r.transactionId, 1000 + index)};
            if (r.connectionId == 1000 && index > 1) return {UdpErrorReply(r.transactionId, "Connection ID expired")};
            if (r.connectionId == 1005) return {UdpErrorReply(r.transactionId, "unregistered torrent")};
            return {UdpAnnounceReplyBytes(r.transactionId, {"10.0.0.1:1"})};
        });
        ASSERT_TRUE(tracker.Listening());
        UdpAnnounceOptions options = patient();
        options.connectionIdLifetime = std::chrono::hours(1);
        ASSERT_TRUE(UdpAnnounce(tracker.Url(), request(), options).Answered);
        const UdpAnnounceReply reply = UdpAnnounce(tracker.Url(), request(), options);
        ASSERT_TRUE(reply.Answered) << reply.Reason;
        EXPECT_EQ(reply.Failure, "");
        EXPECT_EQ(reply.Peers.size(), 1u);
        const std::vector<UdpRequest> seen = tracker.Requests();
        ASSERT_EQ(actions(seen), (std::vector<uint32_t>{ConnectAction, AnnounceAction, AnnounceAction, ConnectAction,
                                                         AnnounceAction}));
        EXPECT_EQ(seen[4].connectionId, 1003u);

        ForgetUdpConnectionIds();  // the next connect is index 5: its id gets the error
        const UdpAnnounceReply refused = UdpAnnounce(tracker.Url(), request(), options);
        EXPECT_TRUE(refused.Answered);
        EXPECT_EQ(refused.Failure, "unregistered torrent");
        EXPECT_EQ(tracker.Requests().size(), 7u) << "an error to a fresh id is not asked again";
    }
}

TEST_F(UdpTracker, EndsWithoutAnswerAtItsLimitOrItsSendsOrWhenStopped)
{
    ScriptedUdpTracker silent([](const UdpRequest&, size_t) { return std::vector<std::string>{}; });
    ASSERT_TRUE(silent.Listening());
    {
        SCOPED_TRACE("the limit cuts the first wait");
        UdpAnnounceOptions options;
        options.firstWait = std::chrono::hours(1);
        options.limit = 200ms;
        const UdpAnnounceReply reply = UdpAnnounce(silent.Url(), request(), options);
        EXPECT_FALSE(reply.Answered);
        EXPECT_EQ(reply.Reason, "no reply to the connect request after 1 send");
    }
    {
        SCOPED_TRACE("the sends run out: waits of 20, 40 and 80 ms");
        UdpAnnounceOptions options;
        options.firstWait = 20ms;
        options.maxSends = 3;
        options.limit = std::chrono::hours(1);
        const size_t before = silent.Requests().size();
        const UdpAnnounceReply reply = UdpAnnounce(silent.Url(), request(), options);
        EXPECT_FALSE(reply.Answered);
        EXPECT_EQ(reply.Reason, "no reply to the connect request after 3 sends");
        EXPECT_EQ(silent.Requests().size() - before, 3u);
    }
    {
        SCOPED_TRACE("a stop request ends a wait that would last for hours");
        UdpAnnounceOptions options;
        options.firstWait = std::chrono::hours(1);
        options.limit = std::chrono::hours(2);
        std::stop_source stop;
        const size_t before = silent.Requests().size();
        auto announced = std::async(std::launch::async,
                                    [&] { return UdpAnnounce(silent.Url(), request(), options, stop.get_token()); });
        while (silent.Requests().size() == before) std::this_thread::sleep_for(5ms);
        stop.request_stop();
        ASSERT_EQ(announced.wait_for(EventWaitCap), std::future_status::ready);
        const UdpAnnounceReply reply = announced.get();
        EXPECT_FALSE(reply.Answered);
        EXPECT_EQ(reply.Reason, "stopped");
    }
}

TEST_F(UdpTracker, ResolvesHostNamesAndRejectsWhatIsNoTrackerAddress)
{
    ScriptedUdpTracker tracker(answering({"10.0.0.1:1"}));
    ASSERT_TRUE(tracker.Listening());
    // "localhost" may give ::1 first, where nothing listens on the port: the
    // refusal moves on to 127.0.0.1.
    const UdpAnnounceReply named =
        UdpAnnounce("UDP://localhost:" + std::to_string(tracker.Port()) + "/announce", request(), patient());
    EXPECT_TRUE(named.Answered) << named.Reason;

    uint16_t closedPort = 0;
    {
        ScriptedUdpTracker gone([](const UdpRequest&, size_t) { return std::vector<std::string>{}; });
        closedPort = gone.Port();
    }
    struct Case {
        std::string url;
        const char* reason;
    };
    const Case cases[] = {
        {"udp://127.0.0.1:" + std::to_string(closedPort), "connection refused"},
        {"udp://127.0.0.1/announce", "not a UDP tracker URL (udp://host:port)"},
        {"udp://127.0.0.1:0", "not a UDP tracker URL (udp://host:port)"},
        {"udp://127.0.0.1:65536", "not a UDP tracker URL (udp://host:port)"},
        {"udp://[::1:80", "not a UDP tracker URL (udp://host:port)"},
        {"udp://:80", "not a UDP tracker URL (udp://host:port)"},
        {"http://127.0.0.1:80", "not a UDP tracker URL (udp://host:port)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        const UdpAnnounceReply reply = UdpAnnounce(c.url, request(), patient());
        EXPECT_FALSE(reply.Answered);
        EXPECT_EQ(reply.Reason, c.reason);
    }
}

}  // namespace
}  // namespace sorvena::test
