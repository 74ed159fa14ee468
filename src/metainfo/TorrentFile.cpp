#include "metainfo/TorrentFile.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <iterator>
#include <stdexcept>

#include "metainfo/BDecode.h"
#include "metainfo/MessageDigests.h"
#include "base/Hex.h"

namespace sorvena {

namespace {

constexpr std::string_view TorrentExtension = ".torrent";

// A value of the wrong kind where the metainfo expects another ends the load.
class EWrongClass : public std::runtime_error {
public:
    explicit EWrongClass(std::string_view key)
        : std::runtime_error("\"" + std::string(key) + "\" has the wrong type")
    {
    }
};

bool isScalar(TBencodeKind kind)
{
    return kind == TBencodeKind::String || kind == TBencodeKind::Integer;
}

// A scalar is read through its text or its value without looking at its
// kind; a list or a dictionary where a scalar belongs ends the load.
std::string_view scalarText(const TBencodeTokens& tokens, uint32_t value, std::string_view what)
{
    if (!isScalar(tokens.Kind(value))) throw EWrongClass(what);
    return tokens.Text(value);
}

int64_t scalarValue(const TBencodeTokens& tokens, uint32_t value, std::string_view what)
{
    if (!isScalar(tokens.Kind(value))) throw EWrongClass(what);
    return tokens.Value(value);
}

void requireKind(const TBencodeTokens& tokens, uint32_t value, TBencodeKind kind, std::string_view what)
{
    if (tokens.Kind(value) != kind) throw EWrongClass(what);
}

constexpr uint32_t Absent = TBencodeTokens::NoToken;

// The containers the loader reads. Every other list or dictionary of a file
// is decoded only to find its end, so what the model does not hold costs
// no memory however large it is.
const TBencodeShape ScalarItems{};  // "path" and the tiers of "announce-list"
const TBencodeShape::TKey FileEntryKeys[] = {{"path", &ScalarItems}};
const TBencodeShape FileEntry{FileEntryKeys, std::size(FileEntryKeys), nullptr};
const TBencodeShape FileList{nullptr, 0, &FileEntry};
const TBencodeShape::TKey InfoKeys[] = {{"files", &FileList}};
const TBencodeShape InfoShape{InfoKeys, std::size(InfoKeys), nullptr};
const TBencodeShape TierList{nullptr, 0, &ScalarItems};
const TBencodeShape::TKey MetainfoKeys[] = {{"announce-list", &TierList}, {"info", &InfoShape}};
const TBencodeShape MetainfoShape{MetainfoKeys, std::size(MetainfoKeys), nullptr};

}  // namespace

namespace LoadMessage {
std::string FileMissingLength(size_t index)
{
    return "Corrupt File: files[" + std::to_string(index) + "] is missing a \"length\" segment";
}
std::string FileMissingPath(size_t index)
{
    return "Corrupt File: files[" + std::to_string(index) + "] is missing a \"path\" segment";
}
}  // namespace LoadMessage

TTorrentPiece::TTorrentPiece(std::string_view raw20)
{
    std::copy_n(raw20.data(), m_raw.size(), m_raw.data());
}

std::string TTorrentPiece::HashHex() const
{
    std::string hex(2 * m_raw.size(), '\0');
    WriteHex(reinterpret_cast<const unsigned char*>(m_raw.data()), m_raw.size(), hex.data());
    return hex;
}

TDateTime UnixSecondsToDateTime(int32_t seconds)
{
    return UnixEpochDateTime + static_cast<double>(seconds) / 86400.0;
}

int64_t DateTimeToUnixSeconds(TDateTime value)
{
    const auto ms = static_cast<int64_t>(std::llround((value - UnixEpochDateTime) * 86400000.0));
    return ms / 1000;
}

TTorrentFile::TTorrentFile() = default;

void TTorrentFile::ClearMetainfo()
{
    // Everything a load sets is reset, so a second load starts clean.
    AnnounceUrl.clear();
    TorrentName.clear();
    Comment.clear();
    TotalSize = 0;
    CreatedAt = 0;
    FileCount = 0;
    LoadErrors.clear();
    InfoHashHex.clear();
    InfoHashRaw.clear();
    IsMultiFile = false;
    SubFiles.clear();
    PieceHashes.clear();
    PieceLength = 0;
    BackupTrackers.clear();
}

bool TTorrentFile::LoadMetainfo(std::string_view bytes)
{
    int64_t runningSize = 0;
    try {
        ClearMetainfo();
        if (!takeApart(bytes, runningSize)) return false;
    } catch (...) {
        // Includes running out of memory: a hostile file must not take the
        // caller down. The fields set so far keep their values.
        TotalSize = 0;
        try {
            LoadErrors.emplace_back(LoadMessage::Failed);
        } catch (...) {
        }
        return false;
    }
    TotalSize = runningSize;
    return true;
}

bool TTorrentFile::takeApart(std::string_view bytes, int64_t& runningSize)
{
    // The decoded tokens live only for this load: what the program reads
    // later is copied into the fields, and nothing else of the file is kept.
    TMemoryStream stream(bytes);
    const TBencodeTokens tokens(stream, &MetainfoShape);
    if (tokens.Empty()) {
        LoadErrors.emplace_back(LoadMessage::NotBencoded);
        return false;
    }
    constexpr uint32_t meta = 0;
    requireKind(tokens, meta, TBencodeKind::Dictionary, "metainfo");
    static constexpr std::string_view TopKeys[] = {"announce", "announce-list", "comment", "creation date", "info"};
    uint32_t top[std::size(TopKeys)];
    tokens.Find(meta, TopKeys, top, std::size(TopKeys));
    const auto [announce, announceList, comment, created, infoValue] = top;

    if (announce != Absent)
        AnnounceUrl = scalarText(tokens, announce, "announce");
    else
        LoadErrors.emplace_back(LoadMessage::MissingAnnounce);

    if (announceList != Absent) {
        requireKind(tokens, announceList, TBencodeKind::List, "announce-list");
        for (uint32_t tier = announceList + 1; tier < tokens.Next(announceList); tier = tokens.Next(tier)) {
            requireKind(tokens, tier, TBencodeKind::List, "announce-list tier");
            for (uint32_t url = tier + 1; url < tokens.Next(tier); url = tokens.Next(url))
                BackupTrackers.emplace_back(scalarText(tokens, url, "list item"));
        }
    }

    if (comment != Absent) Comment = scalarText(tokens, comment, "comment");

    if (created != Absent)
        CreatedAt = UnixSecondsToDateTime(
            static_cast<int32_t>(static_cast<uint32_t>(scalarValue(tokens, created, "creation date"))));

    if (infoValue == Absent) {
        LoadErrors.emplace_back(LoadMessage::MissingInfo);
        return true;
    }
    const uint32_t info = infoValue;
    requireKind(tokens, info, TBencodeKind::Dictionary, "info");
    static constexpr std::string_view InfoFields[] = {"name", "piece length", "pieces", "length", "files"};
    uint32_t keys[std::size(InfoFields)];
    tokens.Find(info, InfoFields, keys, std::size(InfoFields));
    const auto [name, pieceLength, pieces, length, files] = keys;

    if (name != Absent) {
        TorrentName = scalarText(tokens, name, "name");
        if (TorrentName.ends_with(TorrentExtension)) TorrentName.resize(TorrentName.size() - TorrentExtension.size());
    } else {
        LoadErrors.emplace_back(LoadMessage::MissingName);
    }

    if (pieceLength != Absent)
        PieceLength = static_cast<int32_t>(static_cast<uint32_t>(scalarValue(tokens, pieceLength, "piece length")));
    else
        LoadErrors.emplace_back(LoadMessage::MissingPieceLength);

    if (pieces != Absent) {
        const std::string_view text = scalarText(tokens, pieces, "pieces");
        PieceHashes.reserve(text.size() / 20);
        for (size_t at = 0; at + 20 <= text.size(); at += 20) PieceHashes.emplace_back(text.substr(at, 20));
    } else {
        LoadErrors.emplace_back(LoadMessage::MissingPieces);
    }

    if (length != Absent) {
        // "length" wins even when "files" is there too.
        const int64_t size = scalarValue(tokens, length, "length");
        runningSize = size;
        FileCount = 1;
        SubFiles.push_back(TTorrentSubFile{TorrentName, {}, size, 0});
    } else if (files != Absent) {
        IsMultiFile = true;
        requireKind(tokens, files, TBencodeKind::List, "files");
        // Counted first: the list takes its exact size, not up to twice that.
        size_t entries = 0;
        for (uint32_t entry = files + 1; entry < tokens.Next(files); entry = tokens.Next(entry)) ++entries;
        SubFiles.reserve(entries);
        size_t i = 0;
        for (uint32_t entry = files + 1; entry < tokens.Next(files); entry = tokens.Next(entry), ++i) {
            requireKind(tokens, entry, TBencodeKind::Dictionary, "files entry");
            static constexpr std::string_view FileKeys[] = {"length", "path"};
            uint32_t fileKeys[std::size(FileKeys)];
            tokens.Find(entry, FileKeys, fileKeys, std::size(FileKeys));
            const auto [fileLength, path] = fileKeys;
            TTorrentSubFile sub;
            if (fileLength != Absent)
                sub.FileSize = scalarValue(tokens, fileLength, "length");
            else
                LoadErrors.push_back(LoadMessage::FileMissingLength(i));
            if (path != Absent) {
                requireKind(tokens, path, TBencodeKind::List, "path");
                // Every element but the last is a folder.
                uint32_t previous = Absent;
                for (uint32_t element = path + 1; element < tokens.Next(path); element = tokens.Next(element)) {
                    if (previous != Absent) {
                        sub.DirPath += scalarText(tokens, previous, "list item");
                        sub.DirPath += '\\';
                    }
                    previous = element;
                }
                if (previous != Absent) sub.FileName = scalarText(tokens, previous, "list item");
            } else {
                LoadErrors.push_back(LoadMessage::FileMissingPath(i));
            }
            sub.FileOffset = runningSize;
            // Sizes from the file are untrusted; the sum wraps rather than overflows.
            runningSize = static_cast<int64_t>(static_cast<uint64_t>(runningSize) + static_cast<uint64_t>(sub.FileSize));
            SubFiles.push_back(std::move(sub));
        }
        FileCount = static_cast<int32_t>(SubFiles.size());
    } else {
        LoadErrors.emplace_back(LoadMessage::MissingLayout);
    }

    // Every "info" key leaves where its value lies; the last one counts, as
    // its "_info_start" and "_info_length" would in the decoded tree.
    if (const uint32_t position = tokens.InfoPosition(meta); position != Absent) {
        const auto start = static_cast<int32_t>(tokens.Token(position).Start);
        const auto size = static_cast<int32_t>(tokens.Token(position).Length);
        if (start < 0 || size < 0) throw std::out_of_range("info position outside the file");
        const size_t remembered = stream.Position();
        stream.Seek(static_cast<size_t>(start));
        TSHA1 digest;
        digest.TransformText(stream.Read(static_cast<size_t>(size)));
        digest.Complete();
        InfoHashHex = digest.DigestHex();
        InfoHashRaw.assign(reinterpret_cast<const char*>(digest.DigestBytes()), 20);
        stream.Seek(remembered);
    }
    return true;
}

}  // namespace sorvena
