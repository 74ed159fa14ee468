#include "worker/MessageReceiver.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <thread>
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
    // settled, for a sender that looks before it sleeps.
    std::atomic<bool> settledSeen{false};
    std::condition_variable finished;

    void Settle()
    {
        settled = true;
        settledSeen.store(true, std::memory_order_release);
    }
};

namespace {

using Clock = std::chrono::steady_clock;

// A message is a round trip between two threads. Put to sleep on every
// message, each side would wait for the operating system to wake it twice
// per message, which costs more than handling it. So the sender looks for
// its answer a little while before it sleeps, and the receiving thread
// looks for the next message a little while before it goes back to its
// event loop. Both spans are far below anything a person could notice; a
// receiving thread that keeps finding messages still leaves its loop after
// DrainSlice, so the window paints and takes input between batches.
constexpr auto SenderSpin = std::chrono::microseconds(50);
constexpr auto ReceiverLinger = std::chrono::microseconds(50);
constexpr auto DrainSlice = std::chrono::milliseconds(10);

template <typename Ready>
bool spinUntil(Clock::time_point until, Ready ready)
{
    for (;;) {
        if (ready()) return true;
        if (Clock::now() >= until) return false;
        std::this_thread::yield();
    }
}

}  // namespace

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
            waiting->Settle();
            waiting->finished.notify_one();
        }
        refused.swap(m_queue);
        m_queuedCount.store(0, std::memory_order_relaxed);
        if (m_closeRule == CloseRule::ReleaseSender) {
            for (Message* running : m_running) {
                running->released = true;
                running->Settle();
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
    bool wake = false;
    {
        const std::lock_guard lock(m_mutex);
        if (m_closed) return false;
        m_queue.push_back(message);
        m_queuedCount.fetch_add(1, std::memory_order_release);
        // A receiving thread inside DrainQueue looks at the queue again
        // before it leaves: no wake-up needed.
        wake = !m_draining;
    }
    // Neither wake-up holds the lock that the receiving thread takes first:
    // it would wake only to wait for this thread.
    m_queued.notify_one();
    if (wake) {
        const std::lock_guard wakeLock(m_wakeMutex);
        if (!m_wakeClosed) WakeReceiver();
    }
    spinUntil(Clock::now() + SenderSpin,
              [&] { return message->settledSeen.load(std::memory_order_acquire); });
    std::unique_lock lock(m_mutex);
    message->finished.wait(lock, [&] { return message->settled; });
    return message->handled && !message->released;
}

void TMessageReceiver::DrainQueue()
{
    std::unique_lock lock(m_mutex);
    // m_draining: this thread will look at the queue again before it leaves,
    // so a sender need not wake it. Not while a handler runs: a handler's
    // nested event loop (a modal box) must still be woken for new messages.
    m_draining = true;
    const auto sliceEnd = Clock::now() + DrainSlice;
    for (;;) {
        while (!m_closed && !m_queue.empty() && Clock::now() < sliceEnd) {
            std::shared_ptr<Message> message = std::move(m_queue.front());
            m_queue.pop_front();
            m_queuedCount.fetch_sub(1, std::memory_order_relaxed);
            m_running.push_back(message.get());
            m_draining = false;
            lock.unlock();
            dispatch(*message);
            lock.lock();
            m_draining = true;
            std::erase(m_running, message.get());
            message->handled = true;
            const bool wasReleased = message->released;
            message->Settle();
            if (wasReleased) continue;  // its sender was woken by Close
            // Woken outside the lock, so that the sender does not wake only to
            // wait for it; this thread's reference keeps the message alive.
            lock.unlock();
            message->finished.notify_one();
            lock.lock();
        }
        if (m_closed || Clock::now() >= sliceEnd) break;
        // The sender that was just answered often sends again at once.
        lock.unlock();
        spinUntil(Clock::now() + ReceiverLinger, [&] { return m_queuedCount.load(std::memory_order_acquire) > 0; });
        lock.lock();
        if (m_queue.empty()) break;
    }
    m_draining = false;
    const bool left = !m_closed && !m_queue.empty();
    lock.unlock();
    if (left) {
        // The slice ended with messages waiting: they are taken on the next
        // turn of the event loop.
        const std::lock_guard wakeLock(m_wakeMutex);
        if (!m_wakeClosed) WakeReceiver();
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
