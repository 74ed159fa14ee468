#include "net/IndyUtil.h"

#include <fcntl.h>
#include <netdb.h>
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

enum class Wait { Ready, Timeout, Stopped, Error };

// Waits until fd is ready for events (or has an error or hang-up to report)
// for up to timeoutMs (0 or below: without limit).
Wait waitFor(int fd, short events, int timeoutMs, const std::stop_token& stop)
{
    using Clock = std::chrono::steady_clock;
    const bool stoppable = stop.stop_possible();
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        if (stoppable && stop.stop_requested()) return Wait::Stopped;
        int slice = -1;
        if (timeoutMs > 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return Wait::Timeout;
            slice = static_cast<int>(std::min<long long>(left, INT_MAX));
        }
        if (stoppable) slice = slice < 0 ? StopCheckMs : std::min(slice, StopCheckMs);
        pollfd p{fd, events, 0};
        const int ready = ::poll(&p, 1, slice);
        if (ready > 0) return Wait::Ready;
        if (ready < 0 && errno != EINTR) return Wait::Error;
    }
}

bool setNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

// Opens a connection to the first address of the host that accepts one. The
// platform's connect timeout applies; there is none of our own.
FetchError connectTo(const HttpTarget& target, Socket& out, const std::stop_token& stop)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(target.port);
    if (::getaddrinfo(target.host.c_str(), port.c_str(), &hints, &found) != 0 || !found) return FetchError::Resolve;
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);

    for (const addrinfo* a = found; a; a = a->ai_next) {
        Socket socket(::socket(a->ai_family, a->ai_socktype, a->ai_protocol));
        if (!socket.IsOpen() || !setNonBlocking(socket.Fd())) continue;
        if (::connect(socket.Fd(), a->ai_addr, a->ai_addrlen) != 0) {
            if (errno != EINPROGRESS && errno != EINTR) continue;
            const Wait wait = waitFor(socket.Fd(), POLLOUT, 0, stop);
            if (wait == Wait::Stopped) return FetchError::Stopped;
            int error = 0;
            socklen_t size = sizeof error;
            if (wait != Wait::Ready || ::getsockopt(socket.Fd(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 ||
                error != 0)
                continue;
        }
        out = std::move(socket);
        return FetchError::None;
    }
    return FetchError::Connect;
}

FetchError sendAll(const Socket& socket, std::string_view bytes, const std::stop_token& stop)
{
    while (!bytes.empty()) {
        const ssize_t sent = ::send(socket.Fd(), bytes.data(), bytes.size(), SendFlags);
        if (sent >= 0) {
            bytes.remove_prefix(static_cast<size_t>(sent));
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return FetchError::Send;
        const Wait wait = waitFor(socket.Fd(), POLLOUT, 0, stop);
        if (wait == Wait::Stopped) return FetchError::Stopped;
        if (wait != Wait::Ready) return FetchError::Send;
    }
    return FetchError::None;
}

class SocketSource final : public ByteSource {
public:
    SocketSource(const Socket& socket, const std::stop_token& stop) : m_socket(socket), m_stop(stop) {}

    IoStatus Receive(char* buffer, size_t size, size_t& received, int timeoutMs) override
    {
        // Read first and wait only when nothing is there: a body that keeps
        // arriving costs one call per buffer.
        for (;;) {
            if (m_stop.stop_requested()) return IoStatus::Stopped;
            const ssize_t got = ::recv(m_socket.Fd(), buffer, size, 0);
            if (got > 0) {
                received = static_cast<size_t>(got);
                return IoStatus::Ok;
            }
            if (got == 0) return IoStatus::Eof;
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return IoStatus::Error;
            switch (waitFor(m_socket.Fd(), POLLIN, timeoutMs, m_stop)) {
            case Wait::Ready: break;
            case Wait::Timeout: return IoStatus::Timeout;
            case Wait::Stopped: return IoStatus::Stopped;
            case Wait::Error: return IoStatus::Error;
            }
        }
    }

private:
    const Socket& m_socket;
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

FetchError HttpClient::Get(std::string& body, const std::stop_token& stop)
{
    HttpTarget target;
    if (FetchError error = SplitHttpUrl(m_url, target); error != FetchError::None) return error;
    if (FetchError error = connectTo(target, m_socket, stop); error != FetchError::None) return error;
    if (FetchError error = sendAll(m_socket, BuildGetRequest(target, m_referer), stop); error != FetchError::None)
        return error;
    SocketSource source(m_socket, stop);
    const FetchError error = ReadResponse(source, m_readTimeoutMs, body, m_status);
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
            result.error = client.Get(body, options.stop);
            result.status = client.Status();
        } catch (const std::exception&) {
            // Out of memory for a page, most likely: this attempt is lost,
            // the next may fare better.
            result.error = FetchError::Internal;
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
