#pragma once
// A scripted HTTP tracker on 127.0.0.1 for the peer-check tests: it answers
// the n-th request with the n-th scripted reply (the last one repeats) and
// records the exact request target of every request. One connection at a
// time, on its own thread; it never contacts anything.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace sorvena::test {

struct TrackerReply {
    int status = 200;
    std::string body;
    bool hold = false;  // send nothing and keep the connection open until the client goes
};

class FixtureTracker {
public:
    explicit FixtureTracker(std::vector<TrackerReply> replies);
    ~FixtureTracker();
    FixtureTracker(const FixtureTracker&) = delete;
    FixtureTracker& operator=(const FixtureTracker&) = delete;

    bool Listening() const { return m_listenFd >= 0; }
    // "http://127.0.0.1:<port>" followed by path.
    std::string Url(std::string_view path = "/announce") const;
    // The request target ("/announce?info_hash=…") of every request so far.
    std::vector<std::string> Targets() const;

private:
    void run();
    void serve(int fd, const TrackerReply& reply);

    std::vector<TrackerReply> m_replies;
    int m_listenFd = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::vector<std::string> m_targets;
    std::thread m_thread;
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
