#pragma once
// The file list of a magnet entry, from the swarm: the torrent's info
// dictionary fetched from peers with the metadata extension (BEP 9 over the
// extension protocol of BEP 10), checked against the info hash, and made
// into a full torrent.
//
// The peers come from the entry's trackers (HTTP, HTTPS and UDP) and from
// the x.pe peers its link names. A few are asked at a time over TCP, each
// with time limits; the first whose pieces hash to the info hash wins.

#include <chrono>
#include <cstddef>
#include <memory>
#include <stop_token>
#include <string>

#include "metainfo/TorrentEx.h"

namespace sorvena {

// A peer announcing a larger info dictionary is not asked for it.
inline constexpr size_t MetadataMaxBytes = 16 * 1024 * 1024;

// The limits of one fetch. The defaults are the program's; tests shorten them.
struct MetadataFetchOptions {
    int peersAtOnce = 4;                             // TCP connections open at one time
    std::chrono::milliseconds connectLimit{10000};   // per peer
    std::chrono::milliseconds idleLimit{15000};      // per peer: no message for this long ends it
    std::chrono::milliseconds limit{120000};         // the whole fetch, trackers included
    size_t maxBytes = MetadataMaxBytes;
};

struct MetadataFetchResult {
    std::unique_ptr<TTorrentEx> Torrent;  // the full torrent; null when the fetch failed
    std::string Reason;                   // why it failed, in English
};

// Fetches the torrent of a magnet entry (entry.IsMagnet()). Blocking; any
// thread. The full torrent keeps the entry's LinkUrl, Source, SourcePeers and
// PeerCount, and lists the magnet's trackers as its announce URL and
// announce list. A stop request ends the fetch within about 100 ms, failed.
MetadataFetchResult FetchMagnetMetadata(const TTorrentEx& entry, const MetadataFetchOptions& options = {},
                                        std::stop_token stop = {});

}  // namespace sorvena
