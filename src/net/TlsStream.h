#pragma once
// The TLS client side of one fetch attempt (OpenSSL 3) over a connected
// non-blocking socket: handshake with verification, request, response bytes.
// Private to src/net. Used by one thread; the socket must outlive it.

#include <stop_token>
#include <string>
#include <string_view>

#include "net/HttpWire.h"
#include "net/Socket.h"
#include "net/SocketWait.h"

struct ssl_st;

namespace sorvena {

class TlsStream final : public ByteSource {
public:
    TlsStream(const Socket& socket, const AttemptClock& clock, const std::stop_token& stop);
    ~TlsStream() override;
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    // Negotiates TLS 1.2 or later with host (a DNS name, sent as SNI, or an
    // IP literal without brackets) and verifies its certificate chain and
    // name. On failure reason says why, when there is more to say than the
    // error.
    FetchError Handshake(const std::string& host, std::string& reason);
    FetchError Send(std::string_view bytes);
    // Ok, or Eof when the server closed (with close_notify or without).
    IoStatus Receive(char* buffer, size_t size, size_t& received, int timeoutMs) override;

private:
    // Waits for what OpenSSL asked for after a call returned code.
    Wait waitForRetry(int code, FetchClock::time_point until);

    const Socket& m_socket;
    const AttemptClock& m_clock;
    const std::stop_token& m_stop;
    ssl_st* m_ssl = nullptr;
};

}  // namespace sorvena
