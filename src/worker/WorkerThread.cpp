#include "worker/WorkerThread.h"

#include <pthread.h>
#include <sched.h>

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

void setIdlePriority() noexcept
{
#ifdef SCHED_IDLE
    sched_param param{};
    param.sched_priority = 0;
    // Refused in some containers; the worker then runs at normal priority.
    (void)pthread_setschedparam(pthread_self(), SCHED_IDLE, &param);
#endif
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
            setIdlePriority();
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
