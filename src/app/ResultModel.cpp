#include "app/ResultModel.h"

#include <QColor>
#include <QDateTime>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "app/QtText.h"
#include "search/SearchUtil.h"
#include "base/StringUtil.h"

namespace sorvena {

namespace {

const QColor FileRowColor(192, 192, 192);
const QColor EvenRowColor(224, 224, 224);
const QColor OddRowColor(255, 255, 255);
const QColor LinkColor(0, 0, 255);
const QColor TextColor(0, 0, 0);  // the backgrounds are fixed light colours, whatever the theme

unsigned foldByte(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return u >= 'a' && u <= 'z' ? u - 'a' + 'A' : u;
}

// ASCII letters fold, every other byte by value, a proper prefix first.
int compareText(std::string_view a, std::string_view b)
{
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n;) {
        // Shared prefixes ("http://tracker.") are common: equal bytes are
        // skipped eight at a time, and only a difference is folded.
        if (i + 8 <= n) {
            uint64_t x, y;
            std::memcpy(&x, a.data() + i, 8);
            std::memcpy(&y, b.data() + i, 8);
            if (x == y) {
                i += 8;
                continue;
            }
        }
        if (a[i] != b[i]) {
            const int d = static_cast<int>(foldByte(a[i])) - static_cast<int>(foldByte(b[i]));
            if (d != 0) return d;
        }
        ++i;
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// How far ahead loops over rows ask for the memory they will read: the rows,
// entries and texts of a large list lie all over the heap, and a sort that
// waits for each in turn spends most of its time waiting.
constexpr size_t PrefetchAhead = 8;

// A text as a sort key: the text, its row, and eight of its bytes folded and
// packed big-endian (zero past the end), so that one integer comparison
// orders two keys by those bytes without reading the texts.
struct TTextKey {
    uint64_t head;
    std::string_view text;
    uint32_t index;
};

uint64_t foldedHead(std::string_view text, size_t depth)
{
    unsigned char bytes[8] = {};
    if (depth < text.size()) std::memcpy(bytes, text.data() + depth, std::min<size_t>(8, text.size() - depth));
    uint64_t x;
    std::memcpy(&x, bytes, 8);
    // a to z to A to Z in all eight bytes at once: the high bit of each byte
    // of letter is set for 'a' and above, but not above 'z', nor for bytes
    // past 0x7F.
    constexpr uint64_t Ones = 0x0101010101010101ULL;
    const uint64_t low7 = x & (0x7F * Ones);
    const uint64_t letter = (low7 + (0x80 - 'a') * Ones) & ~(low7 + (0x80 - 'z' - 1) * Ones) & ~x & (0x80 * Ones);
    x ^= letter >> 2;  // clears 0x20
    // Big-endian, so that integer order is byte order.
    return __builtin_bswap64(x);
}

size_t sharedFoldedPrefix(const TTextKey* first, const TTextKey* last)
{
    const std::string_view lead = first->text;
    size_t shared = lead.size();
    for (const TTextKey* k = first; k != last && shared > 0; ++k) {
        if (last - k > static_cast<std::ptrdiff_t>(PrefetchAhead)) __builtin_prefetch(k[PrefetchAhead].text.data());
        const size_t n = std::min(shared, k->text.size());
        size_t i = 0;
        while (i < n && foldByte(lead[i]) == foldByte(k->text[i])) ++i;
        shared = i;
    }
    return shared;
}

// Sorts as compareText orders, stably, in either direction, eight bytes at a
// time: the keys are sorted by their heads, and each run of equal heads by
// its next eight bytes, until the texts end. Zero past the end makes a
// proper prefix sort first except against a text that goes on with zero
// bytes; the lengths settle those last. Each text is read once per eight
// bytes it shares with another, however many comparisons it takes part in,
// and repeated texts (one tracker for many torrents) cost no more than others.
void sortTextKeys(std::vector<TTextKey>& keys, bool ascending)
{
    if (keys.size() < 2) return;
    struct Range {
        size_t first, last, depth;
    };
    // Explicit work list: a long text shared by many rows must not recurse deeply.
    std::vector<Range> work{{0, keys.size(), sharedFoldedPrefix(keys.data(), keys.data() + keys.size())}};
    const auto byHead = [ascending](const TTextKey& a, const TTextKey& b) {
        return ascending ? a.head < b.head : a.head > b.head;
    };
    const auto bySize = [ascending](const TTextKey& a, const TTextKey& b) {
        return ascending ? a.text.size() < b.text.size() : a.text.size() > b.text.size();
    };
    while (!work.empty()) {
        const Range r = work.back();
        work.pop_back();
        const auto first = keys.begin() + static_cast<std::ptrdiff_t>(r.first);
        const auto last = keys.begin() + static_cast<std::ptrdiff_t>(r.last);
        bool goesOn = false;  // some text has bytes past these eight
        for (auto k = first; k != last; ++k) {
            if (last - k > static_cast<std::ptrdiff_t>(PrefetchAhead)) {
                const std::string_view ahead = k[PrefetchAhead].text;
                __builtin_prefetch(ahead.data() + std::min(r.depth, ahead.size()));
            }
            k->head = foldedHead(k->text, r.depth);
            goesOn = goesOn || k->text.size() > r.depth + 8;
        }
        // Runs of one text (one tracker for many torrents, one extension for
        // many files) are common: what is in order already is not sorted again.
        if (!std::is_sorted(first, last, byHead)) std::stable_sort(first, last, byHead);
        for (auto run = first; run != last;) {
            auto end = run + 1;
            while (end != last && end->head == run->head) ++end;
            if (end - run > 1) {
                if (goesOn)
                    work.push_back({static_cast<size_t>(run - keys.begin()), static_cast<size_t>(end - keys.begin()),
                                    r.depth + 8});
                else if (!std::is_sorted(run, end, bySize))
                    std::stable_sort(run, end, bySize);
            }
            run = end;
        }
    }
}

template <typename T>
int compareNumbers(T a, T b)
{
    return a < b ? -1 : (a > b ? 1 : 0);
}

// Times less than 8.64 seconds (a ten-thousandth of a day) apart are equal.
int compareDates(TDateTime a, TDateTime b)
{
    const auto steps = static_cast<int64_t>(std::trunc((a - b) * 10000.0));
    return compareNumbers<int64_t>(steps, 0);
}

// The "File" cell of a file row: from the last "." on; nothing when a path
// separator or a drive colon follows that dot.
std::string_view fileExtension(std::string_view name)
{
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) return {};
    const std::string_view extension = name.substr(dot);
    if (extension.find_first_of("\\:") != std::string_view::npos) return {};
    return extension;
}

int compareTorrents(const TTorrentEx& a, const TTorrentEx& b, int column)
{
    switch (column) {
    case COL_NAME: return compareText(a.TorrentName, b.TorrentName);
    case COL_SIZE: return compareNumbers(a.TotalSize, b.TotalSize);
    case COL_PEERS: return compareNumbers(ShownPeerCount(a), ShownPeerCount(b));
    case COL_COMMENT: return compareText(a.Comment, b.Comment);
    case COL_FILE: return compareNumbers(ShownFileCount(a), ShownFileCount(b));
    case COL_DATE: return compareDates(a.CreatedAt, b.CreatedAt);
    case COL_ANNOUNCE: return compareText(a.AnnounceUrl, b.AnnounceUrl);
    case COL_REFER_SITE: return compareText(a.LinkUrl, b.LinkUrl);
    default: return 0;
    }
}

// Sorts one torrent's file rows. Only Name, Size and File order them: by
// the other columns they are all equal, and a stable sort keeps their order.
template <typename FileNode>
void sortFileNodes(std::vector<FileNode>& files, int column, bool ascending, std::vector<TTextKey>& scratch)
{
    if (files.size() < 2 || (column != COL_NAME && column != COL_SIZE && column != COL_FILE)) return;
    std::vector<FileNode> sorted;
    sorted.reserve(files.size());
    if (column == COL_SIZE) {
        struct Keyed {
            int64_t size;
            uint32_t index;
        };
        std::vector<Keyed> keyed;
        keyed.reserve(files.size());
        for (size_t i = 0; i < files.size(); ++i) {
            if (i + PrefetchAhead < files.size()) __builtin_prefetch(files[i + PrefetchAhead].SubFile());
            keyed.push_back({files[i].SubFile()->FileSize, static_cast<uint32_t>(i)});
        }
        std::stable_sort(keyed.begin(), keyed.end(), [ascending](const Keyed& a, const Keyed& b) {
            return ascending ? a.size < b.size : a.size > b.size;
        });
        for (const Keyed& k : keyed) sorted.push_back(files[k.index]);
    } else {
        scratch.clear();
        for (size_t i = 0; i < files.size(); ++i) {
            if (i + PrefetchAhead < files.size()) __builtin_prefetch(files[i + PrefetchAhead].SubFile());
            const std::string_view name = files[i].SubFile()->FileName;
            scratch.push_back({0, column == COL_FILE ? fileExtension(name) : name, static_cast<uint32_t>(i)});
        }
        sortTextKeys(scratch, ascending);
        for (const TTextKey& k : scratch) sorted.push_back(files[k.index]);
    }
    files.swap(sorted);
}

QDateTime toDateTime(TDateTime value)
{
    // The value's own day and time, shown as they are: no time zone shift.
    static const QDate Base(1899, 12, 30);
    const double days = std::floor(value);
    auto ms = static_cast<int64_t>(std::llround((value - days) * 86400000.0));
    int64_t day = static_cast<int64_t>(days);
    if (ms >= 86400000) {
        ms -= 86400000;
        ++day;
    }
    return QDateTime(Base.addDays(day), QTime::fromMSecsSinceStartOfDay(static_cast<int>(ms)), Qt::UTC);
}

}  // namespace

TResultModel::TResultModel(QObject* parent, TExtensionIcons::Lookup iconLookup)
    : QAbstractItemModel(parent), m_icons(std::move(iconLookup))
{
    SetLocale(QLocale());
    m_boldFont.setBold(true);
}

TResultModel::~TResultModel() = default;

void TResultModel::SetLocale(const QLocale& locale)
{
    m_locale = locale;
    m_decimalSeparator = QStringToBytes(locale.decimalPoint());
    // The short format with the whole year: "12/30/99" reads as 1999.
    static const QRegularExpression TwoDigitYear(QStringLiteral("(?<!y)yy(?!y)"));
    m_dateFormat = locale.dateFormat(QLocale::ShortFormat).replace(TwoDigitYear, QStringLiteral("yyyy"));
}

QModelIndex TResultModel::index(int row, int column, const QModelIndex& parent) const
{
    if (row < 0 || column < 0 || column >= ResultColumnCount) return {};
    if (!parent.isValid()) {
        if (row >= static_cast<int>(m_visibleRows.size())) return {};
        return createIndex(row, column, nullptr);
    }
    if (parent.internalPointer() || parent.column() != 0) return {};  // file rows have no children
    TTorrentNode* torrent = visibleTorrent(parent.row());
    if (!torrent || row >= static_cast<int>(torrent->VisibleFiles)) return {};
    return createIndex(row, column, torrent);
}

QModelIndex TResultModel::parent(const QModelIndex& child) const
{
    if (!child.isValid() || !child.internalPointer()) return {};
    const auto* torrent = static_cast<const TTorrentNode*>(child.internalPointer());
    const int row = viewRowOf(*torrent);
    return row < 0 ? QModelIndex() : createIndex(row, 0, nullptr);
}

int TResultModel::rowCount(const QModelIndex& parent) const
{
    if (!parent.isValid()) return static_cast<int>(m_visibleRows.size());
    if (parent.internalPointer() || parent.column() != 0) return 0;
    const TTorrentNode* torrent = visibleTorrent(parent.row());
    return torrent ? static_cast<int>(torrent->VisibleFiles) : 0;
}

int TResultModel::columnCount(const QModelIndex&) const
{
    return ResultColumnCount;
}

bool TResultModel::hasChildren(const QModelIndex& parent) const
{
    return rowCount(parent) > 0;
}

Qt::ItemFlags TResultModel::flags(const QModelIndex& index) const
{
    if (!index.isValid()) return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.internalPointer()) f |= Qt::ItemNeverHasChildren;
    return f;
}

