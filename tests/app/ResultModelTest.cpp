// The result list model under QAbstractItemModelTester: cell texts and hints,
// stable sorting by raw values in both directions (also while rows arrive),
// the two filters with the stripes that count hidden rows, bold keyword
// names and the once-per-extension icon look-up.

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QColor>
#include <QFont>
#include <QIcon>
#include <QItemSelectionModel>
#include <QPixmap>

#include <algorithm>
#include <map>
#include <tuple>

#include "ResultRows.h"
#include "app/ResultModel.h"

namespace sorvena::test {
namespace {

constexpr int64_t GB = int64_t{1} << 30;

QStringList g_testerFailures;

void collectTesterFailures(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type != QtDebugMsg && message.contains(QLatin1String("FAIL"))) g_testerFailures << message;
}

class ResultModelTest : public ::testing::Test {
protected:
    ResultModelTest()
        : model(nullptr,
                [this](const QString& extension) {
                    ++lookups[extension.toStdString()];
                    if (extension != QLatin1String(".avi")) return QIcon();
                    QPixmap pixmap(16, 16);
                    pixmap.fill(Qt::red);
                    return QIcon(pixmap);
                }),
          tester(&model, QAbstractItemModelTester::FailureReportingMode::Warning)
    {
        g_testerFailures.clear();
        previousHandler = qInstallMessageHandler(collectTesterFailures);
        model.SetLocale(QLocale(QLocale::English, QLocale::UnitedStates));
    }

    ~ResultModelTest() override
    {
        qInstallMessageHandler(previousHandler);
        EXPECT_TRUE(g_testerFailures.isEmpty()) << g_testerFailures.join(QLatin1Char('\n')).toStdString();
    }

    void Add(const RowSpec& row) { model.AddTorrentNode(MakeTorrent(row)); }

    QModelIndex At(int row, int column = 0, int fileRow = -1) const
    {
        const QModelIndex torrent = model.index(row, fileRow < 0 ? column : 0);
        return fileRow < 0 ? torrent : model.index(fileRow, column, torrent);
    }

    QString Text(int row, int column, int fileRow = -1) const { return At(row, column, fileRow).data().toString(); }

    // The shown rows: torrent names, each multi-file one with its shown files.
    std::string Shown() const
    {
        std::string out;
        for (int row = 0; row < model.rowCount(); ++row) {
            out += (row ? " " : "") + Text(row, COL_NAME).toStdString();
            const int files = model.rowCount(At(row));
            for (int f = 0; f < files; ++f) out += (f ? "," : "[") + Text(row, COL_NAME, f).toStdString();
            if (files) out += "]";
        }
        return out;
    }

    void Filter(bool onlyKeywordFile, bool onlyHasPeers, std::string_view keyword)
    {
        model.SetSearchKeyword(keyword);
        model.SetFilterOptions(onlyKeywordFile, onlyHasPeers);
        model.RefreshRowFilter();
    }

