#pragma once
// The base of the loopback test servers: listens on an ephemeral port of a
// loopback address, accepts one connection at a time on its own thread,
// optionally speaks TLS with a given certificate, and hands each connection
// to the derived server. It never contacts anything but the address it
// listens on.
//
// A derived server calls Start at the end of its constructor and Stop first
// in its destructor, so that the thread is gone before the derived members.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

struct ssl_st;
struct ssl_ctx_st;

namespace sorvena::test {

// A server certificate (PEM, leaf first, then any intermediates) and its
// private key (PEM).
struct TlsIdentity {
    std::string certificatePem;
    std::string keyPem;
};

// One accepted connection, plain or TLS (handshake done). Used by the
// server thread only.
class ServerConnection {
public:
    ServerConnection(int fd, ssl_st* ssl, const std::atomic<bool>& stop);
    ~ServerConnection();
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    // Reads until the request head is complete (an empty line), the client
    // closes, 64 KiB have come or the server stops; returns what came.
    std::string ReadHead();
    // Sends all bytes; false when the client has gone or the server stops.
    bool Send(std::string_view bytes);
    // Sends bytes one at a time, each after a pause.
    bool Trickle(std::string_view bytes, std::chrono::milliseconds pause);
    // Drops what the client sends until it closes or the server stops.
    void Hold();
    // Without TLS, or after SkipCloseNotify, the connection just closes.
    void SkipCloseNotify() { m_closeNotify = false; }
    // The server name the client asked for (SNI); empty without TLS or SNI.
    std::string ServerName() const;

private:
    // Up to size bytes; 0 at the end of the stream; below 0 on error or stop.
    long receive(char* buffer, size_t size);

    int m_fd;
    ssl_st* m_ssl;
    const std::atomic<bool>& m_stop;
    bool m_closeNotify = true;
};

class LoopbackServer {
public:
    virtual ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // False when the address could not be bound (no IPv6 on this host) or
    // the TLS identity was unusable.
    bool Listening() const { return m_listenFd >= 0; }
    uint16_t Port() const { return m_port; }
    // "127.0.0.1:<port>" or "[::1]:<port>".
    std::string HostPort() const;
    // "http://" or "https://", the host and port, then path.
    std::string Url(std::string_view path) const;

protected:
    // address: "127.0.0.1" or "::1". tls: speak TLS with this identity.
    explicit LoopbackServer(const char* address = "127.0.0.1", const TlsIdentity* tls = nullptr);
    void Start();
    void Stop();
    bool Stopping() const { return m_stop; }

    // Serves one connection; it is closed when this returns.
    virtual void Serve(ServerConnection& connection) = 0;

private:
    void run();

    std::string m_host;
    int m_listenFd = -1;
    uint16_t m_port = 0;
    std::shared_ptr<ssl_ctx_st> m_tls;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Binds a TCP socket to 127.0.0.1 on an ephemeral port without listening;
// -1 on failure.
int BindLoopback(uint16_t& port);

}  // namespace sorvena::test
