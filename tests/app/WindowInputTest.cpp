// The window driven as a person drives it: keys go to the widget that has
// the keyboard focus, commands are picked from the real menus with the mouse
// or by their shortcuts, and the header and the option boxes are clicked.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>
#include <QTreeView>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "ResultRows.h"
#include "app/GuiMessages.h"
#include "app/Main.h"
#include "app/ResultModel.h"
#include "app/ResultTreeView.h"
#include "results/ResultsFile.h"
#include "search/SearchState.h"
#include "support/FixtureSites.h"
#include "support/FixtureTracker.h"
#include "support/PeerCheckRun.h"
#include "support/ScriptedUdpTracker.h"
#include "support/Waits.h"
#include "worker/WorkerThread.h"

namespace sorvena::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int WaitMs = 30000;  // a cap for busy machines, not a deadline

// The window with its boxes and dialogs answered by the test.
class TestForm final : public TMainForm {
public:
    using TMainForm::TMainForm;
    QStringList messages;
    QStringList summaries;
    QList<QUrl> opened;
    QString openAnswer;
    QString saveAnswer;
    bool deleteAnswer = true;
    bool busyPointerDuringMessage = false;
    bool openSucceeds = true;
    bool torrentProgram = true;  // the desktop has a program for torrent files
    QString saveProposed;        // the name the save dialog offered

protected:
    void ShowSummary(const QString& text) override { summaries << text; }
    QMessageBox::StandardButton ShowMessageBox(QMessageBox::Icon, const QString& text,
                                               QMessageBox::StandardButtons) override
    {
        if (QApplication::overrideCursor()) busyPointerDuringMessage = true;
        messages << text;
        return QMessageBox::Ok;
    }
    bool OpenDocument(const QUrl& url) override
    {
        opened << url;
        return openSucceeds;
    }
    QString ChooseOpenFile() override { return openAnswer; }
    QString ChooseSaveFile() override
    {
        saveProposed = SaveDialogFileName();
        return saveAnswer;
    }
    bool CanOpenTorrentFiles() override { return torrentProgram; }
    bool ConfirmDelete() override { return deleteAnswer; }
};

TIniOptions TestOptions()
{
    TIniOptions options = DefaultIniOptions();
    options.AutoCheckPeer = false;
    return options;
}

QString Plain(QString text)
{
    return text.remove(QLatin1Char('&'));
}

class WindowInputTest : public ::testing::Test {
protected:
    ~WindowInputTest() override
    {
        form.reset();
        EXPECT_TRUE(TWorkerThread::WaitForAll(10s)) << "workers still running";
        if (!dir.empty()) fs::remove_all(dir);
    }

    void Show(const TSiteHosts& hosts = TSiteHosts::Defaults(), const TIniOptions& options = TestOptions())
    {
        form = std::make_unique<TestForm>(hosts, options);
        form->State()->FetchPause = 5ms;
        PeerCheckOptions checks;
        checks.recheckWait = 20ms;
        checks.fetchPause = 5ms;
        form->SetPeerCheckOptions(checks);
        form->Model()->SetLocale(QLocale(QLocale::English, QLocale::UnitedStates));
        form->show();
        QApplication::setActiveWindow(form.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    }

    fs::path TempDir()
    {
        if (dir.empty()) {
            dir = fs::temp_directory_path() / ("sorvena-input-" + std::to_string(::getpid()));
            fs::create_directories(dir);
        }
        return dir;
    }

    template <typename T>
    T* Child(const char* name) const { return form->findChild<T*>(QString::fromLatin1(name)); }
    QAction* Action(const char* name) const { return Child<QAction>(name); }
    QTreeView* Tree() const { return form->Tree(); }
    TResultModel* Model() const { return form->Model(); }
    void Add(const RowSpec& row) { Model()->AddTorrentNode(MakeTorrent(row)); }

    // A key to whatever widget has the keyboard focus, as the keyboard sends
    // it: an open menu takes every key.
    void Key(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QWidget* focus = QApplication::activePopupWidget();
        if (!focus) focus = QApplication::focusWidget();
        ASSERT_NE(focus, nullptr);
        QTest::keyClick(focus, key, modifiers);
    }

    // Opens a menu of the menu bar with the mouse and clicks one of its
    // items; false when the menu or an enabled item of that caption is missing.
    bool ClickMenu(const QString& menuCaption, const QString& itemCaption)
    {
        QMenuBar* bar = form->menuBar();
        QAction* menuAction = nullptr;
        for (QAction* a : bar->actions())
            if (Plain(a->text()) == menuCaption) menuAction = a;
        if (!menuAction || !menuAction->menu()) return false;
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(menuAction).center());
        return ClickItem(menuAction->menu(), itemCaption);
    }

