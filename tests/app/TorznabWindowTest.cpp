// The window with Torznab endpoints: the Indexers list of the Option page
// (add, edit, enable, remove, Test against a fixture endpoint, the settings
// file), a search that lists magnet rows, their cells and hints, Download,
// Save Torrent and Copy Magnet Link through the menus, and a magnet row that
// its full torrent replaces.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>
#include <QTreeView>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "EventuallyInLoop.h"
#include "ResultRows.h"
#include "app/IndexersPanel.h"
#include "app/Main.h"
#include "app/ResultModel.h"
#include "metainfo/Magnet.h"
#include "search/SearchState.h"
#include "support/Waits.h"
#include "support/FixtureSites.h"
#include "support/FixtureTorznab.h"
#include "support/Shell.h"
#include "worker/WorkerThread.h"

namespace sorvena::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class TestForm final : public TMainForm {
public:
    using TMainForm::TMainForm;
    QStringList summaries;
    QList<QUrl> opened;

protected:
    void ShowSummary(const QString& text) override { summaries << text; }
    bool OpenDocument(const QUrl& url) override
    {
        opened << url;
        return true;
    }
};

TIniOptions TestOptions()
{
    TIniOptions options = DefaultIniOptions();
    options.AutoCheckPeer = false;
    options.AutoFetchFiles = false;  // no swarm traffic: FileListWindowTest fetches with a fake
    return options;
}

class TorznabWindowTest : public ::testing::Test {
protected:
    ~TorznabWindowTest() override
    {
        form.reset();
        EXPECT_TRUE(TWorkerThread::WaitForAll(5s)) << "workers still running";
    }

    void CreateForm()
    {
        form = std::make_unique<TestForm>(sites.Prepare("linux", 0), TestOptions());
        form->State()->FetchPause = 5ms;
        form->show();
    }

    template <typename T>
    T* Child(const char* name) const
    {
        return form->findChild<T*>(QString::fromLatin1(name));
    }
    TIndexersPanel* Panel() const { return form->findChild<TIndexersPanel*>(); }

    // Types into the Option page's fields as a person does, then presses the button.
    void Enter(const QString& name, const QString& url, const char* button)
    {
        form->findChild<QTabWidget*>()->setCurrentIndex(1);
        for (const auto& [field, text] : {std::pair{"edIndexerName", name}, std::pair{"edIndexerUrl", url}}) {
            auto* edit = Child<QLineEdit>(field);
            edit->setFocus();
            edit->selectAll();
            QTest::keyClick(edit, Qt::Key_Delete);
            QTest::keyClicks(edit, text);
        }
        QTest::mouseClick(Child<QPushButton>(button), Qt::LeftButton);
    }

    // Adds the endpoint on the Option page, then searches for "fixture" from
    // the Search page, typing into the focused keyword box; true once the
    // search has ended.
    bool AddEndpointAndSearch(const FixtureTorznab& endpoint)
    {
        Enter(QStringLiteral("Fixture"), QString::fromStdString(endpoint.ApiUrl()), "btnIndexerAdd");
        form->findChild<QTabWidget*>()->setCurrentIndex(0);
        auto* keyword = Child<QComboBox>("cbKeyword");
        keyword->setFocus();
        QTest::keyClicks(keyword, QStringLiteral("fixture"));
        QTest::mouseClick(Child<QPushButton>("btnSearch"), Qt::LeftButton);
        return Eventually([&] { return !form->Searching(); });
    }

    // Runs a menu's command as a person does: opens the menu, clicks the item.
    void Menu(const QString& menuTitle, QAction* action)
    {
        for (QAction* top : form->menuBar()->actions()) {
            if (top->text().remove(QLatin1Char('&')) != menuTitle) continue;
            QMenu* menu = top->menu();
            menu->popup(form->mapToGlobal(QPoint(0, 0)));
            ASSERT_TRUE(Eventually([&] { return menu->isVisible(); }));
            ASSERT_TRUE(action->isEnabled()) << action->text().toStdString();
            QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
            return;
        }
        FAIL() << "no menu " << menuTitle.toStdString();
    }

