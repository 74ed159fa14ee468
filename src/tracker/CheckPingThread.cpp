#include "tracker/CheckPingThread.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <unordered_set>
#include <utility>

#include "base/Trace.h"
#include "metainfo/BDecode.h"
#include "base/AsciiCase.h"
#include "base/Hex.h"

namespace sorvena {

namespace {

// RFC 3986 unreserved characters pass as they are; the tracker protocol
// (BEP 3) wants every other byte of the binary hash percent-encoded.
bool isUnreserved(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.' || c == '~';
}

void appendPercentEncoded(std::string& out, std::string_view bytes)
{
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (isUnreserved(c)) {
            out += ch;
        } else {
            AppendPercentEscape(out, c);
        }
    }
}

// The distinct peer addresses of one check. Two texts that differ only in
// the case of ASCII letters are one address ("::FFFF:a.b.c.d" and
// "::ffff:a.b.c.d").
class PeerAddresses {
public:
    explicit PeerAddresses(size_t limit) : m_limit(limit) {}

    // False when the limit was already reached (the text is not taken).
    bool Add(std::string_view text, size_t& added)
    {
        if (m_seen.size() >= m_limit) return false;
        std::string key(text);
        for (char& c : key) c = AsciiLower(c);
        if (m_seen.insert(std::move(key)).second) ++added;
        return true;
    }
    size_t Count() const { return m_seen.size(); }
    bool Full() const { return m_seen.size() >= m_limit; }

private:
    size_t m_limit;
    std::unordered_set<std::string> m_seen;
};

// Compact peers (BEP 23, BEP 7): a byte string of fixed-size entries, the
// address in network byte order followed by a two-byte port. A trailing
// partial entry, seen from broken trackers, is ignored. The address is taken
// as the text the dictionary form would give, without the port.
void addCompactPeers(std::string_view bytes, int family, PeerAddresses& addresses, size_t& added)
{
    const size_t addressBytes = family == AF_INET ? 4 : 16;
    const size_t entryBytes = addressBytes + 2;
    char text[INET6_ADDRSTRLEN];
    for (size_t at = 0; at + entryBytes <= bytes.size(); at += entryBytes) {
        if (!::inet_ntop(family, bytes.data() + at, text, sizeof text)) continue;
        if (!addresses.Add(text, added)) return;
    }
}

enum class ReplyPeers { Taken, MalformedPeer };

// Takes the addresses of one tracker reply. A reply that is not a
// dictionary, or holds a "failure reason", gives none. The reply is read in
// place, as the decoder would read it, and nothing of it is built: a reply of
// any size costs no memory beyond the addresses it brings.
ReplyPeers addReplyPeers(std::string_view reply, PeerAddresses& addresses, size_t& added)
{
    using Value = TBencodeWalker::TValue;
    const TBencodeWalker walker(reply);
    const Value reply0 = walker.Read(0);
    if (!reply0.Present || reply0.Kind != TBencodeKind::Dictionary) return ReplyPeers::Taken;
    bool failed = false;
    Value peers;
    Value peers6;
    // The last entry with a key holds its value, as a decoded dictionary would.
    walker.ForEachEntry(reply0, 0, [&](std::string_view key, const Value& value) {
        if (key == "failure reason")
            failed = true;
        else if (key == "peers")
            peers = value;
        else if (key == "peers6")
            peers6 = value;
        return true;
    });
    if (failed) return ReplyPeers::Taken;

    const auto isScalar = [](const Value& v) {
        return v.Present && (v.Kind == TBencodeKind::String || v.Kind == TBencodeKind::Integer);
    };
    if (peers.Present && peers.Kind == TBencodeKind::List) {
        ReplyPeers result = ReplyPeers::Taken;
        walker.ForEachItem(peers, 1, [&](const Value& item) {
            // A peer that is not {"ip": text} means the reply is not what it
            // claims to be: the check gives no count rather than a wrong one.
            Value ip;
            if (item.Kind == TBencodeKind::Dictionary)
                walker.ForEachEntry(item, 2, [&](std::string_view key, const Value& value) {
                    if (key == "ip") ip = value;
                    return true;
                });
            if (!isScalar(ip)) {
                result = ReplyPeers::MalformedPeer;
                return false;
            }
            // An integer "ip" reads as the empty text, one address like any other.
            return addresses.Add(walker.Text(ip), added);
        });
        if (result == ReplyPeers::MalformedPeer) return result;
    } else if (isScalar(peers)) {
        addCompactPeers(walker.Text(peers), AF_INET, addresses, added);
    }
    if (isScalar(peers6)) addCompactPeers(walker.Text(peers6), AF_INET6, addresses, added);
    return ReplyPeers::Taken;
}

}  // namespace

