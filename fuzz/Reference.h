#pragma once
// Straightforward readings of the decoder, the loader and the tracker reply
// count, one allocated object per value, kept for the fuzz targets to hold
// the compact forms to: on every input both must agree in every field.

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "metainfo/BDecode.h"
#include "metainfo/MessageDigests.h"
#include "metainfo/TorrentFile.h"

namespace sorvena::reference {

// Reads one value at the stream's position, byte by byte.
class Decoder {
public:
    explicit Decoder(TMemoryStream& s) : m_s(s) {}

    TObjectPtr value(int depth)
    {
        unsigned char type;
        if (!m_s.ReadByte(type)) return nullptr;
        if (type >= '0' && type <= '9') return std::make_unique<TIntString>(byteString(type));
        if (type == 'i') return integer();
        if (type == 'l') return depth < BencodeMaxDepth ? list(depth) : nullptr;
        if (type == 'd') return depth < BencodeMaxDepth ? dictionary(depth) : nullptr;
        return nullptr;
    }

private:
    static bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }

    std::string byteString(unsigned char firstDigit)
    {
        uint32_t length = firstDigit - '0';
        unsigned char c;
        while (m_s.ReadByte(c) && isDigit(c)) length = length * 10u + (c - '0');
        const auto declared = static_cast<int32_t>(length);
        if (declared <= 0) return {};
        return std::string(m_s.Read(static_cast<size_t>(declared)));
    }

    TObjectPtr integer()
    {
        uint64_t value = 0;
        bool negative = false;
        unsigned char c;
        while (m_s.ReadByte(c)) {
            if (isDigit(c))
                value = value * 10u + (c - '0');
            else if (c == '-')
                negative = true;
            else
                break;
        }
        if (negative) value = 0 - value;
        return std::make_unique<TIntString>(static_cast<int64_t>(value));
    }

    TObjectPtr list(int depth)
    {
        auto result = std::make_unique<TObjectList>();
        unsigned char c;
        while (m_s.ReadByte(c) && c != 'e') {
            m_s.StepBack();
            if (TObjectPtr item = value(depth + 1)) result->Items.push_back(std::move(item));
        }
        return result;
    }

    TObjectPtr dictionary(int depth)
    {
        auto result = std::make_unique<TObjectHash>();
        bool keyBegun = false;
        bool sawInfo = false;
        size_t infoStart = 0;
        size_t infoLength = 0;
        unsigned char c;
        bool more = m_s.ReadByte(c);
        while (more && isDigit(c)) {
            keyBegun = true;
            std::string key = byteString(c);
            const size_t start = m_s.Position();
            TObjectPtr item = value(depth + 1);
            if (item && !key.empty()) result->Put(key, std::move(item));
            if (key == "info") {
                sawInfo = true;
                infoStart = start;
                infoLength = m_s.Position() - start;
                putInfoPosition(*result, infoStart, infoLength);
            }
            more = m_s.ReadByte(c);
        }
        if (more && c != 'e') return nullptr;
        if (!more && !keyBegun) return nullptr;
        if (sawInfo) putInfoPosition(*result, infoStart, infoLength);
        return result;
    }

    static void putInfoPosition(TObjectHash& dict, size_t start, size_t length)
    {
        dict.Put("_info_start", std::make_unique<TIntString>(static_cast<int64_t>(static_cast<int32_t>(start))));
        dict.Put("_info_length", std::make_unique<TIntString>(static_cast<int64_t>(length)));
    }

    TMemoryStream& m_s;
};

inline TObjectPtr Decode(TMemoryStream& stream)
{
    return Decoder(stream).value(0);
}