    // Opens the result list's context menu over a row and clicks an item.
    bool ClickContextMenu(const QModelIndex& over, const QString& itemCaption)
    {
        QWidget* viewport = Tree()->viewport();
        const QPoint pos = Tree()->visualRect(over).center();
        QContextMenuEvent event(QContextMenuEvent::Mouse, pos, viewport->mapToGlobal(pos));
        QApplication::sendEvent(viewport, &event);
        QMenu* menu = Child<QMenu>("pmTree");
        return menu && ClickItem(menu, itemCaption);
    }

    bool ClickItem(QMenu* menu, const QString& itemCaption)
    {
        if (!QTest::qWaitFor([&] { return menu->isVisible(); }, WaitMs)) return false;
        QAction* item = nullptr;
        for (QAction* a : menu->actions())
            if (Plain(a->text()) == itemCaption) item = a;
        if (!item || !item->isEnabled()) {
            menu->close();
            return false;
        }
        const QPoint at = menu->actionGeometry(item).center();
        QTest::mouseMove(menu, at);
        QTest::mouseClick(menu, Qt::LeftButton, {}, at);
        return QTest::qWaitFor([&] { return !menu->isVisible(); }, WaitMs);
    }

    void ClickRow(const QModelIndex& index, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        Tree()->scrollTo(index);
        QTest::mouseClick(Tree()->viewport(), Qt::LeftButton, modifiers, Tree()->visualRect(index).center());
    }

    void ClickHeader(int column)
    {
        QHeaderView* header = Tree()->header();
        const QPoint at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
                        header->height() / 2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
    }

    // Clicks a tab of the page control at the bottom of the window.
    void ClickTab(int page)
    {
        QTabBar* tabs = form->findChild<QTabWidget*>()->tabBar();
        QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(page).center());
    }

    void ClickBox(const char* name)
    {
        auto* box = Child<QCheckBox>(name);
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
    }

    QString Cell(int row, int column, const QModelIndex& parent = {}) const
    {
        return Tree()->model()->index(row, column, parent).data().toString();
    }

    FixtureSites sites;
    std::unique_ptr<TestForm> form;
    fs::path dir;
};

TEST_F(WindowInputTest, EnterInTheKeywordBoxStartsAndStopsTheSearch)
{
    for (const int slot : StartedSlots) sites.Add(slot).HoldQuery(0);
    Show(sites.Prepare("linux", 0));
    auto* keyword = Child<QComboBox>("cbKeyword");
    auto* button = Child<QPushButton>("btnSearch");
    ASSERT_EQ(QApplication::focusWidget(), keyword);  // the keyword box has the focus at start
    QTest::keyClicks(keyword, QStringLiteral("linux"));
    EXPECT_EQ(keyword->currentText(), QStringLiteral("linux"));

    Key(Qt::Key_Return);
    EXPECT_TRUE(form->Searching());
    EXPECT_EQ(QApplication::focusWidget(), button);
    Key(Qt::Key_F5);  // Stop
    EXPECT_FALSE(form->Searching());
    EXPECT_EQ(form->summaries.size(), 1);

    keyword->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), keyword);
    Key(Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_TRUE(form->Searching());
    EXPECT_EQ(QApplication::focusWidget(), button);
    QTest::mouseClick(button, Qt::LeftButton);  // Stop
    EXPECT_FALSE(form->Searching());

    // A blank keyword starts nothing.
    keyword->setFocus();
    keyword->setEditText(QString());
    Key(Qt::Key_Return);
    EXPECT_FALSE(form->Searching());
}

