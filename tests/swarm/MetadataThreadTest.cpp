// The file-list worker: the program-wide limit of fetches at once (the rest
// wait without a thread), what each kind of fetch result reports, and a
// terminate request that ends running and waiting fetches without a report.
// The fetch itself is replaced by a fake through the worker's options.

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "metainfo/Magnet.h"
#include "support/FixtureSites.h"
#include "support/FixtureTorznab.h"
#include "support/Waits.h"
#include "swarm/MetadataThread.h"
#include "worker/ConsoleMessages.h"

namespace sorvena::test {
namespace {

using namespace std::chrono_literals;

std::unique_ptr<TTorrentEx> Magnet(int id)
{
    const std::string uri = FixtureMagnet(id);
    auto entry = MakeMagnetEntry(*ParseMagnet(uri), uri);
    entry->Source = "Fixture";
    entry->SourcePeers = 7;
    entry->PeerCount = 3;
    return entry;
}

// The full torrent of FixtureMagnet(id), as the swarm would give it.
std::unique_ptr<TTorrentEx> FullTorrent(int id)
{
    auto torrent = std::make_unique<TTorrentEx>();
    EXPECT_TRUE(torrent->LoadMetainfo(FixtureTorrent(id)));
    return torrent;
}

struct Report {
    std::string hash;
    std::unique_ptr<TTorrentEx> torrent;
    std::string reason;
};

// The receiver's side: every report, in arrival order.
struct Reports {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Report> got;
    bool held = false;  // the handler waits while set
    bool inHandler = false;

    std::shared_ptr<TConsoleMessages> Receiver()
    {
        TConsoleMessages::Handlers handlers;
        handlers.metadataFound = [this](std::string_view hash, std::unique_ptr<TTorrentEx> torrent,
                                        std::string_view reason) {
            std::unique_lock guard(lock);
            inHandler = true;
            changed.notify_all();
            changed.wait(guard, [this] { return !held; });
            inHandler = false;
            got.push_back({std::string(hash), std::move(torrent), std::string(reason)});
            changed.notify_all();
        };
        return std::make_shared<TConsoleMessages>(std::move(handlers));
    }
    size_t Count()
    {
        std::lock_guard guard(lock);
        return got.size();
    }
};

// A fetch that blocks until the test opens its gate (or, when it honours
// stops, until its stop is requested), counting how many run at once.
struct Gate {
    std::mutex lock;
    std::condition_variable changed;
    bool open = false;
    bool honourStop = true;
    int running = 0;
    int most = 0;
    int calls = 0;
    int stopsSeen = 0;

    MetadataFetcher Fetcher()
    {
        return [this](const TTorrentEx& magnet, const MetadataFetchOptions&, std::stop_token stop) {
            // Made before the lock is taken: it runs at once when the stop came first.
            std::stop_callback wake(stop, [this] {
                std::lock_guard inner(lock);
                changed.notify_all();
            });
            std::unique_lock guard(lock);
            ++calls;
            most = std::max(most, ++running);
            changed.notify_all();
            changed.wait(guard, [&] { return open || (honourStop && stop.stop_requested()); });
            if (stop.stop_requested()) ++stopsSeen;
            --running;
            changed.notify_all();
            // Even a stopped fetch claims success: the worker must not send it.
            MetadataFetchResult result;
            for (int id = 1; id <= 10; ++id)
                if (FixtureInfoHash(id) == magnet.InfoHashHex) result.Torrent = FullTorrent(id);
            return result;
        };
    }
    template <typename Condition>
    bool WaitFor(Condition condition)
    {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, EventWaitCap, condition);
    }
    void Open()
    {
        std::lock_guard guard(lock);
        open = true;
        changed.notify_all();
    }
};

class MetadataThreadTest : public ::testing::Test {
protected:
    ~MetadataThreadTest() override
    {
        EXPECT_TRUE(TWorkerThread::WaitForAll(EventWaitCap)) << "workers still running";
        EXPECT_EQ(TMetadataThread::QueuedCount(), 0u);
    }