namespace detail {

struct WrongClass : std::runtime_error {
    WrongClass() : std::runtime_error("wrong class") {}
};

template <class T>
T& getAs(const TObjectHash& dict, std::string_view key)
{
    auto* value = dynamic_cast<T*>(dict.Get(key));
    if (!value) throw WrongClass();
    return *value;
}

inline const TIntString* findScalar(const TObjectHash& dict, std::string_view key)
{
    if (!dict.Contains(key)) return nullptr;
    return &getAs<TIntString>(dict, key);
}

inline const TIntString& scalarItem(const TObject* item)
{
    auto* s = dynamic_cast<const TIntString*>(item);
    if (!s) throw WrongClass();
    return *s;
}

inline bool takeApart(TTorrentFile& t, std::string_view bytes, int64_t& runningSize)
{
    TMemoryStream stream(bytes);
    TObjectPtr decoded = Decode(stream);
    if (!decoded) {
        t.LoadErrors.emplace_back(LoadMessage::NotBencoded);
        return false;
    }
    auto* root = dynamic_cast<TObjectHash*>(decoded.get());
    if (!root) throw WrongClass();
    const TObjectHash& meta = *root;

    if (const TIntString* announce = findScalar(meta, "announce"))
        t.AnnounceUrl = announce->Text;
    else
        t.LoadErrors.emplace_back(LoadMessage::MissingAnnounce);
    if (meta.Contains("announce-list")) {
        for (const TObjectPtr& tier : getAs<TObjectList>(meta, "announce-list").Items) {
            auto* urls = dynamic_cast<const TObjectList*>(tier.get());
            if (!urls) throw WrongClass();
            for (const TObjectPtr& url : urls->Items) t.BackupTrackers.push_back(scalarItem(url.get()).Text);
        }
    }
    if (const TIntString* comment = findScalar(meta, "comment")) t.Comment = comment->Text;
    if (const TIntString* created = findScalar(meta, "creation date"))
        t.CreatedAt = UnixSecondsToDateTime(static_cast<int32_t>(static_cast<uint32_t>(created->Value)));
    if (!meta.Contains("info")) {
        t.LoadErrors.emplace_back(LoadMessage::MissingInfo);
        return true;
    }
    const TObjectHash& info = getAs<TObjectHash>(meta, "info");
    if (const TIntString* name = findScalar(info, "name")) {
        t.TorrentName = name->Text;
        if (t.TorrentName.ends_with(".torrent")) t.TorrentName.resize(t.TorrentName.size() - 8);
    } else {
        t.LoadErrors.emplace_back(LoadMessage::MissingName);
    }
    if (const TIntString* pieceLength = findScalar(info, "piece length"))
        t.PieceLength = static_cast<int32_t>(static_cast<uint32_t>(pieceLength->Value));
    else
        t.LoadErrors.emplace_back(LoadMessage::MissingPieceLength);
    if (const TIntString* pieces = findScalar(info, "pieces")) {
        const std::string& text = pieces->Text;
        for (size_t at = 0; at + 20 <= text.size(); at += 20)
            t.PieceHashes.emplace_back(std::string_view(text).substr(at, 20));
    } else {
        t.LoadErrors.emplace_back(LoadMessage::MissingPieces);
    }
    if (const TIntString* length = findScalar(info, "length")) {
        runningSize = length->Value;
        t.FileCount = 1;
        t.SubFiles.push_back(TTorrentSubFile{t.TorrentName, {}, length->Value, 0});
    } else if (info.Contains("files")) {
        t.IsMultiFile = true;
        const auto& files = getAs<TObjectList>(info, "files").Items;
        for (size_t i = 0; i < files.size(); ++i) {
            auto* entry = dynamic_cast<const TObjectHash*>(files[i].get());
            if (!entry) throw WrongClass();
            TTorrentSubFile sub;
            if (const TIntString* fileLength = findScalar(*entry, "length"))
                sub.FileSize = fileLength->Value;
            else
                t.LoadErrors.push_back(LoadMessage::FileMissingLength(i));
            if (entry->Contains("path")) {
                const auto& elements = getAs<TObjectList>(*entry, "path").Items;
                for (size_t k = 0; k + 1 < elements.size(); ++k) {
                    sub.DirPath += scalarItem(elements[k].get()).Text;
                    sub.DirPath += '\\';
                }
                if (!elements.empty()) sub.FileName = scalarItem(elements.back().get()).Text;
            } else {
                t.LoadErrors.push_back(LoadMessage::FileMissingPath(i));
            }
            sub.FileOffset = runningSize;
            runningSize = static_cast<int64_t>(static_cast<uint64_t>(runningSize) + static_cast<uint64_t>(sub.FileSize));
            t.SubFiles.push_back(std::move(sub));
        }
        t.FileCount = static_cast<int32_t>(t.SubFiles.size());
    } else {
        t.LoadErrors.emplace_back(LoadMessage::MissingLayout);
    }
    if (meta.Contains("_info_start") && meta.Contains("_info_length")) {
        const auto start = static_cast<int32_t>(static_cast<uint32_t>(getAs<TIntString>(meta, "_info_start").Value));
        const auto length = static_cast<int32_t>(static_cast<uint32_t>(getAs<TIntString>(meta, "_info_length").Value));
        if (start < 0 || length < 0) throw std::out_of_range("info position outside the file");
        stream.Seek(static_cast<size_t>(start));
        TSHA1 digest;
        digest.TransformText(stream.Read(static_cast<size_t>(length)));
        digest.Complete();
        t.InfoHashHex = digest.DigestHex();
        t.InfoHashRaw.assign(reinterpret_cast<const char*>(digest.DigestBytes()), 20);
    }
    return true;
}

}  // namespace detail