TEST_F(WindowInputTest, CheckPeersCountsTheSelectedTorrentsAgain)
{
    FixtureTracker tracker({{200, DictionaryPeers({"10.0.0.1", "10.0.0.2"})}});
    RefusingPort refusing;
    Show();
    Add({.name = "a", .peers = 5, .announce = tracker.Url()});
    Add({.name = "b", .files = {{"b1", 1}, {"b2", 2}}, .peers = 3, .announce = refusing.Url()});
    Tree()->expandAll();

    ClickRow(Model()->index(0, 0, Model()->index(1, 0)));  // a file row only
    EXPECT_FALSE(ClickMenu(QStringLiteral("Torrent"), QStringLiteral("Check Peers")));

    ClickRow(Model()->index(0, 0));
    Key(Qt::Key_P, Qt::ControlModifier);
    EXPECT_EQ(Cell(0, COL_PEERS), QString());  // blank while counting
    EXPECT_EQ(Cell(1, COL_PEERS), QStringLiteral("3"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return Cell(0, COL_PEERS) == QStringLiteral("2"); }, WaitMs));

    // From the Torrent menu, for a torrent whose tracker cannot be reached.
    ClickRow(Model()->index(1, 0));
    ASSERT_TRUE(ClickMenu(QStringLiteral("Torrent"), QStringLiteral("Check Peers")));
    EXPECT_EQ(Cell(1, COL_PEERS), QString());
    EXPECT_TRUE(QTest::qWaitFor([&] { return Cell(1, COL_PEERS) == QStringLiteral("0"); }, WaitMs));

    // From the context menu; these checks are no search's, so Stop leaves them.
    ClickRow(Model()->index(0, 0));
    ASSERT_TRUE(ClickContextMenu(Model()->index(0, 0), QStringLiteral("Check Peers")));
    EXPECT_EQ(form->State()->CheckThreadCount(), 0u);
    EXPECT_TRUE(QTest::qWaitFor([&] { return Cell(0, COL_PEERS) == QStringLiteral("2"); }, WaitMs));
}

TEST_F(WindowInputTest, ClosingTheWindowEndsEveryPeerCheckAtOnce)
{
    // Trackers that take the request and never answer, and limits far
    // beyond any test: only closing the window can end these checks.
    FixtureTracker silentHttp({{200, "", true}});
    ScriptedUdpTracker silentUdp([](const UdpRequest&, size_t) { return std::vector<std::string>{}; });
    ScriptedUdpTracker silentAutomatic([](const UdpRequest&, size_t) { return std::vector<std::string>{}; });
    ASSERT_TRUE(silentHttp.Listening() && silentUdp.Listening() && silentAutomatic.Listening());
    Show();
    PeerCheckOptions endless;
    endless.recheckWait = std::chrono::hours(24);
    endless.fetchLimits = {std::chrono::hours(24), std::chrono::hours(24), std::chrono::hours(24)};
    endless.udp.firstWait = std::chrono::hours(24);
    endless.udp.limit = std::chrono::hours(24);
    endless.checkLimit = std::chrono::hours(24);
    form->SetPeerCheckOptions(endless);
    Add({.name = "http", .peers = 5, .announce = silentHttp.Url()});
    Add({.name = "udp", .peers = 3, .announce = silentUdp.Url()});

    ClickRow(Model()->index(0, 0));
    Key(Qt::Key_A, Qt::ControlModifier);
    Key(Qt::Key_P, Qt::ControlModifier);  // Check Peers
    // One still counting for a search that has ended, as a search worker
    // registers it.
    const auto automatic =
        TCheckPingThread::Create(*TorrentWithTrackers(silentAutomatic.Url()), form->Messages(), endless);
    form->State()->AddCheckThread(automatic);
    automatic->Start();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return !silentHttp.Targets().empty() && !silentUdp.Requests().empty() &&
                   !silentAutomatic.Requests().empty();
        },
        WaitMs));

    // The title bar's close button does this.
    EXPECT_TRUE(form->close());
    EXPECT_FALSE(form->isVisible());
    EXPECT_TRUE(TWorkerThread::WaitForAll(EventWaitCap)) << "a check outlived the window";
    EXPECT_EQ(Cell(0, COL_PEERS), QString());
    EXPECT_EQ(Cell(1, COL_PEERS), QString());
}

