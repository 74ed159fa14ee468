// The window's settings, desktop integration and Help menu: the first run
// (settings file and results-file registration in a temporary XDG home), a
// stored file applied and written back, the auto-check/has-peers coupling,
// a results file named on the command line, and Check Update against a
// scripted server on 127.0.0.1.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QScreen>
#include <QProcess>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "support/ScriptedServer.h"
#include "support/Waits.h"
#include "EventuallyInLoop.h"
#include "app/DesktopIntegration.h"
#include "app/Main.h"
#include "app/ResultModel.h"
#include "app/Settings.h"
#include "base/StringUtil.h"
#include "metainfo/TorrentFile.h"
#include "results/ResultsFile.h"
#include "search/SearchState.h"
#include "worker/WorkerThread.h"

namespace sorvena::test {
namespace {

using namespace std::chrono_literals;

// The window with its boxes answered and its documents recorded.
class TestForm final : public TMainForm {
public:
    using TMainForm::TMainForm;
    QStringList boxes;
    QList<QUrl> opened;
    QMessageBox::StandardButton answer = QMessageBox::Yes;

protected:
    void ShowSummary(const QString& text) override { boxes << text; }
    QMessageBox::StandardButton ShowMessageBox(QMessageBox::Icon, const QString& text,
                                               QMessageBox::StandardButtons) override
    {
        boxes << text;
        return answer;
    }
    bool OpenDocument(const QUrl& url) override
    {
        opened << url;
        return true;
    }
};

std::string ReadAll(const QString& path)
{
    std::ifstream in(path.toStdString(), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteAll(const QString& path, const std::string& text)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    std::ofstream(path.toStdString(), std::ios::binary) << text;
}

class SettingsTest : public ::testing::Test {
protected:
    SettingsTest() { qputenv("XDG_DATA_HOME", dataHome.path().toLocal8Bit()); }
    ~SettingsTest() override
    {
        form.reset();
        qunsetenv("XDG_DATA_HOME");
        EXPECT_TRUE(TWorkerThread::WaitForAll(EventWaitCap));
    }

    void Open(const QStringList& arguments = {QStringLiteral("sorvena")})
    {
        form = std::make_unique<TestForm>(settingsPath, arguments);
    }
    template <typename T>
    T* Child(const char* name) const { return form->findChild<T*>(QString::fromLatin1(name)); }
    QCheckBox* Box(const char* name) const { return Child<QCheckBox>(name); }
    QStringList History() const
    {
        QStringList items;
        auto* keyword = Child<QComboBox>("cbKeyword");
        for (int i = 0; i < keyword->count(); ++i) items << keyword->itemText(i);
        return items;
    }
    QTemporaryDir dataHome;
    QTemporaryDir configDir;
    QString settingsPath = QDir(configDir.path()).filePath(QStringLiteral("sub/vrk.ini"));
    std::unique_ptr<TestForm> form;
};

TEST_F(SettingsTest, FirstRunCreatesTheFileAndRegistersResultsFiles)
{
    Open();
    EXPECT_EQ(ReadAll(settingsPath), "");
    // Not the designed 500 x 350 at 200, 200: most of the screen, on it.
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_TRUE(screen.contains(form->geometry())) << form->geometry().width() << "x" << form->geometry().height();
    EXPECT_GE(form->width(), std::min(1000, screen.width() * 9 / 10));
    EXPECT_GE(form->height(), std::min(650, screen.height() * 8 / 10));
    EXPECT_TRUE(Box("cbAutoCheckPeers")->isChecked());
    EXPECT_FALSE(Box("cbOnlyShowHasPeers")->isChecked());
    EXPECT_FALSE(Box("cbOnlyShowKeywordFile")->isChecked());
    EXPECT_FALSE(Box("cbAutoUpdate")->isChecked());
    EXPECT_TRUE(Box("cbSaveHistory")->isChecked());
    EXPECT_TRUE(History().isEmpty());
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Sorvena v1") + QLocale().decimalPoint() + QStringLiteral("12"));

    const QDir home(dataHome.path());
    const std::string desktop = ReadAll(home.filePath(QStringLiteral("applications/sorvena.desktop")));
    EXPECT_NE(desktop.find("\nExec=" + QCoreApplication::applicationFilePath().toStdString() + " %f\n"), std::string::npos);
    EXPECT_NE(desktop.find("\nMimeType=application/x-sorvena-results;\n"), std::string::npos);
    EXPECT_NE(ReadAll(home.filePath(QStringLiteral("mime/packages/sorvena.xml"))).find("<glob pattern=\"*.vrk\"/>"),
              std::string::npos);
    EXPECT_NE(ReadAll(home.filePath(QStringLiteral("icons/hicolor/scalable/apps/sorvena.svg"))).find("<svg"),
              std::string::npos);

    // A later run registers nothing again.
    form.reset();
    QFile::remove(home.filePath(QStringLiteral("applications/sorvena.desktop")));
    Open();
    EXPECT_FALSE(QFile::exists(home.filePath(QStringLiteral("applications/sorvena.desktop"))));
}

TEST_F(SettingsTest, TheDesktopFindsTheResultsType)
{
    const QString xdgMime = QStandardPaths::findExecutable(QStringLiteral("xdg-mime"));
    if (xdgMime.isEmpty() || QStandardPaths::findExecutable(QStringLiteral("gio")).isEmpty() ||
        QStandardPaths::findExecutable(QStringLiteral("update-mime-database")).isEmpty())
        GTEST_SKIP() << "xdg-utils, gio or shared-mime-info not installed";
    QString reason;
    ASSERT_TRUE(RegisterFileType(QStringLiteral("/opt/sorvena/bin/sorvena"), dataHome.path(), reason))
        << reason.toStdString();
    // An empty ZIP archive, as an empty results list is written.
    const QString file = QDir(configDir.path()).filePath(QStringLiteral("x.vrk"));
    WriteAll(file, std::string("PK\x05\x06", 4) + std::string(18, '\0'));
    QProcess query;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("GNOME"));  // ask the MIME database, not file(1)
    query.setProcessEnvironment(environment);
    query.start(xdgMime, {QStringLiteral("query"), QStringLiteral("filetype"), file});
    ASSERT_TRUE(query.waitForFinished(30000));
    EXPECT_EQ(query.readAllStandardOutput().trimmed().toStdString(), ResultsMimeType);
}

TEST_F(SettingsTest, DesktopEntryQuotesTheProgramPath)
{
    struct Case {
        const char* path;
        const char* exec;
    };
    const Case cases[] = {
        {"/usr/bin/sorvena", "Exec=/usr/bin/sorvena %f\n"},
        {"/home/a b/sorvena", "Exec=\"/home/a b/sorvena\" %f\n"},
        {"/x/100%/$s\"q\\", "Exec=\"/x/100%%/\\\\$s\\\\\"q\\\\\\\\\" %f\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_TRUE(DesktopEntryText(QString::fromUtf8(c.path)).contains(QString::fromUtf8(c.exec)));
    }
}

TEST_F(SettingsTest, StoredSettingsAreAppliedAndWrittenBackAtClose)
{
    const std::string stored =
        "[View]\r\nOnlyKeywordFile=1\r\nOnlyHasPeers=1\r\nAutoCheckPeer=0\r\nAutoFetchFiles=0\r\nColumns=3,1\r\n"
        "[Pos]\r\nWidth=640\r\nHeight=480\r\nTop=30\r\nLeft=40\r\n"
        "[Store]\r\nOpenDir=/srv/results\r\n"
        "[Search]\r\nKeyword=;ubuntu;;debian iso;\r\nSaveHistory=1\r\n"
        "[Update]\r\nAuto=0\r\n"
        "[Hosts]\r\n; a mirror\r\nPirateBay=127.0.0.1:1\r\n";
    struct Case {
        const char* name;
        int searches;         // keywords searched on top of the stored ones
        bool saveHistory;     // the box at close
        std::string keyword;  // Keyword written back
    };
    const Case cases[] = {
        {"history kept", 0, true, "ubuntu;debian iso"},
        {"first ten of twelve", 10, true, "k9;k8;k7;k6;k5;k4;k3;k2;k1;k0"},
        {"history off", 1, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteAll(settingsPath, stored);
        Open();
        EXPECT_EQ(form->size(), QSize(640, 480));
        EXPECT_EQ(form->pos(), QPoint(40, 30));
        EXPECT_FALSE(Box("cbAutoCheckPeers")->isChecked());
        EXPECT_FALSE(Box("cbAutoFetchFiles")->isChecked());
        EXPECT_TRUE(Box("cbOnlyShowHasPeers")->isEnabled()) << "enabled at start whatever the auto check";
        EXPECT_TRUE(Box("cbOnlyShowHasPeers")->isChecked());
        EXPECT_TRUE(Box("cbOnlyShowKeywordFile")->isChecked());
        EXPECT_EQ(History(), (QStringList{"ubuntu", "debian iso"}));

        auto* keyword = Child<QComboBox>("cbKeyword");
        for (int i = 0; i < c.searches; ++i) keyword->insertItem(0, QStringLiteral("k%1").arg(i));
        if (!c.saveHistory) Box("cbSaveHistory")->click();
        EXPECT_EQ(History().isEmpty(), !c.saveHistory) << "switched off, the history goes at once";
        form->resize(700, 500);
        form->move(50, 60);
        form->close();
        form.reset();

        std::string expected = stored;
        auto replace = [&](const std::string& from, const std::string& to) {
            ASSERT_NE(expected.find(from), std::string::npos) << from;
            expected.replace(expected.find(from), from.size(), to);
        };
        replace("Width=640\r\n", "Width=700\n");
        replace("Height=480\r\n", "Height=500\n");
        replace("Top=30\r\n", "Top=60\n");
        replace("Left=40\r\n", "Left=50\n");
        replace("Keyword=;ubuntu;;debian iso;\r\n", "Keyword=" + c.keyword + "\n");
        if (!c.saveHistory) replace("SaveHistory=1\r\n", "SaveHistory=0\n");
        EXPECT_EQ(ReadAll(settingsPath), expected);
    }
}

TEST_F(SettingsTest, ColumnWidthsAndOrderAreKept)
{
    WriteAll(settingsPath, "[Pos]\nWidth=900\nHeight=600\n[Mine]\nkept=yes\n");
    Open();
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    QHeaderView* header = form->Tree()->header();
    const int sizeWidth = header->sectionSize(COL_SIZE);
    // The divider right of "Size" dragged 60 pixels to the right.
    const int divider = header->sectionViewportPosition(COL_SIZE) + sizeWidth - 1;
    const int y = header->height() / 2;
    QTest::mousePress(header->viewport(), Qt::LeftButton, {}, QPoint(divider, y));
    QTest::mouseMove(header->viewport(), QPoint(divider + 30, y));
    QTest::mouseMove(header->viewport(), QPoint(divider + 60, y));
    QTest::mouseRelease(header->viewport(), Qt::LeftButton, {}, QPoint(divider + 60, y));
    ASSERT_EQ(header->sectionSize(COL_SIZE), sizeWidth + 60);
    header->moveSection(header->visualIndex(COL_PEERS), 1);  // "Peers" before "Size"
    const TColumnLayout before = form->ColumnLayout();
    form->close();
    form.reset();

    const std::string text = ReadAll(settingsPath);
    EXPECT_NE(text.find("[Mine]\nkept=yes\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[Columns]\nWidths="), std::string::npos) << text;
    EXPECT_NE(text.find("\nOrder=0,2,1,3,4,5,6,7\n"), std::string::npos) << text;
    Open();
    const TColumnLayout after = form->ColumnLayout();
    EXPECT_EQ(after.Order, before.Order);
    EXPECT_EQ(after.Widths[COL_SIZE], sizeWidth + 60);
    EXPECT_EQ(after.Widths[COL_PEERS], before.Widths[COL_PEERS]);
    form.reset();

    // Nonsense in the file leaves the columns as designed; "Name" stays first.
    WriteAll(settingsPath, "[Columns]\nWidths=a,b\nOrder=1,0,2,3,4,5,6,7\n");
    Open();
    EXPECT_EQ(form->ColumnLayout().Order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST_F(SettingsTest, AutoCheckBoxGovernsTheHasPeersBox)
{
    WriteAll(settingsPath, "[View]\nOnlyHasPeers=1\n");
    Open();
    QCheckBox* autoCheck = Box("cbAutoCheckPeers");
    QCheckBox* hasPeers = Box("cbOnlyShowHasPeers");
    struct Step {
        QCheckBox* click;
        bool hasPeersEnabled;
        bool hasPeersChecked;
        bool autoCheckOption;  // what the workers read
    };
    const Step steps[] = {
        {autoCheck, false, false, false},  // unticked: has-peers unticked and greyed
        {autoCheck, true, false, true},    // ticked again: has-peers enabled, still unticked
        {hasPeers, true, true, true},
        {autoCheck, false, false, false},
    };
    int i = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE(i++);
        s.click->click();
        EXPECT_EQ(hasPeers->isEnabled(), s.hasPeersEnabled);
        EXPECT_EQ(hasPeers->isChecked(), s.hasPeersChecked);
        EXPECT_EQ(form->FormCloseOptions().OnlyHasPeers, s.hasPeersChecked);
        EXPECT_EQ(form->FormCloseOptions().AutoCheckPeer, s.autoCheckOption);
    }
}

TEST_F(SettingsTest, FetchFileListsBoxTakesItsMnemonicAndIsKept)
{
    // Alt+F on the Option page ticks and unticks it; the workers read it at
    // once, the file gets it at close, and the next start shows it.
    struct Case {
        const char* stored;
        int presses;
        bool expected;
    };
    const Case cases[] = {
        {"", 0, true},
        {"[View]\nAutoFetchFiles=0\n", 1, true},
        {"[View]\nAutoFetchFiles=1\n", 1, false},
        {"[View]\nAutoFetchFiles=0\n", 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.stored) + " pressed " + std::to_string(c.presses));
        WriteAll(settingsPath, c.stored);
        Open();
        form->show();
        QApplication::setActiveWindow(form.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
        form->findChild<QTabWidget*>()->setCurrentIndex(1);
        Box("cbAutoCheckPeers")->setFocus();
        for (int i = 0; i < c.presses; ++i) {
            // A mnemonic presses the box as a click does, and lets go a moment later.
            const bool before = Box("cbAutoFetchFiles")->isChecked();
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_F, Qt::AltModifier);
            ASSERT_TRUE(Eventually([&] { return Box("cbAutoFetchFiles")->isChecked() != before; }));
        }
        EXPECT_EQ(Box("cbAutoFetchFiles")->isChecked(), c.expected);
        EXPECT_EQ(form->State()->AutoFetchFiles(), c.expected);
        form->close();
        form.reset();
        EXPECT_NE(ReadAll(settingsPath).find(c.expected ? "AutoFetchFiles=1" : "AutoFetchFiles=0"), std::string::npos);
        Open();
        EXPECT_EQ(Box("cbAutoFetchFiles")->isChecked(), c.expected);
        form.reset();
    }
}

TEST_F(SettingsTest, ResultsFileNamedAtStartIsLoadedBeforeTheWindowShows)
{
    std::ifstream in(std::string(SORVENA_TEST_DATA_DIR) + "/torrents/multi-file-tiers.torrent", std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    TTorrentFile torrent;
    ASSERT_TRUE(torrent.LoadMetainfo(bytes));
    const QString results = QDir(configDir.path()).filePath(QStringLiteral("found.vrk"));
    SaveResultsFile(results.toStdString(), {&torrent}, 5, "linux");

    struct Case {
        QString argument;
        int rows;
    };
    const Case cases[] = {
        {results, 1},
        {results + QStringLiteral(".missing"), 0},
        {configDir.path(), 0},  // a folder is no results file
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argument.toStdString());
        Open({QStringLiteral("sorvena"), c.argument});
        EXPECT_FALSE(form->isVisible());
        EXPECT_EQ(form->Model()->TorrentRowCount(), c.rows);
        form.reset();
    }
}

TEST_F(SettingsTest, HelpCommandsOpenTheManualAndThePages)
{
    Open();
    for (const char* name : {"actHelpContent", "actSupport", "actWebSite"}) {
        QAction* action = Child<QAction>(name);
        form->UpdateActions();
        ASSERT_TRUE(action->isEnabled()) << name;
        action->trigger();
    }
    ASSERT_EQ(form->opened.size(), 3);
    EXPECT_TRUE(form->opened[0].isLocalFile());
    EXPECT_TRUE(form->opened[0].toLocalFile().endsWith(QStringLiteral("manual.html")));
    EXPECT_TRUE(QFile::exists(form->opened[0].toLocalFile()));
    EXPECT_EQ(form->opened[1], QUrl(QString::fromUtf8(SupportUrl)));
    EXPECT_EQ(form->opened[2], QUrl(QString::fromUtf8(WebsiteUrl)));
}

TEST_F(SettingsTest, CheckUpdateReportsWhatTheServerSays)
{
    auto ok = [](const std::string& body) {
        return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    };
    struct Case {
        const char* name;
        std::string reply;  // empty: nothing listens
        bool automatic;     // the check at start instead of the command
        QStringList boxes;
        QList<QUrl> opened;
    };
    const QString newer = QStringLiteral("Sorvena v1.13 is available. Open its page?");
    const QUrl page(QStringLiteral("http://example.org/1.13/"));
    const Case cases[] = {
        {"newer", ok("[Update]\nVersion=1.13\nPage=http://example.org/1.13/\n"), false, {newer}, {page}},
        {"newer at start", ok("[Update]\nVersion=1.13\nPage=http://example.org/1.13/\n"), true, {newer}, {page}},
        {"same", ok("[Update]\nVersion=1.12\n"), false, {"No update available."}, {}},
        {"same at start", ok("[Update]\nVersion=1.12\n"), true, {}, {}},
        {"unreachable", "", false, {"The update information could not be fetched from %1: connection refused."}, {}},
        {"unreachable at start", "", true, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto server = std::make_unique<ScriptedServer>(std::vector<ScriptedReply>{{c.reply}});
        const std::string url = server->Url("/latest.ini");
        if (c.reply.empty()) server.reset();
        WriteAll(settingsPath, "[Update]\nAuto=" + std::string(c.automatic ? "1" : "0") + "\nUrl=" + url + "\n");
        Open();
        if (!c.automatic) Child<QAction>("actHelpUpdate")->trigger();
        ASSERT_TRUE(Eventually([&] { return TWorkerThread::RunningCount() == 0; }));
        QCoreApplication::processEvents();
        QStringList boxes = c.boxes;
        for (QString& box : boxes) box = box.arg(QString::fromStdString(GetUrlHost(url)));
        EXPECT_EQ(form->boxes, boxes);
        EXPECT_EQ(form->opened, c.opened);
        if (server) {
            EXPECT_EQ(server->Requests().size(), 1u);
        }
        form.reset();
    }
}

}  // namespace
}  // namespace sorvena::test
