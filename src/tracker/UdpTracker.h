#pragma once
// Announces to UDP trackers (BEP 15): "udp://host:port[/path]".
//
// One announce is a connect exchange (skipped while a connection id from an
// earlier connect to the same tracker is still valid) followed by an
// announce exchange, each sent again on the BEP's schedule when no fitting
// reply comes, with that schedule capped so that the whole announce ends
// within UdpAnnounceLimit. Replies whose action or transaction id do not fit
// are skipped; an error reply (action 3) ends the announce as an answer
// with its message.

#include <chrono>
#include <cstdint>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace sorvena {

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

// The time limits of one announce. The defaults are the program's; tests
// shorten them.
struct UdpAnnounceOptions {
    std::chrono::milliseconds firstWait{15000};  // the BEP's 15 * 2^0 s before sending again
    int maxSends = 3;                            // per exchange: the first send and two more
    std::chrono::milliseconds limit{60000};      // the whole announce, connect included
};

struct UdpAnnounceReply {
    bool Answered = false;          // an announce or error reply arrived
    std::string Failure;            // the error reply's message ("" when none)
    std::vector<PeerEndpoint> Peers;
    std::string Reason;             // why there is no answer, for the trace line
};

// Announces once. The stop token cuts every wait short (within about 100 ms);
// the reply is then not answered.
UdpAnnounceReply UdpAnnounce(std::string_view trackerUrl, const AnnounceRequest& request,
                             const UdpAnnounceOptions& options = {}, std::stop_token stop = {});

// Whether the URL names a UDP tracker ("udp://", any letter case).
bool IsUdpTrackerUrl(std::string_view url);

}  // namespace sorvena