int64_t CountReplyPeers(std::string_view reply, size_t maxAddresses)
{
    PeerAddresses addresses(maxAddresses);
    size_t added = 0;
    if (addReplyPeers(reply, addresses, added) == ReplyPeers::MalformedPeer) return -1;
    return static_cast<int64_t>(addresses.Count());
}

std::string BuildAnnounceQuery(std::string_view infoHash, std::string_view peerId, std::string_view ip,
                               std::string_view event, int32_t port, int32_t uploaded, int32_t downloaded,
                               int32_t left)
{
    std::string query = "?info_hash=";
    appendPercentEncoded(query, infoHash);
    query += "&peer_id=";
    query += peerId;
    query += "&port=" + std::to_string(port);
    query += "&uploaded=" + std::to_string(uploaded);
    query += "&downloaded=" + std::to_string(downloaded);
    query += "&left=" + std::to_string(left);
    if (!ip.empty()) {
        query += "&ip=";
        query += ip;
    }
    if (!event.empty()) {
        query += "&event=";
        query += event;
    }
    return query;
}

std::string AnnounceRequestUrl(std::string_view trackerUrl, std::string_view query)
{
    std::string url(trackerUrl);
    if (trackerUrl.find('?') == std::string_view::npos || query.empty() || query.front() != '?') {
        url += query;
        return url;
    }
    // Private trackers put the passkey in the announce URL's own query; a
    // second "?" would make it part of the passkey's value.
    query.remove_prefix(1);
    if (url.back() != '?' && url.back() != '&') url += '&';
    url += query;
    return url;
}

std::vector<std::string> PeerCheckTrackers(const TTorrentFile& torrent)
{
    std::vector<std::string> trackers;
    trackers.reserve(1 + torrent.BackupTrackers.size());
    trackers.push_back(torrent.AnnounceUrl);
    trackers.insert(trackers.end(), torrent.BackupTrackers.begin(), torrent.BackupTrackers.end());
    return trackers;
}

std::shared_ptr<TCheckPingThread> TCheckPingThread::Create(const TTorrentFile& torrent,
                                                           std::shared_ptr<TWorkerMessages> messages,
                                                           PeerCheckOptions options)
{
    return std::make_shared<TCheckPingThread>(CreateKey{}, torrent, std::move(messages), options);
}

TCheckPingThread::TCheckPingThread(CreateKey, const TTorrentFile& torrent, std::shared_ptr<TWorkerMessages> messages,
                                   PeerCheckOptions options)
    : m_trackers(PeerCheckTrackers(torrent)),
      m_infoHashRaw(torrent.InfoHashRaw),
      m_infoHashHex(torrent.InfoHashHex),
      m_messages(std::move(messages)),
      m_options(options)
{}

bool TCheckPingThread::Ended() const
{
    std::lock_guard lock(m_mutex);
    return m_ended;
}

void TCheckPingThread::WaitEnded() const
{
    std::unique_lock lock(m_mutex);
    m_endedChanged.wait(lock, [this] { return m_ended; });
}

bool TCheckPingThread::WaitEnded(std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_mutex);
    return m_endedChanged.wait_for(lock, timeout, [this] { return m_ended; });
}

void TCheckPingThread::Execute()
{
    // Marked ended however check() leaves, an exception included (the thread
    // class traces it): a check is background work and ends without a count.
    struct MarkEnded {
        TCheckPingThread& worker;
        ~MarkEnded()
        {
            std::lock_guard lock(worker.m_mutex);
            worker.m_ended = true;
            worker.m_endedChanged.notify_all();
        }
    } markEnded{*this};
    check();
}

bool TCheckPingThread::waitFor(std::chrono::milliseconds wait, std::chrono::steady_clock::time_point until)
{
    std::unique_lock lock(m_mutex);
    const auto end = std::min(std::chrono::steady_clock::now() + wait, until);
    m_recheck.wait_until(lock, StopToken(), end, [] { return false; });
    return !Terminated();
}

