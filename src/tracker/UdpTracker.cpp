#include "tracker/UdpTracker.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <system_error>
#include <unordered_map>

#include "base/AsciiCase.h"
#include "net/Socket.h"

namespace sorvena {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// BEP 15 actions.
constexpr uint32_t ActionConnect = 0;
constexpr uint32_t ActionAnnounce = 1;
constexpr uint32_t ActionError = 3;

// The fixed parts of the replies: action and transaction id, then the
// connection id (connect) or interval, leechers and seeders (announce).
constexpr size_t ReplyHeadBytes = 8;
constexpr size_t ConnectReplyBytes = 16;
constexpr size_t AnnounceReplyBytes = 20;
// No UDP datagram is longer (IPv6 jumbograms aside).
constexpr size_t MaxDatagramBytes = 65536;
// How often a wait looks at the stop token.
constexpr milliseconds StopSlice{100};
// Datagrams still read after a wait is over.
constexpr int MaxLateReads = 64;

uint32_t randomWord()
{
    uint32_t value = 0;
    if (::getrandom(&value, sizeof value, 0) == static_cast<ssize_t>(sizeof value)) return value;
    // No getrandom (an old kernel): a per-thread generator is as good for
    // transaction ids, which only have to be hard to guess from outside.
    thread_local std::mt19937 generator{std::random_device{}()};
    return static_cast<uint32_t>(generator());
}

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

std::string errnoText(int error)
{
    return std::generic_category().message(error);
}

struct HostPort {
    std::string host;
    std::string port;
};

// "udp://host:port", "udp://[v6]:port", then anything from "/", "?" or "#".
std::optional<HostPort> parseUrl(std::string_view url)
{
    if (!IsUdpTrackerUrl(url)) return std::nullopt;
    url.remove_prefix(6);
    url = url.substr(0, std::min(url.find_first_of("/?#"), url.size()));
    HostPort out;
    std::string_view port;
    if (!url.empty() && url.front() == '[') {
        const size_t close = url.find(']');
        if (close == std::string_view::npos || close + 1 >= url.size() || url[close + 1] != ':') return std::nullopt;
        out.host = std::string(url.substr(1, close - 1));
        port = url.substr(close + 2);
    } else {
        const size_t colon = url.find(':');
        if (colon == std::string_view::npos || url.find(':', colon + 1) != std::string_view::npos) return std::nullopt;
        out.host = std::string(url.substr(0, colon));
        port = url.substr(colon + 1);
    }
    if (out.host.empty() || port.empty() || port.size() > 5) return std::nullopt;
    unsigned value = 0;
    for (const char c : port) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) return std::nullopt;
    out.port = std::string(port);
    return out;
}

// The cache key of a tracker address: its family, bytes and port.
std::string addressKey(const sockaddr* address, socklen_t length)
{
    return std::string(reinterpret_cast<const char*>(address), length);
}

struct ConnectionId {
    uint64_t id = 0;
    Clock::time_point obtained;
};

// Connection ids of recent connects, process-wide. A small map behind one
// lock: an announce looks at it twice at most.
class ConnectionCache {
public:
    std::optional<ConnectionId> Get(const std::string& key, milliseconds lifetime)
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_ids.find(key);
        if (it == m_ids.end()) return std::nullopt;
        if (Clock::now() - it->second.obtained >= lifetime) {
            m_ids.erase(it);
            return std::nullopt;
        }
        return it->second;
    }

    void Put(const std::string& key, const ConnectionId& id, milliseconds lifetime)
    {
        std::lock_guard lock(m_mutex);
        if (m_ids.size() >= UdpConnectionCacheEntries && !m_ids.contains(key)) {
            const auto now = Clock::now();
            std::erase_if(m_ids, [&](const auto& entry) { return now - entry.second.obtained >= lifetime; });
            if (m_ids.size() >= UdpConnectionCacheEntries)
                m_ids.erase(std::min_element(m_ids.begin(), m_ids.end(), [](const auto& a, const auto& b) {
                    return a.second.obtained < b.second.obtained;
                }));
        }
        m_ids[key] = id;
    }

    // Drops the id only if it is still the one given: another announce may
    // have put a newer one meanwhile.
    void Forget(const std::string& key, uint64_t id)
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_ids.find(key);
        if (it != m_ids.end() && it->second.id == id) m_ids.erase(it);
    }

    void Clear()
    {
        std::lock_guard lock(m_mutex);
        m_ids.clear();
    }

