// Results file speed: saving and loading a list of 10,000 torrents (built in
// memory at startup, 20 to 400 pieces and 1 to 8 files each), and, in the
// same run, Python's zipfile writing and reading the same members (deflate at
// the normal level, the same comment). Python only stores and extracts bytes;
// our load also decodes every member into a torrent (the summary says so).

#include "results/ResultsFile.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace sorvena;

constexpr int TorrentCount = 10'000;

std::vector<std::unique_ptr<TTorrentEx>> makeList()
{
    std::mt19937_64 rng(7);
    std::vector<std::unique_ptr<TTorrentEx>> list;
    for (int i = 0; i < TorrentCount; ++i) {
        TTorrentEx t;
        t.AnnounceUrl = "udp://tracker.opentrackr.org:1337/announce";
        t.BackupTrackers = {t.AnnounceUrl, "udp://open.stealth.si:80/announce"};
        t.Comment = "Ripped by somebody, seeded forever";
        t.CreatedAt = UnixSecondsToDateTime(1700000000 + i);
        t.TorrentName = "Some Linux Distribution " + std::to_string(i) + " amd64 DVD";
        t.PieceLength = 262144;
        const int files = 1 + static_cast<int>(rng() % 8);
        t.IsMultiFile = files > 1;
        for (int f = 0; f < files; ++f) {
            const int64_t size = 1000000 + static_cast<int64_t>(rng() % 50000000);
            t.SubFiles.push_back({"part " + std::to_string(f) + ".iso", "disc\\", size, t.TotalSize});
            t.TotalSize += size;
        }
        const int pieces = 20 + static_cast<int>(rng() % 381);
        std::array<char, 20> raw{};
        for (int p = 0; p < pieces; ++p) {
            for (char& c : raw) c = static_cast<char>(rng() & 0xFF);
            t.PieceHashes.emplace_back(std::string_view(raw.data(), raw.size()));
        }
        // Through the writer and the loader, as a search would have it.
        auto loaded = std::make_unique<TTorrentEx>();
        loaded->LoadMetainfo(WriteMetainfo(t));
        list.push_back(std::move(loaded));
    }
    return list;
}

const std::vector<std::unique_ptr<TTorrentEx>>& list()
{
    static const auto torrents = makeList();
    return torrents;
}

std::vector<const TTorrentFile*> view()
{
    std::vector<const TTorrentFile*> out;
    for (const auto& t : list()) out.push_back(t.get());
    return out;
}

const fs::path& workDir()
{
    static const fs::path dir = [] {
        fs::path d = fs::temp_directory_path() / ("sorvena-results-bench-" + std::to_string(::getpid()));
        fs::create_directories(d);
        return d;
    }();
    return dir;
}

std::string archivePath()
{
    return (workDir() / "list.vrk").string();
}

void BM_Save(benchmark::State& state)
{
    const auto torrents = view();
    for (auto _ : state) SaveResultsFile(archivePath(), torrents, 5, "linux dvd");
    state.SetItemsProcessed(state.iterations() * TorrentCount);
}
BENCHMARK(BM_Save)->Unit(benchmark::kMillisecond);

void BM_Load(benchmark::State& state)
{
    SaveResultsFile(archivePath(), view(), 5, "linux dvd");
    for (auto _ : state) benchmark::DoNotOptimize(ReadResultsFile(archivePath()));
    state.SetItemsProcessed(state.iterations() * TorrentCount);
}
BENCHMARK(BM_Load)->Unit(benchmark::kMillisecond);

template <typename F>
double bestSeconds(F f, int runs = 3)
{
    double best = 1e9;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        f();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

// Python writes and reads the members our save wrote; it times itself and
// prints two numbers (seconds, best of three).
constexpr const char* PythonProgram = R"(import sys, time, zipfile
src, out = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(src) as z:
    members = [(i.filename, z.read(i)) for i in z.infolist()]
    comment = z.comment
def write():
    with zipfile.ZipFile(out, 'w', zipfile.ZIP_DEFLATED, compresslevel=6) as z:
        z.comment = comment
        for name, data in members:
            z.writestr(name, data)
def read():
    with zipfile.ZipFile(out) as z:
        return [z.read(i) for i in z.infolist()]
def best(f):
    t = []
    for _ in range(3):
        s = time.perf_counter(); f(); t.append(time.perf_counter() - s)
    return min(t)
print(best(write), best(read))
)";

void compareWithPython()
{
    const auto torrents = view();
    const double save = bestSeconds([&] { SaveResultsFile(archivePath(), torrents, 5, "linux dvd"); });
    const double load = bestSeconds([&] { benchmark::DoNotOptimize(ReadResultsFile(archivePath())); });
    const std::string bytes = [] {
        std::ifstream in(archivePath(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }();
    std::printf("\nResults file of %d torrents: %.1f MB\n", TorrentCount, static_cast<double>(bytes.size()) / 1e6);
    std::printf("  ours:   save %.3f s, load %.3f s (load includes decoding every torrent)\n", save, load);

    const fs::path script = workDir() / "zipbench.py";
    std::ofstream(script) << PythonProgram;
    const std::string command =
        "python3 '" + script.string() + "' '" + archivePath() + "' '" + (workDir() / "py.zip").string() + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    double pyWrite = 0, pyRead = 0;
    if (!pipe || std::fscanf(pipe.get(), "%lf %lf", &pyWrite, &pyRead) != 2) {
        std::printf("  python3 zipfile: not available\n");
        return;
    }
    std::printf("  python: write %.3f s, read %.3f s (zipfile, deflate level 6, bytes only)\n", pyWrite, pyRead);
    std::printf("  ratio ours/python: save %.2f, load %.2f\n", save / pyWrite, load / pyRead);
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    compareWithPython();
    benchmark::Shutdown();
    fs::remove_all(workDir());
    return 0;
}
