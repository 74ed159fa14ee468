#pragma once
// The file list of a magnet entry, from the swarm: the torrent's info
// dictionary fetched from peers with the metadata extension (BEP 9 over the
// extension protocol of BEP 10), checked against the info hash, and made
// into a full torrent.
//
// The peers come from the entry's trackers (HTTP, HTTPS and UDP) and from
// the x.pe peers its link names. A few are asked at a time over TCP, each
// with time limits; the first whose pieces hash to the info hash wins.
//
// Threads: the calling thread runs every peer connection, multiplexed with
// poll(); the trackers are asked meanwhile by at most trackersAtOnce threads
// of the fetch's own, which end with it. So one fetch uses at most
// 1 + trackersAtOnce threads, and at most peersAtOnce sockets for peers.
//
// Memory, whatever peers send: per connection a kept message of at most
// PeerMaxKeptMessageBytes (PeerWire.h) and the info dictionary as its pieces
// arrive (never more than maxBytes, never allocated ahead of the bytes
// beyond the few pieces asked for at once); one read buffer of the fetch.
// Messages the fetch does not need are skipped unread; a peer that sends
// more than MetadataMaxUselessBytes of them is dropped.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>
#include <utility>

#include "metainfo/TorrentEx.h"

namespace sorvena {

// A peer announcing a larger info dictionary is not asked for it.
inline constexpr size_t MetadataMaxBytes = 16 * 1024 * 1024;
// No limit a caller sets goes beyond this.
inline constexpr size_t MetadataHardMaxBytes = 1024 * 1024 * 1024;
// Distinct peers (address and port) one fetch keeps and tries at most.
inline constexpr size_t MetadataMaxPeers = 500;
// Metadata pieces asked of one peer at a time.
inline constexpr int MetadataRequestWindow = 4;
// Bytes of messages that bring nothing (keep-alives, bitfields, haves,
// pieces not asked for) a peer may send before it is dropped.
inline constexpr uint64_t MetadataMaxUselessBytes = 4 * 1024 * 1024;
// The peers asked of each tracker.
inline constexpr int MetadataNumWant = 50;

// The limits of one fetch. The defaults are the program's; tests shorten them.
struct MetadataFetchOptions {
    int peersAtOnce = 4;                             // TCP connections open at one time
    std::chrono::milliseconds connectLimit{10000};   // per peer, and per tracker connection
    // Per peer: no step forward (its handshake, its extension handshake, a
    // piece asked for) for this long ends it, however much else it sends.
    std::chrono::milliseconds idleLimit{15000};
    std::chrono::milliseconds limit{120000};         // the whole fetch, trackers included
    size_t maxBytes = MetadataMaxBytes;
    int trackersAtOnce = 3;                          // trackers asked at one time, each on a thread
    std::chrono::milliseconds trackerLimit{20000};   // one tracker's announce (HTTP attempt or UDP exchange)
};

struct MetadataFetchResult {
    MetadataFetchResult() = default;
    MetadataFetchResult(std::unique_ptr<TTorrentEx> torrent, std::string reason)
        : Torrent(std::move(torrent)), Reason(std::move(reason))
    {}

    std::unique_ptr<TTorrentEx> Torrent;  // the full torrent; null when the fetch failed
    std::string Reason;                   // why it failed, in English
    // The bencoded torrent the full torrent was loaded from: the announce
    // URL and announce list of the magnet's trackers and the info dictionary
    // exactly as the peers sent it (so its info hash is the magnet's).
    // Empty when the fetch failed.
    std::string Metainfo;
    size_t PeersFound = 0;  // distinct peers the trackers and the link named
    size_t PeersAsked = 0;  // connections attempted
};

// Fetches the torrent of a magnet entry (entry.IsMagnet()). Blocking; any
// thread. The full torrent keeps the entry's LinkUrl, Source, SourcePeers and
// PeerCount, and lists the magnet's trackers as its announce URL and
// announce list. A stop request ends the fetch within about 100 ms, failed.
// Never throws.
MetadataFetchResult FetchMagnetMetadata(const TTorrentEx& entry, const MetadataFetchOptions& options = {},
                                        std::stop_token stop = {});

}  // namespace sorvena
