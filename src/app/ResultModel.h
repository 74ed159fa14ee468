#pragma once
// TResultModel: the result list (treeSeed) as a two-level item model. One
// top-level row per torrent entry, and under a torrent with two or more
// files one row per file.
//
// Ownership: a torrent row owns its entry from AddTorrentNode on and frees it
// with the row (Clear, the model's destruction). A file row only refers to one
// element of its torrent's SubFiles.
//
// Per row the model keeps the references of TResultNodeData and the row
// flags (visible; the sibling position of torrent rows); every text, hint,
// icon, font and colour is computed when the view asks. Rows hidden by the
// filters stay in the model but are not exposed to views, so a view never
// holds state for them; row and parent of a QModelIndex count visible rows
// only.
//
// Sorting is stable, by raw values (64-bit sizes, counts, times), in both
// directions, and the list stays sorted as rows arrive.
//
// GUI thread only.

#include <QAbstractItemModel>
#include <QFont>
#include <QLocale>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "app/ExtensionIcons.h"
#include "metainfo/TorrentEx.h"

namespace sorvena {

// Column indexes: fixed, whatever order the user drags the columns into.
inline constexpr int COL_NAME = 0;
inline constexpr int COL_SIZE = 1;
inline constexpr int COL_PEERS = 2;
inline constexpr int COL_COMMENT = 3;
inline constexpr int COL_FILE = 4;
inline constexpr int COL_DATE = 5;
inline constexpr int COL_ANNOUNCE = 6;
inline constexpr int COL_REFER_SITE = 7;
inline constexpr int ResultColumnCount = 8;

struct TResultColumn {
    const char* Caption;
    int Width;  // pixels
};
inline constexpr TResultColumn ResultColumns[ResultColumnCount] = {
    {"Name", 120},   {"Size", 70}, {"Peers", 40},     {"Comment", 70},
    {"File", 40},    {"Date", 70}, {"Announce", 140}, {"Refer Site", 67}};

// Magnet rows (TTorrentEx::IsMagnet): the File cell and hint, as the file
// list is not known until the torrent file is.
inline const QString MagnetFilesText = QStringLiteral("?");
inline const QString MagnetFilesHint = QStringLiteral("not known yet (only a magnet link was found)");

// The Peers cell: Sorvena's own count once there is one, else the count the
// source reported, else -1 (empty). The File column sorts magnet rows as -1,
// before every torrent with a file list.
inline int32_t ShownPeerCount(const TTorrentEx& t) { return t.PeerCount >= 0 ? t.PeerCount : t.SourcePeers; }
inline int64_t ShownFileCount(const TTorrentEx& t) { return t.IsMagnet() ? -1 : static_cast<int64_t>(t.SubFiles.size()); }
// The Peers hint: Sorvena's count alone ("5"), or with the source's
// ("5 (counted by Sorvena; 12 reported by Jackett)"), or the source's alone
// ("12 reported by Jackett (not counted by Sorvena yet)"); "" when none.
QString PeersHint(const TTorrentEx& t);

// What a row shows: exactly one of the two is set.
struct TResultNodeData {
    TTorrentEx* Torrent = nullptr;             // torrent rows; owned by the row
    const TTorrentSubFile* SubFile = nullptr;  // file rows; owned by the parent's entry
};

class TResultModel final : public QAbstractItemModel {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TResultModel)

public:
    explicit TResultModel(QObject* parent = nullptr, TExtensionIcons::Lookup iconLookup = GetExtensionIcon);
    ~TResultModel() override;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    bool hasChildren(const QModelIndex& parent = {}) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    // Sorts by column (-1: no sort column; rows then keep their order).
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    // Adds a torrent row for the entry (at its sorted place) and, for two or
    // more SubFiles, one file row per file; filters each new row. The model
    // takes the entry over. A null entry is ignored.
    void AddTorrentNode(std::unique_ptr<TTorrentEx> entry);
    // A batch: adds every entry as AddTorrentNode does, then sorts the whole
    // list once. The model is reset, so views forget their expanded rows and
    // selection (meant for filling a cleared list, as loading a results file does).
    void AddTorrentNodes(std::vector<std::unique_ptr<TTorrentEx>> entries);
    // A full torrent for a listed magnet entry with its info hash: it takes
    // that row's place (the row stays where it is, its files appear under it,
    // its peer counts and source stay unless the torrent brings its own) and
    // the model takes it over. False, with entry untouched, when no magnet
    // row has the hash or entry is a magnet entry itself.
    bool ReplaceMagnetNode(std::unique_ptr<TTorrentEx>& entry);
    // A line about the file list of the listed magnet row with this info hash
    // ("fetching...", why a fetch failed), shown in its hint after the File
    // line until the row is replaced, deleted or the list cleared; an empty
    // note removes it. False, with nothing kept, when no magnet row has the hash.
    bool SetMagnetNote(std::string_view infoHashHex, const QString& note);
    QString MagnetNote(std::string_view infoHashHex) const;
    // Removes and frees every row. The sort column and the icons stay.
    void Clear();

