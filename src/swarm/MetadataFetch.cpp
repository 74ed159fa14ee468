#include "swarm/MetadataFetch.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <list>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "base/AsciiCase.h"
#include "metainfo/Magnet.h"
#include "metainfo/MessageDigests.h"
#include "net/IndyUtil.h"
#include "net/Socket.h"
#include "swarm/PeerWire.h"
#include "tracker/CheckPingThread.h"
#include "tracker/TrackerPeers.h"
#include "tracker/UdpTracker.h"

namespace sorvena {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto StopPollInterval = 100ms;  // how often the stop token is looked at
constexpr size_t ReadBufferBytes = 64 * 1024;
constexpr size_t MaxOutBytes = 16 * 1024;  // we only ever queue a few small messages
constexpr std::string_view ClientName = "Sorvena";

// "-SV1000-" and twelve letters and digits: a peer id of this fetch alone,
// so that a peer serving several of our fetches at once sees different
// peers. Only URL-safe characters, since the announce query sends it as it is.
std::string makePeerId()
{
    static constexpr char Alphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::random_device device;
    std::mt19937 random(device());
    std::uniform_int_distribution<int> pick(0, sizeof Alphabet - 2);
    std::string id = "-SV1000-";
    while (id.size() < 20) id += Alphabet[pick(random)];
    return id;
}

// "host:port" or "[v6]:port" (as ParseMagnet accepts them).
bool splitHostPort(std::string_view text, std::string& host, std::string& port)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    std::string_view h = text.substr(0, colon);
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
    host = std::string(h);
    port = std::string(text.substr(colon + 1));
    return !host.empty() && !port.empty();
}

// The endpoints a name resolves to (a numeric address without asking the resolver).
std::vector<PeerEndpoint> resolvePeer(std::string_view text, bool numericOnly)
{
    std::vector<PeerEndpoint> out;
    std::string host, port;
    if (!splitHostPort(text, host, port)) return out;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (numericOnly ? AI_NUMERICHOST : 0);
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return out;
    for (const addrinfo* a = found; a && out.size() < 8; a = a->ai_next) {
        char text6[INET6_ADDRSTRLEN] = {};
        uint16_t p = 0;
        if (a->ai_family == AF_INET) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
            ::inet_ntop(AF_INET, &in->sin_addr, text6, sizeof text6);
            p = ntohs(in->sin_port);
        } else if (a->ai_family == AF_INET6) {
            const auto* in = reinterpret_cast<const sockaddr_in6*>(a->ai_addr);
            ::inet_ntop(AF_INET6, &in->sin6_addr, text6, sizeof text6);
            p = ntohs(in->sin6_port);
        } else {
            continue;
        }
        if (p != 0 && text6[0]) out.push_back({text6, p});
    }
    ::freeaddrinfo(found);
    return out;
}

// What the tracker threads share with the fetch. The threads hold it too, so
// a thread stuck in name resolution (which cannot be cut short) may outlive
// the fetch harmlessly.
struct Discovery {
    // Set before the threads start; read-only afterwards.
    std::vector<std::string> work;  // tracker URLs, and "peer:" + x.pe names to resolve
    std::string httpQuery;          // the announce query of HTTP trackers
    AnnounceRequest udpRequest;
    FetchOptions fetch;             // without a stop token: each thread passes its own
    UdpAnnounceOptions udp;
    std::stop_source stop;

    std::mutex mutex;  // guards what follows
    std::condition_variable ended;
    size_t next = 0;                  // the next item of work
    std::vector<PeerEndpoint> found;  // not yet taken by the fetch
    int running = 0;                  // threads still running
};

std::vector<PeerEndpoint> announce(Discovery& d, const std::string& item)
{
    if (item.starts_with("peer:")) return resolvePeer(std::string_view(item).substr(5), false);
    if (IsUdpTrackerUrl(item)) {
        UdpAnnounceReply reply = UdpAnnounce(item, d.udpRequest, d.udp, d.stop.get_token());
        return reply.Answered ? std::move(reply.Peers) : std::vector<PeerEndpoint>();
    }
    if (!AsciiStartsWithNoCase(item, "http://") && !AsciiStartsWithNoCase(item, "https://")) return {};
    FetchOptions fetch = d.fetch;
    fetch.stop = d.stop.get_token();
    std::string reply;
    if (!GetHtml(AnnounceRequestUrl(item, d.httpQuery), fetch, reply).ok) return {};
    return ReplyPeerEndpoints(reply);
}

