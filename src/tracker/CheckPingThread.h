#pragma once
// The peer check: how many distinct peers a torrent's trackers hand out.
//
// A TCheckPingThread asks the torrent's trackers in order (the announce URL,
// then every backup tracker) with HTTP or HTTPS announce requests (GetHtml:
// UDP trackers cannot answer), writes a trace line for every tracker fetch
// that failed on all attempts, with its reason, keeps re-asking the
// first tracker that answers while each answer brings addresses it has not
// seen, and reports the number of distinct addresses once, with the
// synchronous WM_PEER_COUNT message, keyed by the torrent's info hash text.

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

// The query part of an announce URL, beginning with "?": info_hash (every
// byte other than an ASCII letter, digit, "-", "_", "." or "~" written as "%"
// and two upper-case hexadecimal digits), peer_id as given, port, uploaded,
// downloaded and left in decimal, then "&ip=" and "&event=" only when those
// texts are not empty.
std::string BuildAnnounceQuery(std::string_view infoHash, std::string_view peerId, std::string_view ip,
                               std::string_view event, int32_t port, int32_t uploaded, int32_t downloaded,
                               int32_t left);

// The announce request URL: trackerUrl followed by query (as built above).
// A tracker URL that already holds a query ("…/announce?passkey=…") gets the
// parameters joined with "&"; one that ends in "?" or "&" gets them directly.
std::string AnnounceRequestUrl(std::string_view trackerUrl, std::string_view query);

// The trackers a check asks, in order: AnnounceUrl (even when empty), then
// every URL of BackupTrackers. Nothing is left out, duplicates included.
std::vector<std::string> PeerCheckTrackers(const TTorrentFile& torrent);

// What one tracker reply gives a check, counted as the check counts it: the
// distinct addresses of its peer lists (at most maxAddresses), or Malformed
// when its "peers" list holds an item that is not a dictionary with a text
// "ip" (the check then reports no count). A reply that is not a bencoded
// dictionary, or holds a "failure reason", gives no address. Any bytes; any
// thread.
struct TrackerReplyPeers {
    bool Malformed = false;
    size_t Addresses = 0;
};
TrackerReplyPeers CountReplyPeers(std::string_view reply, size_t maxAddresses = PeerCheckMaxAddresses);

// What a check may be told to do differently. The defaults are the
// program's; tests shorten the waits.
struct PeerCheckOptions {
    std::chrono::milliseconds recheckWait = PeerRecheckWait;
    std::chrono::milliseconds fetchPause = std::chrono::seconds(FetchRetryDelay);  // between attempts of a fetch
    FetchLimits fetchLimits;  // the time limits of each attempt: a tracker that stalls cannot hold a check
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
// tracker answers, the count is 0. Terminate also cuts a fetch or a wait short.
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
    // Waits options.recheckWait; false when the wait ended by Terminate.
    bool waitBeforeRecheck();

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