TEST_F(WindowInputTest, SelectAllTakesTheRowsTheFiltersHide)
{
    TIniOptions options = TestOptions();
    options.AutoCheckPeer = true;  // the has-peers box is enabled only with it
    Show(TSiteHosts::Defaults(), options);
    Add({.name = "seen", .size = 1, .peers = 5});
    Add({.name = "nobody", .size = 2, .peers = 0});
    Add({.name = "multi", .files = {{"m1", 1}, {"m2", 2}}, .peers = 1});
    ClickTab(1);
    ClickBox("cbOnlyShowHasPeers");
    ASSERT_TRUE(Child<QCheckBox>("cbOnlyShowHasPeers")->isChecked());
    ClickTab(0);
    ASSERT_EQ(Tree()->model()->rowCount(), 2);  // "nobody" is hidden

    ClickRow(Model()->index(0, 0));
    Key(Qt::Key_A, Qt::ControlModifier);
    ASSERT_TRUE(ClickMenu(QStringLiteral("Torrent"), QStringLiteral("Download")));
    EXPECT_EQ(form->opened.size(), 3);  // every torrent, the hidden one too
    for (const QUrl& url : form->opened) QFile::remove(url.toLocalFile());

    // A Find match on the hidden row is the focused and selected row.
    Key(Qt::Key_F, Qt::ControlModifier);
    auto* findText = Child<QLineEdit>("edFindText");
    ASSERT_TRUE(QTest::qWaitFor([&] { return findText->isVisible(); }, WaitMs));
    findText->selectAll();
    QTest::keyClicks(findText, QStringLiteral("nobody"));
    QTest::mouseClick(Child<QPushButton>("btnFindNext"), Qt::LeftButton);
    EXPECT_TRUE(form->messages.isEmpty()) << form->messages.join('|').toStdString();
    form->UpdateActions();
    EXPECT_TRUE(Action("actSaveTorrent")->isEnabled());
    Key(Qt::Key_Delete);
    ASSERT_EQ(Model()->TorrentRowCount(), 2);
    for (int i = 0; i < 2; ++i) EXPECT_NE(Model()->TorrentAt(i)->TorrentName, "nobody");

    // Select All and Delete leave nothing, hidden rows included.
    Add({.name = "nobody again", .size = 3, .peers = 0});
    ClickRow(Model()->index(0, 0));
    Key(Qt::Key_A, Qt::ControlModifier);
    Key(Qt::Key_Delete);
    EXPECT_EQ(Model()->TorrentRowCount(), 0);
    ClickTab(1);
    ClickBox("cbOnlyShowHasPeers");
    EXPECT_EQ(Tree()->model()->rowCount(), 0);
}

