// File lists of magnet rows in the window: fetched automatically for every
// magnet result while the option is on and on demand by Fetch File List
// (Ctrl+L on the focused list), the full torrent taking its row's place with
// the totals updated, a failure leaving the row a magnet with its reason,
// Stop ending the automatic fetches but not the ones asked for, and a window
// that closes at once with fetches in flight. The swarm is a fake fetcher.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTreeView>

#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

#include "EventuallyInLoop.h"
#include "ResultRows.h"
#include "app/Main.h"
#include "app/ResultModel.h"
#include "search/SearchState.h"
#include "support/FixtureSites.h"
#include "support/FixtureTorznab.h"
#include "support/Waits.h"
#include "worker/WorkerThread.h"

namespace sorvena::test {
namespace {

using namespace std::chrono_literals;

class TestForm final : public TMainForm {
public:
    using TMainForm::TMainForm;
    QStringList summaries;

protected:
    void ShowSummary(const QString& text) override { summaries << text; }
    bool ConfirmDelete() override { return true; }
};

// The swarm: FixtureMagnet(1) has two files, FixtureMagnet(2) has no peer.
// With the gate closed every fetch waits for it (and, when stops are
// honoured, for its stop); a stopped fetch still claims its torrent, which
// must never reach the window.
class FakeSwarm {
public:
    bool gateOpen = true;
    bool honourStop = true;

    MetadataFetcher Fetcher()
    {
        return [this](const TTorrentEx& magnet, const MetadataFetchOptions&, std::stop_token stop) {
            std::stop_callback wake(stop, [this] {
                std::lock_guard inner(m_lock);
                m_changed.notify_all();
            });
            std::unique_lock guard(m_lock);
            m_stops.push_back(stop);
            m_changed.notify_all();
            m_changed.wait(guard, [&] { return gateOpen || (honourStop && stop.stop_requested()); });
            guard.unlock();
            if (magnet.InfoHashHex == FixtureInfoHash(2)) return MetadataFetchResult{nullptr, "no peer answered"};
            return MetadataFetchResult{
                MakeTorrent({.name = "swarm one", .files = {{"a.iso", 1}, {"b.txt", 2}}, .hash = magnet.InfoHashHex}),
                ""};
        };
    }
    size_t Calls()
    {
        std::lock_guard guard(m_lock);
        return m_stops.size();
    }
    size_t StopsRequested()
    {
        std::lock_guard guard(m_lock);
        return static_cast<size_t>(
            std::count_if(m_stops.begin(), m_stops.end(), [](const std::stop_token& s) { return s.stop_requested(); }));
    }
    void Open()
    {
        std::lock_guard guard(m_lock);
        gateOpen = true;
        m_changed.notify_all();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<std::stop_token> m_stops;  // one per fetch
};

class FileListWindowTest : public ::testing::Test {
protected:
    ~FileListWindowTest() override
    {
        swarm.Open();
        form.reset();
        EXPECT_TRUE(TWorkerThread::WaitForAll(EventWaitCap)) << "workers still running";
    }

