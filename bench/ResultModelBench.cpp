// The result list at 100,000 torrents (a tenth of them with 100 files each:
// 1,000,000 file rows) in a QTreeView on the offscreen platform: adding them
// all through the worker-message path, sorting by each column, refreshing the
// filters, the memory each torrent row costs, and in the main window Select
// All and Delete with rows the filters hide.

#include <benchmark/benchmark.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QTreeView>

#include <atomic>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/GuiMessages.h"
#include "app/Main.h"
#include "app/ResultModel.h"

namespace sorvena {
namespace {

constexpr int TorrentRows = 100000;
constexpr int FilesPerMultiFile = 100;

std::unique_ptr<TTorrentEx> makeTorrent(int i)
{
    auto t = std::make_unique<TTorrentEx>();
    t->TorrentName = "Torrent " + std::to_string((i * 7919) % TorrentRows) + (i % 3 ? ".avi" : ".iso");
    t->InfoHashHex = std::to_string(i);
    t->AnnounceUrl = "http://tracker" + std::to_string(i % 50) + ".example/announce";
    t->LinkUrl = "http://site" + std::to_string(i % 8) + ".example/t/" + std::to_string(i);
    t->Comment = i % 5 ? "" : "comment " + std::to_string(i % 97);
    t->CreatedAt = 38000.0 + (i * 31) % 6000 + 0.25;
    t->PeerCount = i % 4 ? (i * 13) % 200 : -1;
    t->IsMultiFile = i % 10 == 0;
    const int files = t->IsMultiFile ? FilesPerMultiFile : 1;
    t->SubFiles.reserve(files);  // as the loader sizes the list
    for (int f = 0; f < files; ++f) {
        const int64_t size = (int64_t{i % 5000} << 20) + f * 4097;
        t->SubFiles.push_back({t->IsMultiFile ? "file " + std::to_string(f) + (f % 2 ? ".mp3" : ".txt") : t->TorrentName,
                               "", size, t->TotalSize});
        t->TotalSize += size;
    }
    return t;
}

size_t residentBytes()
{
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * 4096;
}

struct Filled {
    TResultModel model;
    QTreeView view;
    Filled()
    {
        model.SetSearchKeyword("mp3");
        view.setUniformRowHeights(true);
        view.setModel(&model);
        view.resize(800, 600);
    }
};

// Adds every torrent from a worker thread through TGuiMessages, as a search does.
void addThroughMessages(Filled& f)
{
    QObject receiver;
    TGuiMessages::Handlers handlers;
    handlers.torrentFound = [&](std::unique_ptr<TTorrentEx> entry) { f.model.AddTorrentNode(std::move(entry)); };
    auto messages = std::make_shared<TGuiMessages>(&receiver, std::move(handlers));
    // The window's own event loop, which sleeps while no message is queued
    // (spinning processEvents instead would compete with the worker for the
    // cores it is waiting on).
    QEventLoop loop;
    std::thread worker([&] {
        for (int i = 0; i < TorrentRows; ++i) messages->TorrentFound(makeTorrent(i));
        QMetaObject::invokeMethod(&receiver, [&loop] { loop.quit(); }, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    messages->Close();
}

Filled& shared()
{
    static Filled* filled = [] {
        auto* f = new Filled;
        addThroughMessages(*f);
        return f;
    }();
    return *filled;
}

void BM_AddThroughMessages(benchmark::State& state)
{
    for (auto _ : state) {
        const size_t before = residentBytes();
        Filled f;
        addThroughMessages(f);
        state.counters["bytes_per_torrent_row"] =
            static_cast<double>(residentBytes() - before) / TorrentRows;  // the entries included
        state.PauseTiming();
        f.model.Clear();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_AddThroughMessages)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_SortByColumn(benchmark::State& state)
{
    Filled& f = shared();
    const int column = static_cast<int>(state.range(0));
    for (auto _ : state) f.model.HeaderClick(column);
    state.SetLabel(ResultColumns[column].Caption);
}
BENCHMARK(BM_SortByColumn)->DenseRange(0, ResultColumnCount - 1)->Unit(benchmark::kMillisecond)->Iterations(4);

void BM_RefreshRowFilter(benchmark::State& state)
{
    Filled& f = shared();
    bool on = false;
    for (auto _ : state) {
        on = !on;
        f.model.SetFilterOptions(on, on);
        f.model.RefreshRowFilter();
    }
}
BENCHMARK(BM_RefreshRowFilter)->Unit(benchmark::kMillisecond)->Iterations(4);

// Every torrent, a tenth of them with no peers (hidden by the has-peers filter).
std::vector<std::unique_ptr<TTorrentEx>> torrentsWithoutPeers()
{
    std::vector<std::unique_ptr<TTorrentEx>> entries;
    entries.reserve(TorrentRows);
    for (int i = 0; i < TorrentRows; ++i) {
        entries.push_back(makeTorrent(i));
        if (i % 10 == 5) entries.back()->PeerCount = 0;
    }
    return entries;
}

// The window with every torrent loaded at once, the has-peers and keyword
// filters on: a tenth of the torrent rows and half of the file rows are hidden.
struct FilledForm {
    TMainForm form;
    FilledForm()
    {
        form.resize(1000, 700);
        form.show();
        fill();
        for (const char* name : {"cbOnlyShowHasPeers", "cbOnlyShowKeywordFile"})
            form.findChild<QCheckBox*>(QString::fromLatin1(name))->click();
        QCoreApplication::processEvents();
    }
    void fill()
    {
        form.Model()->SetSearchKeyword("mp3");
        form.Model()->AddTorrentNodes(torrentsWithoutPeers());
    }
    void trigger(const char* action) { form.findChild<QAction*>(QString::fromLatin1(action))->trigger(); }
};

// Select All, then a filter switched off and on again while every row stays
// selected (the rows that come into view are selected as they appear).
void BM_SelectAllWithHiddenRows(benchmark::State& state)
{
    FilledForm f;
    const bool expanded = state.range(0) != 0;
    if (expanded) f.trigger("actExpandAll");
    for (auto _ : state) {
        f.trigger("actSelectAll");
        QCoreApplication::processEvents();
    }
    state.SetLabel(expanded ? "every torrent expanded" : "collapsed");
}
BENCHMARK(BM_SelectAllWithHiddenRows)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(4);

void BM_FilterChangeWhileAllSelected(benchmark::State& state)
{
    FilledForm f;
    f.trigger("actSelectAll");
    auto* box = f.form.findChild<QCheckBox*>(QStringLiteral("cbOnlyShowKeywordFile"));
    for (auto _ : state) {
        box->click();
        QCoreApplication::processEvents();
    }
}
BENCHMARK(BM_FilterChangeWhileAllSelected)->Unit(benchmark::kMillisecond)->Iterations(4);

// Select All and Delete: every row goes, hidden ones included.
class AnsweringForm final : public TMainForm {
protected:
    bool ConfirmDelete() override { return true; }
};

void BM_DeleteAllWithHiddenRows(benchmark::State& state)
{
    for (auto _ : state) {
        state.PauseTiming();
        AnsweringForm form;
        form.Model()->AddTorrentNodes(torrentsWithoutPeers());
        form.findChild<QCheckBox*>(QStringLiteral("cbOnlyShowHasPeers"))->click();
        form.findChild<QAction*>(QStringLiteral("actSelectAll"))->trigger();
        state.ResumeTiming();
        form.findChild<QAction*>(QStringLiteral("actDeleteTorrent"))->trigger();
        if (form.Model()->TorrentRowCount() != 0) state.SkipWithError("rows left");
    }
}
BENCHMARK(BM_DeleteAllWithHiddenRows)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace
}  // namespace sorvena

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