QVariant TResultModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= ResultColumnCount) return {};
    if (role == Qt::DisplayRole) return QString::fromLatin1(ResultColumns[section].Caption);
    return {};
}

TResultModel::TTorrentNode* TResultModel::visibleTorrent(int viewRow) const
{
    if (viewRow < 0 || viewRow >= static_cast<int>(m_visibleRows.size())) return nullptr;
    return m_rows[m_visibleRows[static_cast<size_t>(viewRow)]].get();
}

const TResultModel::TFileNode* TResultModel::visibleFile(const TTorrentNode& torrent, int viewRow) const
{
    if (viewRow < 0 || viewRow >= static_cast<int>(torrent.VisibleFiles)) return nullptr;
    if (torrent.VisibleFiles == torrent.Files.size()) return &torrent.Files[static_cast<size_t>(viewRow)];
    if (m_fileCacheOwner != &torrent) {
        m_fileCache.clear();
        for (size_t i = 0; i < torrent.Files.size(); ++i)
            if (torrent.Files[i].Visible()) m_fileCache.push_back(static_cast<uint32_t>(i));
        m_fileCacheOwner = &torrent;
    }
    return &torrent.Files[m_fileCache[static_cast<size_t>(viewRow)]];
}

int TResultModel::viewRowOf(const TTorrentNode& torrent) const
{
    if (!torrent.Visible) return -1;
    const auto at = std::lower_bound(m_visibleRows.begin(), m_visibleRows.end(), torrent.Index);
    return static_cast<int>(at - m_visibleRows.begin());
}

