#pragma once
// The model of one torrent and its loader.
//
// LoadMetainfo never throws: every problem becomes a message in LoadErrors,
// and the two fatal ones (not bencoded; an error while taking the tree apart)
// make it return false. Byte strings are kept exactly as the file has them.
// The load keeps only these fields: the decoded file (at most 12 bytes per
// input byte while it decodes, see BDecode.h) is released before it returns.
// After the load the fields do not change, so other threads may read them
// while the owning thread keeps the object alive.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "metainfo/TorrentSubFile.h"

namespace sorvena {

// One piece hash: its 20 raw bytes, stored inline, so the hashes of a torrent
// (tens of thousands in a large one) lie in one block. The lowercase
// hexadecimal text is made when asked.
class TTorrentPiece {
public:
    TTorrentPiece() = default;
    explicit TTorrentPiece(std::string_view raw20);

    std::string_view HashRaw() const { return {m_raw.data(), m_raw.size()}; }
    std::string HashHex() const;

private:
    std::array<char, 20> m_raw{};
};

// Days since 1899-12-30 00:00 UTC, the fraction the time of day; 0 = not given.
using TDateTime = double;

inline constexpr TDateTime UnixEpochDateTime = 25569.0;  // 1970-01-01 00:00

TDateTime UnixSecondsToDateTime(int32_t seconds);
// Rounded to the millisecond, then whole seconds since 1970, truncated toward zero.
int64_t DateTimeToUnixSeconds(TDateTime value);

class TTorrentFile {
public:
    TTorrentFile();
    virtual ~TTorrentFile() = default;
    TTorrentFile(const TTorrentFile&) = delete;
    TTorrentFile& operator=(const TTorrentFile&) = delete;

    // Loads the bytes of one torrent file. Returns true when they decoded to
    // a dictionary and nothing failed while taking it apart, even when
    // LoadErrors received messages about missing keys.
    bool LoadMetainfo(std::string_view bytes);
    void ClearMetainfo();

    std::string AnnounceUrl;
    std::string TorrentName;
    std::string Comment;
    int64_t TotalSize = 0;
    TDateTime CreatedAt = 0;
    int32_t FileCount = 0;
    std::vector<std::string> LoadErrors;
    std::string InfoHashHex;  // 40 lowercase hexadecimal characters
    std::string InfoHashRaw;  // 20 bytes
    bool IsMultiFile = false;
    std::vector<TTorrentSubFile> SubFiles;
    std::vector<TTorrentPiece> PieceHashes;
    int32_t PieceLength = 0;
    std::vector<std::string> BackupTrackers;  // every URL of every "announce-list" tier, in order

private:
    // False when the bytes are not bencoded; throws on anything else that is wrong.
    bool takeApart(std::string_view bytes, int64_t& runningSize);
};

// The load messages, exactly as users see them.
namespace LoadMessage {
inline constexpr std::string_view NotBencoded = "Error parsing file; does not appear to be valid bencoded metainfo";
inline constexpr std::string_view MissingAnnounce = "Corrupt File: Missing \"announce\" segment";
inline constexpr std::string_view MissingInfo = "Corrupt File: Missing \"info\" segment";
inline constexpr std::string_view MissingName = "Corrupt File: Missing \"info.name\" segment";
inline constexpr std::string_view MissingPieceLength = "Corrupt File: Missing \"info.piece length\" segment";
inline constexpr std::string_view MissingPieces = "Corrupt File: Missing \"info.pieces\" segment";
inline constexpr std::string_view MissingLayout =
    "Corrupt File: Missing both \"info.length\" and \"info.files\" segments (should have one or the other)";
inline constexpr std::string_view Failed =
    "Something bad happened while trying to load the file, probably corrupt metainfo";
std::string FileMissingLength(size_t index);
std::string FileMissingPath(size_t index);
}  // namespace LoadMessage

}  // namespace sorvena
