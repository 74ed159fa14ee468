#pragma once
// A loopback HTTP server for tests that answers each connection with the next
// scripted reply, byte for byte, and records the exact request bytes it got.
// One connection at a time, on its own thread; never contacts anything but
// the loopback address it listens on.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace sorvena::test {

struct ScriptedReply {
    std::string bytes;       // sent once the request head has arrived
    size_t fillerBytes = 0;  // then this many 'x' bytes
    bool hold = false;       // then keep the connection open until the client closes it
};

class ScriptedServer {
public:
    using Clock = std::chrono::steady_clock;

    // Listens on an ephemeral port of address ("127.0.0.1" or "::1").
    // Connection i gets replies[i]; connections past the end get the last.
    explicit ScriptedServer(std::vector<ScriptedReply> replies, const char* address = "127.0.0.1");
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    // False when the address could not be bound (no IPv6 on this host).
    bool Listening() const { return m_listenFd >= 0; }
    uint16_t Port() const { return m_port; }
    // "http://<address>:<port>" followed by path.
    std::string Url(std::string_view path) const;

    // The request bytes of every connection so far, in order.
    std::vector<std::string> Requests() const;
    // When each connection was accepted.
    std::vector<Clock::time_point> AcceptTimes() const;

private:
    void Run();
    void Serve(int fd, const ScriptedReply& reply);

    std::vector<ScriptedReply> m_replies;
    std::string m_host;
    int m_listenFd = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::vector<std::string> m_requests;
    std::vector<Clock::time_point> m_acceptTimes;
    std::thread m_thread;
};

// How many file descriptors this process has open.
int OpenFdCount();

}  // namespace sorvena::test
