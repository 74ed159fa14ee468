#pragma once
// A peer of our own on 127.0.0.1 for the magnet file-list tests: it speaks
// the peer wire protocol far enough to serve one info dictionary with the
// metadata extension (BEP 9 over BEP 10), well or in one of the ways a
// hostile or broken peer does. One connection at a time, on its own thread;
// it never contacts anything.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace sorvena::test {

enum class PeerBehaviour {
    Serve,          // answers every request with its piece
    WrongBytes,     // serves the dictionary with one byte changed (same size)
    HugeSize,       // announces a metadata_size of 1 TiB, then serves nothing
    Stall,          // completes the handshake, then sends nothing at all
    Flood,          // after its extension handshake sends "have" messages and pieces nobody asked for without end
    Reject,         // rejects every request
    NoExtensions,   // a handshake without the extension protocol bit
    HugeMessage,    // after the handshake, a message declaring 2 GiB
};

class FixturePeer {
public:
    // Serves info (the bencoded info dictionary); its SHA-1 is the info
    // hash it expects in a handshake. address: "127.0.0.1" or "::1".
    FixturePeer(std::string info, PeerBehaviour behaviour, const char* address = "127.0.0.1");
    ~FixturePeer();
    FixturePeer(const FixturePeer&) = delete;
    FixturePeer& operator=(const FixturePeer&) = delete;

    bool Listening() const { return m_listenFd >= 0; }
    // "127.0.0.1:<port>" or "[::1]:<port>"
    std::string Endpoint() const;

    int Connections() const { return m_connections; }
    int Requests() const { return m_requests; }  // ut_metadata requests received
    uint64_t BytesSent() const { return m_sent; }
    // Waits until a connection has sent its handshake (or cap passed).
    bool WaitHandshake(std::chrono::milliseconds cap);
    // Waits until this many connections have been served to their end.
    bool WaitServed(int connections, std::chrono::milliseconds cap);

private:
    void run();
    void serve(int fd);
    bool sendAll(int fd, std::string_view bytes);
    // Reads exactly size bytes; false when the client closed or we stop.
    bool readExactly(int fd, char* out, size_t size);

    std::string m_info;
    std::string m_infoHashRaw;
    PeerBehaviour m_behaviour;
    int m_listenFd = -1;
    uint16_t m_port = 0;
    bool m_v6 = false;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    std::atomic<int> m_requests{0};
    std::atomic<uint64_t> m_sent{0};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_handshakes = 0;  // guarded by m_mutex
    int m_served = 0;      // guarded by m_mutex
    std::thread m_thread;
};

}  // namespace sorvena::test