void runDiscovery(const std::shared_ptr<Discovery>& d)
{
    for (;;) {
        std::string item;
        {
            std::lock_guard lock(d->mutex);
            if (d->stop.stop_requested() || d->next >= d->work.size()) break;
            item = d->work[d->next++];
        }
        try {
            std::vector<PeerEndpoint> peers = announce(*d, item);
            std::lock_guard lock(d->mutex);
            for (PeerEndpoint& peer : peers) {
                if (d->found.size() >= MetadataMaxPeers) break;
                d->found.push_back(std::move(peer));
            }
        } catch (const std::exception&) {
            // Out of memory in one announce: the others may still bring peers.
        }
    }
    std::lock_guard lock(d->mutex);
    --d->running;
    d->ended.notify_all();
}

// The tracker threads of one fetch. Finish (or the destructor) stops them;
// they end within about 100 ms, unless one is resolving a name: that one is
// left to finish on its own, holding the shared state.
class DiscoveryThreads {
public:
    explicit DiscoveryThreads(std::shared_ptr<Discovery> discovery) : m_discovery(std::move(discovery)) {}
    ~DiscoveryThreads() { Finish(); }
    DiscoveryThreads(const DiscoveryThreads&) = delete;
    DiscoveryThreads& operator=(const DiscoveryThreads&) = delete;

    void Start(size_t count)
    {
        for (size_t i = 0; i < count; ++i) {
            std::lock_guard lock(m_discovery->mutex);
            try {
                m_threads.emplace_back([discovery = m_discovery] { runDiscovery(discovery); });
            } catch (const std::system_error&) {
                break;  // no more threads: the ones running ask every tracker in turn
            }
            ++m_discovery->running;
        }
    }

    void Finish()
    {
        m_discovery->stop.request_stop();
        if (m_threads.empty()) return;  // finished already
        std::unique_lock lock(m_discovery->mutex);
        m_discovery->ended.wait_for(lock, 2 * StopPollInterval, [&] { return m_discovery->running == 0; });
        const bool allEnded = m_discovery->running == 0;
        lock.unlock();
        for (std::thread& thread : m_threads) {
            if (allEnded) thread.join();
            else thread.detach();
        }
        m_threads.clear();
    }

private:
    std::shared_ptr<Discovery> m_discovery;
    std::vector<std::thread> m_threads;
};

// How one peer ended, for the reason of a failed fetch; later ones say more.
enum class PeerEnd { Unreachable, NoMetadata, TooLarge, WrongHash };

struct Peer {
    enum class Stage { Connecting, Handshake, Extension, Pieces };

    PeerEndpoint endpoint;
    Socket socket;
    Stage stage = Stage::Connecting;
    Clock::time_point deadline;  // of the connect, then of the next step forward
    std::string out;             // bytes still to send
    TPeerMessageReader reader;
    uint64_t uselessBytes = 0;   // extension messages that brought nothing
    int utMetadataId = 0;
    int64_t size = -1;
    int64_t pieces = 0;
    std::string metadata;        // grows as pieces arrive
    std::vector<bool> received;
    int64_t nextRequest = 0;
    int outstanding = 0;
    int64_t receivedCount = 0;
    std::optional<PeerEnd> end;  // set when the peer is done with
};

class Fetch {
public:
    Fetch(const MetadataFetchOptions& options, std::string infoHashRaw, std::string peerId)
        : m_options(options), m_infoHashRaw(std::move(infoHashRaw)), m_peerId(std::move(peerId)),
          m_buffer(ReadBufferBytes)
    {}

    // Adds a peer to try unless it is known already or the list is full.
    void AddPeer(PeerEndpoint endpoint)
    {
        if (m_known.size() >= MetadataMaxPeers) return;
        if (!m_known.insert(endpoint.Address + " " + std::to_string(endpoint.Port)).second) return;
        m_pending.push_back(std::move(endpoint));
    }
    size_t PeersFound() const { return m_known.size(); }
    size_t PeersAsked() const { return m_asked; }
    bool Idle() const { return m_peers.empty() && m_pending.empty(); }

