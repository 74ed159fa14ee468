// Takes arbitrary bytes as a torrent name (and as the keyword), saves a
// results file holding that one torrent and reads it back. The save never
// fails, the comment comes back as its bytes, and the one member
// comes back under a clean name (valid UTF-8, no control character, none of
// the nine removed characters, at most 247 characters before ".torrent")
// with the torrent's name inside it as the loader reads names.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "results/ResultsFile.h"

using namespace sorvena;

namespace {

// Valid UTF-8 without C0, DEL or C1 controls; the number of characters.
bool cleanUtf8(std::string_view s, size_t& chars)
{
    chars = 0;
    for (size_t i = 0; i < s.size(); ++chars) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == 0x7F) return false;
        if (std::string_view("\"*/:<>?\\|").find(static_cast<char>(c)) != std::string_view::npos) return false;
        size_t length = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
        if (length == 0 || c > 0xF4 || i + length > s.size()) return false;
        for (size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        if (c == 0xC2 && static_cast<unsigned char>(s[i + 1]) <= 0x9F) return false;
        i += length;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string name(reinterpret_cast<const char*>(data), size);
    const std::string cleaned = CleanFileName(name);
    if (CleanFileName(cleaned) != cleaned) std::abort();

    const std::string member = ResultMemberName(name);
    constexpr std::string_view Extension = ".torrent";
    if (!member.ends_with(Extension)) std::abort();
    size_t chars = 0;
    if (!cleanUtf8(member, chars) || chars > MaxMemberStemChars + Extension.size()) std::abort();

    TTorrentEx torrent;
    torrent.TorrentName = name;
    torrent.TotalSize = 1;
    torrent.PieceLength = 16384;
    torrent.PieceHashes.emplace_back(std::string(20, 'p'));
    // The same bytes as the keyword, when they fit in a ZIP comment.
    const std::string keyword = name.size() + 3 <= 0xFFFF ? name : std::string();
    std::string archive;
    try {
        archive = BuildResultsArchive({&torrent}, 7, keyword);
    } catch (const EResultsFileError&) {
        std::abort();  // any list saves
    }
    const TResultsFile back = ReadResultsArchive(archive);
    if (back.Comment != ResultsComment(7, keyword.substr(0, keyword.find('\0')))) std::abort();
    if (back.Entries.size() != 1 || back.Entries[0].MemberName != member) std::abort();
    // The loader takes one ".torrent" off the end of a name.
    std::string_view loaded = name;
    if (loaded.ends_with(Extension)) loaded.remove_suffix(Extension.size());
    if (back.Entries[0].Torrent->TorrentName != loaded) std::abort();
    return 0;
}
