#include "app/GuiMessages.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <utility>

namespace sorvena {

TGuiMessages::TGuiMessages(QObject* receiver, Handlers handlers)
    : TMessageReceiver(std::move(handlers), CloseRule::ReleaseSender),
      m_receiver(receiver),
      m_thread(receiver->thread())
{
}

bool TGuiMessages::OnReceivingThread() const
{
    return QThread::currentThread() == m_thread;
}

void TGuiMessages::WakeReceiver()
{
    // Posted under the receiver's lock: Close takes it too, so the receiver
    // object is alive. The weak reference covers a receiver freed before the
    // event runs.
    QMetaObject::invokeMethod(
        m_receiver,
        [weak = weak_from_this()] {
            if (auto self = weak.lock()) self->DrainQueue();
        },
        Qt::QueuedConnection);
}

}  // namespace sorvena
