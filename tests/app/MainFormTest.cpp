// The main window: the search state rules of the three worker messages,
// keyboard shortcuts against the keyword box, a whole search against fixture
// sites on 127.0.0.1, and closing while workers fetch and send.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <QTreeView>

#include <chrono>
#include <thread>

#include "support/FixtureSites.h"
#include "support/Waits.h"
#include "EventuallyInLoop.h"
#include "ResultRows.h"
#include "app/GuiMessages.h"
#include "app/Main.h"
#include "app/ResultModel.h"
#include "search/SearchState.h"
#include "worker/WorkerThread.h"

namespace sorvena::test {
namespace {

using namespace std::chrono_literals;

constexpr int WindowWaitMs = static_cast<int>(std::chrono::milliseconds(EventWaitCap).count());

// The window with its report captured instead of shown in a modal box.
class TestForm final : public TMainForm {
public:
    using TMainForm::TMainForm;
    QStringList summaries;

protected:
    void ShowSummary(const QString& text) override { summaries << text; }
};

TIniOptions TestOptions()
{
    TIniOptions options = DefaultIniOptions();
    options.AutoCheckPeer = false;  // no tracker traffic
    return options;
}

class MainFormTest : public ::testing::Test {
protected:
    ~MainFormTest() override
    {
        form.reset();
        EXPECT_TRUE(TWorkerThread::WaitForAll(EventWaitCap)) << "workers still running";
    }

    // Every started site holds its first query: the search runs, and no
    // worker sends anything until it is asked to end.
    void CreateForm(bool holdQueries)
    {
        if (holdQueries)
            for (const int slot : StartedSlots) sites.Add(slot).HoldQuery(0);
        form = std::make_unique<TestForm>(sites.Prepare("linux", 0), TestOptions());
        form->State()->FetchPause = 5ms;
        Keyword()->setEditText(QStringLiteral("linux"));
    }

    QComboBox* Keyword() const { return form->findChild<QComboBox*>(QStringLiteral("cbKeyword")); }
    QAction* Action(const char* name) const { return form->findChild<QAction*>(QString::fromLatin1(name)); }