TEST_F(WindowInputTest, FindWhatLabelLeadsToItsField)
{
    Show();
    Add({.name = "song.mp3", .size = 1});
    Key(Qt::Key_F, Qt::ControlModifier);
    auto* dialog = Child<QDialog>("FindDialog");
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog));
    auto* matchCase = Child<QCheckBox>("cbFindMatchCase");
    QTest::mouseClick(matchCase, Qt::LeftButton, {}, QPoint(8, matchCase->height() / 2));  // focus there
    ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::focusWidget() == matchCase; }, WaitMs))
        << (QApplication::focusWidget() ? QApplication::focusWidget()->metaObject()->className() : "none");
    Key(Qt::Key_N, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), Child<QLineEdit>("edFindText"))
        << QApplication::focusWidget()->metaObject()->className() << " "
        << QApplication::focusWidget()->objectName().toStdString() << " active "
        << (QApplication::activeWindow() ? QApplication::activeWindow()->objectName().toStdString() : "none");
    QLabel* label = nullptr;
    for (QLabel* l : dialog->findChildren<QLabel*>())
        if (l->text().contains(QLatin1String("what"))) label = l;
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->buddy(), Child<QLineEdit>("edFindText"));
}

TEST_F(WindowInputTest, AFailedLoadKeepsTheListAndNamesTheFile)
{
    Show();
    Add({.name = "kept", .size = 1});
    Add({.name = "also kept", .size = 2});
    const fs::path folder = TempDir();
    std::ofstream(folder / "no.vrk") << "not a zip";
    // A ZIP archive whose comment has no ";": no keyword text.
    std::ofstream(folder / "nokeyword.vrk", std::ios::binary)
        << std::string("PK\x05\x06", 4) + std::string(16, '\0') + std::string("\x01\x00", 2) + "5";
    for (const char* name : {"no.vrk", "nokeyword.vrk", "missing.vrk"}) {
        SCOPED_TRACE(name);
        form->messages.clear();
        form->openAnswer = QString::fromStdString((folder / name).string());
        ASSERT_TRUE(ClickMenu(QStringLiteral("Torrent"), QStringLiteral("Load Search Result...")));
        ASSERT_EQ(form->messages.size(), 1);
        const QString text = form->messages.front();
        EXPECT_EQ(text.count(QString::fromLatin1(name)), 1) << text.toStdString();
        EXPECT_LE(text.count(QLatin1String("zip archive"), Qt::CaseInsensitive), 1) << text.toStdString();
        EXPECT_EQ(Model()->TorrentRowCount(), 2);
        EXPECT_EQ(Cell(0, COL_NAME), QStringLiteral("kept"));
        EXPECT_FALSE(form->busyPointerDuringMessage);
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    }
}

TEST_F(WindowInputTest, ATorrentWithoutADateHasAnEmptyDateCell)
{
    Show();
    Add({.name = "dated", .size = 1, .createdAt = 45000.5});  // 2023-03-15 12:00
    Add({.name = "undated", .size = 2});
    EXPECT_EQ(Cell(0, COL_DATE), QStringLiteral("3/15/2023"));
    EXPECT_EQ(Cell(1, COL_DATE), QString());
    const QModelIndex undatedDate = Tree()->model()->index(1, COL_DATE);
    EXPECT_FALSE(undatedDate.data(Qt::ToolTipRole).isValid());
    EXPECT_FALSE(Tree()->model()->index(1, COL_NAME).data(Qt::ToolTipRole).toString().contains(QLatin1String("1899")));
    ClickHeader(COL_DATE);  // ascending: no date is the earliest
    EXPECT_EQ(Cell(0, COL_NAME), QStringLiteral("undated"));

    struct Case {
        QLocale locale;
        const char* dated;
    };
    const Case cases[] = {
        {QLocale(QLocale::German, QLocale::Germany), "15.03.2023"},
        {QLocale(QLocale::English, QLocale::UnitedKingdom), "15/03/2023"},
        {QLocale(QLocale::Japanese, QLocale::Japan), "2023/03/15"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.locale.name().toStdString());
        Model()->SetLocale(c.locale);
        EXPECT_EQ(Cell(1, COL_DATE), QString::fromLatin1(c.dated));
        EXPECT_EQ(Cell(0, COL_DATE), QString());
    }
}

