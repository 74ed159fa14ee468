#pragma once
// The thread class of the search and peer-check workers.
//
// A worker runs Execute once on its own thread at a mildly lower priority
// than the window: under the normal scheduler, WorkerNiceIncrement steps
// nicer than the process's main thread (at most nice 19), so it still makes
// progress beside a busy process. It is owned by std::shared_ptr: Start hands
// the running thread one reference, which it drops when Execute returns, so
// a worker nobody else holds is freed as it ends (free-on-terminate). Lists
// of workers keep std::weak_ptr and so never touch a freed worker.
//
// The terminate request is a std::stop_source: Terminate may be called from
// any thread, any number of times, also on a worker that never started or
// has already ended. The worker passes StopToken() to GetHtml so that a fetch
// in progress ends within about 100 ms of the request.

#include <chrono>
#include <memory>
#include <stop_token>

namespace sorvena {

// How much nicer a worker thread runs than the process's main thread.
inline constexpr int WorkerNiceIncrement = 5;
inline constexpr int WorkerMaxNice = 19;  // the lowest priority nice can give

class TWorkerThread : public std::enable_shared_from_this<TWorkerThread> {
public:
    TWorkerThread() = default;
    virtual ~TWorkerThread() = default;
    TWorkerThread(const TWorkerThread&) = delete;
    TWorkerThread& operator=(const TWorkerThread&) = delete;

    // Starts the thread; at most once. Throws std::system_error when no
    // thread can be created.
    void Start();
    void Terminate() noexcept { m_stop.request_stop(); }
    bool Terminated() const noexcept { return m_stop.stop_requested(); }
    std::stop_token StopToken() const noexcept { return m_stop.get_token(); }

    // Waits until every worker thread of the process has ended, or the
    // timeout has passed (false then). For a command line or a test that must
    // not exit with workers still running; the window never waits.
    static bool WaitForAll(std::chrono::milliseconds timeout);
    // Worker threads of the process still running.
    static int RunningCount();

protected:
    // The thread body. Exceptions that escape it are traced and dropped.
    virtual void Execute() = 0;

private:
    std::stop_source m_stop;
};

}  // namespace sorvena
