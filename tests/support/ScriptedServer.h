#pragma once
// A loopback HTTP (or HTTPS) server for tests that answers each connection
// with the next scripted reply, byte for byte, and records the exact request
// bytes it got. One connection at a time, on its own thread.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "support/LoopbackServer.h"

namespace sorvena::test {

struct ScriptedReply {
    std::string bytes;       // sent once the request head has arrived
    size_t fillerBytes = 0;  // then this many 'x' bytes
    bool hold = false;       // then keep the connection open until the client closes it
    bool closeNotify = true;                 // over TLS: end with close_notify (else just close)
    std::chrono::milliseconds trickle{0};    // send bytes one at a time with this pause between
    bool silent = false;                     // read nothing, send nothing, hold until the client closes
};

class ScriptedServer final : public LoopbackServer {
public:
    using Clock = std::chrono::steady_clock;

    // Listens on an ephemeral port of address ("127.0.0.1" or "::1"), with
    // TLS when tls is given. Connection i gets replies[i]; connections past
    // the end get the last.
    explicit ScriptedServer(std::vector<ScriptedReply> replies, const char* address = "127.0.0.1",
                            const TlsIdentity* tls = nullptr);
    ~ScriptedServer() override;

    // The request bytes of every connection so far, in order.
    std::vector<std::string> Requests() const;
    // When each connection was accepted (after the TLS handshake).
    std::vector<Clock::time_point> AcceptTimes() const;
    // The server name (SNI) each TLS connection asked for.
    std::vector<std::string> ServerNames() const;

private:
    void Serve(ServerConnection& connection) override;

    std::vector<ScriptedReply> m_replies;
    size_t m_next = 0;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_requests;
    std::vector<Clock::time_point> m_acceptTimes;
    std::vector<std::string> m_serverNames;
};

// How many file descriptors this process has open.
int OpenFdCount();

}  // namespace sorvena::test
