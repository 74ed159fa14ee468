#pragma once
// Announces to UDP trackers (BEP 15): "udp://host:port[/path][?query]"; the
// path and query are not used (the protocol has no place for them).
//
// One announce is a connect exchange (skipped while a connection id from an
// earlier connect to the same tracker address is still valid) followed by an
// announce exchange. Each request is sent again when no fitting reply comes
// within the BEP's wait of firstWait * 2^n (n = the sends so far of that
// request), at most maxSends times, and the whole announce ends at `limit`
// however the waits fall: with the defaults one tracker's turn takes at most
// 30 s (name resolution aside, which cannot be cut short). A reply whose
// transaction id is not the request's, whose action is neither the
// request's nor "error", or that is shorter than its action's fixed part is
// skipped and the wait goes on. An error reply (action 3) ends the announce
// as an answer with its message.
//
// The host name is resolved with getaddrinfo; its addresses are tried in
// order while one refuses (ICMP port unreachable) or cannot be sent to (no
// IPv6 route); the first that is silent uses up what is left of the limit.
// Peers come as 6-byte entries from a tracker reached over IPv4 and as
// 18-byte entries from one reached over IPv6.
//
// Connection ids are kept process-wide, per tracker address, for
// connectionIdLifetime after their connect reply (the BEP allows one minute),
// in a cache of at most UdpConnectionCacheEntries (the oldest go first).
// When an announce sent with a kept id gets no reply, the id is dropped and
// the next send starts with a new connect, as it does when the id expires
// while a request waits for its reply.
//
// Every call uses its own socket and buffer; any number of threads may
// announce at once (the cache is behind a lock). The calling thread blocks
// for the whole announce; the stop token cuts every wait short within about
// 100 ms. Never throws; reports nothing anywhere.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace sorvena {

// BEP 15's magic constant of the connect request.
inline constexpr uint64_t UdpProtocolId = 0x41727101980ULL;
// Tracker addresses whose connection ids are kept at once.
inline constexpr size_t UdpConnectionCacheEntries = 256;
// The longest error message kept from an error reply.
inline constexpr size_t UdpMaxFailureBytes = 1024;

// One peer a tracker handed out: the address as inet_ntop writes it, and the port.
struct PeerEndpoint {
    std::string Address;
    uint16_t Port = 0;
    bool operator==(const PeerEndpoint&) const = default;
};

struct AnnounceRequest {
    std::string InfoHashRaw;  // 20 bytes
    std::string PeerId;       // 20 bytes
    uint16_t Port = 6881;
    int32_t NumWant = -1;     // -1: the tracker's default
};

// The time limits of one announce. The defaults are the program's: the
// BEP's first two waits (15 s, then 30 s) cut to 30 s in all, so that a dead
// tracker (the usual case in old torrents' lists) holds a peer check no
// longer than an HTTP tracker that takes the request and stays silent.
// Tests shorten them.
struct UdpAnnounceOptions {
    std::chrono::milliseconds firstWait{15000};  // the BEP's 15 * 2^0 s before sending again
    int maxSends = 2;                            // per request: the first send and one more
    std::chrono::milliseconds limit{30000};      // the whole announce, connect included
    std::chrono::milliseconds connectionIdLifetime{60000};  // how long a connection id is used
};

struct UdpAnnounceReply {
    bool Answered = false;          // an announce or error reply arrived
    std::string Failure;            // the error reply's message ("" when none)
    std::vector<PeerEndpoint> Peers;
    std::string Reason;             // why there is no answer, for the trace line
    // From an announce reply; -1 when none arrived.
    int64_t Interval = -1;
    int64_t Leechers = -1;
    int64_t Seeders = -1;
};

// Announces once (event "none", downloaded, left and uploaded 0, the
// tracker's idea of our address, a random key). The stop token cuts every
// wait short (within about 100 ms); the reply is then not answered.
UdpAnnounceReply UdpAnnounce(std::string_view trackerUrl, const AnnounceRequest& request,
                             const UdpAnnounceOptions& options = {}, std::stop_token stop = {});

// Whether the URL names a UDP tracker ("udp://", any letter case).
bool IsUdpTrackerUrl(std::string_view url);

// Forgets every kept connection id, so that the next announce to any
// tracker starts with a connect. For a caller that knows the trackers have
// restarted (tests that reuse ports).
void ForgetUdpConnectionIds();

}  // namespace sorvena
