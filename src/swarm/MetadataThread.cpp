#include "swarm/MetadataThread.h"

#include <deque>
#include <exception>
#include <stdexcept>
#include <utility>
#include <vector>

#include "base/Trace.h"

namespace sorvena {

// The program-wide turn order of the fetches. A worker takes a free slot at
// Queue, or waits here; a slot passes straight from a fetch that ends to the
// next worker waiting, so the number running never exceeds the limit and a
// slot is never idle while a worker waits. The next worker is started on the
// thread of the fetch that ended, before that thread counts as ended, so
// TWorkerThread::WaitForAll cannot report "all ended" while workers still
// wait for a turn.
class TMetadataQueue {
public:
    static TMetadataQueue& Instance()
    {
        // Never destroyed: a worker may still be ending while the process exits.
        static TMetadataQueue* queue = new TMetadataQueue;
        return *queue;
    }

    void Queue(std::shared_ptr<TMetadataThread> worker)
    {
        {
            std::lock_guard lock(m_mutex);
            if (m_running >= MetadataFetchesAtOnce) {
                m_waiting.push_back(std::move(worker));
                return;
            }
            ++m_running;
        }
        try {
            worker->Start();
        } catch (...) {
            worker->markEnded();
            SlotFreed();
            throw;
        }
    }

    // A fetch ended (or could not start): its slot goes to the next worker
    // that still wants it. Workers that were asked to end while waiting end here.
    void SlotFreed() noexcept
    {
        for (;;) {
            std::shared_ptr<TMetadataThread> next;
            std::vector<std::shared_ptr<TMetadataThread>> ended;
            {
                std::lock_guard lock(m_mutex);
                while (!m_waiting.empty() && m_waiting.front()->Terminated()) {
                    ended.push_back(std::move(m_waiting.front()));
                    m_waiting.pop_front();
                }
                if (m_waiting.empty()) {
                    --m_running;
                } else {
                    next = std::move(m_waiting.front());
                    m_waiting.pop_front();
                }
            }
            for (const auto& worker : ended) worker->markEnded();
            ended.clear();  // freed outside the lock
            if (!next) return;
            try {
                next->Start();
                return;
            } catch (const std::exception& e) {
                SORVENA_TRACE(e.what());
                next->markEnded();
            }
        }
    }

    int Running() const
    {
        std::lock_guard lock(m_mutex);
        return m_running;
    }

    size_t Waiting() const
    {
        std::lock_guard lock(m_mutex);
        return m_waiting.size();
    }

private:
    mutable std::mutex m_mutex;
    int m_running = 0;  // slots taken: fetches running or starting
    std::deque<std::shared_ptr<TMetadataThread>> m_waiting;
};

namespace {

// The parts of a magnet entry (MakeMagnetEntry) that a fetch reads.
std::unique_ptr<TTorrentEx> copyMagnetEntry(const TTorrentEx& magnet)
{
    auto copy = std::make_unique<TTorrentEx>();
    copy->InfoHashHex = magnet.InfoHashHex;
    copy->InfoHashRaw = magnet.InfoHashRaw;
    copy->TorrentName = magnet.TorrentName;
    copy->TotalSize = magnet.TotalSize;
    copy->AnnounceUrl = magnet.AnnounceUrl;
    copy->BackupTrackers = magnet.BackupTrackers;
    copy->FileCount = magnet.FileCount;
    copy->MagnetUri = magnet.MagnetUri;
    copy->LinkUrl = magnet.LinkUrl;
    copy->Source = magnet.Source;
    copy->SourcePeers = magnet.SourcePeers;
    copy->PeerCount = magnet.PeerCount;
    return copy;
}

}  // namespace

std::shared_ptr<TMetadataThread> TMetadataThread::Create(const TTorrentEx& magnet,
                                                         std::shared_ptr<TWorkerMessages> messages,
                                                         MetadataThreadOptions options)
{
    if (!magnet.IsMagnet()) throw std::invalid_argument("a file list is fetched only for a magnet entry");
    return std::make_shared<TMetadataThread>(CreateKey{}, magnet, std::move(messages), std::move(options));
}

TMetadataThread::TMetadataThread(CreateKey, const TTorrentEx& magnet, std::shared_ptr<TWorkerMessages> messages,
                                 MetadataThreadOptions options)
    : m_magnet(copyMagnetEntry(magnet)),
      m_infoHashHex(magnet.InfoHashHex),
      m_messages(std::move(messages)),
      m_options(std::move(options))
{}

void TMetadataThread::Queue()
{
    TMetadataQueue::Instance().Queue(std::static_pointer_cast<TMetadataThread>(shared_from_this()));
}

int TMetadataThread::RunningCount()
{
    return TMetadataQueue::Instance().Running();
}

size_t TMetadataThread::QueuedCount()
{
    return TMetadataQueue::Instance().Waiting();
}

bool TMetadataThread::Ended() const
{
    std::lock_guard lock(m_mutex);
    return m_ended;
}

bool TMetadataThread::WaitEnded(std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_mutex);
    return m_endedChanged.wait_for(lock, timeout, [this] { return m_ended; });
}

void TMetadataThread::markEnded()
{
    std::lock_guard lock(m_mutex);
    m_ended = true;
    m_endedChanged.notify_all();
}

void TMetadataThread::Execute()
{
    // However the fetch ends, an exception included (the thread class traces
    // it): the slot passes on and the worker counts as ended.
    struct Finish {
        TMetadataThread& worker;
        ~Finish()
        {
            TMetadataQueue::Instance().SlotFreed();
            worker.markEnded();
        }
    } finish{*this};

    if (Terminated()) return;
    MetadataFetchResult result = m_options.fetcher ? m_options.fetcher(*m_magnet, m_options.fetch, StopToken())
                                                   : FetchMagnetMetadata(*m_magnet, m_options.fetch, StopToken());
    // The slot is kept until the receiver has taken the result, so that a
    // receiver that is slow to take them (a window busy with a modal box)
    // cannot make threads pile up: at most MetadataFetchesAtOnce exist.
    if (result.Torrent && (result.Torrent->InfoHashHex != m_infoHashHex || result.Torrent->IsMagnet())) {
        result.Torrent.reset();
        result.Reason = "the swarm gave a torrent with another info hash";
    }
    if (result.Torrent) {
        result.Torrent->LinkUrl = m_magnet->LinkUrl;
        result.Torrent->Source = m_magnet->Source;
        result.Torrent->SourcePeers = m_magnet->SourcePeers;
        // The receiver's row holds the newest count; the copy's may be older.
        result.Torrent->PeerCount = -1;
    } else if (result.Reason.empty()) {
        result.Reason = "the file list could not be fetched";
    }
    if (Terminated() || !m_messages) return;
    m_messages->MetadataFound(m_infoHashHex, std::move(result.Torrent), result.Reason);
}

}  // namespace sorvena
