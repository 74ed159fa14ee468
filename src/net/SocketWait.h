#pragma once
// Waiting on one non-blocking socket within the time limits of one fetch
// attempt, for the plain and the TLS connection alike. Private to src/net.

#include <algorithm>
#include <chrono>
#include <stop_token>
#include <string>

#include "net/IndyUtil.h"

namespace sorvena {

using FetchClock = std::chrono::steady_clock;

// "30 s", or "300 ms" when not whole seconds.
inline std::string LimitText(std::chrono::milliseconds limit)
{
    const auto ms = limit.count();
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

enum class Wait { Ready, Timeout, Stopped, Error };

// Waits until fd is ready for events (or has an error or hang-up to report),
// until the time `until`, or until stop is requested; the token is looked at
// every 100 ms.
Wait WaitSocket(int fd, short events, FetchClock::time_point until, const std::stop_token& stop);

// The clock of one attempt: when it must be over, and how long any one wait
// may last.
class AttemptClock {
public:
    explicit AttemptClock(const FetchLimits& limits)
        : m_connect(orDefault(limits.connect, FetchConnectLimitMs)),
          m_idle(orDefault(limits.idle, FetchIdleLimitMs)),
          m_end(FetchClock::now() + orDefault(limits.attempt, FetchAttemptLimitMs))
    {}

    bool Expired() const { return FetchClock::now() >= m_end; }
    // The end of a connect or handshake that starts now.
    FetchClock::time_point ConnectUntil() const { return std::min(FetchClock::now() + m_connect, m_end); }
    // The end of a wait for bytes that starts now, with a read timeout of
    // timeoutMs (0 or below: none of its own, the idle limit applies).
    FetchClock::time_point ReadUntil(int timeoutMs) const
    {
        auto wait = m_idle;
        if (timeoutMs > 0) wait = std::min(wait, std::chrono::milliseconds(timeoutMs));
        return std::min(FetchClock::now() + wait, m_end);
    }
    std::chrono::milliseconds ConnectLimit() const { return m_connect; }

private:
    static std::chrono::milliseconds orDefault(std::chrono::milliseconds value, int defaultMs)
    {
        return value > std::chrono::milliseconds::zero() ? value : std::chrono::milliseconds(defaultMs);
    }

    std::chrono::milliseconds m_connect;
    std::chrono::milliseconds m_idle;
    FetchClock::time_point m_end;
};

}  // namespace sorvena
