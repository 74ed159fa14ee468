// Fetch File List against a real peer: Debian's python3-libtorrent seeds a
// generated torrent on 127.0.0.1, the window lists its magnet link (the
// link names the peer), and Ctrl+L on the focused list brings the torrent's
// files into the row.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QTest>
#include <QTreeView>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "EventuallyInLoop.h"
#include "ResultRows.h"
#include "app/Main.h"
#include "app/ResultModel.h"
#include "metainfo/Magnet.h"
#include "metainfo/TorrentFile.h"
#include "support/LibtorrentSeeder.h"
#include "support/SeedTorrents.h"
#include "support/Waits.h"
#include "worker/WorkerThread.h"

namespace sorvena::test {
namespace {

namespace fs = std::filesystem;

TEST(SwarmWindow, FetchFileListBringsTheFilesOfARealPeer)
{
    if (!LibtorrentSeeder::Available()) GTEST_SKIP() << "python3-libtorrent is not installed";
    std::string pattern = (fs::temp_directory_path() / "sorvena-swarm-window-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path dir = pattern;
    const std::vector<SeedFile> files = {{"notes.txt", 700}, {"video/clip.bin", 3 * 16384 + 5}};
    const SeedTorrent seed = MakeSeedTorrent("Window Swarm", files, 16384, 29, dir / "data");
    const fs::path torrentFile = dir / "seed.torrent";
    std::ofstream(torrentFile, std::ios::binary) << seed.metainfo;
    {
        LibtorrentSeeder seeder((dir / "data").string(), {torrentFile.string()});
        ASSERT_TRUE(seeder.Ready()) << seeder.Error();

        TIniOptions options = DefaultIniOptions();
        options.AutoCheckPeer = false;
        TMainForm form(TSiteHosts::Defaults(), options);
        form.show();
        QApplication::setActiveWindow(&form);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&form));

        const std::string link = SeedMagnet(seed, {}, {seeder.Endpoint()});
        const auto parsed = ParseMagnet(link);
        ASSERT_TRUE(parsed);
        form.Model()->AddTorrentNode(MakeMagnetEntry(*parsed, link));
        ASSERT_TRUE(form.Model()->TorrentAt(0)->IsMagnet());

        QTreeView* tree = form.Tree();
        tree->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_L, Qt::ControlModifier);
        ASSERT_TRUE(Eventually([&] { return !form.Model()->TorrentAt(0)->IsMagnet(); }))
            << form.Model()->HintText(form.Model()->index(0, COL_FILE)).toStdString();

        const TTorrentEx& got = *form.Model()->TorrentAt(0);
        EXPECT_EQ(got.InfoHashHex, seed.infoHashHex);
        EXPECT_EQ(got.TorrentName, "Window Swarm");
        ASSERT_EQ(got.SubFiles.size(), 2u);
        EXPECT_EQ(got.SubFiles[1].FileName, "clip.bin");
        EXPECT_EQ(got.SubFiles[1].FileSize, 3 * 16384 + 5);
        const QModelIndex row = form.Model()->index(0, 0);
        tree->expand(row);
        EXPECT_EQ(form.Model()->rowCount(row), 2) << "the files are listed under the row";
        EXPECT_EQ(form.FileTotal(), 2);
        form.close();
    }
    EXPECT_TRUE(TWorkerThread::WaitForAll(EventWaitCap));
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

}  // namespace
}  // namespace sorvena::test