    FixtureSites sites;
    std::unique_ptr<TestForm> form;
};

TEST_F(TorznabWindowTest, OptionPageAddsEditsEnablesRemovesAndTests)
{
    CreateForm();
    FixtureTorznab endpoint;
    Enter(QStringLiteral("Local Jackett"), QString::fromStdString(endpoint.ApiUrl()), "btnIndexerAdd");
    ASSERT_EQ(form->State()->Endpoints.size(), 1u);
    EXPECT_EQ(form->State()->Endpoints[0], (TTorznabEndpoint{"Local Jackett", endpoint.ApiUrl(), true}));
    auto* list = Child<QListWidget>("lstIndexers");
    ASSERT_EQ(list->count(), 1);
    EXPECT_EQ(list->item(0)->text(), "Local Jackett");

    // Refused entries say why and change nothing.
    Enter(QStringLiteral("local jackett"), QStringLiteral("http://x/api"), "btnIndexerAdd");
    EXPECT_EQ(Panel()->MessageText(), "An indexer with this name is in the list already.");
    Enter(QStringLiteral("Other"), QStringLiteral("ftp://x/api"), "btnIndexerAdd");
    EXPECT_EQ(Panel()->MessageText(), "The API URL must begin with http:// or https://.");
    EXPECT_EQ(form->State()->Endpoints.size(), 1u);

    // Test: the categories of the endpoint's caps.
    Enter(QStringLiteral("Local Jackett"), QString::fromStdString(endpoint.ApiUrl()), "btnIndexerTest");
    ASSERT_TRUE(Eventually([&] { return !Panel()->Testing(); }));
    EXPECT_EQ(Panel()->MessageText(), "OK: 5 categories: Movies (2000), Movies/SD (2030), Movies/HD (2040), TV (5000), "
                                      "Linux ISOs (100001); up to 100 results a page");
    FixtureTorznab wrongKey;
    wrongKey.SetCapsReply({200, TorznabErrorXml(100, "Invalid API Key"), false, ""});
    Enter(QStringLiteral("x"), QString::fromStdString(wrongKey.ApiUrl()), "btnIndexerTest");
    ASSERT_TRUE(Eventually([&] { return !Panel()->Testing(); }));
    EXPECT_EQ(Panel()->MessageText(), "Failed: wrong API key (error 100: Invalid API Key)");

    // Edit the selected one, disable it with its check box, remove it.
    list->setCurrentRow(0);
    Enter(QStringLiteral("Renamed"), QString::fromStdString(endpoint.ApiUrl()) + "&x=1", "btnIndexerEdit");
    EXPECT_EQ(form->State()->Endpoints[0], (TTorznabEndpoint{"Renamed", endpoint.ApiUrl() + "&x=1", true}));
    const QRect box = list->visualItemRect(list->item(0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(box.left() + box.height() / 2, box.center().y()));
    EXPECT_EQ(list->item(0)->checkState(), Qt::Unchecked);
    EXPECT_FALSE(form->State()->Endpoints[0].Enabled);
    QTest::mouseClick(Child<QPushButton>("btnIndexerRemove"), Qt::LeftButton);
    EXPECT_TRUE(form->State()->Endpoints.empty());
    EXPECT_EQ(list->count(), 0);
}

TEST_F(TorznabWindowTest, ChangesGoToTheSettingsFile)
{
    const fs::path dir = fs::temp_directory_path() / ("sorvena-torznab-window-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path ini = dir / "vrk.ini";
    std::ofstream(ini) << "[Torznab]\nOld=http://127.0.0.1:1/api\n[TorznabDisabled]\nOld=1\n[Other]\nkept=1\n";
    form = std::make_unique<TestForm>(QString::fromStdString(ini.string()), QStringList{});
    EXPECT_EQ(form->State()->Endpoints, (std::vector<TTorznabEndpoint>{{"Old", "http://127.0.0.1:1/api", false}}));
    EXPECT_EQ(Child<QListWidget>("lstIndexers")->item(0)->checkState(), Qt::Unchecked);
    Enter(QStringLiteral("New"), QStringLiteral("http://127.0.0.1:2/api?apikey=k"), "btnIndexerAdd");
    const std::string text = ReadAll(ini);
    EXPECT_NE(text.find("[Torznab]\nOld=http://127.0.0.1:1/api\nNew=http://127.0.0.1:2/api?apikey=k\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("[Other]\nkept=1\n"), std::string::npos) << text;
    form.reset();
    fs::remove_all(dir);
}

TEST_F(TorznabWindowTest, SearchListsMagnetRowsWithTheirCommands)
{
    CreateForm();
    FixtureTorznab endpoint;
    endpoint.SetItems({{"Full", 1, 1, false, 10, 3, 8, -1}, {"Magnet only", -1, 2, true, 5000, 4, 9, -1}});
    ASSERT_TRUE(AddEndpointAndSearch(endpoint));
    EXPECT_EQ(form->summaries, QStringList{QStringLiteral("2 torrents and 1 files found.")});

    TResultModel* model = form->Model();
    ASSERT_EQ(model->rowCount(), 2);
    int magnetRow = -1;
    for (int r = 0; r < 2; ++r)
        if (model->NodeData(model->index(r, 0)).Torrent->IsMagnet()) magnetRow = r;
    ASSERT_GE(magnetRow, 0);
    const int fullRow = 1 - magnetRow;
    EXPECT_EQ(model->CellText(model->index(magnetRow, COL_FILE)), "?");
    EXPECT_NE(model->HintText(model->index(magnetRow, COL_NAME)).indexOf("File: not known yet"), -1);
    EXPECT_EQ(model->CellText(model->index(magnetRow, COL_PEERS)), "9");
    EXPECT_NE(model->HintText(model->index(magnetRow, COL_NAME))
                  .indexOf("Peers: 9 reported by Fixture (not counted by Sorvena yet)"),
              -1)
        << model->HintText(model->index(magnetRow, COL_NAME)).toStdString();
    EXPECT_EQ(model->CellText(model->index(magnetRow, COL_REFER_SITE)), "Fixture");
    EXPECT_EQ(model->CellText(model->index(fullRow, COL_FILE)), "1");
    EXPECT_EQ(model->CellText(model->index(fullRow, COL_PEERS)), "8");

    QTreeView* tree = form->Tree();
    tree->setFocus();
    tree->setCurrentIndex(model->index(magnetRow, 0));
    tree->selectionModel()->select(model->index(magnetRow, 0),
                                   QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    form->UpdateActions();
    auto* saveTorrent = Child<QAction>("actSaveTorrent");
    EXPECT_FALSE(saveTorrent->isEnabled()) << "no torrent file to save yet";

    Menu(QStringLiteral("Torrent"), Child<QAction>("actCopyMagnet"));
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), FixtureMagnet(2));
    Menu(QStringLiteral("Torrent"), Child<QAction>("actDownload"));
    ASSERT_EQ(form->opened.size(), 1);
    EXPECT_EQ(form->opened[0].toString(QUrl::FullyEncoded).toStdString(), FixtureMagnet(2));

    // A full torrent: its link is built; Save Torrent works.
    tree->setCurrentIndex(model->index(fullRow, 0));
    tree->selectionModel()->select(model->index(fullRow, 0),
                                   QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    QTest::keyClick(tree, Qt::Key_M, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(),
              EntryMagnetUri(*model->NodeData(model->index(fullRow, 0)).Torrent));
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString().rfind("magnet:?xt=urn:btih:" + FixtureInfoHash(1), 0),
              0u);
    form->UpdateActions();
    EXPECT_TRUE(saveTorrent->isEnabled());
}

TEST_F(TorznabWindowTest, TheSitesListSaysWhyAnIndexerFailed)
{
    CreateForm();
    FixtureTorznab endpoint;
    endpoint.SetSearchReply({200, TorznabErrorXml(100, "Invalid API Key"), false, ""});
    ASSERT_TRUE(AddEndpointAndSearch(endpoint));
    // The indexer follows the ten catalogue slots, with its own words.
    const QString state = form->SiteStateText(SITE_COUNT);
    EXPECT_NE(state.indexOf(QStringLiteral("Invalid API Key")), -1) << state.toStdString();
    auto* button = Child<QToolButton>("btnSites");
    EXPECT_NE(button->text().indexOf(QStringLiteral("failed")), -1) << button->text().toStdString();
}

TEST_F(TorznabWindowTest, FullTorrentReplacesItsMagnetRow)
{
    sites.Add(SITE_TORRENTREACTOR).HoldQuery(0);  // keeps the search running
    CreateForm();
    Child<QComboBox>("cbKeyword")->setEditText(QStringLiteral("x"));
    form->actSearchOrStopExecute();
    ASSERT_TRUE(form->Searching());
    const std::string hash = "c12fe1c06bba254a9dc9f519b335aa7c1367a88a";
    const std::string uri = "magnet:?xt=urn:btih:" + hash + "&dn=Two%20files";
    auto magnet = MakeMagnetEntry(*ParseMagnet(uri), uri);
    magnet->Source = "Fixture";
    magnet->SourcePeers = 12;
    form->MsgTorrentFound(std::move(magnet));
    form->MsgTorrentFound(MakeTorrent({.name = "other", .size = 5, .hash = std::string(40, 'b')}));
    TResultModel* model = form->Model();
    ASSERT_EQ(model->rowCount(), 2);
    EXPECT_FALSE(model->hasChildren(model->index(0, 0)));
    form->Tree()->expand(model->index(0, 0));

    form->MsgTorrentFound(MakeTorrent({.name = "Two files", .files = {{"a.iso", 1}, {"b.txt", 2}}, .hash = hash}));
    ASSERT_EQ(model->rowCount(), 2) << "the same row";
    const QModelIndex row = model->index(0, 0);
    const TTorrentEx* entry = model->NodeData(row).Torrent;
    EXPECT_FALSE(entry->IsMagnet());
    EXPECT_EQ(model->rowCount(row), 2) << "its files appear";
    EXPECT_EQ(model->CellText(model->index(0, COL_FILE)), "2");
    EXPECT_EQ(model->CellText(model->index(0, COL_PEERS)), "12");
    EXPECT_EQ(model->CellText(model->index(0, COL_REFER_SITE)), "Fixture");
    EXPECT_EQ(form->TorrentCount(), 2);
    EXPECT_EQ(form->FileTotal(), 3);
    // A second copy of the full torrent is a duplicate the workers drop; the
    // window does not replace a full row.
    form->actSearchOrStopExecute();
}

TEST_F(TorznabWindowTest, MagnetRowsSurviveAResultsFile)
{
    sites.Add(SITE_TORRENTREACTOR).HoldQuery(0);
    CreateForm();
    Child<QComboBox>("cbKeyword")->setEditText(QStringLiteral("x"));
    form->actSearchOrStopExecute();
    const std::string uri = "magnet:?xt=urn:btih:c12fe1c06bba254a9dc9f519b335aa7c1367a88a&dn=Saved%20magnet&xl=77";
    form->MsgTorrentFound(MakeMagnetEntry(*ParseMagnet(uri), uri));
    form->MsgTorrentFound(MakeTorrent({.name = "plain", .size = 5, .hash = std::string(40, 'b')}));
    form->actSearchOrStopExecute();
    const fs::path file = fs::temp_directory_path() / ("sorvena-magnet-rows-" + std::to_string(::getpid()) + ".vrk");
    form->SaveResultsFile(QString::fromStdString(file.string()));
    form->Model()->Clear();
    ASSERT_TRUE(form->LoadResultsFile(QString::fromStdString(file.string())));
    fs::remove(file);
    TResultModel* model = form->Model();
    ASSERT_EQ(model->rowCount(), 2);
    const TTorrentEx* magnet = model->NodeData(model->index(0, 0)).Torrent;
    EXPECT_TRUE(magnet->IsMagnet());
    EXPECT_EQ(magnet->MagnetUri, uri);
    EXPECT_EQ(model->CellText(model->index(0, COL_NAME)), "Saved magnet");
    EXPECT_EQ(model->CellText(model->index(0, COL_FILE)), "?");
}

}  // namespace
}  // namespace sorvena::test
