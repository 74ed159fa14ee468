#pragma once
// The peer endpoints (address and port) of an HTTP tracker's announce reply,
// for a client that wants to connect to them: the compact forms of BEP 23
// ("peers" as 6 bytes per IPv4 peer) and BEP 7 ("peers6", 18 bytes per IPv6
// peer), and the dictionary form of BEP 3 ("peers" as a list of
// dictionaries with "ip" and "port"). Pure; any thread.

#include <cstddef>
#include <string_view>
#include <vector>

#include "tracker/UdpTracker.h"

namespace sorvena {

// Endpoints beyond this many in one reply are dropped.
inline constexpr size_t ReplyMaxEndpoints = 1000;

// The endpoints in reply order: the compact "peers" (or the dictionary list),
// then "peers6". Nothing when the reply is not a bencoded dictionary or holds
// "failure reason". Skipped: port 0, a dictionary item whose "ip" is no
// numeric IPv4 or IPv6 address (host names are not resolved) or whose "port"
// is no integer from 1 to 65535, the trailing bytes of a compact string that
// are not a whole peer. Addresses are written as inet_ntop writes them. The
// reply is read in place; the result holds at most maxEndpoints.
std::vector<PeerEndpoint> ReplyPeerEndpoints(std::string_view reply, size_t maxEndpoints = ReplyMaxEndpoints);

}  // namespace sorvena
