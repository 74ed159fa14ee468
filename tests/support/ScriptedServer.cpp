#include "support/ScriptedServer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace sorvena::test {

namespace {

constexpr int PollMs = 20;

// Waits for fd to become readable; false when the server is stopping.
bool waitReadable(int fd, const std::atomic<bool>& stop)
{
    while (!stop) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, PollMs) > 0) return true;
    }
    return false;
}

bool sendAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0) return false;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

}  // namespace

ScriptedServer::ScriptedServer(std::vector<ScriptedReply> replies, const char* address)
    : m_replies(std::move(replies)), m_host(address)
{
    const bool v6 = std::strchr(address, ':') != nullptr;
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
        a->sin6_family = AF_INET6;
        if (::inet_pton(AF_INET6, address, &a->sin6_addr) != 1) return;
        length = sizeof *a;
        m_host = "[" + m_host + "]";
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&storage);
        a->sin_family = AF_INET;
        if (::inet_pton(AF_INET, address, &a->sin_addr) != 1) return;
        length = sizeof *a;
    }
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        ::close(fd);
        return;
    }
    m_port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                      : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
    m_listenFd = fd;
    m_thread = std::thread([this] { Run(); });
}

ScriptedServer::~ScriptedServer()
{
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_listenFd >= 0) ::close(m_listenFd);
}

std::string ScriptedServer::Url(std::string_view path) const
{
    return "http://" + m_host + ":" + std::to_string(m_port) + std::string(path);
}

std::vector<std::string> ScriptedServer::Requests() const
{
    std::lock_guard lock(m_mutex);
    return m_requests;
}

std::vector<ScriptedServer::Clock::time_point> ScriptedServer::AcceptTimes() const
{
    std::lock_guard lock(m_mutex);
    return m_acceptTimes;
}

void ScriptedServer::Run()
{
    size_t next = 0;
    while (waitReadable(m_listenFd, m_stop)) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        {
            std::lock_guard lock(m_mutex);
            m_acceptTimes.push_back(Clock::now());
        }
        Serve(fd, m_replies[std::min(next++, m_replies.size() - 1)]);
        ::close(fd);
    }
}

void ScriptedServer::Serve(int fd, const ScriptedReply& reply)
{
    // Read the whole request head first: closing with unread bytes would
    // reset the connection and could drop the reply.
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && waitReadable(fd, m_stop)) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        request.append(buffer, static_cast<size_t>(got));
    }
    {
        std::lock_guard lock(m_mutex);
        m_requests.push_back(request);
    }
    if (!sendAll(fd, reply.bytes.data(), reply.bytes.size())) return;
    const std::string filler(std::min<size_t>(reply.fillerBytes, 1 << 20), 'x');
    for (size_t left = reply.fillerBytes; left > 0;) {
        const size_t n = std::min(left, filler.size());
        if (!sendAll(fd, filler.data(), n)) return;
        left -= n;
    }
    if (reply.hold) {
        while (waitReadable(fd, m_stop) && ::recv(fd, buffer, sizeof buffer, 0) > 0) {
        }
    }
}

int OpenFdCount()
{
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        ::closedir(dir);
    }
    return count;
}

}  // namespace sorvena::test
