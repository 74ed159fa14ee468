#pragma once
// The peer check: how many distinct peers a torrent's trackers hand out.
//
// A TCheckPingThread asks the torrent's trackers in order (the announce URL,
// then every backup tracker): http:// and https:// ones with HTTP announce
// requests (GetHtml), udp:// ones with UDP announces (BEP 15, UdpAnnounce).
// It writes a trace line for every tracker that gave no answer, with its
// reason, keeps re-asking the first tracker that answers while each answer
// brings addresses it has not seen, and reports the number of distinct
// addresses once, with the synchronous WM_PEER_COUNT message, keyed by the
// torrent's info hash text.
//
// Time bounds (the defaults; PeerCheckOptions changes them). One HTTP
// tracker's turn takes at most FetchAttempts x AnnounceAttemptLimit plus two
// pauses of FetchRetryDelay: 3 x 30 s + 2 x 2 s = 94 s for a tracker that
// trickles or whose every address ignores the connect (each address has
// the 15 s connect limit), 3 x 15 s + 4 s = 49 s for one that takes the
// request and stays silent. One UDP tracker's turn takes at most 30 s
// (UdpAnnounceOptions). However many trackers a torrent lists and however
// long the re-asking goes on, a whole check ends after PeerCheckLimit
// (300 s) and reports what it has collected by then: every wait and every
// attempt is cut at that time. Name resolution is the one step that cannot
// be cut short; the resolver's own timeouts bound it.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "metainfo/TorrentFile.h"
#include "net/IndyUtil.h"
#include "tracker/UdpTracker.h"
#include "worker/WorkerMessages.h"
#include "worker/WorkerThread.h"

