// The peer endpoints of HTTP tracker replies: compact, dictionary and IPv6
// forms, and what is skipped.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/FixtureTracker.h"
#include "tracker/TrackerPeers.h"

namespace sorvena::test {
namespace {

struct Case {
    const char* what;
    std::string reply;
    std::vector<PeerEndpoint> endpoints;
    size_t limit = ReplyMaxEndpoints;
};

std::string dict(const std::string& entries)
{
    return "d" + entries + "e";
}

TEST(TrackerPeers, EndpointsOfEachForm)
{
    const std::string compact = CompactPeers({"10.0.0.1:6881", "192.168.1.2:51413"});
    const std::string compact6 = CompactPeers({"[2001:db8::1]:6881"});
    const std::string peer1 = "d2:ip8:10.0.0.74:porti7000ee";
    const std::string cases_peer6 = "d2:ip11:2001:DB8::24:porti80ee";
    const std::vector<Case> cases = {
        {"compact IPv4", dict("5:peers" + BString(compact)), {{"10.0.0.1", 6881}, {"192.168.1.2", 51413}}},
        {"compact IPv6 in peers6", dict("8:intervali1800e5:peers0:6:peers6" + BString(compact6)),
         {{"2001:db8::1", 6881}}},
        {"both forms, IPv4 first", dict("5:peers" + BString(compact) + "6:peers6" + BString(compact6)),
         {{"10.0.0.1", 6881}, {"192.168.1.2", 51413}, {"2001:db8::1", 6881}}},
        {"dictionaries, IPv6 written canonically", dict("5:peersl" + peer1 + cases_peer6 + "e"),
         {{"10.0.0.7", 7000}, {"2001:db8::2", 80}}},
        {"failure reason gives nothing", dict("14:failure reason6:banned5:peers" + BString(compact)), {}},
        {"not a dictionary", "l5:peerse", {}},
        {"port 0 is skipped", dict("5:peers" + BString(CompactPeers({"10.0.0.1:0", "10.0.0.2:1"}))),
         {{"10.0.0.2", 1}}},
        {"a partial compact peer at the end is skipped", dict("5:peers" + BString(compact + std::string("\x0a\x00\x00", 3))),
         {{"10.0.0.1", 6881}, {"192.168.1.2", 51413}}},
        {"host names, integer ips and bad ports are skipped",
         dict("5:peersl" "d2:ip11:example.com4:porti1ee" "d2:ipi5e4:porti1ee" "d2:ip8:10.0.0.14:porti65536ee"
              "d2:ip8:10.0.0.14:port2:80e" "i3e" "d2:ip8:10.0.0.94:porti9ee" "e"),
         {{"10.0.0.9", 9}}},
        {"the last of a repeated key counts",
         dict("5:peers" + BString(CompactPeers({"10.0.0.1:1"})) + "5:peers" + BString(CompactPeers({"10.0.0.2:2"}))),
         {{"10.0.0.2", 2}}},
        {"the limit", dict("5:peers" + BString(compact) + "6:peers6" + BString(compact6)), {{"10.0.0.1", 6881}}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(ReplyPeerEndpoints(c.reply, c.limit), c.endpoints);
    }
}

}  // namespace
}  // namespace sorvena::test