    // Starts connections up to the limit, waits for the sockets at most
    // until `until`, and serves what is ready. Returns the verified info
    // dictionary once a peer has sent it.
    std::optional<std::string> Step(Clock::time_point until)
    {
        while (static_cast<int>(m_peers.size()) < std::max(1, m_options.peersAtOnce) && !m_pending.empty()) {
            PeerEndpoint endpoint = std::move(m_pending.front());
            m_pending.pop_front();
            connect(std::move(endpoint));
        }
        std::vector<pollfd> fds;
        std::vector<Peer*> polled;
        Clock::time_point wake = until;
        for (Peer& peer : m_peers) {
            short events = POLLIN;
            if (peer.stage == Peer::Stage::Connecting || !peer.out.empty()) events |= POLLOUT;
            fds.push_back({peer.socket.Fd(), events, 0});
            polled.push_back(&peer);
            wake = std::min(wake, peer.deadline);
        }
        const auto waitMs = std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now()).count();
        const int timeout = static_cast<int>(std::clamp<int64_t>(waitMs + 1, 0, 1000));
        const int ready = ::poll(fds.data(), fds.size(), timeout);
        std::optional<std::string> done;
        if (ready > 0) {
            for (size_t i = 0; i < fds.size() && !done; ++i) {
                if (fds[i].revents != 0) done = serve(*polled[i], fds[i].revents);
            }
        }
        const auto now = Clock::now();
        for (auto it = m_peers.begin(); it != m_peers.end();) {
            if (!it->end && now >= it->deadline)
                it->end = it->stage == Peer::Stage::Connecting ? PeerEnd::Unreachable : PeerEnd::NoMetadata;
            if (it->end) {
                ++m_ends[static_cast<size_t>(*it->end)];
                it = m_peers.erase(it);
            } else {
                ++it;
            }
        }
        return done;
    }

    // Why no peer gave the dictionary, from how they ended.
    std::string Reason() const
    {
        if (m_ends[static_cast<size_t>(PeerEnd::WrongHash)] > 0) return "the file list from every peer was wrong";
        if (m_ends[static_cast<size_t>(PeerEnd::TooLarge)] > 0)
            return "the file list is larger than the limit of " + byteText(m_options.maxBytes);
        if (m_ends[static_cast<size_t>(PeerEnd::NoMetadata)] > 0) return "no peer had the file list";
        if (m_asked > 0) return "no peer could be reached";
        return "no tracker handed out a peer, and the link names none";
    }

