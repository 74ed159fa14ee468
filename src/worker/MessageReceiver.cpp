#include "worker/MessageReceiver.h"

#include <algorithm>
#include <exception>
#include <string>
#include <utility>

#include "base/Trace.h"
#include "metainfo/TorrentEx.h"

namespace sorvena {

// Shared by the sender and the receiving thread, so that a sender released by
// Close may leave while a handler still holds the message. Each message has
// its own condition variable: a message handled wakes only its sender,
// however many are waiting.
struct TMessageReceiver::Message {
    int kind = 0;
    int siteIndex = 0;
    std::unique_ptr<TTorrentEx> entry;
    std::string infoHashHex;
    int32_t count = 0;
    std::string reason;

    bool handled = false;   // its handler ran
    bool released = false;  // Close let its sender go while the handler ran
    // The receiver is finished with it, or Close released it: its sender may go.
    bool settled = false;
    std::condition_variable finished;
};

TMessageReceiver::TMessageReceiver(Handlers handlers, CloseRule closeRule)
    : m_handlers(std::move(handlers)), m_closeRule(closeRule)
{
}

TMessageReceiver::~TMessageReceiver() = default;

bool TMessageReceiver::SiteDone(int siteIndex)
{
    auto message = std::make_shared<Message>();
    message->kind = WM_SITE_DONE;
    message->siteIndex = siteIndex;
    return send(message);
}

bool TMessageReceiver::TorrentFound(std::unique_ptr<TTorrentEx> entry)
{
    auto message = std::make_shared<Message>();
    message->kind = WM_TORRENT_FOUND;
    message->entry = std::move(entry);
    return send(message);
}

bool TMessageReceiver::PeerCount(std::string_view infoHashHex, int32_t count)
{
    auto message = std::make_shared<Message>();
    message->kind = WM_PEER_COUNT;
    message->infoHashHex = std::string(infoHashHex);
    message->count = count;
    return send(message);
}

bool TMessageReceiver::MetadataFound(std::string_view infoHashHex, std::unique_ptr<TTorrentEx> torrent,
                                     std::string_view reason)
{
    auto message = std::make_shared<Message>();
    message->kind = WM_METADATA_FOUND;
    message->infoHashHex = std::string(infoHashHex);
    message->entry = std::move(torrent);
    message->reason = std::string(reason);
    return send(message);
}

void TMessageReceiver::Close()
{
    std::deque<std::shared_ptr<Message>> refused;
    {
        const std::lock_guard wake(m_wakeMutex);
        m_wakeClosed = true;
    }
    {
        std::lock_guard lock(m_mutex);
        if (m_closed) return;
        m_closed = true;
        for (const std::shared_ptr<Message>& waiting : m_queue) {
            waiting->settled = true;
            waiting->finished.notify_one();
        }
        refused.swap(m_queue);
        if (m_closeRule == CloseRule::ReleaseSender) {
            for (Message* running : m_running) {
                running->released = true;
                running->settled = true;
                running->finished.notify_one();
            }
        }
        m_queued.notify_all();
    }
    // Refused entries are destroyed here, outside the lock.
}

bool TMessageReceiver::IsClosed() const
{
    std::lock_guard lock(m_mutex);
    return m_closed;
}

size_t TMessageReceiver::QueuedCount() const
{
    std::lock_guard lock(m_mutex);
    return m_queue.size();
}

bool TMessageReceiver::send(const std::shared_ptr<Message>& message)
{
    if (OnReceivingThread()) {
        if (IsClosed()) return false;
        dispatch(*message);
        return true;
    }
    {
        const std::lock_guard lock(m_mutex);
        if (m_closed) return false;
        m_queue.push_back(message);
    }
    // Neither wake-up holds the lock that the receiving thread takes first:
    // it would wake only to wait for this thread.
    m_queued.notify_one();
    {
        const std::lock_guard wake(m_wakeMutex);
        if (!m_wakeClosed) WakeReceiver();
    }
    std::unique_lock lock(m_mutex);
    message->finished.wait(lock, [&] { return message->settled; });
    return message->handled && !message->released;
}

void TMessageReceiver::DrainQueue()
{
    std::unique_lock lock(m_mutex);
    while (!m_closed && !m_queue.empty()) {
        std::shared_ptr<Message> message = std::move(m_queue.front());
        m_queue.pop_front();
        m_running.push_back(message.get());
        lock.unlock();
        dispatch(*message);
        lock.lock();
        std::erase(m_running, message.get());
        message->handled = true;
        const bool wasReleased = message->released;
        message->settled = true;
        if (wasReleased) continue;  // its sender was woken by Close
        // Woken outside the lock, so that the sender does not wake only to
        // wait for it; this thread's reference keeps the message alive.
        lock.unlock();
        message->finished.notify_one();
        lock.lock();
    }
}

bool TMessageReceiver::WaitForMessages()
{
    std::unique_lock lock(m_mutex);
    m_queued.wait(lock, [this] { return m_closed || !m_queue.empty(); });
    return !m_closed;
}

void TMessageReceiver::dispatch(Message& message) noexcept
{
    try {
        switch (message.kind) {
        case WM_SITE_DONE:
            if (m_handlers.siteDone) m_handlers.siteDone(message.siteIndex);
            break;
        case WM_TORRENT_FOUND:
            if (m_handlers.torrentFound) m_handlers.torrentFound(std::move(message.entry));
            break;
        case WM_PEER_COUNT:
            if (m_handlers.peerCount) m_handlers.peerCount(message.infoHashHex, message.count);
            break;
        case WM_METADATA_FOUND:
            if (m_handlers.metadataFound)
                m_handlers.metadataFound(message.infoHashHex, std::move(message.entry), message.reason);
            break;
        default:
            break;
        }
    } catch (const std::exception& e) {
        SORVENA_TRACE(e.what());
    } catch (...) {
        SORVENA_TRACE("unknown exception");
    }
}

}  // namespace sorvena