TEST_F(WindowInputTest, CheckUpdateSaysWhyItFailed)
{
    Show();
    form->SetUpdateUrl("http://" + DeadHost() + "/latest.ini");
    ASSERT_TRUE(ClickMenu(QStringLiteral("Help"), QStringLiteral("Check Update")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form->messages.isEmpty(); }, WaitMs));
    ASSERT_EQ(form->messages.size(), 1);
    EXPECT_TRUE(form->messages.front().contains(QLatin1String("could not be fetched"))) << form->messages.front().toStdString();
    EXPECT_TRUE(form->messages.front().contains(QLatin1String("refused"))) << form->messages.front().toStdString();

    FixtureServer missing([](const std::string&) { return FixtureServer::Reply{404, "gone"}; });
    form->SetUpdateUrl("http://" + missing.Host() + "/latest.ini");
    form->messages.clear();
    ASSERT_TRUE(ClickMenu(QStringLiteral("Help"), QStringLiteral("Check Update")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form->messages.isEmpty(); }, WaitMs));
    EXPECT_TRUE(form->messages.front().contains(QLatin1String("404"))) << form->messages.front().toStdString();

    FixtureServer current([](const std::string&) { return FixtureServer::Reply{200, "[Update]\nVersion=1.00\n"}; });
    form->SetUpdateUrl("http://" + current.Host() + "/latest.ini");
    form->messages.clear();
    ASSERT_TRUE(ClickMenu(QStringLiteral("Help"), QStringLiteral("Check Update")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form->messages.isEmpty(); }, WaitMs));
    EXPECT_EQ(form->messages, QStringList{QStringLiteral("No update available.")});
}

TEST_F(WindowInputTest, MenusFromTheKeyboard)
{
    Show();
    for (QAction* menu : form->menuBar()->actions()) {
        SCOPED_TRACE(menu->text().toStdString());
        EXPECT_TRUE(menu->text().contains(QLatin1Char('&')));
        for (QAction* item : menu->menu()->actions()) {
            if (!item->isSeparator()) {
                EXPECT_TRUE(item->text().contains(QLatin1Char('&'))) << item->text().toStdString();
            }
        }
    }
    auto* keyword = Child<QComboBox>("cbKeyword");
    ASSERT_EQ(QApplication::focusWidget(), keyword);
    QMenu* torrentMenu = form->menuBar()->actions().at(0)->menu();
    QSignalSpy f10(Action("actMenuBar"), &QAction::triggered);
    Key(Qt::Key_F10);
    EXPECT_EQ(f10.count(), 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return torrentMenu->isVisible(); }, 3000));
    Key(Qt::Key_Escape);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !torrentMenu->isVisible(); }, WaitMs));

    // Alt+H, then A: the About box.
    keyword->setFocus();
    QMenu* helpMenu = form->menuBar()->actions().at(3)->menu();
    Key(Qt::Key_H, Qt::AltModifier);
    ASSERT_TRUE(QTest::qWaitFor([&] { return helpMenu->isVisible(); }, WaitMs));
    Key(Qt::Key_A);
    QDialog* about = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] { return (about = Child<QDialog>("AboutBox")) && about->isVisible(); }, WaitMs));
    EXPECT_EQ(about->windowTitle(), QStringLiteral("About Sorvena"));
    EXPECT_TRUE(Child<QLabel>("lblAboutName")->text().startsWith(QLatin1String("Sorvena v1")));
    EXPECT_GE(about->width(), about->fontMetrics().horizontalAdvance(about->windowTitle()) * 2);
    // The manual is a link away.
    auto* links = Child<QLabel>("lblAboutLinks");
    EXPECT_TRUE(links->text().contains(QLatin1String("User manual")));
    emit links->linkActivated(QStringLiteral("manual"));
    ASSERT_EQ(form->opened.size(), 1);
    QTest::keyClick(about, Qt::Key_Escape);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !Child<QDialog>("AboutBox"); }, WaitMs));

    EXPECT_FALSE(form->windowIcon().pixmap(32, 32).isNull());  // the shipped SVG
}