namespace sorvena {

// The peer id of every announce, the same for every request and every run.
inline constexpr std::string_view ClientPeerId = "1E217EC12DEC49F19D2R";
// The listening port every announce names.
inline constexpr int32_t AnnouncePort = 6881;
// How long a check waits before asking the same tracker again.
inline constexpr std::chrono::milliseconds PeerRecheckWait{10000};
// A check stops collecting (and re-asking) at this many distinct addresses,
// so that a tracker handing out new addresses without end cannot make a
// check grow without bound; the count reported is then this number.
inline constexpr size_t PeerCheckMaxAddresses = 100000;
// The time limits of each HTTP announce attempt. A tracker's reply is a few
// kilobytes at most and comes at once or not at all; the search's fetches,
// which carry whole torrents, keep the longer FetchLimits defaults.
inline constexpr std::chrono::milliseconds AnnounceConnectLimit{15000};  // TCP connect, again the TLS handshake
inline constexpr std::chrono::milliseconds AnnounceReadLimit{15000};     // the longest wait for the next bytes
inline constexpr std::chrono::milliseconds AnnounceAttemptLimit{30000};  // one whole attempt
inline constexpr FetchLimits AnnounceFetchLimits{AnnounceConnectLimit, AnnounceReadLimit, AnnounceAttemptLimit};
// A whole check, every tracker and every re-ask included, ends after this
// long and reports the addresses collected by then.
inline constexpr std::chrono::milliseconds PeerCheckLimit{300000};

// The query part of an announce URL, beginning with "?": info_hash (every
// byte other than an ASCII letter, digit, "-", "_", "." or "~" written as "%"
// and two upper-case hexadecimal digits), peer_id as given, port, uploaded,
// downloaded and left in decimal, then "&ip=" and "&event=" only when those
// texts are not empty.
std::string BuildAnnounceQuery(std::string_view infoHash, std::string_view peerId, std::string_view ip,
                               std::string_view event, int32_t port, int32_t uploaded, int32_t downloaded,
                               int32_t left);

// The number of distinct addresses one tracker reply gives a check that has
// none yet (at most maxAddresses), or -1 when its peer list holds an item
// that is not a dictionary with a text "ip" (a check then ends without a
// report). The reply is read in place: memory does not grow with its size.
int64_t CountReplyPeers(std::string_view reply, size_t maxAddresses = PeerCheckMaxAddresses);

// The announce request URL: trackerUrl followed by query (as built above).
// A tracker URL that already holds a query ("…/announce?passkey=…") gets the
// parameters joined with "&"; one that ends in "?" or "&" gets them directly.
std::string AnnounceRequestUrl(std::string_view trackerUrl, std::string_view query);

// The trackers a check asks, in order: AnnounceUrl (even when empty), then
// every URL of BackupTrackers. Nothing is left out, duplicates included.
std::vector<std::string> PeerCheckTrackers(const TTorrentFile& torrent);

// What a check may be told to do differently. The defaults are the
// program's; tests shorten the waits.
struct PeerCheckOptions {
    std::chrono::milliseconds recheckWait = PeerRecheckWait;
    std::chrono::milliseconds fetchPause = std::chrono::seconds(FetchRetryDelay);  // between attempts of a fetch
    FetchLimits fetchLimits = AnnounceFetchLimits;  // each HTTP attempt: a tracker that stalls cannot hold a check
    UdpAnnounceOptions udp;                         // each UDP announce
    std::chrono::milliseconds checkLimit = PeerCheckLimit;
    size_t maxAddresses = PeerCheckMaxAddresses;
};

// One peer check, run once on a worker thread of its own at the workers' lower priority.
//
// Lifetime: Create copies what the check needs (trackers, raw info hash, info
// hash text) from the torrent, which may be destroyed as soon as Create
// returns; the check is then started with Start (TWorkerThread). The running
// thread holds a reference to the worker until Execute ends, so the worker
// frees itself when it ends even if nobody else keeps one; a list of running
// checks holds std::weak_ptr. The receiver of the message is held the same
// way: it must stay able to take (or refuse) the message until the last
// worker is gone.
//
// Result: at most one messages->PeerCount(info hash text, distinct
// addresses) per worker. None when the worker was asked to end (Terminate),
// when a tracker's peer list holds an item that is not a dictionary with a
// text "ip", or when anything fails inside the worker (out of memory). When no
// tracker answers, the count is 0. A UDP tracker's error reply counts as an
// answer with no addresses, as an HTTP "failure reason" does. Terminate also
// cuts a fetch, an announce or a wait short.
class TCheckPingThread final : public TWorkerThread {
public:
    static std::shared_ptr<TCheckPingThread> Create(const TTorrentFile& torrent,
                                                    std::shared_ptr<TWorkerMessages> messages,
                                                    PeerCheckOptions options = {});

    // Whether Execute has ended (reported or not); the waits block until it
    // has. Any thread, but never the receiver's while it may be handling this
    // worker's message. A worker that was never started never ends.
    bool Ended() const;
    void WaitEnded() const;
    bool WaitEnded(std::chrono::milliseconds timeout) const;

    const std::string& InfoHashHex() const { return m_infoHashHex; }

private:
    struct CreateKey {};

public:
    TCheckPingThread(CreateKey, const TTorrentFile& torrent, std::shared_ptr<TWorkerMessages> messages,
                     PeerCheckOptions options);

protected:
    void Execute() override;

private:
    void check();
    // Waits for wait or until the time until, whichever comes first; false
    // when the wait ended by Terminate.
    bool waitFor(std::chrono::milliseconds wait, std::chrono::steady_clock::time_point until);
    // The HTTP announce of one pass: GetHtml's attempts, each cut at until.
    FetchResult fetchAnnounce(const std::string& url, const FetchOptions& fetch, std::string& reply,
                              std::chrono::steady_clock::time_point until);

    const std::vector<std::string> m_trackers;
    const std::string m_infoHashRaw;
    const std::string m_infoHashHex;
    const std::shared_ptr<TWorkerMessages> m_messages;
    const PeerCheckOptions m_options;

    mutable std::mutex m_mutex;  // guards m_ended
    mutable std::condition_variable m_endedChanged;
    std::condition_variable_any m_recheck;  // waited on with m_mutex; only a stop request wakes it early
    bool m_ended = false;
};

}  // namespace sorvena
