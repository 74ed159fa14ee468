// 100 magnet file lists fetched at once from a real swarm: Debian's
// python3-libtorrent seeding 100 small torrents on 127.0.0.1, announced to a
// local opentracker, each fetch finding its peer through the tracker. Every
// fetch must bring its own torrent; the process's peak memory and threads
// are printed, and the threads checked against the bound the fetch states.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "metainfo/Magnet.h"
#include "support/LibtorrentSeeder.h"
#include "support/OpentrackerProcess.h"
#include "support/SeedTorrents.h"
#include "swarm/MetadataFetch.h"

namespace sorvena::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int Fetches = 100;

// A number of /proc/self/status ("VmHWM", "Threads"); -1 when missing.
long statusValue(const std::string& key)
{
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
    }
    return -1;
}

TEST(MetadataLoad, HundredMagnetsAtOnceFromARealSwarm)
{
    if (!LibtorrentSeeder::Available() || OpentrackerProcess::Program().empty())
        GTEST_SKIP() << "python3-libtorrent or opentracker is not installed";
    std::string pattern = (fs::temp_directory_path() / "sorvena-metadata-load-XXXXXX").string();
    ASSERT_TRUE(::mkdtemp(pattern.data()));
    const fs::path dir = pattern;
    struct Cleanup {
        fs::path dir;
        ~Cleanup()
        {
            std::error_code ignored;
            fs::remove_all(dir, ignored);
        }
    } cleanup{dir};

    std::vector<SeedTorrent> torrents;
    std::vector<std::string> hashes, files;
    for (int i = 0; i < Fetches; ++i) {
        const std::string name = "small " + std::to_string(i) + ".bin";
        torrents.push_back(MakeSeedTorrent(name, {{name, 20000 + i}}, 16384, 1000 + i, dir / "data", true));
        hashes.push_back(torrents.back().infoHashHex);
        files.push_back((dir / (std::to_string(i) + ".torrent")).string());
        std::ofstream(files.back(), std::ios::binary) << torrents.back().metainfo;
    }
    OpentrackerProcess tracker(hashes);
    ASSERT_TRUE(tracker.Running()) << tracker.Error();
    LibtorrentSeeder seeder((dir / "data").string(), files, tracker.AnnounceUrl());
    ASSERT_TRUE(seeder.Ready()) << seeder.Error();

    std::vector<std::unique_ptr<TTorrentEx>> entries;
    for (const SeedTorrent& t : torrents) {
        const std::string uri = SeedMagnet(t, {tracker.AnnounceUrl()});
        entries.push_back(MakeMagnetEntry(*ParseMagnet(uri), uri));
    }

    const long threadsBefore = statusValue("Threads");
    const long rssBeforeKb = statusValue("VmHWM");
    std::atomic<bool> sampling{true};
    std::atomic<long> peakThreads{threadsBefore};
    std::thread sampler([&] {
        while (sampling) {
            const long now = statusValue("Threads");
            if (now > peakThreads) peakThreads = now;
            std::this_thread::sleep_for(2ms);
        }
    });

    std::vector<MetadataFetchResult> results(Fetches);
    std::latch start(Fetches);
    std::vector<std::thread> threads;
    const auto began = std::chrono::steady_clock::now();
    for (int i = 0; i < Fetches; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            results[i] = FetchMagnetMetadata(*entries[i]);
        });
    }
    for (std::thread& t : threads) t.join();
    const auto took = std::chrono::steady_clock::now() - began;
    sampling = false;
    sampler.join();

    int right = 0;
    for (int i = 0; i < Fetches; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(results[i].Torrent) << results[i].Reason;
        EXPECT_EQ(results[i].Torrent->InfoHashHex, torrents[i].infoHashHex);
        EXPECT_EQ(results[i].Torrent->TorrentName, torrents[i].name);
        EXPECT_EQ(results[i].Torrent->TotalSize, 20000 + i);
        right += results[i].Torrent && results[i].Torrent->InfoHashHex == torrents[i].infoHashHex;
    }
    const long rssAfterKb = statusValue("VmHWM");
    std::printf("%d of %d magnet file lists right; peak threads %ld (%ld before, and a sampler); "
                "peak RSS %ld KiB (%ld KiB before); %lld ms\n",
                right, Fetches, peakThreads.load(), threadsBefore, rssAfterKb, rssBeforeKb,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    // Each fetch: its own thread and one tracker thread (one tracker each).
    EXPECT_LE(peakThreads.load(), threadsBefore + 1 + 2 * Fetches);
}

}  // namespace
}  // namespace sorvena::test
