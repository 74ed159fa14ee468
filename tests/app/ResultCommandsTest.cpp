// The results-file and torrent commands of the main window: Find's matching
// and walking rules, Save and Load Search Result through a real file,
// Download into the temporary folder, Delete, and the commands' enablement.

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QRadioButton>
#include <QTreeView>

#include <filesystem>
#include <fstream>

#include "ResultRows.h"
#include "app/Main.h"
#include "app/ResultModel.h"
#include "results/ResultsFile.h"
#include "search/SearchState.h"

namespace sorvena::test {
namespace {

namespace fs = std::filesystem;
using Pos = TResultModel::TRowPos;

TEST(FindRules, TextMatches)
{
    const struct {
        const char* text;
        const char* find;
        bool matchCase;
        bool wholeWord;
        bool matches;
    } cases[] = {
        {"song.mp3", "mp3", false, false, true},
        {"song.mp3", "mp3", false, true, true},     // the dot is a delimiter
        {"song.mp3x", "mp3", false, true, false},   // x is not
        {"song.MP3", "mp3", false, false, true},
        {"song.MP3", "mp3", true, false, false},
        {"mp3mp3 mp3", "mp3", false, true, true},   // the third place counts
        {"mp3mp3", "mp3", false, true, false},
        {"mp3", "mp3", false, true, true},          // the whole text
        {"_mp3_", "mp3", false, true, true},        // "_" is a delimiter
        {"\xc3\xa9mp3", "mp3", false, true, true},  // so is a non-ASCII letter
        {"CAF\xc3\x89", "caf\xc3\xa9", false, false, true},
        {"CAF\xc3\x89", "caf\xc3\xa9", true, false, false},
        {"anything", "", false, false, false},
        {"", "x", false, false, false},
        {"abc", "abcd", false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " / " + c.find);
        EXPECT_EQ(TResultModel::TextMatches(QString::fromUtf8(c.text), QString::fromUtf8(c.find), c.matchCase,
                                            c.wholeWord),
                  c.matches);
    }
}

// Tree order: a (files a1.mp3 a2), b.mp3 (hidden: no peers), c (files song.mp3 song.mp3x).
void fillFindModel(TResultModel& model)
{
    model.SetFilterOptions(false, true);
    model.AddTorrentNode(MakeTorrent({.name = "a", .files = {{"a1.mp3", 1}, {"a2", 2}}, .peers = 5}));
    model.AddTorrentNode(MakeTorrent({.name = "b.mp3", .size = 3, .peers = 0}));
    model.AddTorrentNode(MakeTorrent({.name = "c", .files = {{"song.mp3", 1}, {"song.mp3x", 2}}, .peers = 5}));
}

TEST(FindRules, RowsInTreeOrderWithoutWrapping)
{
    TResultModel model;
    fillFindModel(model);
    ASSERT_EQ(model.rowCount(), 2);  // b.mp3 is hidden
    const struct {
        Pos from;
        const char* find;
        bool wholeWord;
        bool forward;
        Pos found;
    } cases[] = {
        {{}, "mp3", false, true, {0, 0}},         // no focus: from the first row
        {{0, 0}, "mp3", false, true, {1, -1}},    // the hidden torrent row counts
        {{1, -1}, "mp3", false, true, {2, 0}},
        {{2, 0}, "mp3", false, true, {2, 1}},
        {{2, 0}, "mp3", true, true, {}},          // song.mp3x is no whole word; no wrap
        {{2, 1}, "mp3", false, true, {}},         // the last row
        {{}, "mp3", false, false, {2, 1}},        // no focus, upwards: from the last row
        {{2, 1}, "mp3", true, false, {2, 0}},
        {{0, 0}, "mp3", false, false, {}},        // the focused row itself is never tested
        {{0, -1}, "a", false, true, {0, 0}},      // a1.mp3
        {{2, -1}, "a", true, false, {0, -1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.from.Torrent << "," << c.from.File << " " << c.find << " "
                                        << c.wholeWord << c.forward);
        const Pos found = model.FindRow(c.from, QString::fromLatin1(c.find), false, c.wholeWord, c.forward);
        EXPECT_EQ(found.Torrent, c.found.Torrent);
        EXPECT_EQ(found.File, c.found.File);
    }
    EXPECT_FALSE(model.IndexOf({1, -1}).isValid());  // hidden
    EXPECT_EQ(model.PositionOf(model.IndexOf({2, 1})), (Pos{2, 1}));
}

QStringList g_testerFailures;

void collectTesterFailures(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type != QtDebugMsg && message.contains(QLatin1String("FAIL"))) g_testerFailures << message;
}

TEST(ResultModelEdits, BatchAddAndDeletePassTheModelTester)
{
    TResultModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Warning);
    g_testerFailures.clear();
    const QtMessageHandler previous = qInstallMessageHandler(collectTesterFailures);
    model.sort(0, Qt::DescendingOrder);
    fillFindModel(model);  // c, b.mp3 (hidden), a
    std::vector<std::unique_ptr<TTorrentEx>> batch;
    batch.push_back(MakeTorrent({.name = "z", .size = 1, .peers = 1}));
    batch.push_back(MakeTorrent({.name = "d", .files = {{"d1", 1}, {"d2", 2}}, .peers = 1}));
    model.AddTorrentNodes(std::move(batch));
    ASSERT_EQ(model.rowCount(), 4);
    EXPECT_EQ(model.CellText(model.index(0, 0)), QStringLiteral("z"));  // sorted once, in the batch