// Loads bytes into a fresh torrent as LoadMetainfo does, through a tree.
inline bool Load(TTorrentFile& t, std::string_view bytes)
{
    int64_t runningSize = 0;
    try {
        if (!detail::takeApart(t, bytes, runningSize)) return false;
    } catch (...) {
        t.TotalSize = 0;
        t.LoadErrors.emplace_back(LoadMessage::Failed);
        return false;
    }
    t.TotalSize = runningSize;
    return true;
}

// The distinct addresses of one reply (no limit), or -1 for a peer item the
// check refuses.
inline int64_t CountReplyPeers(std::string_view reply)
{
    TMemoryStream stream(reply);
    const TObjectPtr decoded = Decode(stream);
    const auto* dictionary = dynamic_cast<const TObjectHash*>(decoded.get());
    if (!dictionary || dictionary->Contains("failure reason")) return 0;
    std::unordered_set<std::string> seen;
    const auto add = [&seen](std::string_view text) {
        std::string key(text);
        for (char& c : key)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
        seen.insert(std::move(key));
    };
    const auto addCompact = [&add](std::string_view bytes, int family) {
        const size_t entry = (family == AF_INET ? 4 : 16) + 2;
        char text[INET6_ADDRSTRLEN];
        for (size_t at = 0; at + entry <= bytes.size(); at += entry)
            if (::inet_ntop(family, bytes.data() + at, text, sizeof text)) add(text);
    };
    if (dictionary->Contains("peers")) {
        const TObject* peers = dictionary->Get("peers");
        if (const auto* list = dynamic_cast<const TObjectList*>(peers)) {
            for (const TObjectPtr& item : list->Items) {
                const auto* peer = dynamic_cast<const TObjectHash*>(item.get());
                if (!peer || !peer->Contains("ip")) return -1;
                const auto* ip = dynamic_cast<const TIntString*>(peer->Get("ip"));
                if (!ip) return -1;
                add(ip->Text);
            }
        } else if (const auto* compact = dynamic_cast<const TIntString*>(peers)) {
            addCompact(compact->Text, AF_INET);
        }
    }
    if (dictionary->Contains("peers6"))
        if (const auto* compact6 = dynamic_cast<const TIntString*>(dictionary->Get("peers6")))
            addCompact(compact6->Text, AF_INET6);
    return static_cast<int64_t>(seen.size());
}

}  // namespace sorvena::reference
