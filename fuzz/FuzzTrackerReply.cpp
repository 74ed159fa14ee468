// Counts the peers of arbitrary bytes as a tracker reply, with a small
// address limit so that the limit is reached too. The count never passes the
// limit, and the same reply always gives the same answer.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tracker/CheckPingThread.h"

using namespace sorvena;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view reply(reinterpret_cast<const char*>(data), size);
    constexpr size_t Limit = 64;
    const TrackerReplyPeers first = CountReplyPeers(reply, Limit);
    if (first.Addresses > Limit) std::abort();
    const TrackerReplyPeers second = CountReplyPeers(reply, Limit);
    if (second.Malformed != first.Malformed || second.Addresses != first.Addresses) std::abort();
    // Under the program's own limit the count can only be larger or equal.
    const TrackerReplyPeers unlimited = CountReplyPeers(reply);
    if (unlimited.Malformed != first.Malformed && !first.Malformed) std::abort();
    if (!unlimited.Malformed && !first.Malformed && unlimited.Addresses < first.Addresses) std::abort();
    return 0;
}