TEST_F(WindowInputTest, SaveTorrentProposesTheTorrentsOwnName)
{
    Show();
    Add({.name = "Big: \"Show\" 1/2?", .size = 1});
    ClickRow(Model()->index(0, 0));
    const QString path = QString::fromStdString((TempDir() / "saved.torrent").string());
    form->saveAnswer = path;
    Key(Qt::Key_T, Qt::ControlModifier);
    EXPECT_EQ(form->saveProposed, QStringLiteral("Big Show 12.torrent"));
    EXPECT_TRUE(QFile::exists(path));
}

TEST_F(WindowInputTest, DownloadSaysWhenNoProgramTakesTorrentFiles)
{
    Show();
    Add({.name = "one", .size = 1});
    Add({.name = "two", .size = 2});
    form->torrentProgram = false;
    ClickRow(Model()->index(0, 0));
    ClickRow(Model()->index(1, 0), Qt::ControlModifier);
    Key(Qt::Key_D, Qt::ControlModifier);
    ASSERT_EQ(form->messages.size(), 1);
    EXPECT_TRUE(form->messages.front().startsWith(QLatin1String("No program is registered to open torrent files")));
    EXPECT_TRUE(form->opened.isEmpty());
    for (const char* name : {"one.torrent", "two.torrent"}) {
        const QString file = QDir(QDir::tempPath()).filePath(QString::fromLatin1(name));
        EXPECT_TRUE(QFile::exists(file)) << name;
        QFile::remove(file);
    }

    // A program is registered but does not start: said once, not per torrent.
    form->torrentProgram = true;
    form->openSucceeds = false;
    form->messages.clear();
    Key(Qt::Key_D, Qt::ControlModifier);
    EXPECT_EQ(form->messages.size(), 1);
    EXPECT_EQ(form->opened.size(), 1);
    for (const char* name : {"one.torrent", "two.torrent"}) QFile::remove(QDir(QDir::tempPath()).filePath(QString::fromLatin1(name)));
}

TEST_F(WindowInputTest, EveryCaptionFitsAndNamesTakeTheFreeWidth)
{
    Show();
    form->resize(1100, 700);
    Add({.name = "single.iso", .size = 1});
    Add({.name = "multi", .files = {{"a", 1}, {"b", 2}}});
    QHeaderView* header = Tree()->header();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Tree()->viewport()->width() > 900; }, WaitMs));
    const QFontMetrics metrics(header->font());
    const int arrow = header->style()->pixelMetric(QStyle::PM_HeaderMarkSize, nullptr, header);
    const int margin = header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
    int others = 0;
    for (int column = 0; column < ResultColumnCount; ++column) {
        const QString caption = header->model()->headerData(column, Qt::Horizontal).toString();
        SCOPED_TRACE(caption.toStdString());
        EXPECT_GE(header->sectionSize(column), metrics.horizontalAdvance(caption) + arrow + 2 * margin);
        if (column != COL_NAME) others += header->sectionSize(column);
    }
    EXPECT_EQ(header->sectionSize(COL_NAME), Tree()->viewport()->width() - others);  // the free width
    EXPECT_GE(Tree()->columnWidth(COL_SIZE), Tree()->fontMetrics().horizontalAdvance(QStringLiteral("1023.99 MB")));
    auto* category = Child<QComboBox>("cbCat");
    EXPECT_GE(category->width(), category->sizeHint().width());  // "Application" whole

    // A name starts after the icon's place whether or not the row has an icon.
    const QModelIndex multi = Tree()->model()->index(1, COL_NAME);
    QStyleOptionViewItem option;
    option.initFrom(Tree());
    option.decorationSize = QSize(16, 16);
    const int hint = Tree()->itemDelegateForIndex(multi)->sizeHint(option, multi).width();
    EXPECT_GE(hint, Tree()->fontMetrics().horizontalAdvance(QStringLiteral("multi")) + 16);
}

