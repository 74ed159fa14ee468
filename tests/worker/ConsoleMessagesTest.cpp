// The console receiver of the worker messages: one receiving thread, senders
// that wait, and a close that frees them all.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/Waits.h"
#include "worker/ConsoleMessages.h"

namespace sorvena {
namespace {

using namespace std::chrono_literals;
using test::EventWaitCap;

TEST(ConsoleMessages, EveryHandlerRunsOnTheReceivingThreadWhileItsSenderWaits)
{
    std::mutex mutex;
    std::vector<int> counts;  // read by the senders too
    // Touched by the handlers only, read once every send has returned.
    std::vector<std::thread::id> handlerThreads;
    int sites = 0;
    int torrents = 0;
    std::vector<std::string> fileLists;  // "<hash> <files or reason>"

    auto onReceiver = [&] { handlerThreads.push_back(std::this_thread::get_id()); };
    TConsoleMessages receiver({
        .siteDone =
            [&](int) {
                onReceiver();
                ++sites;
            },
        .torrentFound =
            [&](std::unique_ptr<TTorrentEx> e) {
                onReceiver();
                torrents += e != nullptr;
            },
        .peerCount =
            [&](std::string_view, int32_t n) {
                onReceiver();
                std::lock_guard l(mutex);
                counts.push_back(n);
            },
        .metadataFound =
            [&](std::string_view hash, std::unique_ptr<TTorrentEx> torrent, std::string_view reason) {
                onReceiver();
                fileLists.push_back(std::string(hash) + " " +
                                    (torrent ? std::to_string(torrent->SubFiles.size()) : std::string(reason)));
            },
    });

    constexpr int Senders = 8;
    std::vector<std::thread> senders;
    for (int i = 0; i < Senders; ++i) {
        senders.emplace_back([&, i] {
            EXPECT_TRUE(receiver.SiteDone(i));
            EXPECT_TRUE(receiver.TorrentFound(std::make_unique<TTorrentEx>()));
            EXPECT_TRUE(receiver.PeerCount("hash", i));
            // The texts are copied: the sender's own are gone when the handler runs.
            auto torrent = std::make_unique<TTorrentEx>();
            torrent->SubFiles.resize(static_cast<size_t>(i));
            std::string hash = "h" + std::to_string(i);
            std::string reason = "failed " + std::to_string(i);
            EXPECT_TRUE(receiver.MetadataFound(hash, i % 2 ? nullptr : std::move(torrent), reason));
            // Synchronous: the handler has run by the time the send returns.
            std::lock_guard l(mutex);
            EXPECT_NE(std::find(counts.begin(), counts.end(), i), counts.end());
        });
    }
    for (std::thread& t : senders) t.join();
    EXPECT_EQ(sites, Senders);
    EXPECT_EQ(torrents, Senders);
    std::sort(fileLists.begin(), fileLists.end());
    EXPECT_EQ(fileLists, (std::vector<std::string>{"h0 0", "h1 failed 1", "h2 2", "h3 failed 3", "h4 4", "h5 failed 5",
                                                   "h6 6", "h7 failed 7"}));
    ASSERT_EQ(handlerThreads.size(), 4u * Senders);
    for (const std::thread::id id : handlerThreads) {
        EXPECT_EQ(id, handlerThreads.front());
        EXPECT_NE(id, std::this_thread::get_id());
    }
}

TEST(ConsoleMessages, CloseReleasesTheWaitingSendersAndRefusesLaterOnes)
{
    std::promise<void> handlerEntered;
    std::promise<void> releaseHandler;
    std::shared_future<void> release = releaseHandler.get_future().share();
    std::atomic<int> handled{0};
    auto entries = std::make_shared<std::atomic<int>>(0);

    struct Counted : TTorrentEx {
        explicit Counted(std::shared_ptr<std::atomic<int>> live) : m_live(std::move(live)) { ++*m_live; }
        ~Counted() override { --*m_live; }
        std::shared_ptr<std::atomic<int>> m_live;
    };

    auto receiver = std::make_shared<TConsoleMessages>(TConsoleMessages::Handlers{
        .siteDone =
            [&](int) {
                ++handled;
                handlerEntered.set_value();
                release.wait();
            },
        .torrentFound = [&](std::unique_ptr<TTorrentEx>) { ++handled; },
        .peerCount = {},
        .metadataFound = {},
    });
    // The first send occupies the receiver; the second waits for its turn.
    auto busy = std::async(std::launch::async, [&] { return receiver->SiteDone(0); });
    handlerEntered.get_future().wait();
    auto queued =
        std::async(std::launch::async, [&] { return receiver->TorrentFound(std::make_unique<Counted>(entries)); });
    while (receiver->QueuedCount() == 0) std::this_thread::sleep_for(1ms);

    receiver->Close();
    EXPECT_EQ(queued.wait_for(EventWaitCap), std::future_status::ready);
    EXPECT_FALSE(queued.get());
    EXPECT_EQ(*entries, 0) << "a refused torrent is destroyed";
    EXPECT_FALSE(receiver->PeerCount("hash", 1));
    EXPECT_FALSE(receiver->MetadataFound("hash", std::make_unique<Counted>(entries), ""));
    EXPECT_EQ(*entries, 0) << "a refused full torrent is destroyed";

    releaseHandler.set_value();
    EXPECT_TRUE(busy.get()) << "the handler that was running finishes its message";
    EXPECT_EQ(handled, 1);
}

TEST(ConsoleMessages, AHandlerExceptionIsTracedAndTheMessageCountsAsHandled)
{
    TConsoleMessages receiver({
        .siteDone = [](int) { throw std::runtime_error("handler failed"); },
        .torrentFound = {},
        .peerCount = {},
        .metadataFound = {},
    });
    EXPECT_TRUE(receiver.SiteDone(3));
    EXPECT_TRUE(receiver.TorrentFound(std::make_unique<TTorrentEx>())) << "no handler: taken and dropped";
}

TEST(ConsoleMessages, ASendFromAHandlerIsHandledDirectly)
{
    std::vector<int> order;
    TConsoleMessages* self = nullptr;
    TConsoleMessages receiver({
        .siteDone =
            [&](int site) {
                order.push_back(site);
                if (site == 0) {
                    EXPECT_TRUE(self->SiteDone(1));
                }
                order.push_back(-site);
            },
        .torrentFound = {},
        .peerCount = {},
        .metadataFound = {},
    });
    self = &receiver;
    EXPECT_TRUE(receiver.SiteDone(0));
    EXPECT_EQ(order, (std::vector<int>{0, 1, -1, 0}));
}

}  // namespace
}  // namespace sorvena