    std::map<std::string, int> lookups;
    TResultModel model;
    QAbstractItemModelTester tester;
    QtMessageHandler previousHandler = nullptr;
};

TEST_F(ResultModelTest, CellTexts)
{
    const RowSpec multi{.name = "pack",
                        .files = {{"movie.avi", 3 * GB}, {"README", 100}, {"a.b\\c", 1}, {"c.d:e", 1}}};
    struct Case {
        RowSpec row;
        int column;
        int fileRow;  // -1: the torrent row
        const char* expected;
        QLocale locale = QLocale(QLocale::English, QLocale::UnitedStates);
    };
    const Case cases[] = {
        {{.name = "one.iso", .size = 1536}, COL_SIZE, -1, "1.50 KB"},
        {{.name = "one.iso", .size = 1536}, COL_SIZE, -1, "1,50 KB", QLocale(QLocale::German, QLocale::Germany)},
        {{.name = "one.iso", .size = 5 * GB}, COL_SIZE, -1, "5.00 GB"},
        {{.name = "one.iso"}, COL_PEERS, -1, ""},
        {{.name = "one.iso", .peers = 0}, COL_PEERS, -1, "0"},
        {{.name = "one.iso"}, COL_FILE, -1, "1"},
        {{.name = "one.iso", .files = {{"only.iso", 5}}}, COL_FILE, -1, "1"},
        {multi, COL_FILE, -1, "4"},
        {multi, COL_SIZE, -1, "3.00 GB"},
        {{.name = "one.iso"}, COL_DATE, -1, ""},  // no creation date
        {{.name = "one.iso", .createdAt = 45000.75}, COL_DATE, -1, "3/15/2023"},
        {{.name = "one.iso", .createdAt = 45000.75}, COL_DATE, -1, "15.03.2023", QLocale(QLocale::German, QLocale::Germany)},
        {{.name = "one.iso", .createdAt = 2.0}, COL_DATE, -1, "1/1/1900"},
        {{.name = "one.iso", .comment = "a comment"}, COL_COMMENT, -1, "a comment"},
        {{.name = "one.iso"}, COL_ANNOUNCE, -1, "http://tracker.example/announce"},
        {{.name = "one.iso", .link = "http://site.example:8080/t/1"}, COL_REFER_SITE, -1, "site.example:8080"},
        {{.name = "one.iso", .link = "http://site.example"}, COL_REFER_SITE, -1, ""},
        {{.name = "caf\xC3\xA9"}, COL_NAME, -1, "caf\u00e9"},  // UTF-8
        {{.name = "caf\xE9"}, COL_NAME, -1, "caf\u00e9"},      // not UTF-8: Latin-1
        {multi, COL_NAME, 0, "movie.avi"},
        {multi, COL_SIZE, 0, "3.00 GB"},
        {multi, COL_FILE, 0, ".avi"},
        {multi, COL_FILE, 1, ""},
        {multi, COL_FILE, 2, ""},
        {multi, COL_FILE, 3, ""},
        {multi, COL_PEERS, 0, ""},
        {multi, COL_DATE, 0, ""},
        {multi, COL_REFER_SITE, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.row.name + " column " + std::to_string(c.column) + " file " + std::to_string(c.fileRow));
        model.Clear();
        model.SetLocale(c.locale);
        Add(c.row);
        EXPECT_EQ(Text(0, c.column, c.fileRow).toStdString(), c.expected);
    }
}

TEST_F(ResultModelTest, HintsByColumn)
{
    const RowSpec full{.name = "full.iso", .size = 1024, .peers = 5, .comment = "nice", .createdAt = 45000.5,
                       .link = "http://site.example/t/1", .backupTrackers = {"http://a/", "http://b/", "http://c/"}};
    const RowSpec bare{.name = "bare", .files = {{"x.avi", 1}, {"y.avi", 2}}, .link = "http://nohost"};
    struct Case {
        RowSpec row;
        int column;
        int fileRow;
        const char* expected;  // nullptr: no hint
    };
    const Case cases[] = {
        {full, COL_ANNOUNCE, -1, "Backup trackers:\nhttp://a/\nhttp://b/\nhttp://c/"},
        {bare, COL_ANNOUNCE, -1, "No backup tracker."},
        {full, COL_DATE, -1, "3/15/2023 12:00:00 PM"},
        {{.name = "midnight", .createdAt = 45000}, COL_DATE, -1, "3/15/2023"},
        {bare, COL_DATE, -1, nullptr},  // no creation date
        {full, COL_COMMENT, -1, "nice"},
        {bare, COL_COMMENT, -1, nullptr},
        {full, COL_NAME, -1,
         "Name: full.iso\nSize: 1024 Byte\nFile: 1\nDate: 3/15/2023\nAnnounce: http://tracker.example/announce\n"
         "Comment: nice\nPeers: 5\nRefer Site: site.example"},
        {bare, COL_SIZE, -1,
         "Name: bare\nSize: 3 Byte\nFile: 2\nAnnounce: http://tracker.example/announce\n"
         "Refer Site: "},
        {bare, COL_SIZE, 1,  // a file row shows its torrent's hint
         "Name: bare\nSize: 3 Byte\nFile: 2\nAnnounce: http://tracker.example/announce\n"
         "Refer Site: "},
        {bare, COL_ANNOUNCE, 0, "No backup tracker."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.row.name + " column " + std::to_string(c.column) + " file " + std::to_string(c.fileRow));
        model.Clear();
        Add(c.row);
        const QVariant hint = At(0, c.column, c.fileRow).data(Qt::ToolTipRole);
        if (!c.expected)
            EXPECT_FALSE(hint.isValid());
        else
            EXPECT_EQ(hint.toString().toStdString(), c.expected);
    }
}

TEST_F(ResultModelTest, SortsStablyByEveryColumnBothWays)
{
    struct Case {
        int column;
        std::vector<RowSpec> rows;  // in arrival order
        const char* ascending;
        const char* descending;
    };
    const Case cases[] = {
        {COL_NAME, {{.name = "beta"}, {.name = "Alpha"}, {.name = "alpha"}, {.name = "al"}},
         "al Alpha alpha beta", "beta Alpha alpha al"},
        {COL_SIZE, {{.name = "5G", .size = 5 * GB}, {.name = "1G", .size = GB}, {.name = "1G'", .size = GB},
                    {.name = "3K", .size = 3072}},
         "3K 1G 1G' 5G", "5G 1G 1G' 3K"},
        {COL_PEERS, {{.name = "seven", .peers = 7}, {.name = "none"}, {.name = "zero", .peers = 0}},
         "none zero seven", "seven zero none"},
        {COL_COMMENT, {{.name = "b", .comment = "B"}, {.name = "a", .comment = "a"}, {.name = "empty"}},
         "empty a b", "b a empty"},
        {COL_FILE, {{.name = "three", .files = {{"1", 1}, {"2", 1}, {"3", 1}}}, {.name = "one"},
                    {.name = "two", .files = {{"1", 1}, {"2", 1}}}},
         "one two three", "three two one"},
        // 4.3 seconds apart is the same time; a day apart is not.
        {COL_DATE, {{.name = "t", .createdAt = 45000.0}, {.name = "t+4s", .createdAt = 45000.00005},
                    {.name = "t-1d", .createdAt = 44999.0}},
         "t-1d t t+4s", "t t+4s t-1d"},
        {COL_ANNOUNCE, {{.name = "b", .announce = "http://B/"}, {.name = "a", .announce = "http://a/"}},
         "a b", "b a"},
        // The whole link, not only its host.
        {COL_REFER_SITE, {{.name = "https", .link = "https://a.example/1"}, {.name = "b", .link = "http://b.example/1"},
                          {.name = "a2", .link = "http://a.example/2"}, {.name = "a1", .link = "http://a.example/1"}},
         "a1 a2 b https", "https b a2 a1"},
    };
    auto names = [this] {
        std::string out;
        for (int row = 0; row < model.rowCount(); ++row) out += (row ? " " : "") + Text(row, COL_NAME).toStdString();
        return out;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("column " + std::to_string(c.column));
        model.Clear();
        model.sort(-1);
        for (const RowSpec& row : c.rows) Add(row);
        model.HeaderClick(c.column);
        EXPECT_EQ(model.SortOrder(), Qt::AscendingOrder);
        EXPECT_EQ(names(), c.ascending);
        model.HeaderClick(c.column);
        EXPECT_EQ(model.SortOrder(), Qt::DescendingOrder);
        EXPECT_EQ(names(), c.descending);
        // The same rows arriving one by one into the sorted list.
        model.Clear();
        for (const RowSpec& row : c.rows) Add(row);
        EXPECT_EQ(names(), c.descending);
    }
}

TEST_F(ResultModelTest, FileRowsSortInsideTheirTorrent)
{
    Add({.name = "pack", .files = {{"b.txt", 30}, {"c.avi", 10}, {"a.mkv", 20}}});
    struct Case {
        int column;
        const char* files;
    };
    const Case cases[] = {{COL_NAME, "[a.mkv,b.txt,c.avi]"}, {COL_SIZE, "[c.avi,a.mkv,b.txt]"},
                          {COL_FILE, "[c.avi,a.mkv,b.txt]"}, {COL_PEERS, "[c.avi,a.mkv,b.txt]"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.column);
        model.sort(c.column, Qt::AscendingOrder);
        EXPECT_EQ(Shown(), std::string("pack") + c.files);
    }
}

// Texts that share long prefixes, differ only past eight or sixteen bytes,
// differ in letter case only, hold zero bytes, end where another goes on, or
// repeat: every text sort (torrent rows by a column, file rows by name and
// by extension; a header click, a batch and rows arriving one by one) gives
// the order of the plain byte comparison, stably, in both directions.
TEST_F(ResultModelTest, TextSortsFollowTheFoldedByteOrderWhateverTheTextsShare)
{
    using namespace std::string_literals;
    const std::string base = "http://tracker.example.org/announce";
    const std::vector<std::string> texts = {
        base, "", "a", "A", "ab", "ab\0"s, "ab\0\0\0\0\0\0\0\x01"s, "ab\0\0\0\0\0\0"s, base + "2", base,
        "HTTP://TRACKER.EXAMPLE.ORG/ANNOUNCE", base + "_", base + "a", base.substr(0, 27), base, "\xff", "\x80x",
        "_", "z", "Z", "{", "`", "@", base + base + "x", base + base + "X", base + base, base + "announcE",
        "abcdefghijklmnopqrstuvwxyz0123456789", "abcdefghijklmnopqrstuvwxyz0123456788", "file 10.mp3", "file 9.txt",
        "file 1.MP3", "x.", ".hidden", "a.tar.gz", "b.TAR.GZ"};
    const auto compare = [](std::string_view a, std::string_view b) {
        const auto fold = [](char c) {
            const auto u = static_cast<unsigned char>(c);
            return u >= 'a' && u <= 'z' ? u - 32 : u;
        };
        for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
            if (fold(a[i]) != fold(b[i])) return fold(a[i]) < fold(b[i]) ? -1 : 1;
        return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
    };
    const auto extension = [](std::string_view name) {
        const size_t dot = name.rfind('.');
        if (dot == std::string_view::npos || name.find_first_of("\\:", dot) != std::string_view::npos) return std::string_view();
        return name.substr(dot);
    };
    // The expected names ("t0", "t1", ... in arrival order) after a stable
    // sort of the rows in the given order (arrival order when none is given).
    const auto expected = [&](auto key, bool ascending, std::vector<size_t> order = {}) {
        if (order.empty())
            for (size_t i = 0; i < texts.size(); ++i) order.push_back(i);
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
            const int c = compare(key(texts[a]), key(texts[b]));
            return ascending ? c < 0 : c > 0;
        });
        std::string out;
        for (const size_t i : order) out += (out.empty() ? "" : ",") + ("t" + std::to_string(i));
        return std::pair(out, order);
    };
    const auto whole = [](std::string_view t) { return t; };
    std::vector<RowSpec> rows;
    RowSpec pack{.name = "pack"};
    for (size_t i = 0; i < texts.size(); ++i) {
        const std::string id = "t" + std::to_string(i);
        rows.push_back({.name = id, .comment = texts[i], .announce = texts[i], .link = texts[i]});
        pack.files.emplace_back(id, 1);
    }
    const auto torrentOrder = [this] {
        std::string out;
        for (int row = 0; row < model.rowCount(); ++row) out += (row ? "," : "") + Text(row, COL_NAME).toStdString();
        return out;
    };
    for (const int column : {COL_COMMENT, COL_ANNOUNCE, COL_REFER_SITE}) {
        for (const bool ascending : {true, false}) {
            SCOPED_TRACE("column " + std::to_string(column) + (ascending ? " ascending" : " descending"));
            const std::string want = expected(whole, ascending).first;
            const Qt::SortOrder order = ascending ? Qt::AscendingOrder : Qt::DescendingOrder;
            model.Clear();
            model.sort(-1);
            for (const RowSpec& row : rows) Add(row);
            model.sort(column, order);
            EXPECT_EQ(torrentOrder(), want) << "header click";
            model.Clear();
            for (const RowSpec& row : rows) Add(row);
            EXPECT_EQ(torrentOrder(), want) << "one by one";
            model.Clear();
            std::vector<std::unique_ptr<TTorrentEx>> batch;
            for (const RowSpec& row : rows) batch.push_back(MakeTorrent(row));
            model.AddTorrentNodes(std::move(batch));
            EXPECT_EQ(torrentOrder(), want) << "batch";
        }
    }
    // File rows: the texts as file names, under one torrent.
    model.Clear();
    model.sort(-1);
    auto entry = MakeTorrent(pack);
    for (size_t i = 0; i < texts.size(); ++i) entry->SubFiles[i].FileName = texts[i];
    model.AddTorrentNode(std::move(entry));
    const auto fileOrder = [this] {
        std::string out;
        const TTorrentEx* t = model.TorrentAt(0);
        for (int f = 0; f < model.rowCount(At(0)); ++f) {
            const TTorrentSubFile* file = model.NodeData(At(0, 0, f)).SubFile;
            out += (f ? "," : "") + ("t" + std::to_string(file - t->SubFiles.data()));
        }
        return out;
    };
    // Each sort starts from the order the previous one left: equal keys keep it.
    std::vector<size_t> current;
    for (size_t i = 0; i < texts.size(); ++i) current.push_back(i);
    for (const bool ascending : {true, false}) {
        SCOPED_TRACE(ascending ? "files ascending" : "files descending");
        const Qt::SortOrder order = ascending ? Qt::AscendingOrder : Qt::DescendingOrder;
        std::string want;
        std::tie(want, current) = expected(whole, ascending, current);
        model.sort(COL_NAME, order);
        EXPECT_EQ(fileOrder(), want) << "by name";
        std::tie(want, current) = expected(extension, ascending, current);
        model.sort(COL_FILE, order);
        EXPECT_EQ(fileOrder(), want) << "by extension";
    }
}

