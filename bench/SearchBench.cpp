// A whole search on loopback: 8 fixture sites x 20 pages x 10 torrents, so
// 1,600 torrent downloads and 168 result pages (the argument is the number of
// pages; with 3, a small search of 240 torrents, as when comparing a search
// beside a busy process with one on an idle machine). The sites answer from memory,
// so the wall time is the search's own overhead: HTTP, decoding, hashing,
// duplicate checks and the synchronous hand-over to the receiver.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "support/FixtureSites.h"
#include "worker/ConsoleMessages.h"
#include "search/IdSearchThread.h"
#include "search/SearchState.h"
#include "search/SearchUtil.h"

namespace {

using namespace sorvena;
using namespace sorvena::test;

constexpr int Sites = 8;
constexpr int TorrentsPerPage = 10;
// Eight paged link formats: the seven paged slots, and slot 0's once more.
constexpr int Formats[Sites] = {0, 1, 2, 3, 4, 5, 8, 0};

int threadCount()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    return 0;
}

long peakRssKb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void BM_SearchEightSites(benchmark::State& state)
{
    const int pageCount = static_cast<int>(state.range(0));
    int peakThreads = 0;
    int baseThreads = 0;
    int found = 0;
    double searchSeconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        // Fixtures: a site per format with 20 pages of new torrents each.
        std::vector<std::unique_ptr<FixtureSites>> groups;
        std::vector<FixtureSite*> sites;
        std::vector<TSiteQuery> queries;
        for (int i = 0; i < Sites; ++i) {
            groups.push_back(std::make_unique<FixtureSites>());
            FixtureSite& site = groups.back()->Add(Formats[i]);
            std::vector<std::vector<std::string>> pages(pageCount);
            for (int p = 0; p < pageCount; ++p)
                for (int t = 0; t < TorrentsPerPage; ++t)
                    pages[static_cast<size_t>(p)].push_back(
                        FixtureLinkText(i * pageCount * TorrentsPerPage + p * TorrentsPerPage + t));
            site.SetPages(std::move(pages));
            const TSiteHosts hosts = groups.back()->Prepare("bench", 0);
            queries.push_back(*BuildSiteQuery(Formats[i], UrlEncode("bench"), 0, hosts));
            sites.push_back(&site);
        }
        std::atomic<int> done{0};
        std::atomic<int> torrents{0};
        TConsoleMessages::Handlers handlers;
        handlers.siteDone = [&](int) { ++done; };
        handlers.torrentFound = [&](std::unique_ptr<TTorrentEx>) { ++torrents; };
        auto messages = std::make_shared<TConsoleMessages>(std::move(handlers));
        auto search = std::make_shared<TSearchState>(messages);
        baseThreads = threadCount();
        std::atomic<bool> sampling{true};
        std::atomic<int> peak{0};
        std::thread sampler([&] {
            while (sampling) {
                peak = std::max(peak.load(), threadCount());
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        state.ResumeTiming();

        const auto started = std::chrono::steady_clock::now();
        for (int i = 0; i < Sites; ++i) {
            const TSiteQuery& q = queries[static_cast<size_t>(i)];
            auto worker = q.DownloadPrefix.empty()
                              ? std::make_shared<TIdSearchThread>(search, q.Url, q.LinkMarker, q.Terminator, i,
                                                                  q.PageOffset, q.StartPage, q.PageStep)
                              : std::make_shared<TIdSearchThread>(search, q.Url, q.LinkMarker, q.Terminator,
                                                                  q.DownloadPrefix, i, q.PageOffset, q.StartPage,
                                                                  q.PageStep);
            search->AddSearchThread(worker);
            worker->Start();
        }
        TWorkerThread::WaitForAll(std::chrono::minutes(5));
        searchSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

        state.PauseTiming();
        sampling = false;
        sampler.join();
        peakThreads = std::max(peakThreads, peak.load());
        found = torrents;
        if (done != Sites || found != Sites * pageCount * TorrentsPerPage)
            state.SkipWithError("the search did not find every torrent");
        messages->Close();
        state.ResumeTiming();
    }
    const double torrents = Sites * pageCount * TorrentsPerPage;
    state.counters["torrents"] = found;
    state.counters["us_per_torrent"] = searchSeconds * 1e6 / (torrents * static_cast<double>(state.iterations()));
    state.counters["peak_threads"] = peakThreads;
    state.counters["threads_before"] = baseThreads;
    // The whole process: fixtures and their 1,600 torrent files included.
    state.counters["peak_rss_MiB"] = static_cast<double>(peakRssKb()) / 1024.0;
}
BENCHMARK(BM_SearchEightSites)->Arg(20)->Arg(3)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
