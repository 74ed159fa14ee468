#pragma once
// TMessageReceiver: what every receiver of the worker messages shares. A send
// from a worker thread queues its message, wakes the receiving thread and
// waits until that thread has run the handler: the synchronous hand-off that
// serialises every result into the window (or the console). A send made on
// the receiving thread itself runs the handler directly, as a window handles
// a message it sends to itself.
//
// Closing: after Close every send returns false at once, and every send still
// queued is released with false (a torrent entry in it is destroyed). What
// happens to a send whose handler is running depends on the receiver:
// WaitForHandler lets it wait for the handler and return true;
// ReleaseSender releases it with false at once, for a receiver whose
// handlers may run a nested event loop (a modal box) that closing must not
// wait for. Either way neither side can wait on the other at shutdown.
//
// A derived receiver says which thread is the receiving one and how to wake
// it; it runs DrainQueue there. Ownership: workers hold a receiver through
// std::shared_ptr<TWorkerMessages>, so it outlives every worker that may
// still send.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "worker/WorkerMessages.h"

namespace sorvena {

class TMessageReceiver : public TWorkerMessages {
public:
    // Handlers run on the receiving thread, one message at a time, in the
    // order the sends arrived. An empty handler takes its message and does
    // nothing with it (a torrent entry is then destroyed). An exception from
    // a handler is traced and counts as handled.
    struct Handlers {
        std::function<void(int siteIndex)> siteDone;
        std::function<void(std::unique_ptr<TTorrentEx> entry)> torrentFound;
        // infoHashHex is valid only during the call.
        std::function<void(std::string_view infoHashHex, int32_t count)> peerCount;
        // The texts are valid only during the call; torrent may be null.
        std::function<void(std::string_view infoHashHex, std::unique_ptr<TTorrentEx> torrent, std::string_view reason)>
            metadataFound;
    };

    enum class CloseRule { WaitForHandler, ReleaseSender };

    ~TMessageReceiver() override;
    TMessageReceiver(const TMessageReceiver&) = delete;
    TMessageReceiver& operator=(const TMessageReceiver&) = delete;

    // Any thread. Each blocks until the handler has run; false when the
    // receiver is closed, also when it closes while the send waits.
    bool SiteDone(int siteIndex) final;
    bool TorrentFound(std::unique_ptr<TTorrentEx> entry) final;
    bool PeerCount(std::string_view infoHashHex, int32_t count) final;
    bool MetadataFound(std::string_view infoHashHex, std::unique_ptr<TTorrentEx> torrent,
                       std::string_view reason) final;

    // From now on every send returns false without waiting. Any thread,
    // handlers included; never blocks on a handler. Idempotent.
    void Close();
    bool IsClosed() const;
    // Sends waiting for their turn (not yet in a handler). Any thread.
    size_t QueuedCount() const;

protected:
    TMessageReceiver(Handlers handlers, CloseRule closeRule);

    // True on the receiving thread.
    virtual bool OnReceivingThread() const = 0;
    // A message was queued: make the receiving thread run DrainQueue. Close
    // does not run meanwhile (and no call comes once it has begun), but the
    // receiving thread may already be draining; must not send or close.
    virtual void WakeReceiver() {}

    // Receiving thread: handles the queued messages in order until none is
    // left or the receiver closes.
    void DrainQueue();
    // Receiving thread: blocks until a message is queued (true) or the
    // receiver closes (false).
    bool WaitForMessages();

private:
    struct Message;
    bool send(const std::shared_ptr<Message>& message);
    void dispatch(Message& message) noexcept;

    const Handlers m_handlers;
    const CloseRule m_closeRule;
    // Taken around WakeReceiver and by Close: no wake-up runs once Close has begun.
    std::mutex m_wakeMutex;
    bool m_wakeClosed = false;
    mutable std::mutex m_mutex;  // guards everything below and the state of every message
    std::condition_variable m_queued;
    std::deque<std::shared_ptr<Message>> m_queue;  // waiting for their turn
    std::vector<Message*> m_running;               // in a handler (nested loops may run several)
    bool m_closed = false;
};

}  // namespace sorvena
