#include "app/GuiMessages.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <exception>

#include "base/Trace.h"

namespace sorvena {

// Shared by the sender and the GUI thread, so that a sender released by
// Close may leave while a handler still holds the message.
struct TGuiMessages::Message {
    int kind = 0;
    int siteIndex = 0;
    std::unique_ptr<TTorrentEx> entry;
    std::string infoHashHex;
    int32_t count = 0;
    bool done = false;
    bool handled = false;
};

TGuiMessages::TGuiMessages(QObject* receiver, Handlers handlers)
    : m_receiver(receiver), m_thread(receiver->thread()), m_handlers(std::move(handlers))
{
}

TGuiMessages::~TGuiMessages() = default;

bool TGuiMessages::SiteDone(int siteIndex)
{
    auto message = std::make_shared<Message>();
    message->kind = WM_SITE_DONE;
    message->siteIndex = siteIndex;
    return send(message);
}

bool TGuiMessages::TorrentFound(std::unique_ptr<TTorrentEx> entry)
{
    auto message = std::make_shared<Message>();
    message->kind = WM_TORRENT_FOUND;
    message->entry = std::move(entry);
    return send(message);
}

bool TGuiMessages::PeerCount(std::string_view infoHashHex, int32_t count)
{
    auto message = std::make_shared<Message>();
    message->kind = WM_PEER_COUNT;
    message->infoHashHex = std::string(infoHashHex);
    message->count = count;
    return send(message);
}

bool TGuiMessages::send(const std::shared_ptr<Message>& message)
{
    if (QThread::currentThread() == m_thread) {
        if (IsClosed()) return false;
        dispatch(*message);
        return true;
    }
    std::unique_lock lock(m_mutex);
    if (m_closed) return false;
    m_queue.push_back(message);
    // Posted under the lock: Close takes it too, so the receiver is alive.
    QMetaObject::invokeMethod(
        m_receiver,
        [weak = weak_from_this()] {
            if (auto self = weak.lock()) self->drain();
        },
        Qt::QueuedConnection);
    m_done.wait(lock, [&] { return message->done || m_closed; });
    return message->done && message->handled;
}

void TGuiMessages::drain()
{
    for (;;) {
        std::shared_ptr<Message> message;
        {
            std::lock_guard lock(m_mutex);
            if (m_closed || m_queue.empty()) return;
            message = std::move(m_queue.front());
            m_queue.pop_front();
        }
        dispatch(*message);
        {
            std::lock_guard lock(m_mutex);
            message->done = true;
            message->handled = true;
        }
        m_done.notify_all();
    }
}

void TGuiMessages::dispatch(Message& message) noexcept
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
        default: break;
        }
    } catch (const std::exception& e) {
        SORVENA_TRACE(e.what());
    } catch (...) {
        SORVENA_TRACE("unknown error");
    }
}

void TGuiMessages::Close()
{
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        m_queue.clear();
    }
    m_done.notify_all();
}

bool TGuiMessages::IsClosed() const
{
    std::lock_guard lock(m_mutex);
    return m_closed;
}

}  // namespace sorvena
