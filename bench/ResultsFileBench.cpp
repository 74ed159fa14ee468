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
double seconds(F f)
{
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Python writes and reads the members our save wrote, once each; it times
// itself and prints the two times in seconds.
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
def timed(f):
    s = time.perf_counter(); f(); return time.perf_counter() - s
print(timed(write), timed(read))
)";

// The two sides take turns, round after round, and each keeps its best
// time: a machine shared with other work slows whichever side runs while it
// is busy, and taking turns gives both the same chances of a quiet moment.
constexpr int Rounds = 5;

void compareWithPython()
{
    const auto torrents = view();
    const fs::path script = workDir() / "zipbench.py";
    std::ofstream(script) << PythonProgram;
    const std::string command =
        "python3 '" + script.string() + "' '" + archivePath() + "' '" + (workDir() / "py.zip").string() + "'";
    double save = 1e9, load = 1e9, pyWrite = 1e9, pyRead = 1e9;
    bool python = true;
    for (int round = 0; round < Rounds; ++round) {
        save = std::min(save, seconds([&] { SaveResultsFile(archivePath(), torrents, 5, "linux dvd"); }));
        load = std::min(load, seconds([&] { benchmark::DoNotOptimize(ReadResultsFile(archivePath())); }));
        if (!python) continue;
        std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
        double write = 0, read = 0;
        if (!pipe || std::fscanf(pipe.get(), "%lf %lf", &write, &read) != 2) {
            python = false;
            continue;
        }
        pyWrite = std::min(pyWrite, write);
        pyRead = std::min(pyRead, read);
    }
    const std::string bytes = [] {
        std::ifstream in(archivePath(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }();
    std::printf("\nResults file of %d torrents: %.1f MB (best of %d rounds, the two sides taking turns)\n", TorrentCount,
                static_cast<double>(bytes.size()) / 1e6, Rounds);
    std::printf("  ours:   save %.3f s, load %.3f s (load includes decoding every torrent)\n", save, load);
    if (!python) {
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
