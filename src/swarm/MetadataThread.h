#pragma once
// The worker that fetches the file list of one magnet entry from the swarm
// (FetchMagnetMetadata) and reports it with WM_METADATA_FOUND.
//
// A fetch holds TCP connections to several peers for up to its time limit,
// so the program runs at most MetadataFetchesAtOnce of them at a time (a
// fetch counts until the receiver has taken its result). The others wait in
// one program-wide queue as workers that have not started: no thread, no
// socket, only their copy of the magnet entry.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>

#include "metainfo/TorrentEx.h"
#include "swarm/MetadataFetch.h"
#include "worker/WorkerMessages.h"
#include "worker/WorkerThread.h"

namespace sorvena {

// Fetches running at one time in the whole program; the rest wait their turn.
inline constexpr int MetadataFetchesAtOnce = 3;

// What fetches the torrent of a magnet entry: FetchMagnetMetadata, or what a
// test puts in its place. Called on the worker's thread; it must end soon
// after stop is requested.
using MetadataFetcher =
    std::function<MetadataFetchResult(const TTorrentEx& magnet, const MetadataFetchOptions& options, std::stop_token stop)>;

struct MetadataThreadOptions {
    MetadataFetchOptions fetch;  // the limits of each fetch
    MetadataFetcher fetcher;     // empty: FetchMagnetMetadata
};

// One file-list fetch, run once on a worker thread of its own.
//
// Lifetime: Create copies what the fetch needs from the magnet entry (info
// hash, name, size, trackers, link, source), which may be destroyed as soon
// as Create returns. Queue then hands the worker to the program-wide queue,
// which holds it until its turn comes and starts it (never call Start); the
// running thread holds it until Execute ends, so it frees itself when it
// ends. Lists of fetches hold std::weak_ptr.
//
// Terminate ends a queued worker when its turn comes, without a fetch, and
// cuts a running fetch short (within about 100 ms). The terminate request is
// tested right before the send: a worker asked to end sends nothing.
//
// Result: at most one messages->MetadataFound(info hash text, full torrent or
// null, reason). The full torrent keeps the entry's LinkUrl, Source and
// SourcePeers; a fetch that gives a torrent with another info hash counts as
// failed.
class TMetadataThread final : public TWorkerThread {
public:
    // Throws std::invalid_argument when the entry is no magnet entry.
    static std::shared_ptr<TMetadataThread> Create(const TTorrentEx& magnet, std::shared_ptr<TWorkerMessages> messages,
                                                   MetadataThreadOptions options = {});

    // Starts the fetch now when fewer than MetadataFetchesAtOnce run,
    // otherwise queues it behind the others. At most once per worker. Any
    // thread. Throws std::system_error when no thread can be started (the
    // worker then counts as ended).
    void Queue();

    // Whether the worker has ended: its Execute returned, or its turn came
    // after a terminate request. Any thread, but never the receiver's while it
    // may be handling this worker's message.
    bool Ended() const;
    bool WaitEnded(std::chrono::milliseconds timeout) const;

    const std::string& InfoHashHex() const { return m_infoHashHex; }

    // Fetches running now and workers waiting for their turn, program-wide.
    static int RunningCount();
    static size_t QueuedCount();

private:
    struct CreateKey {};
    friend class TMetadataQueue;

public:
    TMetadataThread(CreateKey, const TTorrentEx& magnet, std::shared_ptr<TWorkerMessages> messages,
                    MetadataThreadOptions options);

protected:
    void Execute() override;

private:
    void markEnded();

    const std::unique_ptr<const TTorrentEx> m_magnet;
    const std::string m_infoHashHex;
    const std::shared_ptr<TWorkerMessages> m_messages;
    const MetadataThreadOptions m_options;

    mutable std::mutex m_mutex;  // guards m_ended
    mutable std::condition_variable m_endedChanged;
    bool m_ended = false;
};

}  // namespace sorvena
