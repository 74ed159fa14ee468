#pragma once
// The results file (".vrk"): a ZIP archive whose comment holds the category
// index and the keyword text of a search ("8;first second") and whose members
// are the listed torrents, each rebuilt by WriteMetainfo.
//
// Everything works in memory: saving builds the whole archive in a buffer and
// then writes it to a temporary file beside the target, which is renamed over
// the target only when it is complete, so a failed save leaves the previous
// file as it was. Loading reads the file into memory and never writes to disk;
// member names are only reported, never used as paths. Every size that an
// archive declares is distrusted: members are read in bounded chunks against
// the limits below.
//
// Errors throw EResultsFileError with a text for the user. Pure functions of
// their arguments (and the file system); any thread. Saving and loading share
// the work on the members with one helper thread, joined before they return.

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "metainfo/TorrentEx.h"

namespace sorvena {

class EResultsFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The text with every " * / : < > ? \ | removed, and every control byte
// (0x00 to 0x1F and 0x7F); every other byte stays.
std::string CleanFileName(std::string_view text);

// The longest member name stem, in characters, before ".torrent".
inline constexpr size_t MaxMemberStemChars = 247;

// A torrent's name in a results file: CleanFileName of the name, cut to its
// first 247 characters, then ".torrent". The result is UTF-8: a name that is
// not valid UTF-8 is read as Latin-1 (as the window shows it), and the C1
// control characters (U+0080 to U+009F) are dropped as well. Any torrent name
// gives a name libzip takes (".torrent" when nothing is left of it).
std::string ResultMemberName(std::string_view torrentName);

// A magnet entry's member: the same stem as ResultMemberName, then ".magnet".
// The member holds the magnet link as text (the link and a line feed).
std::string MagnetMemberName(std::string_view torrentName);

// The file name under which Download writes a torrent: ResultMemberName, with
// the stem cut further at a character boundary so that the whole name fits in
// maxBytes bytes (a file-system name limit). Never holds "/" nor is "." or "..".
std::string TorrentFileName(std::string_view torrentName, size_t maxBytes = 255);

// The archive comment: the category in decimal, ";", the keyword.
std::string ResultsComment(int category, std::string_view keyword);

// The comment read back (up to its first zero byte). An empty comment has no
// field; field 1 is the text before the first ";" (the whole comment without
// one); field 2 the text after it up to a second ";" (empty is a value).
struct TResultsCommentFields {
    bool Empty = true;                 // no field at all
    std::optional<int> Category;       // field 1 when it reads as a decimal integer (optional sign)
    std::optional<std::string> Keyword;  // field 2; none without any ";"
};
TResultsCommentFields ParseResultsComment(std::string_view comment);

struct TResultsFileLimits {
    uint64_t MaxFileBytes = uint64_t{1} << 30;    // the archive itself
    uint64_t MaxMemberBytes = uint64_t{64} << 20;  // one member, uncompressed
    uint64_t MaxTotalBytes = uint64_t{1} << 30;   // all members, uncompressed
    uint64_t MaxMembers = 1'000'000;
};

// One member as read: its name (UTF-8; names without the ZIP UTF-8 flag are
// read as code page 437) and the torrent loaded from its bytes. LoadMetainfo
// never fails, so a member that is no torrent still gives an entry, with its
// messages in LoadErrors.
struct TResultsFileEntry {
    std::string MemberName;
    std::unique_ptr<TTorrentEx> Torrent;
};

struct TResultsFile {
    std::string Comment;  // raw bytes, up to the first zero byte
    TResultsCommentFields Fields;
    // In archive order. Left empty when the comment has no keyword field
    // (no ";"), since such a file is refused after its category is taken.
    std::vector<TResultsFileEntry> Entries;
};

// The archive as bytes. A magnet entry (a TTorrentEx with IsMagnet) becomes a
// MagnetMemberName member holding its link, every other torrent a
// ResultMemberName member. Members follow the order of torrents; a name equal to
// an earlier one, ignoring ASCII letter case, makes no new member: the
// earlier member keeps its name and takes this torrent's content. Members are
// deflated at the normal level, or stored when deflating would not make them
// smaller (always when empty). Throws EResultsFileError (e.g. a comment longer
// than a ZIP comment can be).
std::string BuildResultsArchive(const std::vector<const TTorrentFile*>& torrents, int category,
                                std::string_view keyword);

// Reads an archive from bytes, or from a file. Throws EResultsFileError when
// the bytes are no readable ZIP archive, a member cannot be read, or a limit
// is passed. Directory members (names ending in "/") are skipped. A member
// whose name ends in ".magnet" (any case) gives a magnet entry (Magnet.h;
// named after the member when the link has no dn), or nothing when it holds
// no magnet link.
TResultsFile ReadResultsArchive(std::string_view bytes, const TResultsFileLimits& limits = {});
TResultsFile ReadResultsFile(const std::string& path, const TResultsFileLimits& limits = {});

// Writes bytes to path through a temporary file in the same folder, renamed
// over path when completely written and flushed. On failure the temporary
// file is removed and path is untouched. Throws EResultsFileError.
void WriteFileAtomically(const std::string& path, std::string_view bytes);

// BuildResultsArchive, then WriteFileAtomically.
void SaveResultsFile(const std::string& path, const std::vector<const TTorrentFile*>& torrents, int category,
                     std::string_view keyword);

}  // namespace sorvena
