#include "worker/ConsoleMessages.h"

#include <utility>

namespace sorvena {

TConsoleMessages::TConsoleMessages(Handlers handlers)
    : TMessageReceiver(std::move(handlers), CloseRule::WaitForHandler)
{
    m_thread = std::thread([this] {
        while (WaitForMessages()) DrainQueue();
    });
}

TConsoleMessages::~TConsoleMessages()
{
    Close();
    if (!m_thread.joinable()) return;
    if (m_thread.get_id() == std::this_thread::get_id())
        m_thread.detach();  // the last reference went inside a handler; the loop ends on its own
    else
        m_thread.join();
}

bool TConsoleMessages::OnReceivingThread() const
{
    return std::this_thread::get_id() == m_thread.get_id();
}

}  // namespace sorvena
