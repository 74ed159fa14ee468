#include "net/IndyUtil.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "net/HttpWire.h"
#include "net/SocketWait.h"
#include "net/TlsStream.h"
#include "base/StringUtil.h"
#include "base/Trace.h"

namespace sorvena {

namespace {

// How long a wait may go without looking at the stop token.
constexpr int StopCheckMs = 100;

#ifdef MSG_NOSIGNAL
// A peer that has gone away must give EPIPE, not a SIGPIPE that ends the
// program.
constexpr int SendFlags = MSG_NOSIGNAL;
#else
constexpr int SendFlags = 0;
#endif

bool setNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

// Opens a connection to the first address of the host that accepts one
// within the connect limit.
FetchError connectTo(const HttpTarget& target, Socket& out, const AttemptClock& clock, const std::stop_token& stop,
                     std::string& reason)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(target.port);
    if (const int error = ::getaddrinfo(target.host.c_str(), port.c_str(), &hints, &found); error != 0 || !found) {
        if (error != 0) reason = ::gai_strerror(error);
        return FetchError::Resolve;
    }
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);

    for (const addrinfo* a = found; a; a = a->ai_next) {
        if (clock.Expired()) return FetchError::TooLong;
        Socket socket(::socket(a->ai_family, a->ai_socktype, a->ai_protocol));
        if (!socket.IsOpen() || !setNonBlocking(socket.Fd())) continue;
        if (::connect(socket.Fd(), a->ai_addr, a->ai_addrlen) != 0) {
            if (errno != EINPROGRESS && errno != EINTR) {
                reason = std::strerror(errno);
                continue;
            }
            const Wait wait = WaitSocket(socket.Fd(), POLLOUT, clock.ConnectUntil(), stop);
            if (wait == Wait::Stopped) return FetchError::Stopped;
            if (wait == Wait::Timeout) {
                reason = "no answer within " + LimitText(clock.ConnectLimit());
                continue;
            }
            int error = 0;
            socklen_t size = sizeof error;
            if (wait != Wait::Ready || ::getsockopt(socket.Fd(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 ||
                error != 0) {
                if (error != 0) reason = std::strerror(error);
                continue;
            }
        }
        // Over TLS the handshake's last flight and the request are two
        // writes; Nagle's algorithm would hold the request back for an
        // acknowledgement that the server may delay.
        const int on = 1;
        ::setsockopt(socket.Fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        reason.clear();
        out = std::move(socket);
        return FetchError::None;
    }
    return FetchError::Connect;
}

FetchError sendAll(const Socket& socket, std::string_view bytes, const AttemptClock& clock,
                   const std::stop_token& stop)
{
    while (!bytes.empty()) {
        const ssize_t sent = ::send(socket.Fd(), bytes.data(), bytes.size(), SendFlags);
        if (sent >= 0) {
            bytes.remove_prefix(static_cast<size_t>(sent));
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return FetchError::Send;
        const Wait wait = WaitSocket(socket.Fd(), POLLOUT, clock.ReadUntil(0), stop);
        if (wait == Wait::Stopped) return FetchError::Stopped;
        if (wait == Wait::Timeout && clock.Expired()) return FetchError::TooLong;
        if (wait != Wait::Ready) return FetchError::Send;
    }
    return FetchError::None;
}

class SocketSource final : public ByteSource {
public:
    SocketSource(const Socket& socket, const AttemptClock& clock, const std::stop_token& stop)
        : m_socket(socket), m_clock(clock), m_stop(stop)
    {}

    IoStatus Receive(char* buffer, size_t size, size_t& received, int timeoutMs) override
    {
        // Read first and wait only when nothing is there: a body that keeps
        // arriving costs one call per buffer. A body that keeps trickling in
        // still ends at the attempt limit.
        for (;;) {
            if (m_stop.stop_requested()) return IoStatus::Stopped;
            if (m_clock.Expired()) return IoStatus::Expired;
            const ssize_t got = ::recv(m_socket.Fd(), buffer, size, 0);
            if (got > 0) {
                received = static_cast<size_t>(got);
                return IoStatus::Ok;
            }
            if (got == 0) return IoStatus::Eof;
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return IoStatus::Error;
            switch (WaitSocket(m_socket.Fd(), POLLIN, m_clock.ReadUntil(timeoutMs), m_stop)) {
            case Wait::Ready: break;
            case Wait::Timeout: return m_clock.Expired() ? IoStatus::Expired : IoStatus::Timeout;
            case Wait::Stopped: return IoStatus::Stopped;
            case Wait::Error: return IoStatus::Error;
            }
        }
    }

private:
    const Socket& m_socket;
    const AttemptClock& m_clock;
    const std::stop_token& m_stop;
};

void pauseBetweenAttempts(std::chrono::milliseconds duration, const std::stop_token& stop)
{
    if (duration <= std::chrono::milliseconds::zero()) return;
    if (!stop.stop_possible()) {
        std::this_thread::sleep_for(duration);
        return;
    }
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    wake.wait_for(lock, stop, duration, [] { return false; });
}

}  // namespace

Wait WaitSocket(int fd, short events, FetchClock::time_point until, const std::stop_token& stop)
{
    const bool stoppable = stop.stop_possible();
    for (;;) {
        if (stoppable && stop.stop_requested()) return Wait::Stopped;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - FetchClock::now()).count();
        if (left <= 0) return Wait::Timeout;
        int slice = static_cast<int>(std::min<long long>(left, INT_MAX));
        if (stoppable) slice = std::min(slice, StopCheckMs);
        pollfd p{fd, events, 0};
        const int ready = ::poll(&p, 1, slice);
        if (ready > 0) return Wait::Ready;
        if (ready < 0 && errno != EINTR) return Wait::Error;
    }
}

const char* FetchErrorText(FetchError error)
{
    switch (error) {
    case FetchError::None: return "no error";
    case FetchError::BadUrl:
        return "the URL names no host, a bad port, a scheme other than http and https without a port, or holds a "
               "control byte";
    case FetchError::Resolve: return "the host name did not resolve";
    case FetchError::Connect: return "the connection was refused or failed";
    case FetchError::Tls: return "the TLS handshake or the certificate check failed";
    case FetchError::Send: return "sending the request failed";
    case FetchError::Receive: return "a socket error while reading the response";
    case FetchError::Closed: return "the server closed the connection before the response was complete";
    case FetchError::Timeout: return "the server sent nothing within the read timeout or the idle limit";
    case FetchError::TooLong: return "the attempt took longer than its time limit";
    case FetchError::LineTooLong: return "a response line is longer than 16384 bytes";
    case FetchError::HeaderTooLarge: return "the response head is too large";
    case FetchError::Redirect: return "redirect (redirects are not followed)";
    case FetchError::HttpStatus: return "the server answered with an error status";
    case FetchError::BodyTooLarge: return "the body is larger than 64 MiB";
    case FetchError::ChunkTooLarge: return "a chunk size is out of range";
    case FetchError::Stopped: return "stopped";
    case FetchError::Internal: return "out of memory";
    }
    return "unknown error";
}

std::string FetchFailureBrief(FetchError error, int status, std::string_view reason)
{
    const std::string code = std::to_string(status);
    switch (error) {
    case FetchError::None: return "no error";
    case FetchError::BadUrl: return "bad address";
    case FetchError::Resolve: return "name not resolved";
    case FetchError::Connect: return "connection refused";
    case FetchError::Tls: return reason.empty() ? "TLS failed" : "TLS: " + std::string(reason);
    case FetchError::Send:
    case FetchError::Receive: return "connection failed";
    case FetchError::Closed: return "connection closed early";
    case FetchError::Timeout:
    case FetchError::TooLong: return "timed out";
    case FetchError::Redirect: return "redirected (HTTP status " + code + ")";
    case FetchError::HttpStatus: return "HTTP status " + code;
    case FetchError::LineTooLong:
    case FetchError::HeaderTooLarge:
    case FetchError::BodyTooLarge:
    case FetchError::ChunkTooLarge: return "reply too large";
    case FetchError::Stopped: return "stopped";
    case FetchError::Internal: return "out of memory";
    }
    return status >= 0 ? "failed (HTTP status " + code + ")" : "failed";
}

Socket& Socket::operator=(Socket&& other) noexcept
{
    if (this != &other) {
        Close();
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

void Socket::Close() noexcept
{
    if (m_fd < 0) return;
    // On EINTR the descriptor is gone as well (Linux); retrying could close
    // a descriptor another thread has just opened.
    if (::close(m_fd) != 0 && errno != EINTR) SORVENA_TRACE(std::strerror(errno));
    m_fd = -1;
}

HttpClient::HttpClient(std::string url, std::string referer, int readTimeoutMs)
    : m_url(std::move(url)), m_referer(std::move(referer)), m_readTimeoutMs(readTimeoutMs)
{}

FetchError HttpClient::Get(std::string& body, const std::stop_token& stop, const FetchLimits& limits)
{
    const AttemptClock clock(limits);
    HttpTarget target;
    if (FetchError error = SplitHttpUrl(m_url, target); error != FetchError::None) return error;
    if (FetchError error = connectTo(target, m_socket, clock, stop, m_reason); error != FetchError::None)
        return error;
    const std::string request = BuildGetRequest(target, m_referer);
    FetchError error;
    if (target.tls) {
        TlsStream tls(m_socket, clock, stop);
        error = tls.Handshake(target.host, m_reason);
        if (error == FetchError::None) error = tls.Send(request);
        if (error == FetchError::None) error = ReadResponse(tls, m_readTimeoutMs, body, m_status);
    } else {
        error = sendAll(m_socket, request, clock, stop);
        SocketSource source(m_socket, clock, stop);
        if (error == FetchError::None) error = ReadResponse(source, m_readTimeoutMs, body, m_status);
    }
    m_socket.Close();
    return error;
}

HttpClient CreateHttp(std::string_view url, int readTimeoutMs)
{
    std::string text(url);
    std::string referer = "http://" + GetBetween(text, "http://", "/");
    return HttpClient(std::string(url), std::move(referer), readTimeoutMs);
}

FetchResult GetHtml(std::string_view url, const FetchOptions& options, std::string& body)
{
    FetchResult result;
    for (;;) {
        if (options.stop.stop_requested()) {
            result.error = FetchError::Stopped;
            return result;
        }
        if (result.attempts < INT_MAX) ++result.attempts;
        try {
            HttpClient client = CreateHttp(url, options.readTimeoutMs);
            result.error = client.Get(body, options.stop, options.limits);
            result.status = client.Status();
            result.reason = result.error == FetchError::None ? std::string() : client.Reason();
        } catch (const std::exception&) {
            // Out of memory for a page, most likely: this attempt is lost,
            // the next may fare better.
            result.error = FetchError::Internal;
            result.reason.clear();
        }
        result.ok = result.error == FetchError::None;
        if (result.ok || result.error == FetchError::Stopped) return result;
        if (options.attempts != 0 && result.attempts >= options.attempts) return result;
        pauseBetweenAttempts(options.pause, options.stop);
    }
}

bool GetHtml(std::string_view url, int attempts, int pauseSeconds, int readTimeoutMs, std::string& body)
{
    FetchOptions options;
    options.attempts = attempts;
    options.pause = std::chrono::seconds(pauseSeconds);
    options.readTimeoutMs = readTimeoutMs;
    return GetHtml(url, options, body).ok;
}

}  // namespace sorvena
