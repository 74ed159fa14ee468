#pragma once
// TConsoleMessages: the receiver of the worker messages for programs without
// a window (sorvena-cli, the tests). Its own receiving thread handles every
// message, one at a time, in the order the sends arrived, while the sender
// waits: the same hand-off the window gives, so handlers need no lock of
// their own for what only they touch. Closing lets a sender whose handler is
// running wait for it (TMessageReceiver::CloseRule::WaitForHandler).
//
// The destructor closes the receiver and joins the receiving thread; the last
// reference must therefore not be dropped inside a handler (the thread is
// then detached instead of joined).

#include <thread>

#include "worker/MessageReceiver.h"

namespace sorvena {

class TConsoleMessages final : public TMessageReceiver {
public:
    // Starts the receiving thread; throws std::system_error when it cannot.
    explicit TConsoleMessages(Handlers handlers);
    ~TConsoleMessages() override;

private:
    bool OnReceivingThread() const override;

    std::thread m_thread;
};

}  // namespace sorvena