    // Every torrent row, hidden ones included.
    int TorrentRowCount() const { return static_cast<int>(m_rows.size()); }
    bool IsEmpty() const { return m_rows.empty(); }
    // The entry of the torrent row at a sibling position (hidden rows counted).
    const TTorrentEx* TorrentAt(int position) const { return m_rows[static_cast<size_t>(position)]->Torrent.get(); }
    TResultNodeData NodeData(const QModelIndex& index) const;

    // The header click rule: a new column sorts ascending, the sort column
    // again flips the direction; then the whole list is sorted.
    void HeaderClick(int column);
    int SortColumn() const { return m_sortColumn; }
    Qt::SortOrder SortOrder() const { return m_sortOrder; }

    // A peer count arrived: the first torrent row (in list order, hidden rows
    // included) whose info hash text equals the key gets the count and is
    // filtered again. Then, matched or not, the list is sorted again when it
    // is sorted by Peers. False when no row matched.
    bool ApplyPeerCount(std::string_view infoHashHex, int32_t count);

    // What the filters and the keyword test read. Changing them changes no
    // row until RefreshRowFilter runs.
    void SetFilterOptions(bool onlyKeywordFile, bool onlyHasPeers);
    // The keyword text of the current search (words separated by spaces).
    void SetSearchKeyword(std::string_view keyword);
    // Filters every row again (ApplyRowFilter on each, depth first).
    void RefreshRowFilter();

    // A row by its place in the whole list, hidden rows included: the torrent
    // row's sibling position and the file row's position under it (-1 for the
    // torrent row itself). Positions change when rows are sorted or removed.
    struct TRowPos {
        int Torrent = -1;  // -1: no row
        int File = -1;
        bool IsValid() const { return Torrent >= 0; }
        bool operator==(const TRowPos&) const = default;
    };
    TRowPos PositionOf(const QModelIndex& index) const;  // no row for an invalid index
    QModelIndex IndexOf(const TRowPos& pos, int column = 0) const;  // invalid when the row is hidden

    // Find: the first row after from (forward) or before it, in tree order
    // (each torrent row followed by its file rows, rows hidden by the filters
    // included), whose text matches: TorrentName for a torrent row, FileName
    // for a file row. Without from, the search starts at the first (forward)
    // or last row. It does not wrap; no row when nothing matches.
    TRowPos FindRow(const TRowPos& from, const QString& findText, bool matchCase, bool wholeWord, bool forward) const;
    // Whether findText occurs in text: ignoring letter case unless matchCase;
    // with wholeWord only where it starts at the text's start or after a
    // delimiter and ends at the text's end or before one. Delimiters are all
    // characters but the ASCII letters and digits. An empty findText never matches.
    static bool TextMatches(const QString& text, const QString& findText, bool matchCase, bool wholeWord);

    // Removes the given rows in one layout change: a torrent row with its
    // file rows and its entry, a file row alone (its entry is unchanged).
    // By position the rows may be hidden ones; positions are taken before
    // anything is removed.
    void DeleteRows(const QModelIndexList& rows);
    void DeleteRows(const std::vector<TRowPos>& rows);
    // The torrent row at a sibling position has no peer count again (-1,
    // a blank Peers cell). Its visibility stays as the filters last set it.
    void ResetPeerCount(int position);

    // The texts of a cell and of its hint (lines separated by "\n"), as the
    // view shows them.
    QString CellText(const QModelIndex& index) const;
    QString HintText(const QModelIndex& index) const;

