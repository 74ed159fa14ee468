#include "worker/WorkerThread.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "base/Trace.h"

namespace sorvena {

namespace {

// Never destroyed: a worker may still be ending while the process exits.
struct Running {
    std::mutex lock;
    std::condition_variable changed;
    int count = 0;
};
Running& running = *new Running;

// The worker's niceness: WorkerNiceIncrement below the process's main
// thread. Relative to the main thread, not to the thread that starts the
// worker, so that a peer check started by a search worker is not lowered
// twice. Under SCHED_IDLE a single busy process on the same core (a compiler,
// an encoder) starved the workers almost completely; nice keeps them
// progressing while the window stays ahead. On Linux the nice value belongs
// to the thread, and a thread may always lower its own priority.
void setWorkerPriority() noexcept
{
    errno = 0;
    const int mainNice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::getpid()));
    if (mainNice == -1 && errno != 0) return;
    const int nice = std::min(mainNice + WorkerNiceIncrement, WorkerMaxNice);
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), nice);
}

}  // namespace

void TWorkerThread::Start()
{
    std::shared_ptr<TWorkerThread> self = shared_from_this();
    {
        std::lock_guard lock(running.lock);
        ++running.count;
    }
    try {
        std::thread([self = std::move(self)]() mutable {
            setWorkerPriority();
            try {
                self->Execute();
            } catch (const std::exception& e) {
                SORVENA_TRACE(e.what());
            } catch (...) {
                SORVENA_TRACE("unknown exception");
            }
            self.reset();  // free-on-terminate: may destroy the worker here
            std::lock_guard lock(running.lock);
            --running.count;
            running.changed.notify_all();
        }).detach();
    } catch (...) {
        std::lock_guard lock(running.lock);
        --running.count;
        throw;
    }
}

bool TWorkerThread::WaitForAll(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(running.lock);
    return running.changed.wait_for(lock, timeout, [] { return running.count == 0; });
}

int TWorkerThread::RunningCount()
{
    std::lock_guard lock(running.lock);
    return running.count;
}

}  // namespace sorvena
