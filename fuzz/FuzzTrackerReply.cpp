// Counts the peers of arbitrary bytes as a tracker reply, with a small
// address limit so that the limit is reached too. The count never passes the
// limit, the same reply always gives the same answer, and a larger limit
// agrees with it.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tracker/CheckPingThread.h"

using namespace sorvena;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view reply(reinterpret_cast<const char*>(data), size);
    constexpr size_t Limit = 64;
    // -1: a malformed peer list.
    const int64_t first = CountReplyPeers(reply, Limit);
    if (first < -1 || first > static_cast<int64_t>(Limit)) std::abort();
    if (CountReplyPeers(reply, Limit) != first) std::abort();
    // Under the program's own limit: a malformed list stays malformed, a
    // count below the small limit stays the same, and one that reached it
    // can only grow (or meet a malformed item past it).
    const int64_t unlimited = CountReplyPeers(reply);
    if (first < 0 && unlimited != -1) std::abort();
    if (first >= 0 && first < static_cast<int64_t>(Limit) && unlimited != first) std::abort();
    if (first == static_cast<int64_t>(Limit) && unlimited != -1 && unlimited < first) std::abort();
    return 0;
}