TEST_F(ResultModelTest, SortKeepsSelectionOnItsRows)
{
    for (const char* name : {"c", "a", "b"}) Add({.name = name, .files = {{std::string(name) + "1", 1}, {std::string(name) + "2", 2}}});
    QItemSelectionModel selection(&model);
    selection.select(At(0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    selection.setCurrentIndex(At(2, 0, 1), QItemSelectionModel::NoUpdate);
    model.HeaderClick(COL_NAME);
    ASSERT_EQ(selection.selectedRows().size(), 1);
    EXPECT_EQ(model.NodeData(selection.selectedRows()[0]).Torrent->TorrentName, "c");
    EXPECT_EQ(model.NodeData(selection.currentIndex()).SubFile->FileName, "b2");
    model.HeaderClick(COL_SIZE);
    model.HeaderClick(COL_SIZE);  // descending: file b2 before b1
    EXPECT_EQ(model.NodeData(selection.currentIndex()).SubFile->FileName, "b2");
    EXPECT_EQ(selection.currentIndex().row(), 0);
}

TEST_F(ResultModelTest, FiltersHideRowsAndShowFileCounts)
{
    Add({.name = "zero", .peers = 0});
    Add({.name = "uncounted"});
    Add({.name = "album", .files = {{"song.mp3", 1024}, {"cover.jpg", 4096}, {"other.MP3", 1024}}});
    Add({.name = "five", .peers = 5});
    struct Case {
        bool onlyKeywordFile;
        bool onlyHasPeers;
        const char* keyword;
        const char* shown;
        const char* albumFiles;
        const char* albumSize;
    };
    const Case cases[] = {
        {false, false, "mp3", "zero uncounted album[song.mp3,cover.jpg,other.MP3] five", "3", "6.00 KB"},
        {false, true, "mp3", "uncounted album[song.mp3,cover.jpg,other.MP3] five", "3", "6.00 KB"},
        {true, false, "mp3", "zero uncounted album[song.mp3,other.MP3] five", "2/3", "2.00 KB / 6.00 KB"},
        {true, false, "", "zero uncounted album five", "0/3", "0 Byte / 6.00 KB"},
        {true, true, "jpg song", "uncounted album[song.mp3,cover.jpg] five", "2/3", "5.00 KB / 6.00 KB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown);
        Filter(c.onlyKeywordFile, c.onlyHasPeers, c.keyword);
        EXPECT_EQ(Shown(), c.shown);
        const int album = model.rowCount() - 2;
        EXPECT_EQ(Text(album, COL_FILE).toStdString(), c.albumFiles);
        EXPECT_EQ(Text(album, COL_SIZE).toStdString(), c.albumSize);
    }
}

TEST_F(ResultModelTest, StripesCountHiddenRows)
{
    for (const char* name : {"zero", "a", "b"}) Add({.name = name, .peers = std::string(name) == "zero" ? 0 : -1});
    Add({.name = "pack", .files = {{"x", 1}, {"y", 1}}});
    Filter(false, true, "");
    ASSERT_EQ(Shown(), "a b pack[x,y]");
    const QColor grey(224, 224, 224), white(255, 255, 255), silver(192, 192, 192);
    // Sibling positions 1, 2, 3: "zero" at 0 is hidden but still counts.
    EXPECT_EQ(At(0, COL_SIZE).data(Qt::BackgroundRole).value<QColor>(), white);
    EXPECT_EQ(At(1, COL_SIZE).data(Qt::BackgroundRole).value<QColor>(), grey);
    EXPECT_EQ(At(2, COL_SIZE).data(Qt::BackgroundRole).value<QColor>(), white);
    EXPECT_EQ(At(2, COL_SIZE, 1).data(Qt::BackgroundRole).value<QColor>(), silver);
    EXPECT_EQ(At(0, COL_REFER_SITE).data(Qt::ForegroundRole).value<QColor>(), QColor(0, 0, 255));
}

TEST_F(ResultModelTest, PeerCountRefiltersAndResortsByPeers)
{
    Add({.name = "a", .peers = 3});
    Add({.name = "b", .peers = 0});
    Add({.name = "c"});
    Filter(false, true, "");
    model.HeaderClick(COL_PEERS);
    ASSERT_EQ(Shown(), "c a");
    struct Step {
        const char* hash;
        int32_t count;
        bool matches;
        const char* shown;
    };
    const Step steps[] = {
        {"b", 9, true, "c a b"},  // shown again, and at its sorted place
        {"a", 0, true, "c b"},    // hidden
        {"c", 1, true, "c b"},
        {"x", 4, false, "c b"},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.hash);
        EXPECT_EQ(model.ApplyPeerCount(s.hash, s.count), s.matches);
        EXPECT_EQ(Shown(), s.shown);
    }
    EXPECT_EQ(Text(0, COL_PEERS), "1");
}

TEST_F(ResultModelTest, BoldNamesMatchTheKeywords)
{
    model.SetSearchKeyword("linux  iso");
    Add({.name = "Linux.ISO"});
    Add({.name = "debian.img"});
    Add({.name = "linux pack", .files = {{"LINUX.txt", 1}, {"readme", 1}}});
    struct Case {
        int row;
        int fileRow;
        bool bold;
    };
    const Case cases[] = {{0, -1, true}, {1, -1, false}, {2, -1, false}, {2, 0, true}, {2, 1, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(Text(c.row, COL_NAME, c.fileRow).toStdString());
        const QVariant font = At(c.row, COL_NAME, c.fileRow).data(Qt::FontRole);
        EXPECT_EQ(font.isValid() && font.value<QFont>().bold(), c.bold);
        EXPECT_FALSE(At(c.row, COL_SIZE, c.fileRow).data(Qt::FontRole).isValid());
    }
}

TEST_F(ResultModelTest, OneIconLookupPerExtension)
{
    for (const char* name : {"a.AVI", "b.avi", "c.nox", "d.nox", "noext"}) Add({.name = name});
    Add({.name = "pack.avi", .files = {{"e.avi", 1}, {"f.nox", 1}}});
    for (int pass = 0; pass < 3; ++pass)
        for (int row = 0; row < model.rowCount(); ++row) {
            At(row).data(Qt::DecorationRole);
            for (int f = 0; f < model.rowCount(At(row)); ++f) At(row, 0, f).data(Qt::DecorationRole);
        }
    EXPECT_EQ(lookups, (std::map<std::string, int>{{".avi", 1}, {".nox", 1}}));
    struct Case {
        int row;
        int fileRow;
        bool icon;
    };
    const Case cases[] = {{0, -1, true}, {2, -1, false}, {4, -1, false}, {5, -1, false}, {5, 0, true}, {5, 1, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(Text(c.row, COL_NAME, c.fileRow).toStdString());
        EXPECT_EQ(At(c.row, COL_NAME, c.fileRow).data(Qt::DecorationRole).isValid(), c.icon);
    }
    EXPECT_FALSE(At(0, COL_SIZE).data(Qt::DecorationRole).isValid());
    EXPECT_EQ(model.Icons().IconExtensions(), std::vector<std::string>{".avi"});
}

}  // namespace
}  // namespace sorvena::test