TEST_F(WindowInputTest, TheStatusBarSaysWhichSitesFailedAndWhy)
{
    sites.Add(SITE_TORRENTREACTOR).SetPages({{FixtureLinkText(1), FixtureLinkText(2)}});
    sites.SetHost(SITE_ISOHUNT, DeadHost());
    FixtureServer missing([](const std::string&) { return FixtureServer::Reply{404, "gone"}; });
    sites.SetHost(SITE_GOOGLE, missing.Host());
    sites.Add(SITE_BTBOT).HoldQuery(0);  // still searching until Stop
    Show(sites.Prepare("linux", 0));
    QTest::keyClicks(Child<QComboBox>("cbKeyword"), QStringLiteral("linux"));
    Key(Qt::Key_Return);
    ASSERT_TRUE(form->Searching());
    const auto statusSays = [&](const char* text) { return form->StatusText().contains(QLatin1String(text)); };
    ASSERT_TRUE(QTest::qWaitFor([&] { return statusSays("2 of 8 sites could not be reached"); }, WaitMs))
        << form->StatusText().toStdString();
    EXPECT_TRUE(form->StatusText().startsWith(QLatin1String("Searching: ")));

    // The Sites button lists every searched site and how it fares.
    auto* button = Child<QToolButton>("btnSites");
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->SiteStateText(SITE_TORRENTREACTOR) == "2 torrents"; }, WaitMs));
    ASSERT_TRUE(button->isVisible());
    EXPECT_TRUE(button->text().contains(QLatin1String("1 searching"))) << button->text().toStdString();
    EXPECT_TRUE(button->text().contains(QLatin1String("2 failed"))) << button->text().toStdString();
    QTest::mouseClick(button, Qt::LeftButton);
    auto* list = Child<QMenu>("pmSites");
    ASSERT_TRUE(QTest::qWaitFor([&] { return list->isVisible(); }, WaitMs));
    const QString text = Child<QLabel>("lblSites")->text();
    for (const char* part : {"isoHunt", "connection refused", "Google", "HTTP status 404", "TorrentReactor",
                             "2 torrents", "BTBot", "searching"})
        EXPECT_TRUE(text.contains(QLatin1String(part))) << part << " in " << text.toStdString();
    Key(Qt::Key_Escape);

    QTest::mouseClick(Child<QPushButton>("btnSearch"), Qt::LeftButton);  // Stop
    EXPECT_FALSE(form->Searching());
    EXPECT_EQ(form->StatusText(), QStringLiteral("2 torrents and 2 files found. 2 of 8 sites could not be reached."));
    EXPECT_EQ(form->SiteStateText(SITE_BTBOT), QStringLiteral("stopped, 0 torrents"));
    EXPECT_EQ(form->summaries, QStringList{QStringLiteral("2 torrents and 2 files found.")});  // the box as it was
}

TEST_F(WindowInputTest, ASearchWithNoSiteReachableSaysSo)
{
    for (const int slot : StartedSlots) sites.SetHost(slot, DeadHost());
    Show(sites.Prepare("linux", 0));
    auto* list = static_cast<TResultTreeView*>(Tree());
    EXPECT_EQ(list->EmptyText(), QStringLiteral("Type a keyword below and press Enter to search."));
    QTest::keyClicks(Child<QComboBox>("cbKeyword"), QStringLiteral("linux"));
    Key(Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form->Searching(); }, WaitMs));
    EXPECT_EQ(form->summaries, QStringList{QStringLiteral("0 torrents and 0 files found.")});
    EXPECT_EQ(form->StatusText(),
              QStringLiteral("0 torrents and 0 files found. No site could be reached (connection refused)."));
    EXPECT_TRUE(Child<QToolButton>("btnSites")->text().contains(QLatin1String("8 failed")));
    EXPECT_TRUE(list->EmptyText().startsWith(QLatin1String("No site could be reached (connection refused).")))
        << list->EmptyText().toStdString();
}

}  // namespace
}  // namespace sorvena::test
