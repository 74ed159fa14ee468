#pragma once
// A scripted HTTP (or HTTPS) tracker on 127.0.0.1 for the peer-check tests:
// it answers the n-th request with the n-th scripted reply (the last one
// repeats) and records the exact request target of every request. One
// connection at a time, on its own thread; it never contacts anything.

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "support/LoopbackServer.h"

namespace sorvena::test {

struct TrackerReply {
    int status = 200;
    std::string body;
    bool hold = false;  // send nothing and keep the connection open until the client goes
};

class FixtureTracker final : public LoopbackServer {
public:
    // With tls, the tracker answers over TLS with that certificate.
    explicit FixtureTracker(std::vector<TrackerReply> replies, const TlsIdentity* tls = nullptr);
    ~FixtureTracker() override;

    // "http://127.0.0.1:<port>" (or "https://…") followed by path.
    std::string Url(std::string_view path = "/announce") const { return LoopbackServer::Url(path); }
    // The request target ("/announce?info_hash=…") of every request so far.
    std::vector<std::string> Targets() const;

private:
    void Serve(ServerConnection& connection) override;

    std::vector<TrackerReply> m_replies;
    size_t m_next = 0;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_targets;
};

// A loopback port that refuses every connection: bound, never listening.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    std::string Url(std::string_view path = "/announce") const;

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

// Bencode text for replies.
std::string BString(std::string_view bytes);
// {"peers": [{"ip": ip, "port": 6881}, ...]}
std::string DictionaryPeers(const std::vector<std::string>& ips);
// 6 bytes per "a.b.c.d:port" (IPv4) or 18 bytes per "[v6]:port".
std::string CompactPeers(const std::vector<std::string>& endpoints);

}  // namespace sorvena::test
