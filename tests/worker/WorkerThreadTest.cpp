// The scheduling a worker thread runs under, read back from inside the
// worker: the normal scheduler, a few steps nicer than the main thread, the
// same for a worker that another worker starts.

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <future>
#include <memory>

#include "support/Waits.h"
#include "worker/WorkerThread.h"

namespace sorvena {
namespace {

struct Scheduling {
    int policy = -1;
    int nice = 0;
};

Scheduling current()
{
    Scheduling s;
    s.policy = ::sched_getscheduler(0);
    errno = 0;
    s.nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
    EXPECT_EQ(errno, 0);
    return s;
}

// Reports its own scheduling; with a child, starts it from its own thread
// first, as a search worker starts a peer check.
class ProbeWorker : public TWorkerThread {
public:
    explicit ProbeWorker(std::shared_ptr<ProbeWorker> child = nullptr) : m_child(std::move(child)) {}
    std::future<Scheduling> Seen() { return m_seen.get_future(); }

protected:
    void Execute() override
    {
        if (m_child) m_child->Start();
        m_seen.set_value(current());
    }

private:
    std::shared_ptr<ProbeWorker> m_child;
    std::promise<Scheduling> m_seen;
};

class WorkerThreadPriority : public ::testing::Test {
protected:
    void TearDown() override
    {
        EXPECT_TRUE(TWorkerThread::WaitForAll(test::EventWaitCap));
        if (m_restoreNice) ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), m_mainNice);
    }

    int m_mainNice = 0;
    bool m_restoreNice = false;
};

TEST_F(WorkerThreadPriority, WorkersRunNicerThanTheMainThreadUnderTheNormalScheduler)
{
    ASSERT_EQ(::gettid(), ::getpid()) << "gtest runs the tests on the main thread";
    const Scheduling main = current();
    ASSERT_EQ(main.policy, SCHED_OTHER);
    const int expected = std::min(main.nice + WorkerNiceIncrement, WorkerMaxNice);
    ASSERT_GT(expected, main.nice) << "the test needs a main thread below nice 19";

    auto child = std::make_shared<ProbeWorker>();
    auto parent = std::make_shared<ProbeWorker>(child);
    auto parentSeen = parent->Seen();
    auto childSeen = child->Seen();
    parent->Start();
    parent.reset();
    child.reset();

    struct Row {
        const char* name;
        std::future<Scheduling>& seen;
    };
    for (Row row : {Row{"started by the main thread", parentSeen}, Row{"started by a worker", childSeen}}) {
        SCOPED_TRACE(row.name);
        const Scheduling s = row.seen.get();
        EXPECT_EQ(s.policy, SCHED_OTHER) << "not the idle scheduler: it starves beside one busy process";
        EXPECT_EQ(s.nice, expected);
    }
    EXPECT_EQ(current().nice, main.nice) << "starting a worker leaves the main thread as it was";
}

TEST_F(WorkerThreadPriority, NeverBeyondTheLowestNice)
{
    // A main thread already at nice 17: its workers stop at 19. Raising the
    // main thread's priority back needs privileges, so the test runs only
    // where it may restore it.
    errno = 0;
    m_mainNice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
    ASSERT_EQ(errno, 0);
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to restore the main thread's priority";
    ASSERT_EQ(::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 17), 0);
    m_restoreNice = true;
    auto worker = std::make_shared<ProbeWorker>();
    auto seen = worker->Seen();
    worker->Start();
    EXPECT_EQ(seen.get().nice, WorkerMaxNice);
}

}  // namespace
}  // namespace sorvena