private:
    static std::string byteText(size_t bytes)
    {
        if (bytes % (1024 * 1024) == 0) return std::to_string(bytes / (1024 * 1024)) + " MiB";
        return std::to_string(bytes) + " bytes";
    }

    void connect(PeerEndpoint endpoint)
    {
        ++m_asked;
        sockaddr_storage address{};
        socklen_t length = 0;
        if (auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
            ::inet_pton(AF_INET, endpoint.Address.c_str(), &v4->sin_addr) == 1) {
            v4->sin_family = AF_INET;
            v4->sin_port = htons(endpoint.Port);
            length = sizeof(sockaddr_in);
        } else if (auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
                   ::inet_pton(AF_INET6, endpoint.Address.c_str(), &v6->sin6_addr) == 1) {
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(endpoint.Port);
            length = sizeof(sockaddr_in6);
        } else {
            ++m_ends[static_cast<size_t>(PeerEnd::Unreachable)];
            return;
        }
        Socket socket(::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!socket.IsOpen() ||
            (::connect(socket.Fd(), reinterpret_cast<const sockaddr*>(&address), length) != 0 &&
             errno != EINPROGRESS)) {
            ++m_ends[static_cast<size_t>(PeerEnd::Unreachable)];
            return;
        }
        Peer& peer = m_peers.emplace_back();
        peer.endpoint = std::move(endpoint);
        peer.socket = std::move(socket);
        peer.deadline = Clock::now() + m_options.connectLimit;
    }

    void progress(Peer& peer) { peer.deadline = Clock::now() + m_options.idleLimit; }

    void queue(Peer& peer, std::string_view bytes)
    {
        if (peer.out.size() + bytes.size() <= MaxOutBytes) peer.out += bytes;
    }

    std::optional<std::string> serve(Peer& peer, short revents)
    {
        if (peer.stage == Peer::Stage::Connecting) {
            int error = 0;
            socklen_t size = sizeof error;
            if (::getsockopt(peer.socket.Fd(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0 ||
                (revents & (POLLOUT | POLLIN)) == 0) {
                peer.end = PeerEnd::Unreachable;
                return std::nullopt;
            }
            peer.stage = Peer::Stage::Handshake;
            progress(peer);
            queue(peer, BuildPeerHandshake(m_infoHashRaw, m_peerId));
        }
        if (!peer.out.empty() && (revents & POLLOUT)) {
            const ssize_t sent = ::send(peer.socket.Fd(), peer.out.data(), peer.out.size(), MSG_NOSIGNAL);
            if (sent > 0) {
                peer.out.erase(0, static_cast<size_t>(sent));
            } else if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                peer.end = PeerEnd::NoMetadata;
                return std::nullopt;
            }
        }
        if ((revents & (POLLIN | POLLHUP | POLLERR)) == 0) return std::nullopt;
        // A few reads at most, so that one fast peer cannot starve the others.
        for (int reads = 0; reads < 4 && !peer.end; ++reads) {
            const ssize_t got = ::recv(peer.socket.Fd(), m_buffer.data(), m_buffer.size(), 0);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                peer.end = PeerEnd::NoMetadata;
                break;
            }
            if (got < 0) break;
            std::optional<std::string> done;
            const auto status = peer.reader.Feed(std::string_view(m_buffer.data(), static_cast<size_t>(got)),
                                                 [&](int id, std::string_view payload) {
                                                     return message(peer, id, payload, done);
                                                 });
            if (done) return done;
            if (status == TPeerMessageReader::Status::TooLong) peer.end = PeerEnd::NoMetadata;
            if (peer.reader.SkippedBytes() + peer.uselessBytes > MetadataMaxUselessBytes) peer.end = PeerEnd::NoMetadata;
            if (static_cast<size_t>(got) < m_buffer.size()) break;
        }
        return std::nullopt;
    }

    // One whole message; false when the peer is done with.
    bool message(Peer& peer, int id, std::string_view payload, std::optional<std::string>& done)
    {
        if (id == TPeerMessageReader::Handshake) {
            if (CheckPeerHandshake(payload, m_infoHashRaw) != PeerHandshakeCheck::Ok) {
                peer.end = PeerEnd::NoMetadata;
                return false;
            }
            peer.stage = Peer::Stage::Extension;
            progress(peer);
            // BEP 10: the extension handshake follows the handshake at once.
            queue(peer, BuildExtendedMessage(ExtensionHandshakeId, BuildExtensionHandshake(ClientName)));
            return true;
        }
        if (payload.empty()) {
            peer.uselessBytes += 5;
            return true;
        }
        const auto extendedId = static_cast<uint8_t>(payload.front());
        payload.remove_prefix(1);
        if (extendedId == ExtensionHandshakeId) return extensionHandshake(peer, payload);
        if (extendedId == OurUtMetadataId && peer.stage == Peer::Stage::Pieces)
            return metadataMessage(peer, payload, done);
        peer.uselessBytes += 6 + payload.size();
        return true;
    }

    bool extensionHandshake(Peer& peer, std::string_view payload)
    {
        const ExtensionHandshake handshake = ParseExtensionHandshake(payload);
        // BEP 10 lets a peer send it again to change what it offers; the
        // size it gave first stands.
        if (peer.stage == Peer::Stage::Pieces) {
            peer.uselessBytes += 6 + payload.size();
            if (handshake.Valid && handshake.UtMetadataId != 0) peer.utMetadataId = handshake.UtMetadataId;
            return true;
        }
        if (!handshake.Valid || handshake.UtMetadataId == 0 || handshake.MetadataSize <= 0) {
            peer.end = PeerEnd::NoMetadata;
            return false;
        }
        // However large a limit a caller sets, the piece arithmetic stays
        // far from overflow.
        if (static_cast<uint64_t>(handshake.MetadataSize) > std::min<uint64_t>(m_options.maxBytes, MetadataHardMaxBytes)) {
            peer.end = PeerEnd::TooLarge;
            return false;
        }
        peer.utMetadataId = handshake.UtMetadataId;
        peer.size = handshake.MetadataSize;
        peer.pieces = MetadataPieceCount(peer.size);
        peer.received.assign(static_cast<size_t>(peer.pieces), false);
        peer.stage = Peer::Stage::Pieces;
        progress(peer);
        requestMore(peer);
        return true;
    }

    void requestMore(Peer& peer)
    {
        while (peer.outstanding < MetadataRequestWindow && peer.nextRequest < peer.pieces) {
            queue(peer, BuildExtendedMessage(static_cast<uint8_t>(peer.utMetadataId),
                                             BuildMetadataRequest(peer.nextRequest)));
            ++peer.nextRequest;
            ++peer.outstanding;
        }
    }

    bool metadataMessage(Peer& peer, std::string_view payload, std::optional<std::string>& done)
    {
        const MetadataMessage m = ParseMetadataMessage(payload);
        if (!m.Valid) {
            peer.end = PeerEnd::NoMetadata;
            return false;
        }
        if (m.MsgType == 0) {
            // We serve nothing; saying so lets the peer ask elsewhere.
            queue(peer, BuildExtendedMessage(static_cast<uint8_t>(peer.utMetadataId), BuildMetadataReject(m.Piece)));
            peer.uselessBytes += 6 + payload.size();
            return true;
        }
        if (m.MsgType == 2) {  // BEP 9: a reject means the peer does not have it
            peer.end = PeerEnd::NoMetadata;
            return false;
        }
        const bool asked = m.MsgType == 1 && m.Piece >= 0 && m.Piece < peer.nextRequest &&
                           !peer.received[static_cast<size_t>(m.Piece)];
        if (!asked) {
            peer.uselessBytes += 6 + payload.size();
            return true;
        }
        if ((m.HasTotalSize && m.TotalSize != peer.size) ||
            static_cast<int64_t>(m.Data.size()) != MetadataPieceLength(peer.size, m.Piece)) {
            peer.end = PeerEnd::NoMetadata;
            return false;
        }
        // Pieces asked for at once may come in any order; the dictionary
        // grows only as far as the pieces that came.
        const size_t offset = static_cast<size_t>(m.Piece) * MetadataPieceBytes;
        if (peer.metadata.size() < offset + m.Data.size()) peer.metadata.resize(offset + m.Data.size());
        std::memcpy(peer.metadata.data() + offset, m.Data.data(), m.Data.size());
        peer.received[static_cast<size_t>(m.Piece)] = true;
        ++peer.receivedCount;
        --peer.outstanding;
        progress(peer);
        if (peer.receivedCount < peer.pieces) {
            requestMore(peer);
            return true;
        }
        if (Sha1Raw(peer.metadata) != m_infoHashRaw) {
            peer.end = PeerEnd::WrongHash;
            return false;
        }
        done = std::move(peer.metadata);
        return false;
    }

    const MetadataFetchOptions& m_options;
    const std::string m_infoHashRaw;
    const std::string m_peerId;
    std::vector<char> m_buffer;  // the one read buffer of every connection
    std::set<std::string> m_known;
    std::deque<PeerEndpoint> m_pending;
    std::list<Peer> m_peers;  // connections open now
    size_t m_asked = 0;
    size_t m_ends[4] = {};
};