private:
    std::mutex m_mutex;
    std::unordered_map<std::string, ConnectionId> m_ids;
};

ConnectionCache& connectionCache()
{
    static ConnectionCache cache;
    return cache;
}

enum class Step { Reply, Silent, Stopped, Refused, SocketError };

// One tracker address over one connected UDP socket.
class Exchange {
public:
    Exchange(int fd, Clock::time_point deadline, const std::stop_token& stop)
        : m_fd(fd), m_deadline(deadline), m_stop(stop), m_buffer(std::make_unique_for_overwrite<char[]>(MaxDatagramBytes))
    {}

    // Sends request and waits until `until` for a datagram with its
    // transaction id and either `action` (at least minBytes long) or the
    // error action; other datagrams are skipped. The reply is in Reply().
    Step SendAndWait(const std::string& request, uint32_t transactionId, uint32_t action, size_t minBytes,
                     Clock::time_point until)
    {
        if (::send(m_fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
            return socketError(errno);
        int lateReads = 0;
        for (;;) {
            if (m_stop.stop_requested()) return Step::Stopped;
            // Once the wait is over, what has already arrived is still read,
            // but a flood of datagrams that do not fit cannot hold the wait.
            const auto left = std::chrono::ceil<milliseconds>(until - Clock::now());
            const bool over = left <= milliseconds::zero();
            if (over && ++lateReads > MaxLateReads) return Step::Silent;
            pollfd p{m_fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, over ? 0 : static_cast<int>(std::min(left, StopSlice).count()));
            if (ready < 0 && errno != EINTR) return socketError(errno);
            if (ready <= 0) {
                if (over) return Step::Silent;
                continue;
            }
            const ssize_t got = ::recv(m_fd, m_buffer.get(), MaxDatagramBytes, MSG_DONTWAIT);
            if (got < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
                return socketError(errno);
            }
            const auto size = static_cast<size_t>(got);
            if (size < ReplyHeadBytes || getU32(m_buffer.get() + 4) != transactionId) continue;
            const uint32_t replyAction = getU32(m_buffer.get());
            if (replyAction == ActionError || (replyAction == action && size >= minBytes)) {
                m_reply = std::string_view(m_buffer.get(), size);
                return Step::Reply;
            }
        }
    }

    // The wait after the n-th send of a request (n from 0): the BEP's
    // firstWait * 2^n, never past the announce's end.
    Clock::time_point WaitEnd(milliseconds firstWait, int sends) const
    {
        const int shift = std::min(sends, 20);
        const auto wait = firstWait * (int64_t{1} << shift);
        const auto now = Clock::now();
        return wait >= m_deadline - now ? m_deadline : now + wait;
    }

    bool Expired() const { return Clock::now() >= m_deadline; }
    std::string_view Reply() const { return m_reply; }
    const std::string& Error() const { return m_error; }

private:
    Step socketError(int error)
    {
        m_error = errnoText(error);
        return error == ECONNREFUSED ? Step::Refused : Step::SocketError;
    }

    int m_fd;
    Clock::time_point m_deadline;
    const std::stop_token& m_stop;
    std::unique_ptr<char[]> m_buffer;
    std::string_view m_reply;
    std::string m_error;
};

std::string connectRequest(uint32_t transactionId)
{
    std::string out;
    out.reserve(16);
    putU64(out, UdpProtocolId);
    putU32(out, ActionConnect);
    putU32(out, transactionId);
    return out;
}

std::string announceRequest(uint64_t connectionId, uint32_t transactionId, const AnnounceRequest& request,
                            uint32_t key)
{
    std::string out;
    out.reserve(98);
    putU64(out, connectionId);
    putU32(out, ActionAnnounce);
    putU32(out, transactionId);
    std::string hash = request.InfoHashRaw;
    hash.resize(20, '\0');
    out += hash;
    std::string peerId = request.PeerId;
    peerId.resize(20, '\0');
    out += peerId;
    putU64(out, 0);  // downloaded
    putU64(out, 0);  // left
    putU64(out, 0);  // uploaded
    putU32(out, 0);  // event: none
    putU32(out, 0);  // IP: the sender's
    putU32(out, key);
    putU32(out, static_cast<uint32_t>(request.NumWant));
    out += static_cast<char>(request.Port >> 8);
    out += static_cast<char>(request.Port & 0xFF);
    return out;
}

void takeFailure(std::string_view reply, UdpAnnounceReply& out)
{
    out.Answered = true;
    std::string_view message = reply.substr(ReplyHeadBytes);
    out.Failure = std::string(message.substr(0, UdpMaxFailureBytes));
    // An error reply with no text still has to read as a failure.
    if (out.Failure.empty()) out.Failure = "error";
}

void takePeers(std::string_view reply, int family, UdpAnnounceReply& out)
{
    out.Answered = true;
    out.Interval = getU32(reply.data() + 8);
    out.Leechers = getU32(reply.data() + 12);
    out.Seeders = getU32(reply.data() + 16);
    const size_t addressBytes = family == AF_INET6 ? 16 : 4;
    const size_t entryBytes = addressBytes + 2;
    std::string_view peers = reply.substr(AnnounceReplyBytes);
    out.Peers.reserve(peers.size() / entryBytes);
    char text[INET6_ADDRSTRLEN];
    // A trailing partial entry is dropped, as in compact HTTP replies.
    for (size_t at = 0; at + entryBytes <= peers.size(); at += entryBytes) {
        if (!::inet_ntop(family, peers.data() + at, text, sizeof text)) continue;
        const auto* port = reinterpret_cast<const unsigned char*>(peers.data() + at + addressBytes);
        out.Peers.push_back({text, static_cast<uint16_t>((port[0] << 8) | port[1])});
    }
}

// The family whose entries an announce reply holds: the one the tracker saw
// us come from. An IPv4 address written as IPv6 (::ffff:a.b.c.d) and one
// behind a NAT64 gateway (64:ff9b::/96) reach it over IPv4.
int peerEntryFamily(const addrinfo& address)
{
    if (address.ai_family != AF_INET6) return AF_INET;
    const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(address.ai_addr)->sin6_addr;
    static constexpr unsigned char Nat64Prefix[12] = {0x00, 0x64, 0xff, 0x9b};
    if (IN6_IS_ADDR_V4MAPPED(&a) || std::memcmp(a.s6_addr, Nat64Prefix, sizeof Nat64Prefix) == 0) return AF_INET;
    return AF_INET6;
}

enum class AddressOutcome { Done, NextAddress };

// Connect (unless a kept id is still valid) and announce to one address.
AddressOutcome announceToAddress(const addrinfo& address, const AnnounceRequest& request,
                                 const UdpAnnounceOptions& options, Clock::time_point deadline,
                                 const std::stop_token& stop, UdpAnnounceReply& out)
{
    Socket socket(::socket(address.ai_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket.IsOpen()) {
        out.Reason = "cannot open a UDP socket: " + errnoText(errno);
        return AddressOutcome::NextAddress;
    }
    // Connected: only the tracker's datagrams arrive, and an ICMP port
    // unreachable comes back as ECONNREFUSED.
    if (::connect(socket.Fd(), address.ai_addr, address.ai_addrlen) != 0) {
        out.Reason = "cannot reach the address: " + errnoText(errno);
        return AddressOutcome::NextAddress;
    }
    const std::string key = addressKey(address.ai_addr, address.ai_addrlen);
    ConnectionCache& cache = connectionCache();
    Exchange exchange(socket.Fd(), deadline, stop);

    std::optional<ConnectionId> connection = cache.Get(key, options.connectionIdLifetime);
    bool kept = connection.has_value();
    int connectSends = 0;
    int announceSends = 0;
    const uint32_t peerKey = randomWord();
    const auto failed = [&](Step step, const char* what, int sends) {
        switch (step) {
        case Step::Stopped: out.Reason = "stopped"; return AddressOutcome::Done;
        case Step::Refused: out.Reason = "connection refused"; return AddressOutcome::NextAddress;
        case Step::SocketError: out.Reason = exchange.Error(); return AddressOutcome::NextAddress;
        default:
            // Out of time before anything was sent to this address: the
            // reason of the address before it stands.
            if (sends == 0 && !out.Reason.empty()) return AddressOutcome::Done;
            out.Reason = std::string("no reply to the ") + what + " request after " + std::to_string(sends) +
                         (sends == 1 ? " send" : " sends");
            return AddressOutcome::Done;
        }
    };

    for (;;) {
        // No new connect for an announce that could not be sent.
        if (announceSends >= options.maxSends || exchange.Expired())
            return failed(Step::Silent, "announce", announceSends);
        if (!connection || Clock::now() - connection->obtained >= options.connectionIdLifetime) {
            const uint32_t transactionId = randomWord();
            const std::string connect = connectRequest(transactionId);
            Step step = Step::Silent;
            while (step == Step::Silent) {
                if (connectSends >= options.maxSends || exchange.Expired()) return failed(step, "connect", connectSends);
                const auto until = exchange.WaitEnd(options.firstWait, connectSends++);
                step = exchange.SendAndWait(connect, transactionId, ActionConnect, ConnectReplyBytes, until);
            }
            if (step != Step::Reply) return failed(step, "connect", connectSends);
            const std::string_view reply = exchange.Reply();
            if (getU32(reply.data()) == ActionError) {
                takeFailure(reply, out);
                return AddressOutcome::Done;
            }
            connection = ConnectionId{getU64(reply.data() + 8), Clock::now()};
            kept = false;
            cache.Put(key, *connection, options.connectionIdLifetime);
        }

        const uint32_t transactionId = randomWord();
        const std::string announce = announceRequest(connection->id, transactionId, request, peerKey);
        Step step = Step::Silent;
        // The same request again while its connection id is valid; a new
        // connect first once it is not.
        while (step == Step::Silent && announceSends < options.maxSends && !exchange.Expired()) {
            const auto until = exchange.WaitEnd(options.firstWait, announceSends++);
            step = exchange.SendAndWait(announce, transactionId, ActionAnnounce, AnnounceReplyBytes, until);
            if (step != Step::Silent) break;
            // A kept id that brings no reply may be one the tracker has
            // forgotten (it restarted): ask for a new one.
            if (kept) {
                cache.Forget(key, connection->id);
                connection.reset();
                break;
            }
            if (Clock::now() - connection->obtained >= options.connectionIdLifetime) break;
        }
        if (step == Step::Silent) continue;
        if (step != Step::Reply) return failed(step, "announce", announceSends);
        const std::string_view reply = exchange.Reply();
        if (getU32(reply.data()) == ActionError) {
            // An error to a kept id is most likely the tracker refusing an
            // id it no longer knows ("connection ID expired"): one new
            // connect, and only an error to a fresh id is its answer.
            if (kept) {
                cache.Forget(key, connection->id);
                connection.reset();
                kept = false;
                continue;
            }
            takeFailure(reply, out);
        } else {
            takePeers(reply, peerEntryFamily(address), out);
        }
        return AddressOutcome::Done;
    }
}

}  // namespace

bool IsUdpTrackerUrl(std::string_view url)
{
    return AsciiStartsWithNoCase(url, "udp://");
}

void ForgetUdpConnectionIds()
{
    connectionCache().Clear();
}

UdpAnnounceReply UdpAnnounce(std::string_view trackerUrl, const AnnounceRequest& request,
                             const UdpAnnounceOptions& options, std::stop_token stop)
{
    UdpAnnounceReply out;
    try {
        const auto deadline = Clock::now() + options.limit;
        const std::optional<HostPort> target = parseUrl(trackerUrl);
        if (!target) {
            out.Reason = "not a UDP tracker URL (udp://host:port)";
            return out;
        }
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_DGRAM;
        hints.ai_protocol = IPPROTO_UDP;
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo* found = nullptr;
        if (const int error = ::getaddrinfo(target->host.c_str(), target->port.c_str(), &hints, &found); error != 0) {
            out.Reason = std::string("the host name did not resolve: ") + ::gai_strerror(error);
            return out;
        }
        const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);
        for (const addrinfo* address = found; address; address = address->ai_next) {
            if (stop.stop_requested()) {
                out.Reason = "stopped";
                break;
            }
            if (address->ai_family != AF_INET && address->ai_family != AF_INET6) continue;
            if (announceToAddress(*address, request, options, deadline, stop, out) == AddressOutcome::Done) break;
        }
        if (out.Answered) out.Reason.clear();
    } catch (const std::exception& e) {
        // Out of memory for a reply: no answer this time.
        out = UdpAnnounceReply{};
        out.Reason = e.what();
    }
    return out;
}

}  // namespace sorvena
