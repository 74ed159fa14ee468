#include "support/ScriptedUdpTracker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "support/FixtureTracker.h"

namespace sorvena::test {

namespace {

constexpr uint64_t ProtocolId = 0x41727101980ULL;

void putU32(std::string& out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((value >> shift) & 0xFF);
}

void putU64(std::string& out, uint64_t value)
{
    putU32(out, static_cast<uint32_t>(value >> 32));
    putU32(out, static_cast<uint32_t>(value));
}

uint32_t getU32(const char* bytes)
{
    const auto* b = reinterpret_cast<const unsigned char*>(bytes);
    return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | uint32_t{b[3]};
}

uint64_t getU64(const char* bytes)
{
    return (uint64_t{getU32(bytes)} << 32) | getU32(bytes + 4);
}

UdpRequest parse(const char* data, size_t size)
{
    UdpRequest r;
    r.bytes = size;
    if (size < 16) return r;
    r.connectionId = getU64(data);
    r.action = getU32(data + 8);
    r.transactionId = getU32(data + 12);
    if (r.action != 1 || size < 98) return r;
    r.infoHash.assign(data + 16, 20);
    r.peerId.assign(data + 36, 20);
    r.downloaded = getU64(data + 56);
    r.left = getU64(data + 64);
    r.uploaded = getU64(data + 72);
    r.event = getU32(data + 80);
    r.ip = getU32(data + 84);
    r.key = getU32(data + 88);
    r.numWant = static_cast<int32_t>(getU32(data + 92));
    r.port = static_cast<uint16_t>((static_cast<unsigned char>(data[96]) << 8) | static_cast<unsigned char>(data[97]));
    return r;
}

}  // namespace

ScriptedUdpTracker::ScriptedUdpTracker(Script script, const char* address)
    : m_script(std::move(script)), m_host(address)
{
    const bool v6 = std::strchr(address, ':') != nullptr;
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (v6) {
        auto& a = reinterpret_cast<sockaddr_in6&>(storage);
        a.sin6_family = AF_INET6;
        ::inet_pton(AF_INET6, address, &a.sin6_addr);
        length = sizeof a;
    } else {
        auto& a = reinterpret_cast<sockaddr_in&>(storage);
        a.sin_family = AF_INET;
        ::inet_pton(AF_INET, address, &a.sin_addr);
        length = sizeof a;
    }
    auto* a = reinterpret_cast<sockaddr*>(&storage);
    if (::bind(fd, a, length) != 0 || ::getsockname(fd, a, &length) != 0) {
        ::close(fd);
        return;
    }
    m_port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(a)->sin6_port : reinterpret_cast<sockaddr_in*>(a)->sin_port);
    m_fd = fd;
    m_thread = std::thread([this] { run(); });
}

ScriptedUdpTracker::~ScriptedUdpTracker()
{
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_fd >= 0) ::close(m_fd);
}

std::string ScriptedUdpTracker::Url(std::string_view path) const
{
    const bool v6 = m_host.find(':') != std::string::npos;
    return "udp://" + (v6 ? "[" + m_host + "]" : m_host) + ":" + std::to_string(m_port) + std::string(path);
}

std::vector<UdpRequest> ScriptedUdpTracker::Requests() const
{
    std::lock_guard lock(m_mutex);
    return m_requests;
}

void ScriptedUdpTracker::run()
{
    std::vector<char> buffer(65536);
    while (!m_stop) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        const ssize_t got =
            ::recvfrom(m_fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (got < 0) continue;
        const UdpRequest request = parse(buffer.data(), static_cast<size_t>(got));
        size_t index = 0;
        {
            std::lock_guard lock(m_mutex);
            index = m_requests.size();
            m_requests.push_back(request);
        }
        for (const std::string& reply : m_script(request, index))
            ::sendto(m_fd, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&from), fromLength);
    }
}

std::string UdpConnectReply(uint32_t transactionId, uint64_t connectionId)
{
    std::string out;
    putU32(out, 0);
    putU32(out, transactionId);
    putU64(out, connectionId);
    return out;
}

std::string UdpAnnounceReplyBytes(uint32_t transactionId, const std::vector<std::string>& peers, uint32_t interval,
                                  uint32_t leechers, uint32_t seeders)
{
    std::string out;
    putU32(out, 1);
    putU32(out, transactionId);
    putU32(out, interval);
    putU32(out, leechers);
    putU32(out, seeders);
    return out + CompactPeers(peers);
}

std::string UdpErrorReply(uint32_t transactionId, std::string_view message)
{
    std::string out;
    putU32(out, 3);
    putU32(out, transactionId);
    out += message;
    return out;
}

std::string UdpAnnounceFrom(const std::string& sourceAddress, uint16_t port, std::string_view infoHashRaw)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return {};
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    sockaddr_in source{};
    source.sin_family = AF_INET;
    ::inet_pton(AF_INET, sourceAddress.c_str(), &source.sin_addr);
    sockaddr_in tracker{};
    tracker.sin_family = AF_INET;
    tracker.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &tracker.sin_addr);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0 ||
        ::connect(fd, reinterpret_cast<const sockaddr*>(&tracker), sizeof tracker) != 0)
        return {};

    // Sends request until a reply with its transaction id comes.
    const auto exchange = [fd](const std::string& request, uint32_t transactionId) -> std::string {
        char buffer[65536];
        for (int send = 0; send < 5; ++send) {
            if (::send(fd, request.data(), request.size(), 0) != static_cast<ssize_t>(request.size())) return {};
            pollfd p{fd, POLLIN, 0};
            while (::poll(&p, 1, 1000) > 0) {
                const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
                if (got < 8) break;
                if (getU32(buffer + 4) == transactionId) return std::string(buffer, static_cast<size_t>(got));
            }
        }
        return {};
    };
    std::string connect;
    putU64(connect, ProtocolId);
    putU32(connect, 0);
    putU32(connect, 0x5EED0001);
    const std::string connected = exchange(connect, 0x5EED0001);
    if (connected.size() < 16 || getU32(connected.data()) != 0) return connected;

    std::string peerId = "-SV0000-" + sourceAddress;
    peerId.resize(20, '-');
    std::string announce = connected.substr(8, 8);
    putU32(announce, 1);
    putU32(announce, 0x5EED0002);
    std::string hash(infoHashRaw);
    hash.resize(20, '\0');
    announce += hash + peerId;
    putU64(announce, 0);  // downloaded
    putU64(announce, 1);  // left
    putU64(announce, 0);  // uploaded
    putU32(announce, 2);  // event: started
    putU32(announce, 0);  // ip
    putU32(announce, 0);  // key
    putU32(announce, static_cast<uint32_t>(-1));
    announce += static_cast<char>(6881 >> 8);
    announce += static_cast<char>(6881 & 0xFF);
    return exchange(announce, 0x5EED0002);
}

}  // namespace sorvena::test