    // The locale of sizes, dates and times; the system's by default. Dates
    // take its short format with four-digit years; a torrent without a
    // creation date (CreatedAt 0) has no date text.
    void SetLocale(const QLocale& locale);
    // A date as the Date column shows it; empty for 0 (no date).
    QString DateText(TDateTime value) const { return dateText(value); }
    const TExtensionIcons& Icons() const { return m_icons; }

private:
    // A file row: its element of SubFiles, with the visible flag in the
    // pointer's lowest bit (the element's alignment leaves it free), so that
    // a million file rows cost eight bytes each.
    class TFileNode {
    public:
        explicit TFileNode(const TTorrentSubFile* subFile) : m_bits(reinterpret_cast<uintptr_t>(subFile) | 1) {}
        const TTorrentSubFile* SubFile() const { return reinterpret_cast<const TTorrentSubFile*>(m_bits & ~uintptr_t{1}); }
        bool Visible() const { return m_bits & 1; }
        void SetVisible(bool visible) { m_bits = (m_bits & ~uintptr_t{1}) | uintptr_t{visible}; }

    private:
        static_assert(alignof(TTorrentSubFile) >= 2);
        uintptr_t m_bits;
    };
    struct TTorrentNode {
        std::unique_ptr<TTorrentEx> Torrent;
        std::vector<TFileNode> Files;  // empty for fewer than two SubFiles
        uint32_t Index = 0;            // sibling position, hidden rows counted
        uint32_t VisibleFiles = 0;     // VisibleChildCount
        bool Visible = true;
    };
    struct TRowRef {
        TTorrentNode* torrent = nullptr;
        const TFileNode* file = nullptr;  // set for a file row
    };

    std::unique_ptr<TTorrentNode> makeNode(std::unique_ptr<TTorrentEx> entry) const;
    TRowRef resolve(const QModelIndex& index) const;
    TTorrentNode* visibleTorrent(int viewRow) const;
    const TFileNode* visibleFile(const TTorrentNode& torrent, int viewRow) const;
    int viewRowOf(const TTorrentNode& torrent) const;  // -1 when hidden
    int viewRowOf(const TTorrentNode& torrent, const TTorrentSubFile* subFile) const;

    bool torrentPasses(const TTorrentNode& torrent) const;
    bool filePasses(const TFileNode& file) const;
    void filterFiles(TTorrentNode& torrent) const;
    void renumber(size_t from);
    void rebuildVisibleRows();
    // Runs change between layoutAboutToBeChanged and layoutChanged and moves
    // every persistent index to where its row went (or makes it invalid).
    template <typename Change>
    void relayout(Change change, QAbstractItemModel::LayoutChangeHint hint);
    void sortRows();
    void sortTorrentRows();
    // Each sorts the torrent rows by a key taken once per row.
    template <typename Key, typename Compare>
    void sortByKey(Key (*key)(const TTorrentEx&), Compare compare);
    void sortByText(std::string_view (*key)(const TTorrentEx&));
    void applyOrder(const std::vector<uint32_t>& order);  // the old positions in their new order
    bool torrentLess(const TTorrentNode& a, const TTorrentNode& b) const;

    QString torrentText(const TTorrentNode& torrent, int column) const;
    QString fileText(const TFileNode& file, int column) const;
    QString hintText(const TTorrentNode& torrent, int column) const;
    QString sizeText(int64_t size) const;
    QString dateText(TDateTime value) const;
    QString dateTimeText(TDateTime value) const;
    bool keywordMatch(std::string_view name) const;
    QVariant icon(const TRowRef& row) const;

    std::vector<std::unique_ptr<TTorrentNode>> m_rows;  // sibling order
    std::vector<uint32_t> m_visibleRows;                // positions in m_rows of the visible torrent rows, ascending

    // The visible file rows of one torrent, for a torrent that has hidden
    // ones: views walk one parent's children at a time.
    mutable const TTorrentNode* m_fileCacheOwner = nullptr;
    mutable std::vector<uint32_t> m_fileCache;

    int m_sortColumn = -1;
    Qt::SortOrder m_sortOrder = Qt::AscendingOrder;
    bool m_onlyKeywordFile = false;
    bool m_onlyHasPeers = false;
    std::vector<std::string> m_keywords;
    // Notes of magnet rows by info hash: few, and only while a row is a magnet.
    std::unordered_map<std::string, QString> m_magnetNotes;

    QLocale m_locale;
    std::string m_decimalSeparator;
    QString m_dateFormat;  // the locale's short date format with four-digit years
    QFont m_boldFont;
    mutable TExtensionIcons m_icons;
};

}  // namespace sorvena