    const QModelIndex d = model.index(1, 0);
    model.DeleteRows({model.index(0, 0), model.index(0, 0, d), model.index(3, 0)});  // z, d2 (files sort descending too), a
    qInstallMessageHandler(previous);
    EXPECT_TRUE(g_testerFailures.isEmpty()) << g_testerFailures.join(QLatin1Char('\n')).toStdString();
    ASSERT_EQ(model.TorrentRowCount(), 3);  // d, c and the hidden b.mp3
    ASSERT_EQ(model.rowCount(), 2);
    EXPECT_EQ(model.CellText(model.index(0, 0)), QStringLiteral("d"));
    EXPECT_EQ(model.rowCount(model.index(0, 0)), 1);
    EXPECT_EQ(model.CellText(model.index(0, 0, model.index(0, 0))), QStringLiteral("d1"));
}

// The window with its questions answered by the test.
class TestForm final : public TMainForm {
public:
    TestForm() : TMainForm(TSiteHosts::Defaults(), testOptions()) {}
    QString saveAnswer;
    QString openAnswer;
    bool deleteAnswer = false;
    QStringList messages;
    QList<QUrl> opened;

protected:
    QString ChooseSaveFile() override { return saveAnswer; }
    QString ChooseOpenFile() override { return openAnswer; }
    bool ConfirmDelete() override { return deleteAnswer; }
    bool CanOpenTorrentFiles() override { return true; }
    bool OpenDocument(const QUrl& url) override
    {
        opened << url;
        return true;
    }
    QMessageBox::StandardButton ShowMessageBox(QMessageBox::Icon, const QString& text, QMessageBox::StandardButtons) override
    {
        messages << text;
        return QMessageBox::Ok;
    }

private:
    static TIniOptions testOptions()
    {
        TIniOptions o = DefaultIniOptions();
        o.AutoCheckPeer = false;
        return o;
    }
};

class ResultCommandsTest : public ::testing::Test {
protected:
    ResultCommandsTest()
    {
        dir = fs::temp_directory_path() / ("sorvena-commands-" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    ~ResultCommandsTest() override { fs::remove_all(dir); }

    QAction* Action(const char* name) const { return form.findChild<QAction*>(QString::fromLatin1(name)); }
    template <typename T>
    T* Child(const char* name) const { return form.findChild<T*>(QString::fromLatin1(name)); }
    QTreeView* Tree() const { return form.Tree(); }
    void Add(const RowSpec& row) { form.Model()->AddTorrentNode(MakeTorrent(row)); }
    bool Enabled(const char* name)
    {
        form.UpdateActions();
        return Action(name)->isEnabled();
    }

    fs::path dir;
    TestForm form;
};

TEST_F(ResultCommandsTest, SaveAndLoadSearchResult)
{
    Add({.name = "A", .size = 5, .peers = 7});
    Add({.name = "B:C", .files = {{"one", 1}, {"two", 2}}, .peers = 3});
    form.State()->SearchKeyword = "first second";
    form.State()->SearchCategory = 8;
    const QString path = QString::fromStdString((dir / "list.vrk").string());

    form.saveAnswer = path;
    ASSERT_TRUE(Enabled("actSaveAll"));
    Action("actSaveAll")->trigger();
    ASSERT_TRUE(QFile::exists(path)) << form.messages.join("|").toStdString();

    form.Model()->Clear();
    form.State()->SearchKeyword.clear();
    form.State()->SearchCategory = 0;
    form.openAnswer = path;
    Action("actLoad")->trigger();
    EXPECT_TRUE(form.messages.isEmpty()) << form.messages.join("|").toStdString();
    ASSERT_EQ(form.Model()->TorrentRowCount(), 2);
    EXPECT_EQ(form.State()->SearchKeyword, "first second");
    EXPECT_EQ(form.State()->SearchCategory, 8);
    EXPECT_EQ(Child<QComboBox>("cbKeyword")->currentText(), QStringLiteral("first second"));
    EXPECT_EQ(Child<QComboBox>("cbCat")->currentIndex(), 8);
    for (int row = 0; row < 2; ++row) {
        EXPECT_EQ(form.Model()->CellText(form.Model()->index(row, COL_PEERS)), QString());
        EXPECT_EQ(form.Model()->CellText(form.Model()->index(row, COL_REFER_SITE)), QString());
    }
    EXPECT_EQ(form.Model()->rowCount(form.Model()->index(1, 0)), 2);

    // A file with no comment loads nothing and says nothing; one that is no ZIP archive is reported.
    const fs::path bare = dir / "bare.zip";
    std::ofstream(bare, std::ios::binary) << std::string("PK\x05\x06", 4) + std::string(18, '\0');  // empty, no comment
    EXPECT_TRUE(form.LoadResultsFile(QString::fromStdString(bare.string())));
    EXPECT_TRUE(form.Model()->IsEmpty());
    EXPECT_TRUE(form.messages.isEmpty());
    std::ofstream(dir / "no.vrk") << "not a zip";
    EXPECT_FALSE(form.LoadResultsFile(QString::fromStdString((dir / "no.vrk").string())));
    EXPECT_EQ(form.messages.size(), 1);
}

TEST_F(ResultCommandsTest, DownloadWritesCleanNamesIntoTheTemporaryFolder)
{
    Add({.name = "../../escape/x", .size = 5});
    Add({.name = "multi", .files = {{"f1", 1}, {"f2", 2}}});
    Action("actSelectAll")->trigger();
    ASSERT_TRUE(Enabled("actDownload"));
    EXPECT_FALSE(Enabled("actSaveTorrent"));  // a mixed selection
    Action("actDownload")->trigger();
    ASSERT_EQ(form.opened.size(), 2);  // file rows skipped
    const QString temp = QDir(QDir::tempPath()).canonicalPath();
    for (const QUrl& url : form.opened) {
        const QFileInfo file(url.toLocalFile());
        SCOPED_TRACE(file.filePath().toStdString());
        EXPECT_EQ(file.canonicalPath(), temp);
        QFile in(file.filePath());
        ASSERT_TRUE(in.open(QIODevice::ReadOnly));
        TTorrentEx back;
        back.LoadMetainfo(in.readAll().toStdString());
        EXPECT_TRUE(back.TorrentName == "../../escape/x" || back.TorrentName == "multi");
        in.remove();
    }
}

TEST_F(ResultCommandsTest, DeleteAsksFirst)
{
    Add({.name = "keep.mp3", .size = 1});
    Add({.name = "t", .files = {{"f1", 1}, {"f2.mp3", 2}}});
    QTreeView* tree = Tree();
    const QModelIndex fileRow = form.Model()->index(0, 0, form.Model()->index(1, 0));
    tree->selectionModel()->select(fileRow, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    EXPECT_FALSE(Enabled("actDeleteTorrent"));  // only file rows
    EXPECT_FALSE(Enabled("actDownload"));

    tree->selectionModel()->select(form.Model()->index(1, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    form.deleteAnswer = false;
    Action("actDeleteTorrent")->trigger();
    EXPECT_EQ(form.Model()->TorrentRowCount(), 2);
    form.deleteAnswer = true;
    Action("actDeleteTorrent")->trigger();
    ASSERT_EQ(form.Model()->TorrentRowCount(), 1);

    // Find does not visit the deleted rows.
    tree->selectionModel()->setCurrentIndex(form.Model()->index(0, 0), QItemSelectionModel::ClearAndSelect);
    Action("actFindNext")->trigger();
    EXPECT_EQ(form.messages, QStringList{QStringLiteral("\"mp3\" is not found.")});
}

TEST_F(ResultCommandsTest, FindNextFocusesExpandsAndClosesTheDialog)
{
    Add({.name = "first", .size = 1});
    Add({.name = "album", .files = {{"song.mp3x", 1}, {"song.mp3", 2}}});
    Action("actFind")->trigger();
    auto* dialog = Child<QDialog>("FindDialog");
    ASSERT_TRUE(dialog->isVisible());
    Child<QCheckBox>("cbFindWholeWord")->setChecked(true);
    Action("actFindNext")->trigger();
    const QModelIndex album = form.Model()->index(1, 0);
    const QModelIndex current = Tree()->currentIndex();
    EXPECT_EQ(current.parent(), album);
    EXPECT_EQ(current.row(), 1);
    EXPECT_TRUE(Tree()->isExpanded(album));
    EXPECT_TRUE(Tree()->selectionModel()->isRowSelected(1, album));
    EXPECT_FALSE(dialog->isVisible());

    // From the last row downwards: not found, no wrap; focus and selection stay.
    Action("actFindNext")->trigger();
    EXPECT_EQ(form.messages, QStringList{QStringLiteral("\"mp3\" is not found.")});
    EXPECT_EQ(Tree()->currentIndex(), current);

    // The text empty: Find Next is disabled.
    Child<QLineEdit>("edFindText")->setText(QString());
    EXPECT_FALSE(Enabled("actFindNext"));
    EXPECT_TRUE(Enabled("actFind"));
}

}  // namespace
}  // namespace sorvena::test
