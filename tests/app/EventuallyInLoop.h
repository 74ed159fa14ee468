#pragma once
// Waits for a condition while the test's event loop runs, so that queued
// worker messages and timers are handled. Gives up after the generous cap of
// Waits.h, which only a hung test reaches.

#include <QCoreApplication>

#include <chrono>

#include "support/Waits.h"

namespace sorvena::test {

template <typename Condition>
bool Eventually(Condition condition, std::chrono::milliseconds timeout = EventWaitCap)
{
    for (auto until = std::chrono::steady_clock::now() + timeout; std::chrono::steady_clock::now() < until;) {
        if (condition()) return true;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return condition();
}

}  // namespace sorvena::test
