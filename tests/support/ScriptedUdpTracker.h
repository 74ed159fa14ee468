#pragma once
// A scripted UDP tracker (BEP 15) on 127.0.0.1 or ::1 for the edge cases a
// real tracker does not show: every datagram that arrives is recorded,
// parsed as a connect or an announce request, and handed to the test's
// script, which returns the datagrams to send back (none: stay silent). The
// script runs on the tracker's own thread, one datagram at a time; it never
// contacts anything but the sender.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace sorvena::test {

struct UdpRequest {
    size_t bytes = 0;              // the datagram's length
    uint64_t connectionId = 0;     // connect: the protocol id
    uint32_t action = UINT32_MAX;  // UINT32_MAX: shorter than 16 bytes
    uint32_t transactionId = 0;
    // Announce requests (98 bytes or more) only:
    std::string infoHash;
    std::string peerId;
    uint64_t downloaded = 0;
    uint64_t left = 0;
    uint64_t uploaded = 0;
    uint32_t event = 0;
    uint32_t ip = 0;
    uint32_t key = 0;
    int32_t numWant = 0;
    uint16_t port = 0;
};

class ScriptedUdpTracker {
public:
    // request: the one that just came; index: its number among all so far (from 0).
    using Script = std::function<std::vector<std::string>(const UdpRequest& request, size_t index)>;

    // address: "127.0.0.1" or "::1".
    explicit ScriptedUdpTracker(Script script, const char* address = "127.0.0.1");
    ~ScriptedUdpTracker();
    ScriptedUdpTracker(const ScriptedUdpTracker&) = delete;
    ScriptedUdpTracker& operator=(const ScriptedUdpTracker&) = delete;

    // False when the address could not be bound (no IPv6 on this host).
    bool Listening() const { return m_fd >= 0; }
    uint16_t Port() const { return m_port; }
    // "udp://127.0.0.1:<port>" (or "udp://[::1]:<port>") followed by path.
    std::string Url(std::string_view path = "/announce") const;
    std::vector<UdpRequest> Requests() const;

private:
    void run();

    Script m_script;
    std::string m_host;
    int m_fd = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::vector<UdpRequest> m_requests;
    std::thread m_thread;
};

// Replies, byte for byte as BEP 15 lays them out.
std::string UdpConnectReply(uint32_t transactionId, uint64_t connectionId);
// peers: "a.b.c.d:port" (6 bytes each) or "[v6]:port" (18 bytes each), as CompactPeers.
std::string UdpAnnounceReplyBytes(uint32_t transactionId, const std::vector<std::string>& peers,
                                  uint32_t interval = 1800, uint32_t leechers = 0, uint32_t seeders = 0);
std::string UdpErrorReply(uint32_t transactionId, std::string_view message);

// Announces to a UDP tracker at 127.0.0.1:port from sourceAddress (a
// loopback address such as "127.0.0.2"), as a peer on port 6881 that still
// needs data, with a peer id of its own; sends each request up to five times
// a second apart while no reply comes. Returns the announce reply (or the
// error reply); empty when none came.
std::string UdpAnnounceFrom(const std::string& sourceAddress, uint16_t port, std::string_view infoHashRaw);

}  // namespace sorvena::test