    // Magnet results 1 and 2 and torrent file 3 from one endpoint; with
    // holdSite a catalogue site that never answers keeps the search running.
    void Show(bool autoFetchFiles, bool holdSite)
    {
        if (holdSite) sites.Add(SITE_TORRENTREACTOR).HoldQuery(0);
        endpoint.SetItems({{"One", -1, 1, true, 5, 4, 9, -1},
                           {"Two", -1, 2, true, 5, 1, 1, -1},
                           {"Three", 3, -1, false, 5, 1, 1, -1}});
        TIniOptions options = DefaultIniOptions();
        options.AutoCheckPeer = false;
        options.AutoFetchFiles = autoFetchFiles;
        form = std::make_unique<TestForm>(sites.Prepare("fixture", 0), options);
        form->State()->FetchPause = 5ms;
        MetadataThreadOptions fetches;
        fetches.fetcher = swarm.Fetcher();
        form->SetMetadataOptions(fetches);
        form->SetTorznabEndpoints({{"Fixture", endpoint.ApiUrl(), true}});
        QObject::connect(form->statusBar(), &QStatusBar::messageChanged, form.get(), [this](const QString& message) {
            if (!message.isEmpty()) messages << message;
        });
        form->show();
        QApplication::setActiveWindow(form.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    }

    // Types the keyword into the focused keyword box and presses Enter; true
    // once the endpoint's three rows are listed.
    bool Search()
    {
        auto* keyword = form->findChild<QComboBox*>(QStringLiteral("cbKeyword"));
        keyword->setFocus();
        QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("fixture"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        return Eventually([&] { return form->Model()->TorrentRowCount() == 3; });
    }

    // Keys on the focused result list, as a person presses them.
    void TreeKey(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        form->Tree()->setFocus();
        QTest::keyClick(QApplication::focusWidget(), key, modifiers);
    }
    void ClickRow(const std::string& hash)
    {
        QTreeView* tree = form->Tree();
        tree->setFocus();
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(Row(hash)).center());
    }

    QModelIndex Row(const std::string& hash, int column = COL_NAME) const
    {
        TResultModel* model = form->Model();
        for (int row = 0; row < model->rowCount(); ++row)
            if (model->NodeData(model->index(row, 0)).Torrent->InfoHashHex == hash) return model->index(row, column);
        return {};
    }
    const TTorrentEx* Entry(const std::string& hash) const { return form->Model()->NodeData(Row(hash)).Torrent; }
    bool IsMagnet(const std::string& hash) const { return Entry(hash) && Entry(hash)->IsMagnet(); }
    QString Hint(const std::string& hash) const { return form->Model()->HintText(Row(hash, COL_FILE)); }
    int FilesListed() const
    {
        int files = 0;
        for (int t = 0; t < form->Model()->TorrentRowCount(); ++t)
            files += static_cast<int>(form->Model()->TorrentAt(t)->SubFiles.size());
        return files;
    }
    QAction* FetchFileList() const { return form->findChild<QAction*>(QStringLiteral("actFetchFileList")); }

    // The upgraded row 1 and the failed row 2 as they must look.
    void ExpectFetchedAndFailedRows()
    {
        const std::string one = FixtureInfoHash(1), two = FixtureInfoHash(2);
        TResultModel* model = form->Model();
        ASSERT_FALSE(IsMagnet(one));
        form->Tree()->expand(Row(one));
        EXPECT_EQ(model->rowCount(Row(one)), 2) << "its files appear";
        EXPECT_EQ(model->CellText(Row(one, COL_FILE)), "2");
        EXPECT_EQ(model->CellText(Row(one, COL_PEERS)), "9") << "the count the endpoint reported stays";
        EXPECT_EQ(model->CellText(Row(one, COL_REFER_SITE)), "Fixture");
        EXPECT_EQ(Entry(one)->TorrentName, "swarm one");

        ASSERT_TRUE(IsMagnet(two));
        EXPECT_EQ(model->CellText(Row(two, COL_FILE)), "?");
        EXPECT_NE(Hint(two).indexOf("File list: not fetched: no peer answered"), -1) << Hint(two).toStdString();
        EXPECT_EQ(form->FileTotal(), FilesListed());
        EXPECT_EQ(model->TorrentRowCount(), 3) << "no row was added";
    }

    void CloseWithFetches(bool automatic)
    {
        swarm.gateOpen = false;
        swarm.honourStop = false;  // fetches that take their time to end
        Show(automatic, true);
        ASSERT_TRUE(Search());
        if (!automatic) {
            TreeKey(Qt::Key_A, Qt::ControlModifier);
            TreeKey(Qt::Key_L, Qt::ControlModifier);
        }
        ASSERT_TRUE(Eventually([&] { return swarm.Calls() == 2; }));

        ASSERT_TRUE(form->close());
        EXPECT_FALSE(form->isVisible());
        EXPECT_EQ(swarm.StopsRequested(), 2u) << "closing asks the fetches to end";
        EXPECT_EQ(swarm.Calls(), 2u);
        EXPECT_GE(TWorkerThread::RunningCount(), 2) << "and does not wait for them: they still run";
        swarm.Open();
        form.reset();
        EXPECT_TRUE(TWorkerThread::WaitForAll(EventWaitCap));
    }

    FixtureSites sites;
    FixtureTorznab endpoint;
    FakeSwarm swarm;
    std::unique_ptr<TestForm> form;
    QStringList messages;  // what the status bar told, in order
};

TEST_F(FileListWindowTest, EveryMagnetResultGetsItsFileListWhileTheOptionIsOn)
{
    Show(true, false);
    ASSERT_TRUE(Search());
    ASSERT_TRUE(Eventually([&] {
        return !form->Searching() && !IsMagnet(FixtureInfoHash(1)) && Hint(FixtureInfoHash(2)).contains("not fetched");
    }));
    EXPECT_EQ(swarm.Calls(), 2u) << "one fetch per magnet result, none for the torrent file";
    ExpectFetchedAndFailedRows();
    // The report of the finished search counts the files that came since.
    EXPECT_TRUE(form->StatusText().startsWith(QStringLiteral("3 torrents and %1 files found.").arg(form->FileTotal())))
        << form->StatusText().toStdString();
    EXPECT_TRUE(messages.isEmpty()) << "background work shows no message";
}

TEST_F(FileListWindowTest, FetchFileListRunsForTheSelectedMagnetRowsAndSurvivesStop)
{
    swarm.gateOpen = false;
    Show(false, true);
    ASSERT_TRUE(Search());
    ASSERT_TRUE(form->Searching());
    EXPECT_EQ(swarm.Calls(), 0u) << "nothing is fetched on its own with the option off";

    QMenu* torrentMenu = form->menuBar()->actions().constFirst()->menu();
    EXPECT_TRUE(torrentMenu->actions().contains(FetchFileList()));
    EXPECT_EQ(FetchFileList()->text(), "Fetch &File List");

    // A torrent-file row: the command is off, and its key does nothing.
    ClickRow(FixtureInfoHash(3));
    form->UpdateActions();
    EXPECT_FALSE(FetchFileList()->isEnabled());
    TreeKey(Qt::Key_L, Qt::ControlModifier);
    ClickRow(FixtureInfoHash(1));
    form->UpdateActions();
    EXPECT_TRUE(FetchFileList()->isEnabled());

    // Every row selected, the command from the list's context menu: one
    // fetch per magnet row.
    TreeKey(Qt::Key_A, Qt::ControlModifier);
    auto* menu = form->findChild<QMenu*>(QStringLiteral("pmTree"));
    menu->popup(form->Tree()->viewport()->mapToGlobal(QPoint(10, 10)));
    ASSERT_TRUE(Eventually([&] { return menu->isVisible(); }));
    ASSERT_TRUE(FetchFileList()->isEnabled());
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(FetchFileList()).center());
    ASSERT_TRUE(Eventually([&] { return swarm.Calls() == 2; }));
    // The keys below go to the window again once the menu has closed (the
    // offscreen platform does not give the activation back by itself).
    ASSERT_TRUE(Eventually([&] { return !menu->isVisible(); }));
    QApplication::setActiveWindow(form.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    EXPECT_NE(Hint(FixtureInfoHash(1)).indexOf("being fetched"), -1);
    EXPECT_EQ(messages, QStringList{QStringLiteral("Fetching the file lists of 2 magnet links...")});
    TreeKey(Qt::Key_L, Qt::ControlModifier);  // again while they run: no second fetch

    TreeKey(Qt::Key_F5);  // Stop
    ASSERT_FALSE(form->Searching());
    EXPECT_EQ(swarm.StopsRequested(), 0u) << "Stop ends only what the search started";
    swarm.Open();
    ASSERT_TRUE(Eventually([&] {
        return !IsMagnet(FixtureInfoHash(1)) && Hint(FixtureInfoHash(2)).contains("not fetched");
    }));
    EXPECT_EQ(swarm.Calls(), 2u);
    ExpectFetchedAndFailedRows();
    EXPECT_EQ(messages.last().toStdString(), "No file list: no peer answered") << "the fetch asked for says why it failed";
}

TEST_F(FileListWindowTest, StopEndsTheAutomaticFetchesAndNothingArrivesLate)
{
    swarm.gateOpen = false;
    Show(true, true);
    ASSERT_TRUE(Search());
    ASSERT_TRUE(Eventually([&] { return swarm.Calls() == 2; }));
    const int files = form->FileTotal();
    QTest::mouseClick(form->findChild<QPushButton*>(QStringLiteral("btnSearch")), Qt::LeftButton);  // Stop
    ASSERT_FALSE(form->Searching());
    EXPECT_EQ(swarm.StopsRequested(), 2u);
    // The stopped fetches still claim their torrents; once every worker has
    // ended, whatever they would have sent has been handled.
    ASSERT_TRUE(Eventually([] { return TWorkerThread::RunningCount() == 0; }));
    QCoreApplication::processEvents();
    EXPECT_TRUE(IsMagnet(FixtureInfoHash(1)));
    EXPECT_TRUE(IsMagnet(FixtureInfoHash(2)));
    EXPECT_EQ(Hint(FixtureInfoHash(2)).indexOf("File list:"), -1);
    EXPECT_EQ(form->FileTotal(), files);
}

// With the fetches the search started, or the ones asked for, in flight.
TEST_F(FileListWindowTest, TheWindowClosesAtOnceWithAutomaticFetchesInFlight)
{
    CloseWithFetches(true);
}

TEST_F(FileListWindowTest, TheWindowClosesAtOnceWithFetchesAskedForInFlight)
{
    CloseWithFetches(false);
}

}  // namespace
}  // namespace sorvena::test

namespace sorvena::test {
namespace {

std::unique_ptr<TTorrentEx> FullTorrent(const std::string& hash, int files)
{
    RowSpec row{.name = "full", .hash = hash};
    for (int i = 0; i < files; ++i) row.files.push_back({"f" + std::to_string(i), 1});
    return MakeTorrent(row);
}

TEST_F(FileListWindowTest, ReportsForRowsThatAreGoneOrHaveTheirFilesAreDropped)
{
    Show(false, true);  // the search keeps running; nothing is fetched on its own
    ASSERT_TRUE(Search());
    const std::string one = FixtureInfoHash(1), two = FixtureInfoHash(2), three = FixtureInfoHash(3);
    form->MsgMetadataFound(one, FullTorrent(one, 2), "");
    ASSERT_FALSE(IsMagnet(one));
    const int total = form->FileTotal();
    EXPECT_EQ(total, FilesListed());

    const std::string unlisted(40, 'e');
    form->MsgMetadataFound(one, FullTorrent(one, 5), "");          // again: the row has its files
    form->MsgMetadataFound(one, nullptr, "a late failure");        // nor is it a magnet row any more
    form->MsgMetadataFound(three, FullTorrent(three, 5), "");      // a torrent-file row
    form->MsgMetadataFound(unlisted, FullTorrent(unlisted, 5), "");  // no row at all
    form->MsgMetadataFound(two, FullTorrent(three, 5), "");        // a torrent with another hash
    // The endpoint's own torrent file for the fetched row: no second row.
    form->MsgTorrentFound(FullTorrent(one, 2));
    EXPECT_EQ(form->Model()->TorrentRowCount(), 3);
    EXPECT_EQ(form->Model()->rowCount(Row(one)), 2);
    EXPECT_EQ(Hint(one).indexOf("File list:"), -1);
    EXPECT_TRUE(IsMagnet(two));
    EXPECT_EQ(form->FileTotal(), total);

    // A magnet row deleted while its fetch ran.
    ClickRow(two);
    TreeKey(Qt::Key_Delete);
    ASSERT_EQ(form->Model()->TorrentRowCount(), 2);
    form->MsgMetadataFound(two, FullTorrent(two, 4), "");
    EXPECT_EQ(form->Model()->TorrentRowCount(), 2);
    EXPECT_EQ(form->FileTotal(), total);
}

}  // namespace
}  // namespace sorvena::test
