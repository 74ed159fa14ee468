// Screenshots of the window for a look at it as a user meets it: run by
// scripts/screenshots.sh under Xvfb with a window manager, on the xcb
// platform, against fixture sites on 127.0.0.1. Each picture is the whole
// screen, title bars included. Not a test: it checks nothing.
//
//   window_screenshots OUT_DIR

#include <QAbstractButton>
#include <QAction>
#include <QDialog>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "app/Main.h"
#include "metainfo/TorrentEx.h"
#include "support/FixtureSites.h"
#include "worker/WorkerThread.h"

using namespace sorvena;
using namespace sorvena::test;

namespace {

QString g_out;

void save(const char* name)
{
    const QString path = QDir(g_out).filePath(QString::fromLatin1(name) + QStringLiteral(".png"));
    if (!QGuiApplication::primaryScreen()->grabWindow(0).save(path)) std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    else std::printf("%s\n", qPrintable(path));
}

void shoot(const char* name)
{
    QTest::qWait(600);
    save(name);
}

// The window's own end-of-search box, pictured from inside its modal loop
// and then closed.
class ShotForm final : public TMainForm {
public:
    using TMainForm::TMainForm;
    const char* summaryShot = nullptr;

protected:
    void ShowSummary(const QString& text) override
    {
        if (summaryShot) {
            QTimer::singleShot(800, this, [shot = summaryShot] {
                save(shot);
                if (QWidget* box = QApplication::activeModalWidget()) box->close();
            });
        }
        TMainForm::ShowSummary(text);
    }
};

std::string torrent(const std::string& name, const std::vector<std::pair<std::string, int64_t>>& files,
                    const std::string& comment, TDateTime created, int piece)
{
    TTorrentEx t;
    t.TorrentName = name;
    t.AnnounceUrl = "http://tracker.example.org:6969/announce";
    t.Comment = comment;
    t.CreatedAt = created;
    t.IsMultiFile = files.size() > 1;
    int64_t offset = 0;
    for (const auto& [file, size] : files) {
        t.SubFiles.push_back({file, "", size, offset});
        offset += size;
    }
    if (files.size() == 1) t.SubFiles[0].FileName = name;
    t.TotalSize = offset;
    t.FileCount = static_cast<int32_t>(files.size());
    t.PieceLength = 1 << 20;
    t.PieceHashes.emplace_back(std::string(20, static_cast<char>('A' + piece)));
    return WriteMetainfo(t);
}

std::string settingsText(const TSiteHosts& hosts)
{
    std::string text = "[View]\nAutoCheckPeer=0\n[Hosts]\n";
    for (int slot = 0; slot < SITE_COUNT; ++slot)
        if (!HostKeys[slot].empty())
            text += std::string(HostKeys[slot]) + "=" + hosts.Site[static_cast<size_t>(slot)] + "\n";
    text += std::string(PirateBayImagesKey) + "=" + hosts.PirateBayImages + "\n";
    text += std::string(IsoHuntDownloadKey) + "=" + hosts.IsoHuntDownload + "\n";
    return text;
}

std::unique_ptr<ShotForm> openForm(const TSiteHosts& hosts, const QTemporaryDir& dir)
{
    const QString path = QDir(dir.path()).filePath(QStringLiteral("vrk.ini"));
    std::ofstream(path.toStdString()) << settingsText(hosts);
    auto form = std::make_unique<ShotForm>(path, QStringList{QStringLiteral("sorvena")});
    form->show();
    if (!QTest::qWaitForWindowExposed(form.get())) std::fprintf(stderr, "the window did not show\n");
    return form;
}

void search(ShotForm& form, const QString& keyword)
{
    auto* box = form.findChild<QComboBox*>(QStringLiteral("cbKeyword"));
    box->setFocus();
    box->setEditText(QString());
    QTest::keyClicks(box, keyword);
    QTest::keyClick(box, Qt::Key_Return);
}

template <typename Condition>
bool waitFor(Condition condition, int ms = 60000)
{
    return QTest::qWaitFor(condition, ms);
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: window_screenshots OUT_DIR\n");
        return 2;
    }
    g_out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(g_out);
    QTemporaryDir dataHome;
    qputenv("XDG_DATA_HOME", dataHome.path().toLocal8Bit());