int TResultModel::viewRowOf(const TTorrentNode& torrent, const TTorrentSubFile* subFile) const
{
    int row = 0;
    for (const TFileNode& file : torrent.Files) {
        if (file.SubFile() == subFile) return file.Visible() ? row : -1;
        if (file.Visible()) ++row;
    }
    return -1;
}

TResultModel::TRowRef TResultModel::resolve(const QModelIndex& index) const
{
    if (!index.isValid() || index.model() != this) return {};
    if (!index.internalPointer()) return {visibleTorrent(index.row()), nullptr};
    auto* torrent = static_cast<TTorrentNode*>(index.internalPointer());
    return {torrent, visibleFile(*torrent, index.row())};
}

TResultNodeData TResultModel::NodeData(const QModelIndex& index) const
{
    const TRowRef row = resolve(index);
    if (row.file) return {nullptr, row.file->SubFile()};
    if (row.torrent) return {row.torrent->Torrent.get(), nullptr};
    return {};
}

bool TResultModel::torrentPasses(const TTorrentNode& torrent) const
{
    // An uncounted torrent (-1) is never hidden.
    return !(m_onlyHasPeers && torrent.Torrent->PeerCount == 0);
}

bool TResultModel::filePasses(const TFileNode& file) const
{
    return !m_onlyKeywordFile || HasKeyword(file.SubFile()->FileName, m_keywords);
}

void TResultModel::filterFiles(TTorrentNode& torrent) const
{
    torrent.VisibleFiles = 0;
    for (TFileNode& file : torrent.Files) {
        file.SetVisible(filePasses(file));
        if (file.Visible()) ++torrent.VisibleFiles;
    }
}

void TResultModel::renumber(size_t from)
{
    for (size_t i = from; i < m_rows.size(); ++i) m_rows[i]->Index = static_cast<uint32_t>(i);
}

void TResultModel::rebuildVisibleRows()
{
    m_visibleRows.clear();
    for (const auto& row : m_rows)
        if (row->Visible) m_visibleRows.push_back(row->Index);
    m_fileCacheOwner = nullptr;
}

