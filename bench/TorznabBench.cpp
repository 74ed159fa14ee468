// Parsing Torznab search replies in Jackett's shape: a 1,000-item reply (a
// full page of a proxy asked for its maximum) and a 20,000-item one (past the
// item limit, to show that memory stays bounded). Items per second from the
// timing loop; peak memory as the growth of the resident high-water mark
// while one parse runs in a fresh child process that holds only the reply.

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "search/Torznab.h"
#include "support/FixtureTorznab.h"

namespace {

using namespace sorvena;
using namespace sorvena::test;

std::string reply(int items)
{
    std::vector<TorznabItemSpec> specs;
    for (int i = 0; i < items; ++i)
        specs.push_back({"Some.Linux.Distribution." + std::to_string(i) + ".x86_64.DVD.ISO-GROUP", i, i % 3 ? i : -1,
                         false, 4'700'000'000LL + i, i % 50, i % 70, -1});
    return TorznabFeedXml(specs, TorznabDialect::Jackett, "127.0.0.1:9117");
}

long maxRssKb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// KiB by which one parse raises the resident high-water mark, measured in a
// child whose only large allocation before the parse is the reply itself.
long parsePeakKb(const std::string& xml)
{
    int fds[2];
    if (::pipe(fds) != 0) return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        const long before = maxRssKb();
        const TTorznabReply parsed = ParseTorznabReply(xml);
        long grown = maxRssKb() - before;
        if (parsed.What != TTorznabReply::Kind::Feed) grown = -1;
        if (::write(fds[1], &grown, sizeof grown) != sizeof grown) _exit(1);
        _exit(0);
    }
    ::close(fds[1]);
    long grown = -1;
    if (::read(fds[0], &grown, sizeof grown) != sizeof grown) grown = -1;
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return grown;
}

void BM_ParseTorznabReply(benchmark::State& state)
{
    const int items = static_cast<int>(state.range(0));
    const std::string xml = reply(items);
    size_t kept = 0;
    for (auto _ : state) {
        const TTorznabReply parsed = ParseTorznabReply(xml);
        kept = parsed.Items.size();
        benchmark::DoNotOptimize(parsed.Items.data());
    }
    if (kept != std::min<size_t>(static_cast<size_t>(items), TorznabMaxItems)) state.SkipWithError("items lost");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * items);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * xml.size()));
    state.counters["reply_KiB"] = static_cast<double>(xml.size()) / 1024.0;
    state.counters["items_kept"] = static_cast<double>(kept);
    state.counters["parse_peak_KiB"] = static_cast<double>(parsePeakKb(xml));
}
BENCHMARK(BM_ParseTorznabReply)->Arg(1000)->Arg(20000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
