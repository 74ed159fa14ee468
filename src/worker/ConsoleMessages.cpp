#include "worker/ConsoleMessages.h"

#include <exception>
#include <utility>

#include "base/Trace.h"

namespace sorvena {

// One send, living in its sender's frame until the send returns. The
// receiver signals the sender's own condition variable, so a message handled
// wakes only its sender, however many are waiting.
struct TConsoleMessages::Message {
    int kind = 0;
    int siteIndex = 0;
    std::unique_ptr<TTorrentEx> entry;
    std::string_view infoHashHex;
    int32_t count = 0;

    bool done = false;     // the receiver is finished with it
    bool handled = false;  // its handler ran
    std::condition_variable finished;
};

TConsoleMessages::TConsoleMessages(Handlers handlers) : m_handlers(std::move(handlers))
{
    m_thread = std::thread([this] { receive(); });
}

TConsoleMessages::~TConsoleMessages()
{
    Close();
    if (!m_thread.joinable()) return;
    if (m_thread.get_id() == std::this_thread::get_id())
        m_thread.detach();  // the last reference went inside a handler; receive() ends on its own
    else
        m_thread.join();
}

bool TConsoleMessages::SiteDone(int siteIndex)
{
    Message message;
    message.kind = WM_SITE_DONE;
    message.siteIndex = siteIndex;
    return send(message);
}

bool TConsoleMessages::TorrentFound(std::unique_ptr<TTorrentEx> entry)
{
    Message message;
    message.kind = WM_TORRENT_FOUND;
    message.entry = std::move(entry);
    return send(message);
}

bool TConsoleMessages::PeerCount(std::string_view infoHashHex, int32_t count)
{
    Message message;
    message.kind = WM_PEER_COUNT;
    message.infoHashHex = infoHashHex;
    message.count = count;
    return send(message);
}

void TConsoleMessages::Close()
{
    std::lock_guard lock(m_mutex);
    if (m_closed) return;
    m_closed = true;
    for (Message* waiting : m_queue) {
        waiting->done = true;
        waiting->finished.notify_one();
    }
    m_queue.clear();
    m_wake.notify_one();
}

bool TConsoleMessages::IsClosed() const
{
    std::lock_guard lock(m_mutex);
    return m_closed;
}

bool TConsoleMessages::send(Message& message)
{
    if (std::this_thread::get_id() == m_thread.get_id()) {
        if (IsClosed()) return false;
        dispatch(message);
        return true;
    }
    std::unique_lock lock(m_mutex);
    if (m_closed) return false;
    m_queue.push_back(&message);
    m_wake.notify_one();
    message.finished.wait(lock, [&] { return message.done; });
    return message.handled;
}

void TConsoleMessages::dispatch(Message& message) noexcept
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
        default:
            break;
        }
    } catch (const std::exception& e) {
        SORVENA_TRACE(e.what());
    } catch (...) {
        SORVENA_TRACE("unknown exception");
    }
}

void TConsoleMessages::receive()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_closed || !m_queue.empty(); });
        if (m_closed) return;
        Message* message = m_queue.front();
        m_queue.pop_front();
        lock.unlock();
        dispatch(*message);
        lock.lock();
        // Signalled under the lock: once done is seen, the sender returns and
        // its message, condition variable included, is gone.
        message->handled = true;
        message->done = true;
        message->finished.notify_one();
    }
}

}  // namespace sorvena