FetchResult TCheckPingThread::fetchAnnounce(const std::string& url, const FetchOptions& fetch, std::string& reply,
                                            std::chrono::steady_clock::time_point until)
{
    // GetHtml's attempts one by one, so that the check's end cuts the
    // attempt in progress (its limit is what is left) and every pause.
    FetchResult result;
    for (int attempt = 1;; ++attempt) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left <= std::chrono::milliseconds::zero()) {
            result.ok = false;
            result.error = FetchError::TooLong;
            result.reason = "the peer check's time limit passed";
            return result;
        }
        FetchOptions one = fetch;
        one.attempts = 1;
        const auto attemptLimit = fetch.limits.attempt > std::chrono::milliseconds::zero()
                                      ? fetch.limits.attempt
                                      : std::chrono::milliseconds(FetchAttemptLimitMs);
        one.limits.attempt = std::min(attemptLimit, left);
        const int attemptsBefore = result.attempts;
        result = GetHtml(url, one, reply);
        result.attempts += attemptsBefore;
        if (result.ok || result.error == FetchError::Stopped || attempt >= fetch.attempts) return result;
        if (!waitFor(fetch.pause, until)) {
            result.error = FetchError::Stopped;
            return result;
        }
    }
}

void TCheckPingThread::check()
{
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + m_options.checkLimit;
    const std::string query =
        BuildAnnounceQuery(m_infoHashRaw, ClientPeerId, "", "", AnnouncePort, 0, 0, 0);
    FetchOptions fetch;
    fetch.attempts = FetchAttempts;
    fetch.pause = m_options.fetchPause;
    fetch.readTimeoutMs = FetchReadTimeout;
    fetch.limits = m_options.fetchLimits;
    fetch.stop = StopToken();
    AnnounceRequest udpRequest;
    udpRequest.InfoHashRaw = m_infoHashRaw;
    udpRequest.PeerId = std::string(ClientPeerId);
    udpRequest.Port = static_cast<uint16_t>(AnnouncePort);

    PeerAddresses addresses(m_options.maxAddresses);
    // The body of the last successful fetch. A fetch that fails on every
    // attempt leaves it as it was, so re-reading it brings nothing new and
    // the re-asking ends with the addresses collected so far.
    std::string reply;
    bool answered = false;
    const auto timeLeft = [&] { return std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()); };
    for (const std::string& tracker : m_trackers) {
        if (timeLeft() <= std::chrono::milliseconds::zero()) break;
        const bool udp = IsUdpTrackerUrl(tracker);
        const std::string url = udp ? std::string() : AnnounceRequestUrl(tracker, query);
        for (;;) {
            size_t added = 0;
            if (udp) {
                // Nothing of an earlier pass is read again: an announce that
                // gets no answer brings nothing new, which ends the re-asking.
                UdpAnnounceOptions udpOptions = m_options.udp;
                udpOptions.limit = std::max(std::min(udpOptions.limit, timeLeft()), std::chrono::milliseconds(1));
                const UdpAnnounceReply announced = UdpAnnounce(tracker, udpRequest, udpOptions, StopToken());
                if (Terminated()) break;
                if (!announced.Answered) {
                    SORVENA_TRACE(tracker + ": " + announced.Reason);
                } else {
                    answered = true;
                    if (announced.Failure.empty())
                        for (const PeerEndpoint& peer : announced.Peers)
                            if (!addresses.Add(peer.Address, added)) break;
                }
            } else {
                const FetchResult fetched = fetchAnnounce(url, fetch, reply, until);
                if (Terminated()) break;
                if (!fetched.ok) {
                    // Why a tracker gave nothing, for the developer: a refused
                    // certificate looks like no answer to the user.
                    std::string why = tracker + ": " + FetchErrorText(fetched.error);
                    if (!fetched.reason.empty()) why += ": " + fetched.reason;
                    SORVENA_TRACE(why);
                }
                if (!reply.empty()) {
                    answered = true;
                    if (addReplyPeers(reply, addresses, added) == ReplyPeers::MalformedPeer) return;
                }
            }
            if (added == 0 || addresses.Full() || !waitFor(m_options.recheckWait, until) ||
                timeLeft() <= std::chrono::milliseconds::zero())
                break;
        }
        // Only the first tracker that answers is used, whatever it said.
        if (answered || Terminated()) break;
    }
    if (Terminated() || !m_messages) return;
    if (timeLeft() <= std::chrono::milliseconds::zero())
        SORVENA_TRACE(m_infoHashHex + ": the peer check's time limit passed; reporting the addresses collected so far");
    const auto count = static_cast<int32_t>(std::min<size_t>(addresses.Count(), INT32_MAX));
    m_messages->PeerCount(m_infoHashHex, count);
}

}  // namespace sorvena