template <typename Change>
void TResultModel::relayout(Change change, QAbstractItemModel::LayoutChangeHint hint)
{
    emit layoutAboutToBeChanged({}, hint);
    const QModelIndexList before = persistentIndexList();
    struct Where {
        TTorrentNode* torrent;
        const TTorrentSubFile* subFile;
        int column;
    };
    std::vector<Where> where;
    where.reserve(static_cast<size_t>(before.size()));
    for (const QModelIndex& index : before) {
        const TRowRef row = resolve(index);
        where.push_back({row.torrent, row.file ? row.file->SubFile() : nullptr, index.column()});
    }

    change();

    QModelIndexList after;
    after.reserve(before.size());
    for (const Where& w : where) {
        int row = -1;
        if (w.torrent) row = w.subFile ? (w.torrent->Visible ? viewRowOf(*w.torrent, w.subFile) : -1) : viewRowOf(*w.torrent);
        after.push_back(row < 0 ? QModelIndex() : createIndex(row, w.column, w.subFile ? w.torrent : nullptr));
    }
    changePersistentIndexList(before, after);
    emit layoutChanged({}, hint);
}

bool TResultModel::torrentLess(const TTorrentNode& a, const TTorrentNode& b) const
{
    const int c = compareTorrents(*a.Torrent, *b.Torrent, m_sortColumn);
    return m_sortOrder == Qt::AscendingOrder ? c < 0 : c > 0;
}

