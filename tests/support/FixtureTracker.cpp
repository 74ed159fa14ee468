#include "support/FixtureTracker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace sorvena::test {

namespace {

constexpr int PollMs = 20;

bool waitReadable(int fd, const std::atomic<bool>& stop)
{
    while (!stop) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, PollMs) > 0) return true;
    }
    return false;
}

void sendAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0) return;
        bytes.remove_prefix(static_cast<size_t>(sent));
    }
}

// Binds a TCP socket to 127.0.0.1 on an ephemeral port.
int bindLoopback(uint16_t& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

}  // namespace

FixtureTracker::FixtureTracker(std::vector<TrackerReply> replies) : m_replies(std::move(replies))
{
    if (m_replies.empty()) m_replies.push_back({});
    const int fd = bindLoopback(m_port);
    if (fd < 0) return;
    if (::listen(fd, 64) != 0) {
        ::close(fd);
        return;
    }
    m_listenFd = fd;
    m_thread = std::thread([this] { run(); });
}

FixtureTracker::~FixtureTracker()
{
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_listenFd >= 0) ::close(m_listenFd);
}

std::string FixtureTracker::Url(std::string_view path) const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + std::string(path);
}

std::vector<std::string> FixtureTracker::Targets() const
{
    std::lock_guard lock(m_mutex);
    return m_targets;
}

void FixtureTracker::run()
{
    size_t next = 0;
    while (waitReadable(m_listenFd, m_stop)) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        serve(fd, m_replies[std::min(next++, m_replies.size() - 1)]);
        ::close(fd);
    }
}

void FixtureTracker::serve(int fd, const TrackerReply& reply)
{
    // The whole head first: closing with unread bytes would reset the
    // connection and could drop the reply.
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && waitReadable(fd, m_stop)) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        request.append(buffer, static_cast<size_t>(got));
    }
    // "GET <target> HTTP/1.1"
    const size_t start = request.find(' ');
    const size_t end = start == std::string::npos ? start : request.find(' ', start + 1);
    {
        std::lock_guard lock(m_mutex);
        m_targets.push_back(end == std::string::npos ? request : request.substr(start + 1, end - start - 1));
    }
    if (reply.hold) {
        while (waitReadable(fd, m_stop) && ::recv(fd, buffer, sizeof buffer, 0) > 0) {
        }
        return;
    }
    sendAll(fd, "HTTP/1.1 " + std::to_string(reply.status) + " Scripted\r\nContent-Type: text/plain\r\n" +
                    "Content-Length: " + std::to_string(reply.body.size()) + "\r\nConnection: close\r\n\r\n" +
                    reply.body);
}

RefusingPort::RefusingPort()
{
    m_fd = bindLoopback(m_port);
}

RefusingPort::~RefusingPort()
{
    if (m_fd >= 0) ::close(m_fd);
}

std::string RefusingPort::Url(std::string_view path) const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + std::string(path);
}

std::string BString(std::string_view bytes)
{
    return std::to_string(bytes.size()) + ":" + std::string(bytes);
}

std::string DictionaryPeers(const std::vector<std::string>& ips)
{
    std::string out = "d8:intervali1800e5:peersl";
    for (const std::string& ip : ips) out += "d2:ip" + BString(ip) + "4:porti6881ee";
    return out + "ee";
}

std::string CompactPeers(const std::vector<std::string>& endpoints)
{
    std::string out;
    for (const std::string& endpoint : endpoints) {
        const size_t colon = endpoint.rfind(':');
        const bool v6 = endpoint.front() == '[';
        const std::string host = v6 ? endpoint.substr(1, colon - 2) : endpoint.substr(0, colon);
        unsigned char address[16];
        if (::inet_pton(v6 ? AF_INET6 : AF_INET, host.c_str(), address) != 1)
            throw std::invalid_argument("not an endpoint: " + endpoint);
        out.append(reinterpret_cast<const char*>(address), v6 ? 16 : 4);
        const auto port = static_cast<uint16_t>(std::stoi(endpoint.substr(colon + 1)));
        out += static_cast<char>(port >> 8);
        out += static_cast<char>(port & 0xFF);
    }
    return out;
}

}  // namespace sorvena::test