    FixtureSites sites;
    std::unique_ptr<TestForm> form;
};

TEST_F(MainFormTest, MessagesFollowTheSearchState)
{
    CreateForm(true);
    form->actSearchOrStopExecute();
    ASSERT_TRUE(form->Searching());
    EXPECT_FALSE(Keyword()->isEnabled());
    EXPECT_EQ(Action("actSearchOrStop")->text(), "Stop");

    form->MsgTorrentFound(MakeTorrent({.name = "a", .files = {{"x", 1}, {"y", 2}}}));
    form->MsgTorrentFound(nullptr);
    form->MsgSiteDone(SITE_COUNT);  // not a site: ignored
    form->MsgSiteDone(StartedSlots[0]);
    EXPECT_EQ(form->TorrentCount(), 1);
    EXPECT_EQ(form->FileTotal(), 2);
    EXPECT_TRUE(form->Searching());
    EXPECT_EQ(form->StatusText(), "Searching: 7 of 8 sites busy, 1 torrents, 2 files");

    form->actSearchOrStopExecute();  // Stop
    EXPECT_FALSE(form->Searching());
    EXPECT_TRUE(Keyword()->isEnabled());
    EXPECT_EQ(form->summaries, QStringList{"1 torrents and 2 files found."});

    // Late messages change nothing; peer counts still apply.
    form->MsgTorrentFound(MakeTorrent({.name = "late"}));
    for (const int slot : StartedSlots) form->MsgSiteDone(slot);
    form->MsgPeerCount("a", 4);
    form->MsgPeerCount("", 5);
    EXPECT_EQ(form->TorrentCount(), 1);
    EXPECT_EQ(form->Model()->TorrentRowCount(), 1);
    EXPECT_EQ(form->summaries.size(), 1);
    EXPECT_EQ(form->Model()->NodeData(form->Model()->index(0, 0)).Torrent->PeerCount, 4);
    EXPECT_EQ(form->StatusText(), "1 torrents and 2 files found.");
}

TEST_F(MainFormTest, SearchEndsWhenEveryStartedSiteIsDone)
{
    CreateForm(true);
    form->actSearchOrStopExecute();
    form->Model()->HeaderClick(COL_PEERS);
    for (const char* name : {"a", "b", "c"}) form->MsgTorrentFound(MakeTorrent({.name = name}));
    // Peer counts arrive while searching and re-sort by Peers.
    form->MsgPeerCount("a", 7);
    form->MsgPeerCount("c", 2);
    auto names = [&] {
        std::string out;
        for (int row = 0; row < form->Model()->rowCount(); ++row)
            out += form->Model()->index(row, 0).data().toString().toStdString();
        return out;
    };
    EXPECT_EQ(names(), "bca");
    for (const int slot : StartedSlots) {
        EXPECT_TRUE(form->Searching());
        form->MsgSiteDone(slot);
    }
    EXPECT_FALSE(form->Searching());
    EXPECT_EQ(form->summaries, QStringList{"3 torrents and 3 files found."});
    form->MsgPeerCount("b", 9);  // idle: applied and re-sorted
    EXPECT_EQ(names(), "cab");
}

TEST_F(MainFormTest, EnabledShortcutsWinOverTheKeywordBox)
{
    CreateForm(false);
    form->show();
    QApplication::setActiveWindow(form.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get(), WindowWaitMs));
    QLineEdit* edit = Keyword()->lineEdit();
    edit->setFocus();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get(), WindowWaitMs));

    struct Case {
        bool rows;
        QKeyCombination key;
        const char* action;  // triggered, or the box gets the key
        const char* textAfter;
    };
    const Case cases[] = {
        {true, Qt::CTRL | Qt::Key_A, "actSelectAll", "linux"},
        {false, Qt::CTRL | Qt::Key_A, nullptr, "linux"},  // selects the box's text
        {true, Qt::CTRL | Qt::Key_C, "actCollapseAll", "linux"},
        {true, Qt::CTRL | Qt::Key_E, "actExpandAll", "linux"},
        {false, Qt::CTRL | Qt::Key_C, nullptr, "linux"},
        {true, QKeyCombination(Qt::Key_Delete), nullptr, "linu"},  // Delete is not enabled: the box edits
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(QKeySequence(c.key).toString().toStdString() + (c.rows ? " with rows" : " without rows"));
        form->Model()->Clear();
        if (c.rows) form->Model()->AddTorrentNode(MakeTorrent({.name = "t", .files = {{"x", 1}, {"y", 2}}}));
        edit->setText(QStringLiteral("linux"));
        edit->setCursorPosition(4);
        const std::string names[] = {"actSelectAll", "actCollapseAll", "actExpandAll", "actDeleteTorrent"};
        std::vector<std::unique_ptr<QSignalSpy>> spies;
        for (const std::string& name : names)
            spies.push_back(std::make_unique<QSignalSpy>(Action(name.c_str()), &QAction::triggered));
        QTest::keyClick(edit, c.key.key(), c.key.keyboardModifiers());
        for (size_t i = 0; i < spies.size(); ++i)
            EXPECT_EQ(spies[i]->count(), c.action && names[i] == c.action ? 1 : 0) << names[i];
        EXPECT_EQ(edit->text().toStdString(), c.textAfter);
        if (!c.action && c.key == (Qt::CTRL | Qt::Key_A)) {
            EXPECT_EQ(edit->selectedText(), "linux");
        }
    }
    // Select All takes every row, file rows of collapsed torrents too: they
    // show selected once expanded.
    Action("actSelectAll")->trigger();
    EXPECT_EQ(form->Tree()->selectionModel()->selectedRows().size(), 1);
    Action("actExpandAll")->trigger();
    EXPECT_EQ(form->Tree()->selectionModel()->selectedRows().size(), 3);
}

TEST_F(MainFormTest, MouseSelectionStaysWithinOneParent)
{
    CreateForm(false);
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get(), WindowWaitMs));
    TResultModel* model = form->Model();
    model->AddTorrentNode(MakeTorrent({.name = "a", .files = {{"a1", 1}, {"a2", 2}}}));
    model->AddTorrentNode(MakeTorrent({.name = "b", .files = {{"b1", 1}, {"b2", 2}}}));
    QTreeView* tree = form->Tree();
    tree->expandAll();
    QCoreApplication::processEvents();
    const QModelIndex a = model->index(0, 0), b = model->index(1, 0);
    const auto click = [&](const QModelIndex& index, Qt::KeyboardModifiers modifiers) {
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, modifiers, tree->visualRect(index).center());
    };
    const auto selected = [&] {
        QStringList names;
        for (const QModelIndex& row : tree->selectionModel()->selectedRows()) names << row.data().toString();
        names.sort();
        return names;
    };

    click(a, Qt::NoModifier);
    click(b, Qt::ControlModifier);
    EXPECT_EQ(selected(), (QStringList{"a", "b"}));
    click(model->index(0, 0, b), Qt::ControlModifier);  // a file row: the torrent rows go
    EXPECT_EQ(selected(), (QStringList{"b1"}));
    click(model->index(1, 0, b), Qt::ControlModifier);  // a file of the same torrent joins
    EXPECT_EQ(selected(), (QStringList{"b1", "b2"}));
    click(model->index(0, 0, a), Qt::ControlModifier);  // a file of another torrent replaces them
    EXPECT_EQ(selected(), (QStringList{"a1"}));
    click(b, Qt::ShiftModifier);  // a range across levels keeps the torrent rows only
    EXPECT_EQ(selected(), (QStringList{"b"}));

    Action("actSelectAll")->trigger();  // Select All is not restricted
    EXPECT_EQ(selected().size(), 6);
}