template <typename Key, typename Compare>
void TResultModel::sortByKey(Key (*key)(const TTorrentEx&), Compare compare)
{
    // The keys sit next to the positions: a comparison reads the key without
    // going through the row and its entry.
    struct Keyed {
        Key key;
        uint32_t index;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(m_rows.size());
    for (const auto& row : m_rows) keyed.push_back({key(*row->Torrent), row->Index});
    const bool ascending = m_sortOrder == Qt::AscendingOrder;
    std::stable_sort(keyed.begin(), keyed.end(), [&](const Keyed& a, const Keyed& b) {
        return ascending ? compare(a.key, b.key) < 0 : compare(a.key, b.key) > 0;
    });
    std::vector<uint32_t> order;
    order.reserve(keyed.size());
    for (const Keyed& k : keyed) order.push_back(k.index);
    applyOrder(order);
}

void TResultModel::sortByText(std::string_view (*key)(const TTorrentEx&))
{
    std::vector<TTextKey> keys;
    keys.reserve(m_rows.size());
    for (size_t i = 0; i < m_rows.size(); ++i) {
        if (i + 2 * PrefetchAhead < m_rows.size()) __builtin_prefetch(m_rows[i + 2 * PrefetchAhead].get());
        if (i + PrefetchAhead < m_rows.size()) __builtin_prefetch(m_rows[i + PrefetchAhead]->Torrent.get());
        keys.push_back({0, key(*m_rows[i]->Torrent), m_rows[i]->Index});
    }
    sortTextKeys(keys, m_sortOrder == Qt::AscendingOrder);
    std::vector<uint32_t> order;
    order.reserve(keys.size());
    for (const TTextKey& k : keys) order.push_back(k.index);
    applyOrder(order);
}

void TResultModel::applyOrder(const std::vector<uint32_t>& order)
{
    std::vector<std::unique_ptr<TTorrentNode>> sorted;
    sorted.reserve(m_rows.size());
    for (const uint32_t index : order) sorted.push_back(std::move(m_rows[index]));
    m_rows.swap(sorted);
}

void TResultModel::sortTorrentRows()
{
    // The keys need each row's position: rows added in a batch have none yet.
    renumber(0);
    using View = std::string_view;
    switch (m_sortColumn) {
    case COL_NAME: return sortByText(+[](const TTorrentEx& t) { return View(t.TorrentName); });
    case COL_COMMENT: return sortByText(+[](const TTorrentEx& t) { return View(t.Comment); });
    case COL_ANNOUNCE: return sortByText(+[](const TTorrentEx& t) { return View(t.AnnounceUrl); });
    case COL_REFER_SITE: return sortByText(+[](const TTorrentEx& t) { return View(t.LinkUrl); });
    case COL_SIZE: return sortByKey(+[](const TTorrentEx& t) { return t.TotalSize; }, compareNumbers<int64_t>);
    case COL_PEERS:
        return sortByKey(+[](const TTorrentEx& t) { return int64_t{ShownPeerCount(t)}; }, compareNumbers<int64_t>);
    case COL_FILE:
        return sortByKey(+[](const TTorrentEx& t) { return ShownFileCount(t); }, compareNumbers<int64_t>);
    case COL_DATE:
        // Dates compare by a rounded difference, which no integer key gives;
        // the comparison still reads only the key.
        return sortByKey(+[](const TTorrentEx& t) { return t.CreatedAt; }, compareDates);
    default: return;
    }
}

void TResultModel::sortRows()
{
    if (m_sortColumn < 0) return;
    sortTorrentRows();
    std::vector<TTextKey> scratch;
    for (size_t i = 0; i < m_rows.size(); ++i) {
        if (i + 2 * PrefetchAhead < m_rows.size()) __builtin_prefetch(m_rows[i + 2 * PrefetchAhead].get());
        if (i + PrefetchAhead < m_rows.size()) __builtin_prefetch(m_rows[i + PrefetchAhead]->Files.data());
        sortFileNodes(m_rows[i]->Files, m_sortColumn, m_sortOrder == Qt::AscendingOrder, scratch);
    }
    renumber(0);
    rebuildVisibleRows();
}

void TResultModel::sort(int column, Qt::SortOrder order)
{
    m_sortColumn = column >= 0 && column < ResultColumnCount ? column : -1;
    m_sortOrder = order;
    relayout([this] { sortRows(); }, QAbstractItemModel::VerticalSortHint);
}

void TResultModel::HeaderClick(int column)
{
    if (column < 0 || column >= ResultColumnCount) return;
    if (column != m_sortColumn)
        sort(column, Qt::AscendingOrder);
    else
        sort(column, m_sortOrder == Qt::AscendingOrder ? Qt::DescendingOrder : Qt::AscendingOrder);
}

std::unique_ptr<TResultModel::TTorrentNode> TResultModel::makeNode(std::unique_ptr<TTorrentEx> entry) const
{
    auto node = std::make_unique<TTorrentNode>();
    node->Torrent = std::move(entry);
    const auto& subFiles = node->Torrent->SubFiles;
    if (subFiles.size() >= 2) {
        node->Files.reserve(subFiles.size());
        for (const TTorrentSubFile& subFile : subFiles) node->Files.emplace_back(&subFile);
        std::vector<TTextKey> scratch;
        sortFileNodes(node->Files, m_sortColumn, m_sortOrder == Qt::AscendingOrder, scratch);
    }
    node->Visible = torrentPasses(*node);
    filterFiles(*node);
    return node;
}

void TResultModel::AddTorrentNodes(std::vector<std::unique_ptr<TTorrentEx>> entries)
{
    beginResetModel();
    for (auto& entry : entries)
        if (entry) m_rows.push_back(makeNode(std::move(entry)));
    if (m_sortColumn >= 0) sortTorrentRows();
    renumber(0);
    rebuildVisibleRows();
    endResetModel();
}

void TResultModel::AddTorrentNode(std::unique_ptr<TTorrentEx> entry)
{
    if (!entry) return;
    auto node = makeNode(std::move(entry));

    // After every row that sorts before or equal to it: equal rows keep the
    // order in which they arrived.
    size_t pos = m_rows.size();
    if (m_sortColumn >= 0)
        pos = static_cast<size_t>(std::upper_bound(m_rows.begin(), m_rows.end(), node,
                                                   [this](const auto& a, const auto& b) { return torrentLess(*a, *b); }) -
                                  m_rows.begin());
    TTorrentNode& added = *node;
    const bool atEnd = pos == m_rows.size();
    m_rows.insert(m_rows.begin() + static_cast<std::ptrdiff_t>(pos), std::move(node));
    added.Index = static_cast<uint32_t>(pos);
    if (!atEnd) {
        // Visible rows keep their view rows; only the positions behind them move.
        renumber(pos + 1);
        for (uint32_t& p : m_visibleRows)
            if (p >= pos) ++p;
    }
    if (!added.Visible) return;
    const auto at = std::lower_bound(m_visibleRows.begin(), m_visibleRows.end(), added.Index);
    const int viewRow = static_cast<int>(at - m_visibleRows.begin());
    beginInsertRows({}, viewRow, viewRow);
    m_visibleRows.insert(at, added.Index);
    endInsertRows();
}

bool TResultModel::ReplaceMagnetNode(std::unique_ptr<TTorrentEx>& entry)
{
    if (!entry || entry->IsMagnet()) return false;
    for (const auto& row : m_rows) {
        TTorrentNode& node = *row;
        if (!node.Torrent->IsMagnet() || node.Torrent->InfoHashHex != entry->InfoHashHex) continue;
        // What the row knew already stays: a count made, where the magnet came from.
        if (entry->PeerCount < 0) entry->PeerCount = node.Torrent->PeerCount;
        if (entry->SourcePeers < 0) entry->SourcePeers = node.Torrent->SourcePeers;
        if (entry->Source.empty()) entry->Source = node.Torrent->Source;
        m_magnetNotes.erase(node.Torrent->InfoHashHex);
        auto replacement = makeNode(std::move(entry));
        const int viewRow = node.Visible ? viewRowOf(node) : -1;
        const bool filesAppear = viewRow >= 0 && replacement->VisibleFiles > 0;
        if (filesAppear) beginInsertRows(index(viewRow, 0), 0, static_cast<int>(replacement->VisibleFiles) - 1);
        node.Torrent = std::move(replacement->Torrent);
        node.Files = std::move(replacement->Files);
        node.VisibleFiles = replacement->VisibleFiles;
        m_fileCacheOwner = nullptr;
        if (filesAppear) endInsertRows();
        if (viewRow >= 0) emit dataChanged(index(viewRow, 0), index(viewRow, ResultColumnCount - 1));
        if (m_sortColumn >= 0) sort(m_sortColumn, m_sortOrder);
        return true;
    }
    return false;
}

bool TResultModel::SetMagnetNote(std::string_view infoHashHex, const QString& note)
{
    for (const auto& row : m_rows) {
        TTorrentNode& node = *row;
        if (!node.Torrent->IsMagnet() || node.Torrent->InfoHashHex != infoHashHex) continue;
        if (note.isEmpty()) m_magnetNotes.erase(node.Torrent->InfoHashHex);
        else m_magnetNotes[node.Torrent->InfoHashHex] = note;
        if (node.Visible) {
            const int viewRow = viewRowOf(node);
            emit dataChanged(index(viewRow, 0), index(viewRow, ResultColumnCount - 1), {Qt::ToolTipRole});
        }
        return true;
    }
    return false;
}

QString TResultModel::MagnetNote(std::string_view infoHashHex) const
{
    const auto it = m_magnetNotes.find(std::string(infoHashHex));
    return it == m_magnetNotes.end() ? QString() : it->second;
}

void TResultModel::Clear()
{
    m_magnetNotes.clear();
    beginResetModel();
    m_fileCacheOwner = nullptr;
    m_visibleRows.clear();
    m_rows.clear();
    endResetModel();
}

bool TResultModel::ApplyPeerCount(std::string_view infoHashHex, int32_t count)
{
    TTorrentNode* found = nullptr;
    for (const auto& row : m_rows)
        if (row->Torrent->InfoHashHex == infoHashHex) {
            found = row.get();
            break;
        }
    if (found) {
        found->Torrent->PeerCount = count;
        const bool visible = torrentPasses(*found);
        if (visible && !found->Visible) {
            const auto at = std::lower_bound(m_visibleRows.begin(), m_visibleRows.end(), found->Index);
            const int viewRow = static_cast<int>(at - m_visibleRows.begin());
            beginInsertRows({}, viewRow, viewRow);
            m_visibleRows.insert(at, found->Index);
            found->Visible = true;
            endInsertRows();
        } else if (!visible && found->Visible) {
            const int viewRow = viewRowOf(*found);
            beginRemoveRows({}, viewRow, viewRow);
            m_visibleRows.erase(m_visibleRows.begin() + viewRow);
            found->Visible = false;
            endRemoveRows();
        } else if (visible) {
            const int viewRow = viewRowOf(*found);
            emit dataChanged(index(viewRow, 0), index(viewRow, ResultColumnCount - 1));
        }
    }
    if (m_sortColumn == COL_PEERS) sort(m_sortColumn, m_sortOrder);
    return found != nullptr;
}

void TResultModel::ResetPeerCount(int position)
{
    if (position < 0 || position >= static_cast<int>(m_rows.size())) return;
    const TTorrentNode& node = *m_rows[static_cast<size_t>(position)];
    node.Torrent->PeerCount = -1;
    if (const int viewRow = viewRowOf(node); viewRow >= 0)
        emit dataChanged(index(viewRow, 0), index(viewRow, ResultColumnCount - 1));
}

void TResultModel::SetFilterOptions(bool onlyKeywordFile, bool onlyHasPeers)
{
    m_onlyKeywordFile = onlyKeywordFile;
    m_onlyHasPeers = onlyHasPeers;
}

void TResultModel::SetSearchKeyword(std::string_view keyword)
{
    m_keywords = GetKeywordList(keyword);
}

void TResultModel::RefreshRowFilter()
{
    relayout(
        [this] {
            for (const auto& row : m_rows) {
                row->Visible = torrentPasses(*row);
                filterFiles(*row);
            }
            rebuildVisibleRows();
        },
        QAbstractItemModel::NoLayoutChangeHint);
}

QString TResultModel::sizeText(int64_t size) const
{
    return QString::fromStdString(SizeToText(size, m_decimalSeparator));
}

QString TResultModel::dateText(TDateTime value) const
{
    if (value == 0) return {};  // no creation date, not 1899-12-30
    return m_locale.toString(toDateTime(value).date(), m_dateFormat);
}

QString TResultModel::dateTimeText(TDateTime value) const
{
    if (value == 0) return {};
    const QDateTime at = toDateTime(value);
    QString text = m_locale.toString(at.date(), m_dateFormat);
    if (at.time().msecsSinceStartOfDay() == 0) return text;
    // The long time format without its time zone name: the value has none.
    static const QRegularExpression ZoneName(QStringLiteral("\\s*t+"));
    const QString format = m_locale.timeFormat(QLocale::LongFormat).remove(ZoneName).trimmed();
    return text + QLatin1Char(' ') + m_locale.toString(at.time(), format);
}

QString TResultModel::torrentText(const TTorrentNode& node, int column) const
{
    const TTorrentEx& t = *node.Torrent;
    switch (column) {
    case COL_NAME: return BytesToQString(t.TorrentName);
    case COL_SIZE:
        if (m_onlyKeywordFile && !node.Files.empty()) {
            int64_t shown = 0;
            for (const TFileNode& file : node.Files)
                if (file.Visible()) shown += file.SubFile()->FileSize;
            return sizeText(shown) + QStringLiteral(" / ") + sizeText(t.TotalSize);
        }
        return sizeText(t.TotalSize);
    case COL_PEERS: return ShownPeerCount(t) >= 0 ? QString::number(ShownPeerCount(t)) : QString();
    case COL_COMMENT: return BytesToQString(t.Comment);
    case COL_FILE:
        if (t.IsMagnet()) return MagnetFilesText;
        if (!t.IsMultiFile) return QStringLiteral("1");
        if (m_onlyKeywordFile) return QStringLiteral("%1/%2").arg(node.VisibleFiles).arg(node.Files.size());
        return QString::number(t.SubFiles.size());
    case COL_DATE: return dateText(t.CreatedAt);
    case COL_ANNOUNCE: return BytesToQString(t.AnnounceUrl);
    case COL_REFER_SITE: return t.Source.empty() ? BytesToQString(GetUrlHost(t.LinkUrl)) : BytesToQString(t.Source);
    default: return {};
    }
}

QString TResultModel::fileText(const TFileNode& file, int column) const
{
    const TTorrentSubFile& f = *file.SubFile();
    switch (column) {
    case COL_NAME: return BytesToQString(f.FileName);
    case COL_SIZE: return sizeText(f.FileSize);
    case COL_FILE: return BytesToQString(fileExtension(f.FileName));
    default: return {};
    }
}

QString PeersHint(const TTorrentEx& t)
{
    // Sorvena's own count as always; the source's count says whose it is.
    const QString reported = QStringLiteral("%1 reported by %2").arg(t.SourcePeers).arg(BytesToQString(t.Source));
    if (t.PeerCount >= 0)
        return t.SourcePeers < 0 ? QString::number(t.PeerCount)
                                 : QStringLiteral("%1 (counted by Sorvena; %2)").arg(t.PeerCount).arg(reported);
    if (t.SourcePeers < 0) return {};
    return reported + QStringLiteral(" (not counted by Sorvena yet)");
}

QString TResultModel::hintText(const TTorrentNode& node, int column) const
{
    const TTorrentEx& t = *node.Torrent;
    const QChar lineBreak(u'\n');
    switch (column) {
    case COL_ANNOUNCE: {
        if (t.BackupTrackers.empty()) return QStringLiteral("No backup tracker.");
        QString text = QStringLiteral("Backup trackers:");
        for (const std::string& url : t.BackupTrackers) text += lineBreak + BytesToQString(url);
        return text;
    }
    case COL_DATE: return dateTimeText(t.CreatedAt);
    case COL_COMMENT: return BytesToQString(t.Comment);
    default: break;
    }
    QString text = QStringLiteral("Name: ") + BytesToQString(t.TorrentName);
    text += lineBreak + QStringLiteral("Size: ") + sizeText(t.TotalSize);
    text += lineBreak + QStringLiteral("File: ") +
            (t.IsMagnet() ? MagnetFilesHint : QString::number(t.SubFiles.size()));
    if (t.IsMagnet() && !m_magnetNotes.empty())
        if (const QString note = MagnetNote(t.InfoHashHex); !note.isEmpty())
            text += lineBreak + QStringLiteral("File list: ") + note;
    if (t.CreatedAt != 0) text += lineBreak + QStringLiteral("Date: ") + dateText(t.CreatedAt);
    text += lineBreak + QStringLiteral("Announce: ") + BytesToQString(t.AnnounceUrl);
    if (!t.Comment.empty()) text += lineBreak + QStringLiteral("Comment: ") + BytesToQString(t.Comment);
    if (const QString peers = PeersHint(t); !peers.isEmpty()) text += lineBreak + QStringLiteral("Peers: ") + peers;
    if (!t.Source.empty()) text += lineBreak + QStringLiteral("Refer Site: ") + BytesToQString(t.Source);
    else if (!t.LinkUrl.empty()) text += lineBreak + QStringLiteral("Refer Site: ") + BytesToQString(GetUrlHost(t.LinkUrl));
    return text;
}

QString TResultModel::CellText(const QModelIndex& index) const
{
    const TRowRef row = resolve(index);
    if (row.file) return fileText(*row.file, index.column());
    if (row.torrent) return torrentText(*row.torrent, index.column());
    return {};
}

QString TResultModel::HintText(const QModelIndex& index) const
{
    // A file row shows the hint of its torrent.
    const TRowRef row = resolve(index);
    return row.torrent ? hintText(*row.torrent, index.column()) : QString();
}

bool TResultModel::keywordMatch(std::string_view name) const
{
    return HasKeyword(name, m_keywords);
}

QVariant TResultModel::icon(const TRowRef& row) const
{
    std::string_view name;
    if (row.file)
        name = row.file->SubFile()->FileName;
    else if (row.torrent->Torrent->SubFiles.size() <= 1)
        name = row.torrent->Torrent->TorrentName;
    else
        return {};
    const int imageIndex = m_icons.ImageIndexOf(name);
    if (imageIndex < 0) return {};
    return m_icons.Image(imageIndex);
}

QVariant TResultModel::data(const QModelIndex& index, int role) const
{
    const TRowRef row = resolve(index);
    if (!row.torrent) return {};
    const int column = index.column();
    switch (role) {
    case Qt::DisplayRole: return row.file ? fileText(*row.file, column) : torrentText(*row.torrent, column);
    case Qt::ToolTipRole: {
        const QString hint = hintText(*row.torrent, column);
        return hint.isEmpty() ? QVariant() : QVariant(hint);
    }
    case Qt::DecorationRole: return column == COL_NAME ? icon(row) : QVariant();
    case Qt::FontRole: {
        if (column != COL_NAME) return {};
        // A torrent with file rows is never bold: its files are.
        if (row.file) return keywordMatch(row.file->SubFile()->FileName) ? QVariant(m_boldFont) : QVariant();
        if (!row.torrent->Files.empty()) return {};
        return keywordMatch(row.torrent->Torrent->TorrentName) ? QVariant(m_boldFont) : QVariant();
    }
    case Qt::ForegroundRole: return column == COL_REFER_SITE ? LinkColor : TextColor;
    case Qt::BackgroundRole:
        // Stripes follow sibling positions, hidden rows counted.
        if (row.file) return FileRowColor;
        return row.torrent->Index % 2 == 0 ? EvenRowColor : OddRowColor;
    default: return {};
    }
}

TResultModel::TRowPos TResultModel::PositionOf(const QModelIndex& index) const
{
    const TRowRef row = resolve(index);
    if (!row.torrent) return {};
    const int file = row.file ? static_cast<int>(row.file - row.torrent->Files.data()) : -1;
    return {static_cast<int>(row.torrent->Index), file};
}

QModelIndex TResultModel::IndexOf(const TRowPos& pos, int column) const
{
    if (pos.Torrent < 0 || pos.Torrent >= static_cast<int>(m_rows.size())) return {};
    const TTorrentNode& torrent = *m_rows[static_cast<size_t>(pos.Torrent)];
    const int row = viewRowOf(torrent);
    if (row < 0) return {};
    if (pos.File < 0) return index(row, column);
    if (pos.File >= static_cast<int>(torrent.Files.size())) return {};
    const int fileRow = viewRowOf(torrent, torrent.Files[static_cast<size_t>(pos.File)].SubFile());
    return fileRow < 0 ? QModelIndex() : index(fileRow, column, index(row, 0));
}

bool TResultModel::TextMatches(const QString& text, const QString& findText, bool matchCase, bool wholeWord)
{
    if (findText.isEmpty()) return false;
    const auto isWordChar = [](QChar c) {
        const char16_t u = c.unicode();
        return (u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z');
    };
    const Qt::CaseSensitivity cs = matchCase ? Qt::CaseSensitive : Qt::CaseInsensitive;
    for (qsizetype at = text.indexOf(findText, 0, cs); at >= 0; at = text.indexOf(findText, at + 1, cs)) {
        if (!wholeWord) return true;
        const qsizetype end = at + findText.size();
        if ((at == 0 || !isWordChar(text[at - 1])) && (end == text.size() || !isWordChar(text[end]))) return true;
    }
    return false;
}

TResultModel::TRowPos TResultModel::FindRow(const TRowPos& from, const QString& findText, bool matchCase,
                                            bool wholeWord, bool forward) const
{
    const int torrents = static_cast<int>(m_rows.size());
    const auto fileCount = [&](int t) { return static_cast<int>(m_rows[static_cast<size_t>(t)]->Files.size()); };
    // Steps through tree order: a torrent row, then its file rows.
    const auto step = [&](TRowPos p) -> TRowPos {
        if (forward) {
            if (p.File + 1 < fileCount(p.Torrent)) return {p.Torrent, p.File + 1};
            return p.Torrent + 1 < torrents ? TRowPos{p.Torrent + 1, -1} : TRowPos{};
        }
        if (p.File >= 0) return {p.Torrent, p.File - 1};
        if (p.Torrent == 0) return {};
        return {p.Torrent - 1, fileCount(p.Torrent - 1) - 1};
    };
    TRowPos pos;
    if (from.IsValid() && from.Torrent < torrents) pos = step(from);
    else if (torrents > 0) pos = forward ? TRowPos{0, -1} : TRowPos{torrents - 1, fileCount(torrents - 1) - 1};
    for (; pos.IsValid(); pos = step(pos)) {
        const TTorrentNode& torrent = *m_rows[static_cast<size_t>(pos.Torrent)];
        const std::string& name = pos.File < 0 ? torrent.Torrent->TorrentName
                                               : torrent.Files[static_cast<size_t>(pos.File)].SubFile()->FileName;
        if (TextMatches(BytesToQString(name), findText, matchCase, wholeWord)) return pos;
    }
    return {};
}

void TResultModel::DeleteRows(const QModelIndexList& rows)
{
    std::vector<TRowPos> positions;
    positions.reserve(static_cast<size_t>(rows.size()));
    for (const QModelIndex& index : rows) positions.push_back(PositionOf(index));
    DeleteRows(positions);
}

void TResultModel::DeleteRows(const std::vector<TRowPos>& rows)
{
    std::vector<TTorrentNode*> torrents;
    std::vector<std::pair<TTorrentNode*, const TTorrentSubFile*>> files;
    for (const TRowPos& pos : rows) {
        if (pos.Torrent < 0 || pos.Torrent >= static_cast<int>(m_rows.size())) continue;
        TTorrentNode* torrent = m_rows[static_cast<size_t>(pos.Torrent)].get();
        if (pos.File < 0) torrents.push_back(torrent);
        else if (pos.File < static_cast<int>(torrent->Files.size()))
            files.emplace_back(torrent, torrent->Files[static_cast<size_t>(pos.File)].SubFile());
    }
    if (torrents.empty() && files.empty()) return;
    // The removed nodes live until the persistent indexes have been moved.
    std::vector<std::unique_ptr<TTorrentNode>> removed;
    relayout(
        [&] {
            for (const auto& [torrent, subFile] : files) {
                std::erase_if(torrent->Files, [&](const TFileNode& f) { return f.SubFile() == subFile; });
                torrent->VisibleFiles = static_cast<uint32_t>(
                    std::count_if(torrent->Files.begin(), torrent->Files.end(), [](const TFileNode& f) { return f.Visible(); }));
            }
            for (TTorrentNode* torrent : torrents) torrent->Visible = false;  // marks them for removal
            std::vector<std::unique_ptr<TTorrentNode>> kept;
            kept.reserve(m_rows.size());
            std::sort(torrents.begin(), torrents.end());
            for (auto& row : m_rows) {
                if (std::binary_search(torrents.begin(), torrents.end(), row.get())) removed.push_back(std::move(row));
                else kept.push_back(std::move(row));
            }
            m_rows = std::move(kept);
            for (const auto& row : removed) m_magnetNotes.erase(row->Torrent->InfoHashHex);
            renumber(0);
            rebuildVisibleRows();
        },
        QAbstractItemModel::NoLayoutChangeHint);
}

}  // namespace sorvena
