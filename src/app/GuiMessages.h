#pragma once
// TGuiMessages: the window's receiver of the worker messages. A send from a
// worker thread wakes the GUI thread through the event queue of a receiver
// object living on it, and the worker waits until the GUI thread has run the
// handler. Handlers may open a modal box, whose nested event loop may run the
// next messages; closing therefore releases even a sender whose handler is
// still running (TMessageReceiver::CloseRule::ReleaseSender).
//
// Close runs on the GUI thread when the window starts closing, and before the
// receiver object is destroyed. Workers hold the receiver through
// std::shared_ptr (it outlives the window): create it with std::make_shared.

#include <memory>

#include "worker/MessageReceiver.h"

class QObject;
class QThread;

namespace sorvena {

class TGuiMessages final : public TMessageReceiver, public std::enable_shared_from_this<TGuiMessages> {
public:
    TGuiMessages(QObject* receiver, Handlers handlers);

private:
    bool OnReceivingThread() const override;
    void WakeReceiver() override;

    QObject* const m_receiver;
    QThread* const m_thread;
};

}  // namespace sorvena
