#include "support/FixtureTracker.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace sorvena::test {

FixtureTracker::FixtureTracker(std::vector<TrackerReply> replies, const TlsIdentity* tls)
    : LoopbackServer("127.0.0.1", tls), m_replies(std::move(replies))
{
    if (m_replies.empty()) m_replies.push_back({});
    Start();
}

FixtureTracker::~FixtureTracker()
{
    Stop();
}

std::vector<std::string> FixtureTracker::Targets() const
{
    std::lock_guard lock(m_mutex);
    return m_targets;
}

void FixtureTracker::Serve(ServerConnection& connection)
{
    const TrackerReply& reply = m_replies[std::min(m_next++, m_replies.size() - 1)];
    const std::string request = connection.ReadHead();
    // "GET <target> HTTP/1.1"
    const size_t start = request.find(' ');
    const size_t end = start == std::string::npos ? start : request.find(' ', start + 1);
    {
        std::lock_guard lock(m_mutex);
        m_targets.push_back(end == std::string::npos ? request : request.substr(start + 1, end - start - 1));
    }
    if (reply.hold) {
        connection.Hold();
        return;
    }
    connection.Send("HTTP/1.1 " + std::to_string(reply.status) + " Scripted\r\nContent-Type: text/plain\r\n" +
                    "Content-Length: " + std::to_string(reply.body.size()) + "\r\nConnection: close\r\n\r\n" +
                    reply.body);
}

RefusingPort::RefusingPort()
{
    m_fd = BindLoopback(m_port);
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