void appendText(std::string& out, std::string_view text)
{
    out += std::to_string(text.size());
    out += ':';
    out += text;
}

// {"announce": first tracker, "announce-list": [[tracker], ...], "info": info}
// with the keys in byte order, as bencoding requires.
std::string buildMetainfo(const std::vector<std::string>& trackers, std::string_view info)
{
    std::string out = "d";
    if (!trackers.empty()) {
        out += "8:announce";
        appendText(out, trackers.front());
        out += "13:announce-listl";
        for (const std::string& tracker : trackers) {
            out += 'l';
            appendText(out, tracker);
            out += 'e';
        }
        out += 'e';
    }
    out += "4:info";
    out.append(info);
    out += 'e';
    return out;
}

// The entry's trackers and the link's, each once, in their order.
std::vector<std::string> magnetTrackers(const TTorrentEx& entry, const TMagnetLink& link)
{
    std::vector<std::string> trackers;
    auto add = [&](const std::string& url) {
        if (!url.empty() && std::find(trackers.begin(), trackers.end(), url) == trackers.end() &&
            trackers.size() < MagnetMaxTrackers)
            trackers.push_back(url);
    };
    add(entry.AnnounceUrl);
    for (const std::string& url : entry.BackupTrackers) add(url);
    for (const std::string& url : link.Trackers) add(url);
    return trackers;
}