    std::vector<std::shared_ptr<TMetadataThread>> QueueFetches(int count, const std::shared_ptr<TWorkerMessages>& to,
                                                                 const MetadataFetcher& fetcher)
    {
        std::vector<std::shared_ptr<TMetadataThread>> workers;
        for (int id = 1; id <= count; ++id) {
            MetadataThreadOptions options;
            options.fetcher = fetcher;
            workers.push_back(TMetadataThread::Create(*Magnet(id), to, options));
            workers.back()->Queue();
        }
        return workers;
    }
};

TEST_F(MetadataThreadTest, AtMostAFewFetchesRunAtOnceAndTheRestWaitWithoutAThread)
{
    Reports reports;
    const auto receiver = reports.Receiver();
    Gate gate;
    const int threadsBefore = TWorkerThread::RunningCount();
    auto workers = QueueFetches(8, receiver, gate.Fetcher());
    ASSERT_TRUE(gate.WaitFor([&] { return gate.running == MetadataFetchesAtOnce; }));
    EXPECT_EQ(TMetadataThread::RunningCount(), MetadataFetchesAtOnce);
    EXPECT_EQ(TMetadataThread::QueuedCount(), 8u - MetadataFetchesAtOnce);
    EXPECT_EQ(TWorkerThread::RunningCount() - threadsBefore, MetadataFetchesAtOnce) << "the waiting ones have no thread";
    gate.Open();
    for (const auto& worker : workers) ASSERT_TRUE(worker->WaitEnded(EventWaitCap));
    EXPECT_EQ(gate.most, MetadataFetchesAtOnce);
    EXPECT_EQ(gate.calls, 8);
    ASSERT_EQ(reports.Count(), 8u);
    for (const Report& report : reports.got) {
        SCOPED_TRACE(report.hash);
        ASSERT_TRUE(report.torrent);
        EXPECT_EQ(report.torrent->InfoHashHex, report.hash);
    }
}

TEST_F(MetadataThreadTest, AReceiverSlowToTakeResultsHoldsTheSlots)
{
    // A fetch counts until its result is taken, so a busy window cannot make
    // finished fetches pile up as threads while the next ones start.
    Reports reports;
    reports.held = true;
    const auto receiver = reports.Receiver();
    Gate gate;
    gate.open = true;
    const int threadsBefore = TWorkerThread::RunningCount();
    auto workers = QueueFetches(8, receiver, gate.Fetcher());
    {
        std::unique_lock guard(reports.lock);
        ASSERT_TRUE(reports.changed.wait_for(guard, EventWaitCap, [&] { return reports.inHandler; }));
    }
    for (auto until = std::chrono::steady_clock::now() + EventWaitCap;
         receiver->QueuedCount() < MetadataFetchesAtOnce - 1 && std::chrono::steady_clock::now() < until;)
        std::this_thread::sleep_for(1ms);
    ASSERT_EQ(receiver->QueuedCount(), static_cast<size_t>(MetadataFetchesAtOnce - 1));
    {
        std::lock_guard guard(gate.lock);
        EXPECT_EQ(gate.calls, MetadataFetchesAtOnce);
    }
    EXPECT_EQ(TMetadataThread::QueuedCount(), 8u - MetadataFetchesAtOnce);
    EXPECT_EQ(TWorkerThread::RunningCount() - threadsBefore, MetadataFetchesAtOnce);
    {
        std::lock_guard guard(reports.lock);
        reports.held = false;
        reports.changed.notify_all();
    }
    for (const auto& worker : workers) ASSERT_TRUE(worker->WaitEnded(EventWaitCap));
    EXPECT_EQ(reports.Count(), 8u);
}

TEST_F(MetadataThreadTest, EachFetchResultIsReportedOnce)
{
    const auto withFiles = [] {
        MetadataFetchResult result;
        result.Torrent = FullTorrent(1);
        result.Torrent->Source = "lost";
        result.Torrent->PeerCount = 99;
        return result;
    };
    struct Case {
        const char* name;
        MetadataFetcher fetch;
        bool torrent;
        std::string reason;
    };
    const Case cases[] = {
        {"the full torrent", [&](const TTorrentEx&, const MetadataFetchOptions&, std::stop_token) { return withFiles(); },
         true, ""},
        {"a failure with its reason",
         [](const TTorrentEx&, const MetadataFetchOptions&, std::stop_token) {
             return MetadataFetchResult{nullptr, "no peer answered"};
         },
         false, "no peer answered"},
        {"a failure without a reason",
         [](const TTorrentEx&, const MetadataFetchOptions&, std::stop_token) { return MetadataFetchResult{}; }, false,
         "the file list could not be fetched"},
        {"another torrent",
         [](const TTorrentEx&, const MetadataFetchOptions&, std::stop_token) {
             return MetadataFetchResult{FullTorrent(2), ""};
         },
         false, "the swarm gave a torrent with another info hash"},
        {"an exception",
         [](const TTorrentEx&, const MetadataFetchOptions&, std::stop_token) -> MetadataFetchResult {
             throw std::runtime_error("out of sockets");
         },
         false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reports reports;
        const auto receiver = reports.Receiver();
        const auto workers = QueueFetches(1, receiver, c.fetch);
        ASSERT_TRUE(workers[0]->WaitEnded(EventWaitCap));
        if (std::string(c.name) == "an exception") {
            EXPECT_EQ(reports.Count(), 0u) << "a worker that fails inside reports nothing";
            continue;
        }
        ASSERT_EQ(reports.Count(), 1u);
        const Report& report = reports.got[0];
        EXPECT_EQ(report.hash, FixtureInfoHash(1));
        EXPECT_EQ(report.reason, c.reason);
        ASSERT_EQ(static_cast<bool>(report.torrent), c.torrent);
        if (!c.torrent) continue;
        EXPECT_FALSE(report.torrent->IsMagnet());
        EXPECT_FALSE(report.torrent->SubFiles.empty());
        EXPECT_EQ(report.torrent->Source, "Fixture") << "where the magnet came from stays";
        EXPECT_EQ(report.torrent->SourcePeers, 7);
        EXPECT_EQ(report.torrent->PeerCount, -1) << "the receiver's row holds the newest count";
    }
    EXPECT_EQ(TMetadataThread::RunningCount(), 0) << "every slot is given back, also after an exception";

    TTorrentEx full;
    EXPECT_THROW(TMetadataThread::Create(full, nullptr), std::invalid_argument);
}

TEST_F(MetadataThreadTest, TerminateEndsRunningAndWaitingFetchesWithoutAReport)
{
    Reports reports;
    const auto receiver = reports.Receiver();
    Gate gate;
    auto workers = QueueFetches(MetadataFetchesAtOnce + 2, receiver, gate.Fetcher());
    ASSERT_TRUE(gate.WaitFor([&] { return gate.running == MetadataFetchesAtOnce; }));
    // Last queued first, as Stop walks the lists: a slot that a stopped fetch
    // gives back finds no waiting worker that is not stopped yet.
    for (auto it = workers.rbegin(); it != workers.rend(); ++it) (*it)->Terminate();
    for (const auto& worker : workers) ASSERT_TRUE(worker->WaitEnded(EventWaitCap));
    EXPECT_EQ(gate.stopsSeen, MetadataFetchesAtOnce) << "the running fetches were cut short";
    EXPECT_EQ(gate.calls, MetadataFetchesAtOnce) << "the waiting ones never fetched";
    EXPECT_EQ(reports.Count(), 0u);
    EXPECT_EQ(TMetadataThread::RunningCount(), 0);

    // A closed receiver takes nothing; the worker still ends.
    receiver->Close();
    gate.Open();
    workers = QueueFetches(1, receiver, gate.Fetcher());
    ASSERT_TRUE(workers[0]->WaitEnded(EventWaitCap));
    EXPECT_EQ(reports.Count(), 0u);
}

}  // namespace
}  // namespace sorvena::test
