// How one tracker reply is counted: the same as a check that decoded the
// whole reply into a tree would count it, without building anything.

#include <gtest/gtest.h>

#include <string>
#include <unordered_set>

#include "metainfo/BDecode.h"
#include "support/CountingAllocator.h"
#include "tracker/CheckPingThread.h"

namespace sorvena::test {
namespace {

// The dictionary form, read from a decoded tree (compact forms left out).
int64_t countThroughTree(std::string_view reply)
{
    TMemoryStream stream(reply);
    const TObjectPtr decoded = BencodeDecode(stream);
    const auto* dictionary = dynamic_cast<const TObjectHash*>(decoded.get());
    if (!dictionary || dictionary->Contains("failure reason") || !dictionary->Contains("peers")) return 0;
    const auto* list = dynamic_cast<const TObjectList*>(dictionary->Get("peers"));
    if (!list) return 0;
    std::unordered_set<std::string> seen;
    for (const TObjectPtr& item : list->Items) {
        const auto* peer = dynamic_cast<const TObjectHash*>(item.get());
        if (!peer || !peer->Contains("ip")) return -1;
        const auto* ip = dynamic_cast<const TIntString*>(peer->Get("ip"));
        if (!ip) return -1;
        seen.insert(ip->Text);
    }
    return static_cast<int64_t>(seen.size());
}

TEST(ReplyWalk, CountsAsTheDecodedTreeWould)
{
    struct Case {
        const char* what;
        std::string reply;
        int64_t count;
    };
    const Case cases[] = {
        {"two peers", "d5:peersld2:ip1:aed2:ip1:beee", 2},
        {"the later of two peers keys counts", "d5:peersld2:ip1:aee5:peersld2:ip1:bed2:ip1:ceee", 2},
        {"a later peers key whose value is none keeps the earlier", "d5:peersld2:ip1:aee5:peers?e", 1},
        {"failure reason after the peers", "d5:peersld2:ip1:aee14:failure reason1:xe", 0},
        {"a byte where a key belongs undoes the whole reply", "d5:peersld2:ip1:aeeXe", 0},
        {"an item that is none is no item", "d5:peersl?d2:ip1:aeee", 1},
        {"a dictionary item that is none is no item", "d5:peersld2:ip1:aedxee", 1},
        {"the later ip of an item counts", "d5:peersld2:ip1:a2:ip1:bed2:ip1:beee", 1},
        {"an empty key is dropped", "d5:peersld0:1:x2:ip1:aeee", 1},
        {"an info key in an item", "d5:peersld4:infode2:ip1:aeee", 1},
        {"an ip that is a dictionary", "d5:peersld2:ipdeeee", -1},
        {"an item without ip", "d5:peersldeee", -1},
        {"an item that is a string", "d5:peersl1:xee", -1},
        {"the reply ends inside the list", "d5:peersld2:ip1:aed2:ip1:b", 2},
        {"an item nested past the depth limit",
         "d5:peersl" + std::string(300, 'l') + "d2:ip1:ae" + std::string(300, 'e') + "ee", -1},
        {"not a dictionary", "l5:peerse", 0},
        {"an integer ip", "d5:peersld2:ipi7eeee", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(CountReplyPeers(c.reply), c.count);
        EXPECT_EQ(countThroughTree(c.reply), c.count);
    }
}

TEST(ReplyWalk, AHugeReplyCostsOnlyItsAddresses)
{
    // 16 MiB of peers, one address among them: a tree of this reply took
    // some 40 bytes per byte for every pass of the check.
    const std::string peer = "d2:ip7:1.2.3.44:porti6881ee";
    std::string reply = "d8:intervali1800e5:peersl";
    while (reply.size() < (16u << 20)) reply += peer;
    reply += "ee";
    const AllocationPeak peak;
    EXPECT_EQ(CountReplyPeers(reply), 1);
    EXPECT_LE(peak.Bytes(), 64u * 1024);
}

}  // namespace
}  // namespace sorvena::test
