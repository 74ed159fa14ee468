#pragma once
// TGuiMessages: the window's receiver of the worker messages. A send from a
// worker thread is queued, the GUI thread is woken through the event queue of
// a receiver object living on it, and the worker waits until the GUI thread
// has run the handler: the synchronous hand-off that serialises every result
// into the window. A send made on the GUI thread itself runs the handler
// directly.
//
// Closing: Close (GUI thread, when the window starts closing) makes every
// later send return false at once and releases every send still waiting,
// queued or in a handler, with false; a handler that is running (a modal box
// inside it) finishes on its own. So neither side ever waits on the other at
// shutdown.
//
// Ownership: workers hold the receiver through std::shared_ptr (it outlives
// the window). The receiver object is used only while not closed: Close
// must run before it is destroyed. Create with std::make_shared.


#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "worker/WorkerMessages.h"

class QObject;
class QThread;

namespace sorvena {

class TGuiMessages final : public TWorkerMessages, public std::enable_shared_from_this<TGuiMessages> {
public:
    // Handlers run on the receiver's thread, one message at a time (a
    // nested event loop inside a handler may run the next ones). An exception
    // from a handler is traced and counts as handled.
    struct Handlers {
        std::function<void(int siteIndex)> siteDone;
        std::function<void(std::unique_ptr<TTorrentEx> entry)> torrentFound;
        std::function<void(std::string_view infoHashHex, int32_t count)> peerCount;
    };

    TGuiMessages(QObject* receiver, Handlers handlers);
    ~TGuiMessages() override;
    TGuiMessages(const TGuiMessages&) = delete;
    TGuiMessages& operator=(const TGuiMessages&) = delete;

    bool SiteDone(int siteIndex) override;
    bool TorrentFound(std::unique_ptr<TTorrentEx> entry) override;
    bool PeerCount(std::string_view infoHashHex, int32_t count) override;

    // Receiver's thread. Idempotent.
    void Close();
    bool IsClosed() const;

private:
    struct Message;
    bool send(const std::shared_ptr<Message>& message);
    void dispatch(Message& message) noexcept;
    void drain();

    QObject* const m_receiver;
    QThread* const m_thread;
    Handlers m_handlers;
    mutable std::mutex m_mutex;  // guards m_queue, m_closed and the state of every message
    std::condition_variable m_done;
    std::deque<std::shared_ptr<Message>> m_queue;
    bool m_closed = false;
};

}  // namespace sorvena