    {
        // A search against fixture sites: two sites answer, one holds its
        // first page until released, the rest have nothing.
        FixtureSites sites;
        FixtureSite& reactor = sites.Add(SITE_TORRENTREACTOR);
        FixtureSite& btbot = sites.Add(SITE_BTBOT);
        FixtureSite& pirate = sites.Add(SITE_PIRATEBAY);
        reactor.SetPages({{"ubuntu", "debian", "fedora"}, {"mint"}});
        btbot.SetPages({{"arch", "debian", "wallpapers"}});
        pirate.SetPages({{"gentoo"}});
        pirate.HoldQuery(0);
        const double day = 45000;  // 2023-03-15
        reactor.ServeDownload("ubuntu", torrent("ubuntu-22.04.3-desktop-amd64.iso", {{"x", 4927586304}},
                                                "Ubuntu CD cdimage.ubuntu.com", day + 180.5, 1));
        reactor.ServeDownload("debian", torrent("debian-12.2.0-amd64-DVD", {{"debian-12.2.0-amd64-DVD-1.iso", 3994091520},
                                                                            {"debian-12.2.0-amd64-DVD-2.iso", 4688879616},
                                                                            {"SHA256SUMS", 290}, {"README.txt", 4120}},
                                                "", day + 210.25, 2));
        reactor.ServeDownload("fedora", torrent("Fedora-Workstation-Live-x86_64-39.iso", {{"x", 2190475264}}, "", 0, 3));
        reactor.ServeDownload("mint", torrent("linuxmint-21.2-cinnamon-64bit.iso", {{"x", 3053060096}},
                                              "Linux Mint 21.2 Victoria", day + 120, 4));
        btbot.ServeDownload("arch", torrent("archlinux-2023.12.01-x86_64.iso", {{"x", 880803840}}, "", day + 261, 5));
        btbot.ServeDownload("debian", torrent("debian-12.2.0-amd64-DVD", {{"debian-12.2.0-amd64-DVD-1.iso", 3994091520},
                                                                          {"debian-12.2.0-amd64-DVD-2.iso", 4688879616},
                                                                          {"SHA256SUMS", 290}, {"README.txt", 4120}},
                                              "", day + 210.25, 2));
        btbot.ServeDownload("wallpapers", torrent("Linux wallpapers 4K", {{"penguin.png", 8388608}, {"tux-dark.jpg", 5242880},
                                                                          {"aurora.jpg", 6291456}},
                                                  "Free wallpapers", day + 30, 6));
        pirate.ServeDownload("gentoo", torrent("install-amd64-minimal-20231203.iso", {{"x", 524288000}}, "", day + 263, 7));
        QTemporaryDir dir;
        auto form = openForm(sites.Prepare("linux", 0), dir);
        shoot("1-empty-window");

        search(*form, QStringLiteral("linux"));
        waitFor([&] { return form->TorrentCount() >= 5; });
        shoot("2-search-in-progress");
        QTest::mouseClick(form->findChild<QToolButton*>(QStringLiteral("btnSites")), Qt::LeftButton);
        shoot("3-search-in-progress-sites");
        QTest::keyClick(QApplication::activePopupWidget() ? QApplication::activePopupWidget() : form.get(), Qt::Key_Escape);

        form->summaryShot = "4-search-end-summary";
        pirate.Server().Release();
        waitFor([&] { return !form->Searching(); });
        QTest::qWait(1500);
        form->Tree()->expandAll();
        shoot("5-search-end");

        form->findChild<QTabWidget*>()->setCurrentIndex(1);
        shoot("6-option-page");
        form->findChild<QTabWidget*>()->setCurrentIndex(0);

        form->findChild<QAction*>(QStringLiteral("actAbout"))->trigger();
        shoot("7-about-box");
        if (auto* about = form->findChild<QDialog*>(QStringLiteral("AboutBox"))) about->close();
        form->close();
    }
    {
        // No site can be reached.
        FixtureSites sites;
        for (const int slot : StartedSlots) sites.SetHost(slot, DeadHost());
        QTemporaryDir dir;
        auto form = openForm(sites.Prepare("linux", 0), dir);
        form->summaryShot = "8-no-site-reachable-summary";
        search(*form, QStringLiteral("linux"));
        waitFor([&] { return !form->Searching(); });
        QTest::qWait(1500);
        QTest::mouseClick(form->findChild<QToolButton*>(QStringLiteral("btnSites")), Qt::LeftButton);
        shoot("9-no-site-reachable-sites");
        form->close();
    }
    TWorkerThread::WaitForAll(std::chrono::seconds(10));
    return 0;
}
