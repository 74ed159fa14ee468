#include "support/FixturePeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "metainfo/MessageDigests.h"
#include "swarm/PeerWire.h"

namespace sorvena::test {

namespace {

constexpr uint8_t FixtureUtMetadataId = 3;  // our id for ut_metadata: not the fetcher's, so mix-ups show

uint32_t bigEndian32(const char* p)
{
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return (uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) | (uint32_t{u[2]} << 8) | u[3];
}

std::string dataMessage(int64_t piece, int64_t totalSize, std::string_view data)
{
    std::string out = "d8:msg_typei1e5:piecei" + std::to_string(piece) + "e10:total_sizei" +
                      std::to_string(totalSize) + "ee";
    out += data;
    return out;
}

}  // namespace

FixturePeer::FixturePeer(std::string info, PeerBehaviour behaviour, const char* address)
    : m_info(std::move(info)), m_infoHashRaw(Sha1Raw(m_info)), m_behaviour(behaviour),
      m_v6(std::string_view(address).find(':') != std::string_view::npos)
{
    sockaddr_storage a{};
    socklen_t length = 0;
    if (m_v6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&a);
        v6->sin6_family = AF_INET6;
        ::inet_pton(AF_INET6, address, &v6->sin6_addr);
        length = sizeof *v6;
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&a);
        v4->sin_family = AF_INET;
        ::inet_pton(AF_INET, address, &v4->sin_addr);
        length = sizeof *v4;
    }
    const int fd = ::socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), length) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        if (fd >= 0) ::close(fd);
        return;
    }
    m_listenFd = fd;
    m_port = ntohs(m_v6 ? reinterpret_cast<sockaddr_in6*>(&a)->sin6_port : reinterpret_cast<sockaddr_in*>(&a)->sin_port);
    m_thread = std::thread([this] { run(); });
}

FixturePeer::~FixturePeer()
{
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_listenFd >= 0) ::close(m_listenFd);
}

std::string FixturePeer::Endpoint() const
{
    return (m_v6 ? "[::1]:" : "127.0.0.1:") + std::to_string(m_port);
}

bool FixturePeer::WaitHandshake(std::chrono::milliseconds cap)
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, cap, [&] { return m_handshakes > 0; });
}

bool FixturePeer::WaitServed(int connections, std::chrono::milliseconds cap)
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, cap, [&] { return m_served >= connections; });
}

void FixturePeer::run()
{
    while (!m_stop) {
        pollfd p{m_listenFd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++m_connections;
        serve(fd);
        ::close(fd);
        {
            std::lock_guard lock(m_mutex);
            ++m_served;
        }
        m_changed.notify_all();
    }
}

bool FixturePeer::sendAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        if (m_stop) return false;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) return false;
        m_sent += static_cast<uint64_t>(n);
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool FixturePeer::readExactly(int fd, char* out, size_t size)
{
    while (size > 0) {
        if (m_stop) return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = ::recv(fd, out, size, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) return false;
        out += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void FixturePeer::serve(int fd)
{
    char handshake[PeerHandshakeBytes];
    if (!readExactly(fd, handshake, sizeof handshake)) return;
    if (std::string_view(handshake + 28, 20) != m_infoHashRaw) return;
    std::string reply = BuildPeerHandshake(m_infoHashRaw, "-FX0001-fixturepeer1");
    if (m_behaviour == PeerBehaviour::NoExtensions) reply[25] = 0;
    if (!sendAll(fd, reply)) return;
    {
        std::lock_guard lock(m_mutex);
        ++m_handshakes;
    }
    m_changed.notify_all();

    if (m_behaviour == PeerBehaviour::HugeMessage) {
        sendAll(fd, std::string("\x7f\xff\xff\xff\x05", 5));
    } else if (m_behaviour != PeerBehaviour::Stall && m_behaviour != PeerBehaviour::NoExtensions) {
        const int64_t size = m_behaviour == PeerBehaviour::HugeSize ? int64_t{1} << 40 : static_cast<int64_t>(m_info.size());
        const std::string ours = "d1:md11:ut_metadatai" + std::to_string(FixtureUtMetadataId) +
                                 "ee13:metadata_sizei" + std::to_string(size) + "ee";
        if (!sendAll(fd, BuildExtendedMessage(ExtensionHandshakeId, ours))) return;
    }
    if (m_behaviour == PeerBehaviour::Flood) {
        // Messages the fetcher never needs, as fast as it takes them: "have"
        // for ever new pieces, and metadata pieces it never asked for.
        std::string burst;
        for (uint32_t i = 0; i < 512; ++i) {
            burst += std::string("\0\0\0\x05\x04", 5);
            burst += static_cast<char>(i >> 24);
            burst += static_cast<char>(i >> 16);
            burst += static_cast<char>(i >> 8);
            burst += static_cast<char>(i);
        }
        burst += BuildExtendedMessage(1, dataMessage(9999, static_cast<int64_t>(m_info.size()),
                                                     std::string(MetadataPieceBytes, 'x')));
        while (sendAll(fd, burst)) {
        }
        return;
    }

    // Reads messages; answers ut_metadata requests.
    uint8_t theirId = 0;
    std::vector<char> body;
    for (;;) {
        char prefix[4];
        if (!readExactly(fd, prefix, 4)) return;
        const uint32_t length = bigEndian32(prefix);
        if (length > PeerMaxKeptMessageBytes) return;
        body.resize(length);
        if (length > 0 && !readExactly(fd, body.data(), length)) return;
        if (length < 2 || static_cast<uint8_t>(body[0]) != PeerExtendedMessage) continue;
        const std::string_view payload(body.data() + 2, length - 2);
        if (static_cast<uint8_t>(body[1]) == ExtensionHandshakeId) {
            theirId = static_cast<uint8_t>(ParseExtensionHandshake(payload).UtMetadataId);
            continue;
        }
        if (static_cast<uint8_t>(body[1]) != FixtureUtMetadataId) continue;
        const MetadataMessage request = ParseMetadataMessage(payload);
        if (!request.Valid || request.MsgType != 0) continue;
        ++m_requests;
        if (m_behaviour == PeerBehaviour::Stall || m_behaviour == PeerBehaviour::HugeSize || theirId == 0) continue;
        const auto size = static_cast<int64_t>(m_info.size());
        if (m_behaviour == PeerBehaviour::Reject || request.Piece < 0 || request.Piece >= MetadataPieceCount(size)) {
            const std::string reject = "d8:msg_typei2e5:piecei" + std::to_string(request.Piece) + "ee";
            if (!sendAll(fd, BuildExtendedMessage(theirId, reject))) return;
            continue;
        }
        std::string data = m_info.substr(static_cast<size_t>(request.Piece) * MetadataPieceBytes,
                                         static_cast<size_t>(MetadataPieceLength(size, request.Piece)));
        if (m_behaviour == PeerBehaviour::WrongBytes && request.Piece == 0) data[data.size() / 2] ^= 0x01;
        if (!sendAll(fd, BuildExtendedMessage(theirId, dataMessage(request.Piece, size, data)))) return;
    }
}

}  // namespace sorvena::test
