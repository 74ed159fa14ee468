#pragma once
// TConsoleMessages: the receiver of the worker messages for programs without
// a window (sorvena-cli, the tests). Every message is handled on one
// receiving thread of its own, one message at a time, in the order the sends
// arrived, while its sender waits: the same hand-off the window gives, so
// handlers need no lock of their own for what only they touch.
//
// Ownership: workers hold it through std::shared_ptr<TWorkerMessages>, so it
// outlives every worker that may still send. The destructor closes it and
// joins the receiving thread; the last reference must therefore not be
// dropped inside a handler (it is then detached instead of joined).

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "worker/WorkerMessages.h"

namespace sorvena {

class TConsoleMessages final : public TWorkerMessages {
public:
    // An empty handler takes its message and does nothing with it (a torrent
    // entry is then destroyed). An exception from a handler is traced and
    // counts as handled: the send returns true.
    struct Handlers {
        std::function<void(int siteIndex)> siteDone;
        std::function<void(std::unique_ptr<TTorrentEx> entry)> torrentFound;
        // infoHashHex is valid only during the call.
        std::function<void(std::string_view infoHashHex, int32_t count)> peerCount;
    };

    // Starts the receiving thread; throws std::system_error when it cannot.
    explicit TConsoleMessages(Handlers handlers);
    ~TConsoleMessages() override;
    TConsoleMessages(const TConsoleMessages&) = delete;
    TConsoleMessages& operator=(const TConsoleMessages&) = delete;

    // Any thread. Each blocks until the handler has run, and returns false at
    // once when the receiver is closed (also when it closes while the send
    // waits for its turn). Called from a handler, the message is handled
    // directly, as a window handles a message it sends to itself.
    bool SiteDone(int siteIndex) override;
    bool TorrentFound(std::unique_ptr<TTorrentEx> entry) override;
    bool PeerCount(std::string_view infoHashHex, int32_t count) override;

    // From now on every send returns false without waiting; a handler that is
    // running finishes. Any thread, handlers included; never blocks on a
    // handler. Idempotent.
    void Close();
    bool IsClosed() const;

private:
    struct Message;
    bool send(Message& message);
    void dispatch(Message& message) noexcept;
    void receive();

    Handlers m_handlers;
    mutable std::mutex m_mutex;  // guards m_queue, m_closed and each queued message's state
    std::condition_variable m_wake;
    std::deque<Message*> m_queue;  // messages in their senders' frames, waiting for their turn
    bool m_closed = false;
    std::thread m_thread;
};

}  // namespace sorvena