MetadataFetchResult fetchMetadata(const TTorrentEx& entry, const MetadataFetchOptions& options,
                                  const std::stop_token& stop)
{
    MetadataFetchResult result;
    if (!entry.IsMagnet()) {
        result.Reason = "not a magnet link";
        return result;
    }
    std::string why;
    const std::optional<TMagnetLink> link = ParseMagnet(entry.MagnetUri, &why);
    if (!link) {
        result.Reason = "the magnet link is not valid: " + why;
        return result;
    }
    const auto start = Clock::now();
    const auto deadline = start + options.limit;
    const std::vector<std::string> trackers = magnetTrackers(entry, *link);
    const std::string peerId = makePeerId();
    Fetch fetch(options, link->InfoHashRaw, peerId);

    auto discovery = std::make_shared<Discovery>();
    for (const std::string& peer : link->Peers) {
        std::vector<PeerEndpoint> numeric = resolvePeer(peer, true);
        if (numeric.empty()) discovery->work.push_back("peer:" + peer);
        for (PeerEndpoint& endpoint : numeric) fetch.AddPeer(std::move(endpoint));
    }
    discovery->work.insert(discovery->work.end(), trackers.begin(), trackers.end());
    // A fetcher that still needs the whole torrent: "left" above 0, or some
    // trackers hand a seeder only other seeders' leechers. No event: nothing
    // here ever downloads, so the tracker is not told that a peer started
    // (it would hand out our address, where nobody listens, until the
    // announce interval ran out).
    const int64_t size = entry.TotalSize > 0 ? entry.TotalSize : link->ExactLength;
    const auto left = static_cast<int32_t>(std::clamp<int64_t>(size, 1, INT32_MAX));
    discovery->httpQuery = BuildAnnounceQuery(link->InfoHashRaw, peerId, "", "", AnnouncePort, 0, 0, left) +
                           "&compact=1&numwant=" + std::to_string(MetadataNumWant);
    discovery->udpRequest.InfoHashRaw = link->InfoHashRaw;
    discovery->udpRequest.PeerId = peerId;
    discovery->udpRequest.Port = AnnouncePort;
    discovery->udpRequest.NumWant = MetadataNumWant;
    discovery->fetch.attempts = -1;
    discovery->fetch.limits.connect = options.connectLimit;
    discovery->fetch.limits.idle = options.trackerLimit;
    discovery->fetch.limits.attempt = options.trackerLimit;
    discovery->udp.limit = options.trackerLimit;
    discovery->udp.firstWait = std::min(discovery->udp.firstWait, options.trackerLimit / 2);

    DiscoveryThreads threads(discovery);
    threads.Start(std::min<size_t>(static_cast<size_t>(std::max(1, options.trackersAtOnce)), discovery->work.size()));

    std::optional<std::string> info;
    bool timedOut = false;
    bool stopped = false;
    for (;;) {
        if (stop.stop_requested()) {
            stopped = true;
            break;
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            timedOut = true;
            break;
        }
        bool discovering;
        {
            std::lock_guard lock(discovery->mutex);
            for (PeerEndpoint& endpoint : discovery->found) fetch.AddPeer(std::move(endpoint));
            discovery->found.clear();
            discovering = discovery->running > 0;
        }
        if (!discovering && fetch.Idle()) break;
        info = fetch.Step(std::min(deadline, now + StopPollInterval));
        if (info) break;
    }

    threads.Finish();
    result.PeersFound = fetch.PeersFound();
    result.PeersAsked = fetch.PeersAsked();

    if (!info) {
        if (stopped) result.Reason = "stopped";
        else if (timedOut && fetch.PeersFound() > 0)
            result.Reason = "no peer sent the file list within the time limit; " + fetch.Reason();
        else if (timedOut) result.Reason = "the trackers handed out no peer within the time limit";
        else result.Reason = fetch.Reason();
        return result;
    }

    std::string metainfo = buildMetainfo(trackers, *info);
    info.reset();
    auto torrent = std::make_unique<TTorrentEx>();
    if (!torrent->LoadMetainfo(metainfo) || torrent->InfoHashHex != link->InfoHashHex) {
        // The bytes hash to the info hash, so whoever made the link made
        // them: no other peer can have better ones.
        result.Reason = "the file list the peers sent is not a torrent's info dictionary";
        return result;
    }
    torrent->LinkUrl = entry.LinkUrl;
    torrent->Source = entry.Source;
    torrent->SourcePeers = entry.SourcePeers;
    torrent->PeerCount = entry.PeerCount;
    result.Torrent = std::move(torrent);
    result.Metainfo = std::move(metainfo);
    return result;
}

}  // namespace

MetadataFetchResult FetchMagnetMetadata(const TTorrentEx& entry, const MetadataFetchOptions& options,
                                        std::stop_token stop)
{
    try {
        return fetchMetadata(entry, options, stop);
    } catch (const std::exception& e) {
        MetadataFetchResult result;
        result.Reason = std::string("the fetch failed: ") + e.what();
        return result;
    }
}

}  // namespace sorvena
