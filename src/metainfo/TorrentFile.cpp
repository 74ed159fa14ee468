#include "metainfo/TorrentFile.h"

#include <algorithm>
#include <cmath>
#include <exception>
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

template <class T>
T& getAs(const TObjectHash& dict, std::string_view key)
{
    auto* value = dynamic_cast<T*>(dict.Get(key));
    if (!value) throw EWrongClass(key);
    return *value;
}

const TIntString* findScalar(const TObjectHash& dict, std::string_view key)
{
    if (!dict.Contains(key)) return nullptr;
    return &getAs<TIntString>(dict, key);
}

const TIntString& scalarItem(const TObject* item)
{
    auto* s = dynamic_cast<const TIntString*>(item);
    if (!s) throw EWrongClass("list item");
    return *s;
}

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
    WriteHex(reinterpret_cast<const unsigned char*>(m_raw.data()), m_raw.size(), m_hex.data());
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

TTorrentFile::TTorrentFile() : MetaTree(std::make_unique<TObjectHash>()) {}

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
    MetaTree->Clear();
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
    TMemoryStream stream(bytes);
    TObjectPtr decoded = BencodeDecode(stream);
    if (!decoded) {
        LoadErrors.emplace_back(LoadMessage::NotBencoded);
        return false;
    }
    auto* root = dynamic_cast<TObjectHash*>(decoded.get());
    if (!root) throw EWrongClass("metainfo");
    decoded.release();
    MetaTree.reset(root);
    const TObjectHash& meta = *MetaTree;

    if (const TIntString* announce = findScalar(meta, "announce"))
        AnnounceUrl = announce->Text;
    else
        LoadErrors.emplace_back(LoadMessage::MissingAnnounce);

    if (meta.Contains("announce-list")) {
        for (const TObjectPtr& tier : getAs<TObjectList>(meta, "announce-list").Items) {
            auto* urls = dynamic_cast<const TObjectList*>(tier.get());
            if (!urls) throw EWrongClass("announce-list tier");
            for (const TObjectPtr& url : urls->Items) BackupTrackers.push_back(scalarItem(url.get()).Text);
        }
    }

    if (const TIntString* comment = findScalar(meta, "comment")) Comment = comment->Text;

    if (const TIntString* created = findScalar(meta, "creation date"))
        CreatedAt = UnixSecondsToDateTime(static_cast<int32_t>(static_cast<uint32_t>(created->Value)));

    if (!meta.Contains("info")) {
        LoadErrors.emplace_back(LoadMessage::MissingInfo);
        return true;
    }
    const TObjectHash& info = getAs<TObjectHash>(meta, "info");

    if (const TIntString* name = findScalar(info, "name")) {
        TorrentName = name->Text;
        if (TorrentName.ends_with(TorrentExtension)) TorrentName.resize(TorrentName.size() - TorrentExtension.size());
    } else {
        LoadErrors.emplace_back(LoadMessage::MissingName);
    }

    if (const TIntString* pieceLength = findScalar(info, "piece length"))
        PieceLength = static_cast<int32_t>(static_cast<uint32_t>(pieceLength->Value));
    else
        LoadErrors.emplace_back(LoadMessage::MissingPieceLength);

    if (const TIntString* pieces = findScalar(info, "pieces")) {
        const std::string& text = pieces->Text;
        PieceHashes.reserve(text.size() / 20);
        for (size_t at = 0; at + 20 <= text.size(); at += 20)
            PieceHashes.emplace_back(std::string_view(text).substr(at, 20));
    } else {
        LoadErrors.emplace_back(LoadMessage::MissingPieces);
    }

    if (const TIntString* length = findScalar(info, "length")) {
        // "length" wins even when "files" is there too.
        runningSize = length->Value;
        FileCount = 1;
        SubFiles.push_back(TTorrentSubFile{TorrentName, {}, length->Value, 0});
    } else if (info.Contains("files")) {
        IsMultiFile = true;
        const auto& files = getAs<TObjectList>(info, "files").Items;
        SubFiles.reserve(files.size());
        for (size_t i = 0; i < files.size(); ++i) {
            auto* entry = dynamic_cast<const TObjectHash*>(files[i].get());
            if (!entry) throw EWrongClass("files entry");
            TTorrentSubFile sub;
            if (const TIntString* fileLength = findScalar(*entry, "length"))
                sub.FileSize = fileLength->Value;
            else
                LoadErrors.push_back(LoadMessage::FileMissingLength(i));
            if (entry->Contains("path")) {
                const auto& elements = getAs<TObjectList>(*entry, "path").Items;
                for (size_t k = 0; k + 1 < elements.size(); ++k) {
                    sub.DirPath += scalarItem(elements[k].get()).Text;
                    sub.DirPath += '\\';
                }
                if (!elements.empty()) sub.FileName = scalarItem(elements.back().get()).Text;
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

    if (meta.Contains("_info_start") && meta.Contains("_info_length")) {
        const auto start = static_cast<int32_t>(static_cast<uint32_t>(getAs<TIntString>(meta, "_info_start").Value));
        const auto length = static_cast<int32_t>(static_cast<uint32_t>(getAs<TIntString>(meta, "_info_length").Value));
        if (start < 0 || length < 0) throw std::out_of_range("info position outside the file");
        const size_t remembered = stream.Position();
        stream.Seek(static_cast<size_t>(start));
        TSHA1 digest;
        digest.TransformText(stream.Read(static_cast<size_t>(length)));
        digest.Complete();
        InfoHashHex = digest.DigestHex();
        InfoHashRaw.assign(reinterpret_cast<const char*>(digest.DigestBytes()), 20);
        stream.Seek(remembered);
    }
    return true;
}

}  // namespace sorvena