TEST_F(MainFormTest, WholeSearchThroughTheWindow)
{
    sites.Add(SITE_TORRENTREACTOR).SetPages({{FixtureLinkText(1), FixtureLinkText(2)}, {FixtureLinkText(3)}});
    // Torrent 2 on both sites; each page starts with a torrent only its site
    // has, so which site hands 2 over first does not end the other's page.
    sites.Add(SITE_ISOHUNT).SetPages({{FixtureLinkText(4), FixtureLinkText(2)}});
    CreateForm(false);
    form->show();
    QTest::keyClick(Keyword()->lineEdit(), Qt::Key_Return);  // Enter starts the search
    EXPECT_TRUE(form->Searching());
    ASSERT_TRUE(Eventually([&] { return !form->Searching(); }));
    EXPECT_EQ(form->summaries, QStringList{"4 torrents and 4 files found."});
    EXPECT_EQ(form->Model()->TorrentRowCount(), 4);
    EXPECT_EQ(Keyword()->itemText(0), "linux");
    EXPECT_EQ(form->findChild<QPushButton*>(QStringLiteral("btnSearch"))->text(), "Search");

    // For a look at the window: SORVENA_SCREENSHOT=shot.png (under Xvfb with QT_QPA_PLATFORM=xcb).
    if (const QString path = qEnvironmentVariable("SORVENA_SCREENSHOT"); !path.isEmpty()) {
        form->resize(760, 300);
        form->Model()->HeaderClick(COL_NAME);
        form->Tree()->setCurrentIndex(form->Model()->index(1, COL_SIZE));
        QTest::qWait(200);
        EXPECT_TRUE(form->grab().save(path));
        form->findChild<QTabWidget*>()->setCurrentIndex(1);
        QTest::qWait(100);
        EXPECT_TRUE(form->grab().save(QString(path).replace(QLatin1String(".png"), QLatin1String("-option.png"))));
    }
}

TEST_F(MainFormTest, ClosingDuringASearchReleasesBlockedWorkers)
{
    // Two sites whose workers will wait in a send (nothing handles messages
    // until the window closes), the rest held in their first fetch.
    FixtureSite& reactor = sites.Add(SITE_TORRENTREACTOR);
    reactor.SetPages({{FixtureLinkText(1)}});
    FixtureSite& isoHunt = sites.Add(SITE_ISOHUNT);
    isoHunt.SetPages({{FixtureLinkText(2)}});
    for (const int slot : StartedSlots)
        if (slot != SITE_TORRENTREACTOR && slot != SITE_ISOHUNT) sites.Add(slot).HoldQuery(0);
    CreateForm(false);
    form->actSearchOrStopExecute();
    // Both torrents served: their workers are on their way into a send that
    // nothing handles (this thread runs no events).
    for (const FixtureSite* site : {&reactor, &isoHunt})
        while (site->Downloads().empty()) std::this_thread::sleep_for(1ms);
    form->close();
    EXPECT_TRUE(form->Messages()->IsClosed());
    // Without the release the two would wait for ever.
    EXPECT_TRUE(TWorkerThread::WaitForAll(EventWaitCap));
    EXPECT_EQ(form->Model()->TorrentRowCount(), 0);
    EXPECT_FALSE(form->Messages()->SiteDone(0));
}

TEST(GuiMessagesTest, SendsRunOnTheGuiThreadAndStopAtClose)
{
    QObject receiver;
    std::vector<std::thread::id> handledOn;
    TGuiMessages::Handlers handlers;
    handlers.siteDone = [&](int) { handledOn.push_back(std::this_thread::get_id()); };
    auto messages = std::make_shared<TGuiMessages>(&receiver, std::move(handlers));

    bool sent = false;
    std::thread worker([&] { sent = messages->SiteDone(1); });
    for (auto until = std::chrono::steady_clock::now() + EventWaitCap;
         handledOn.empty() && std::chrono::steady_clock::now() < until;)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    worker.join();
    EXPECT_TRUE(sent);
    EXPECT_EQ(handledOn, std::vector<std::thread::id>{std::this_thread::get_id()});

    // A send waiting for its turn when the receiver closes returns false.
    std::thread waiting([&] { sent = messages->SiteDone(2); });
    while (messages->QueuedCount() == 0) std::this_thread::sleep_for(1ms);
    messages->Close();
    waiting.join();
    EXPECT_FALSE(sent);
    QCoreApplication::processEvents();
    EXPECT_EQ(handledOn.size(), 1u);
}

}  // namespace
}  // namespace sorvena::test
