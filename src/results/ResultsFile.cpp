#include "results/ResultsFile.h"

#include <libdeflate.h>
#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <exception>
#include <mutex>
#include <thread>
#include <fcntl.h>
#include <sys/stat.h>
#include <filesystem>
#include <random>
#include <unistd.h>
#include <unordered_map>

#include "base/AsciiCase.h"
#include "metainfo/Magnet.h"

namespace sorvena {

namespace {

// Returns the length of the UTF-8 sequence at s[i], or 0 when it is not a
// valid one (overlong forms, surrogates and values above U+10FFFF included).
size_t utf8SequenceLength(std::string_view s, size_t i)
{
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    if (c < 0x80) return 1;
    size_t length = 0;
    if (c >= 0xC2 && c <= 0xDF) length = 2;
    else if (c >= 0xE0 && c <= 0xEF) length = 3;
    else if (c >= 0xF0 && c <= 0xF4) length = 4;
    else return 0;
    if (i + length > s.size()) return 0;
    for (size_t k = 1; k < length; ++k)
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    const unsigned char c1 = byte(i + 1);
    if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F) || (c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 > 0x8F))
        return 0;
    return length;
}

bool isValidUtf8(std::string_view s)
{
    for (size_t i = 0; i < s.size();) {
        const size_t length = utf8SequenceLength(s, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

std::string latin1ToUtf8(std::string_view s)
{
    std::string out;
    out.reserve(s.size() * 2);
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// The first maxChars characters of valid UTF-8, and no more than maxBytes bytes.
std::string_view cutUtf8(std::string_view s, size_t maxChars, size_t maxBytes)
{
    size_t i = 0;
    for (size_t chars = 0; i < s.size() && chars < maxChars; ++chars) {
        const size_t length = utf8SequenceLength(s, i);
        if (i + length > maxBytes) break;
        i += length;
    }
    return s.substr(0, i);
}

// Drops the C1 control characters U+0080 to U+009F from valid UTF-8: bytes
// 0x80 to 0x9F of a name read as Latin-1 become them.
std::string withoutC1Controls(std::string_view utf8)
{
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) <= 0x9F) {
            ++i;
            continue;
        }
        out += utf8[i];
    }
    return out;
}

std::string memberStem(std::string_view torrentName)
{
    const std::string cleaned = CleanFileName(torrentName);
    return withoutC1Controls(isValidUtf8(cleaned) ? cleaned : latin1ToUtf8(cleaned));
}

constexpr std::string_view TorrentExtension = ".torrent";
constexpr std::string_view MagnetExtension = ".magnet";

// The magnet entry of a ".magnet" member, or nothing when the member is no
// magnet link (it is skipped then, as readers skip members they do not know).
bool isMagnetMember(std::string_view name)
{
    return name.size() > MagnetExtension.size() &&
           AsciiEqualsNoCase(name.substr(name.size() - MagnetExtension.size()), MagnetExtension);
}

std::unique_ptr<TTorrentEx> loadMagnetMember(std::string_view name, std::string_view content)
{
    while (!content.empty() && static_cast<unsigned char>(content.back()) <= 32) content.remove_suffix(1);
    while (!content.empty() && static_cast<unsigned char>(content.front()) <= 32) content.remove_prefix(1);
    const std::optional<TMagnetLink> link = ParseMagnet(content);
    if (!link) return nullptr;
    name.remove_suffix(MagnetExtension.size());
    return MakeMagnetEntry(*link, content, name);
}

struct ZipDiscard {
    void operator()(zip_t* za) const { zip_discard(za); }
};
struct ZipSourceFree {
    void operator()(zip_source_t* source) const { zip_source_free(source); }
};
struct ZipFileClose {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using ZipPtr = std::unique_ptr<zip_t, ZipDiscard>;
using ZipSourcePtr = std::unique_ptr<zip_source_t, ZipSourceFree>;
using ZipFilePtr = std::unique_ptr<zip_file_t, ZipFileClose>;

std::string zipErrorText(zip_error_t* error)
{
    std::string text = zip_error_strerror(error);
    zip_error_fini(error);
    return text;
}

// One member as it goes into the archive: its bytes either deflated at the
// normal level (raw deflate, as ZIP stores it) or stored, whichever is not
// larger (stored when deflating would make them larger, and when empty).
struct TPackedMember {
    std::string name;
    std::string content;
    std::string deflated;  // empty when stored
    uint32_t crc = 0;
    bool stored = true;
};

uint32_t crcOf(std::string_view bytes)
{
    return libdeflate_crc32(0, bytes.data(), bytes.size());
}

// Deflates members with one compressor at the normal level (6). libdeflate
// writes raw deflate streams (as ZIP holds them) in well under zlib's time, and
// its output buffer tells the store-or-deflate choice in the same pass: a
// deflated form that does not fit in the content's own size is larger.
class TMemberPacker {
public:
    TMemberPacker() : m_compressor(libdeflate_alloc_compressor(6))
    {
        if (!m_compressor) throw EResultsFileError("Cannot start the deflate compressor");
    }
    ~TMemberPacker() { libdeflate_free_compressor(m_compressor); }
    TMemberPacker(const TMemberPacker&) = delete;
    TMemberPacker& operator=(const TMemberPacker&) = delete;

    void Pack(TPackedMember& member)
    {
        const std::string& content = member.content;
        member.crc = crcOf(content);
        member.stored = true;
        member.deflated.clear();
        if (content.empty()) return;
        member.deflated.resize(content.size());
        const size_t size = libdeflate_deflate_compress(m_compressor, content.data(), content.size(),
                                                        member.deflated.data(), member.deflated.size());
        if (size == 0) {
            std::string().swap(member.deflated);
            return;
        }
        member.deflated.resize(size);
        member.stored = false;
    }

private:
    libdeflate_compressor* m_compressor;
};

// Runs work on this thread and, when there are enough members and a second
// core, on one helper thread beside it. The first exception either throws
// is rethrown once both have ended; onFailure runs first, so that the other
// thread stops taking members.
template <typename Work, typename OnFailure>
void runOnTwoThreads(size_t memberCount, const Work& work, const OnFailure& onFailure)
{
    std::exception_ptr failure;
    std::mutex failureLock;
    const auto guarded = [&] {
        try {
            work();
        } catch (...) {
            onFailure();
            const std::lock_guard lock(failureLock);
            if (!failure) failure = std::current_exception();
        }
    };
    constexpr size_t MembersForTwoThreads = 64;
    if (memberCount < MembersForTwoThreads || std::thread::hardware_concurrency() < 2) {
        guarded();
    } else {
        std::thread helper(guarded);
        guarded();
        helper.join();
    }
    if (failure) std::rethrow_exception(failure);
}

// Writes and packs every member, on two threads when there are enough of them.
void packMembers(std::vector<TPackedMember>& members, const std::vector<const TTorrentFile*>& sources)
{
    std::atomic<size_t> next{0};
    const auto work = [&] {
        TMemberPacker packer;
        for (size_t i = next++; i < members.size(); i = next++) {
            const auto* entry = dynamic_cast<const TTorrentEx*>(sources[i]);
            if (entry && entry->IsMagnet())
                members[i].content = entry->MagnetUri + "\n";  // a magnet link stands for its torrent
            else
                WriteMetainfo(*sources[i], members[i].content, sources[i]->PieceHashes);
            packer.Pack(members[i]);
        }
    };
    runOnTwoThreads(members.size(), work, [&] { next = members.size(); });
}

void putLe16(std::string& out, uint32_t value)
{
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>((value >> 8) & 0xFF);
}

void putLe32(std::string& out, uint32_t value)
{
    putLe16(out, value & 0xFFFF);
    putLe16(out, value >> 16);
}

bool isAscii(std::string_view s)
{
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The archive in the layout libzip writes for new members: no extra fields,
// the UTF-8 flag on names that are not plain ASCII, made by Unix with mode
// 0666, the current local time. Returns false, writing nothing, when the
// archive would need ZIP64 records (more than 65,535 members or 4 GiB).
bool writePlainArchive(const std::vector<TPackedMember>& members, std::string_view comment, std::string& out)
{
    constexpr uint64_t Limit32 = 0xFFFFFFFFu;
    if (members.size() > 0xFFFF) return false;
    uint64_t total = 22 + comment.size();
    for (const TPackedMember& m : members) {
        const uint64_t data = m.stored ? m.content.size() : m.deflated.size();
        if (m.content.size() >= Limit32 || data >= Limit32 || m.name.size() > 0xFFFF) return false;
        total += 30 + 46 + 2 * m.name.size() + data;
    }
    if (total >= Limit32) return false;

    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const int year = local.tm_year + 1900 < 1980 ? 1980 : local.tm_year + 1900;
    const auto dosTime = static_cast<uint32_t>((local.tm_hour << 11) | (local.tm_min << 5) | (local.tm_sec / 2));
    const auto dosDate = static_cast<uint32_t>(((year - 1980) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);

    out.clear();
    out.reserve(static_cast<size_t>(total));
    std::vector<uint32_t> offsets;
    offsets.reserve(members.size());
    const auto header = [&](const TPackedMember& m) {
        putLe16(out, m.stored ? 10 : 20);            // version needed
        putLe16(out, isAscii(m.name) ? 0 : 0x0800);  // flags: the UTF-8 name bit
        putLe16(out, m.stored ? 0 : 8);              // method
        putLe16(out, dosTime);
        putLe16(out, dosDate);
        putLe32(out, m.crc);
        putLe32(out, static_cast<uint32_t>(m.stored ? m.content.size() : m.deflated.size()));
        putLe32(out, static_cast<uint32_t>(m.content.size()));
        putLe16(out, static_cast<uint32_t>(m.name.size()));
        putLe16(out, 0);  // extra field length
    };
    for (const TPackedMember& m : members) {
        offsets.push_back(static_cast<uint32_t>(out.size()));
        putLe32(out, 0x04034b50);
        header(m);
        out += m.name;
        out += m.stored ? m.content : m.deflated;
    }
    const auto directoryStart = static_cast<uint32_t>(out.size());
    for (size_t i = 0; i < members.size(); ++i) {
        const TPackedMember& m = members[i];
        putLe32(out, 0x02014b50);
        putLe16(out, 0x033F);  // made by: Unix, version 6.3
        header(m);
        putLe16(out, 0);                      // comment length
        putLe16(out, 0);                      // disk number
        putLe16(out, 0);                      // internal attributes
        putLe32(out, 0100666u << 16);         // external attributes: a regular file, mode 0666
        putLe32(out, offsets[i]);
        out += m.name;
    }
    const auto directorySize = static_cast<uint32_t>(out.size() - directoryStart);
    putLe32(out, 0x06054b50);
    putLe16(out, 0);
    putLe16(out, 0);
    putLe16(out, static_cast<uint32_t>(members.size()));
    putLe16(out, static_cast<uint32_t>(members.size()));
    putLe32(out, directorySize);
    putLe32(out, directoryStart);
    putLe16(out, static_cast<uint32_t>(comment.size()));
    out += comment;
    return true;
}

constexpr size_t ReadChunkBytes = 64 * 1024;

// One member as it comes out of the archive: the bytes the archive holds,
// then its content and the torrent loaded from it.
struct TUnpackMember {
    std::string name;
    std::string packed;  // deflated or stored bytes, as in the archive
    std::string content;
    bool deflated = false;
    uint32_t crc = 0;
    uint64_t size = 0;  // declared
    uint64_t bytes = 0;     // the content's size once ready
    bool ready = false;     // content holds (or held) the whole member
    bool tooLarge = false;  // content passed MaxMemberBytes
    std::string error;
    std::unique_ptr<TTorrentEx> torrent;
    bool skipped = false;  // a .magnet member without a valid link
};

// The size and CRC of a member's content; true, as the unpacking has ended.
bool checkUnpacked(TUnpackMember& m)
{
    if (m.content.size() != m.size) {
        m.error = "Read error";
        return true;
    }
    if (crcOf(m.content) != m.crc) {
        m.error = "CRC error";
        return true;
    }
    m.bytes = m.content.size();
    m.ready = true;
    return true;
}

// Inflates (or takes) one member's bytes into content, at most maxBytes of
// them; false when stopped early. Checks the end of the data, the size and the CRC.
bool unpackMember(TUnpackMember& m, uint64_t maxBytes, z_stream& inflater, libdeflate_decompressor* fast,
                  const std::atomic<bool>& stop)
{
    // A member that inflates to exactly its declared size (what every archive
    // that is not damaged holds) is inflated in one call into a buffer of
    // that size, as the stream below first guesses it. Anything else goes
    // through the stream, which tells what is wrong.
    if (m.deflated && m.size <= maxBytes) {
        m.content.resize(static_cast<size_t>(m.size));
        size_t produced = 0;
        if (libdeflate_deflate_decompress(fast, m.packed.data(), m.packed.size(), m.content.data(), m.content.size(),
                                          &produced) == LIBDEFLATE_SUCCESS &&
            produced == m.size) {
            std::string().swap(m.packed);
            return checkUnpacked(m);
        }
    }
    if (!m.deflated) {
        if (m.packed.size() > maxBytes) {
            m.tooLarge = true;
            return true;
        }
        m.content = std::move(m.packed);
    } else {
        if (inflateReset(&inflater) != Z_OK) {
            m.error = "Cannot reset the inflater";
            return true;
        }
        inflater.next_in = reinterpret_cast<Bytef*>(m.packed.data());
        inflater.avail_in = static_cast<uInt>(m.packed.size());
        // The declared size is a first guess, never trusted beyond maxBytes.
        m.content.resize(static_cast<size_t>(std::min<uint64_t>(std::max<uint64_t>(m.size, 1), maxBytes + 1)));
        size_t produced = 0;
        for (;;) {
            if (produced == m.content.size()) {
                if (m.content.size() > maxBytes) {
                    m.tooLarge = true;
                    return true;
                }
                if (stop) return false;
                m.content.resize(static_cast<size_t>(std::min<uint64_t>(m.content.size() * 2, maxBytes + 1)));
            }
            const size_t room = std::min<size_t>(m.content.size() - produced, size_t{1} << 30);
            inflater.next_out = reinterpret_cast<Bytef*>(m.content.data() + produced);
            inflater.avail_out = static_cast<uInt>(room);
            const int result = inflate(&inflater, Z_NO_FLUSH);
            produced += room - inflater.avail_out;
            if (result == Z_STREAM_END) break;
            if (result == Z_BUF_ERROR && inflater.avail_in == 0) {
                m.error = "Premature end of compressed data";
                return true;
            }
            if (result != Z_OK && result != Z_BUF_ERROR) {
                m.error = "Compression error";
                return true;
            }
        }
        if (produced > maxBytes) {
            m.tooLarge = true;
            return true;
        }
        m.content.resize(produced);
        std::string().swap(m.packed);
    }
    return checkUnpacked(m);
}

// Unpacks and loads every member, on two threads when there are enough of
// them. Stops early once the members unpacked hold more than the limit allows.
void unpackMembers(std::vector<TUnpackMember>& members, const TResultsFileLimits& limits)
{
    std::atomic<size_t> next{0};
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> total{0};
    const auto work = [&] {
        z_stream inflater{};
        if (inflateInit2(&inflater, -MAX_WBITS) != Z_OK) throw EResultsFileError("Cannot start the inflater");
        struct TEnd {
            z_stream& s;
            ~TEnd() { inflateEnd(&s); }
        } end{inflater};
        const std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> fast(
            libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
        if (!fast) throw EResultsFileError("Cannot start the inflater");
        for (size_t i = next++; i < members.size() && !stop; i = next++) {
            TUnpackMember& m = members[i];
            if (!m.ready && !unpackMember(m, limits.MaxMemberBytes, inflater, fast.get(), stop)) return;
            if (!m.ready) {
                stop = true;  // the ordered walk reports it
                return;
            }
            if ((total += m.bytes) > limits.MaxTotalBytes) {
                stop = true;
                return;
            }
            if (isMagnetMember(m.name)) {
                m.torrent = loadMagnetMember(m.name, m.content);  // none when it holds no valid link
                m.skipped = !m.torrent;
            } else {
                m.torrent = std::make_unique<TTorrentEx>();
                m.torrent->LoadMetainfo(m.content);
            }
            std::string().swap(m.content);
        }
    };
    runOnTwoThreads(members.size(), work, [&] { stop = true; });
}

}  // namespace

std::string CleanFileName(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        // Control bytes: libzip refuses a name that holds one (tab, CR and LF
        // aside), and none belongs in a file name a person reads.
        if (byte < 0x20 || byte == 0x7F) continue;
        if (std::string_view("\"*/:<>?\\|").find(c) == std::string_view::npos) out += c;
    }
    return out;
}

std::string ResultMemberName(std::string_view torrentName)
{
    const std::string stem = memberStem(torrentName);
    return std::string(cutUtf8(stem, MaxMemberStemChars, stem.size())) + std::string(TorrentExtension);
}

std::string MagnetMemberName(std::string_view torrentName)
{
    const std::string stem = memberStem(torrentName);
    return std::string(cutUtf8(stem, MaxMemberStemChars, stem.size())) + std::string(MagnetExtension);
}

std::string TorrentFileName(std::string_view torrentName, size_t maxBytes)
{
    const std::string stem = memberStem(torrentName);
    const size_t stemBytes = maxBytes > TorrentExtension.size() ? maxBytes - TorrentExtension.size() : 0;
    return std::string(cutUtf8(stem, MaxMemberStemChars, stemBytes)) + std::string(TorrentExtension);
}

std::string ResultsComment(int category, std::string_view keyword)
{
    return std::to_string(category) + ";" + std::string(keyword);
}

TResultsCommentFields ParseResultsComment(std::string_view comment)
{
    TResultsCommentFields fields;
    comment = comment.substr(0, comment.find('\0'));
    if (comment.empty()) return fields;
    fields.Empty = false;
    const size_t first = comment.find(';');
    std::string_view number = comment.substr(0, first);
    const bool plus = !number.empty() && number.front() == '+';
    if (plus) number.remove_prefix(1);
    int category = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), category);
    const bool signOnce = !number.empty() && number.front() != '+' && !(plus && number.front() == '-');
    if (signOnce && error == std::errc() && end == number.data() + number.size()) fields.Category = category;
    if (first != std::string_view::npos) {
        const std::string_view rest = comment.substr(first + 1);
        fields.Keyword = std::string(rest.substr(0, rest.find(';')));
    }
    return fields;
}

std::string BuildResultsArchive(const std::vector<const TTorrentFile*>& torrents, int category,
                                std::string_view keyword)
{
    std::vector<TPackedMember> members;
    std::vector<const TTorrentFile*> sources;  // the torrent whose content each member takes
    std::unordered_map<std::string, size_t> byName;  // ASCII-lowered name -> member
    for (const TTorrentFile* torrent : torrents) {
        const auto* entry = dynamic_cast<const TTorrentEx*>(torrent);
        const bool magnet = entry && entry->IsMagnet();
        std::string name = magnet ? MagnetMemberName(torrent->TorrentName) : ResultMemberName(torrent->TorrentName);
        const auto [it, added] = byName.try_emplace(AsciiLowerCopy(name), members.size());
        if (added) {
            members.push_back({});
            members.back().name = std::move(name);
            sources.push_back(torrent);
        } else {
            sources[it->second] = torrent;  // the later torrent wins, under the first name
        }
    }
    const std::string comment = ResultsComment(category, keyword);
    if (comment.size() > 0xFFFF) throw EResultsFileError("The keyword is too long for a results file");

    if (members.empty()) {
        // libzip writes nothing for an archive without members; an empty ZIP
        // is its end record alone, which still carries the comment.
        std::string bytes("PK\x05\x06", 4);
        bytes.append(16, '\0');
        bytes += static_cast<char>(comment.size() & 0xFF);
        bytes += static_cast<char>(comment.size() >> 8);
        return bytes + comment;
    }

    packMembers(members, sources);
    std::string archive;
    if (writePlainArchive(members, comment, archive)) return archive;

    // Larger archives need ZIP64 records, which libzip writes; the choice
    // between store and deflate made above stands.
    zip_error_t error;
    zip_error_init(&error);
    ZipSourcePtr buffer(zip_source_buffer_create(nullptr, 0, 0, &error));
    if (!buffer) throw EResultsFileError("Cannot create the archive: " + zipErrorText(&error));
    ZipPtr za(zip_open_from_source(buffer.get(), ZIP_TRUNCATE, &error));
    if (!za) throw EResultsFileError("Cannot create the archive: " + zipErrorText(&error));
    zip_source_keep(buffer.get());  // the archive releases its reference on close; the bytes are read after that

    const auto fail = [&](const char* what) {
        throw EResultsFileError(std::string(what) + ": " + zip_strerror(za.get()));
    };
    for (TPackedMember& member : members) {
        std::string().swap(member.deflated);  // libzip deflates again; the memory is not needed
        zip_source_t* source = zip_source_buffer(za.get(), member.content.data(), member.content.size(), 0);
        if (!source) fail("Cannot add a member");
        // ZIP_FL_ENC_UTF_8: libzip sets the UTF-8 flag for names that are not plain ASCII.
        const zip_int64_t index = zip_file_add(za.get(), member.name.c_str(), source, ZIP_FL_ENC_UTF_8);
        if (index < 0) {
            zip_source_free(source);
            fail("Cannot add a member");
        }
        const bool store = member.stored;
        const auto idx = static_cast<zip_uint64_t>(index);
        if (zip_set_file_compression(za.get(), idx, store ? ZIP_CM_STORE : ZIP_CM_DEFLATE, store ? 0 : 6) != 0)
            fail("Cannot set a member's compression");
    }
    if (zip_close(za.get()) != 0) fail("Cannot write the archive");
    (void)za.release();  // zip_close freed it

    if (zip_source_open(buffer.get()) != 0 || zip_source_seek(buffer.get(), 0, SEEK_END) != 0)
        throw EResultsFileError("Cannot read the archive back");
    const zip_int64_t size = zip_source_tell(buffer.get());
    std::string bytes(static_cast<size_t>(size < 0 ? 0 : size), '\0');
    if (size < 0 || zip_source_seek(buffer.get(), 0, SEEK_SET) != 0 ||
        zip_source_read(buffer.get(), bytes.data(), bytes.size()) != size) {
        zip_source_close(buffer.get());
        throw EResultsFileError("Cannot read the archive back");
    }
    zip_source_close(buffer.get());
    // The comment goes into the end record here: libzip refuses one that is
    // not UTF-8 or holds a control byte, and the keyword's bytes are stored
    // as they are (a list loaded from a file keeps its keyword, whatever it
    // holds). Without a comment, libzip's end record is the archive's last
    // 22 bytes, its comment length (the last two) zero.
    constexpr size_t EndRecordBytes = 22;
    if (bytes.size() < EndRecordBytes || bytes.compare(bytes.size() - EndRecordBytes, 4, "PK\x05\x06") != 0 ||
        bytes[bytes.size() - 2] != 0 || bytes[bytes.size() - 1] != 0)
        throw EResultsFileError("Cannot set the archive comment");
    bytes[bytes.size() - 2] = static_cast<char>(comment.size() & 0xFF);
    bytes[bytes.size() - 1] = static_cast<char>(comment.size() >> 8);
    return bytes + comment;
}

TResultsFile ReadResultsArchive(std::string_view bytes, const TResultsFileLimits& limits)
{
    if (bytes.size() > limits.MaxFileBytes) throw EResultsFileError("The results file is too large");
    // libzip takes an empty file for an empty archive; it is none.
    if (bytes.empty()) throw EResultsFileError("Not a ZIP archive: the file is empty");
    zip_error_t error;
    zip_error_init(&error);
    ZipSourcePtr source(zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error));
    if (!source) throw EResultsFileError("Cannot read the results file: " + zipErrorText(&error));
    ZipPtr za(zip_open_from_source(source.get(), ZIP_RDONLY, &error));
    if (!za) {
        // libzip's text for this case only says the same again.
        if (zip_error_code_zip(&error) == ZIP_ER_NOZIP) {
            zip_error_fini(&error);
            throw EResultsFileError("Not a ZIP archive");
        }
        throw EResultsFileError("Not a ZIP archive: " + zipErrorText(&error));
    }
    zip_source_keep(source.get());  // both the archive and this wrapper now hold it

    TResultsFile file;
    int commentLength = 0;
    const char* comment = zip_get_archive_comment(za.get(), &commentLength, ZIP_FL_ENC_RAW);
    if (comment && commentLength > 0) file.Comment.assign(comment, static_cast<size_t>(commentLength));
    file.Comment = file.Comment.substr(0, file.Comment.find('\0'));
    file.Fields = ParseResultsComment(file.Comment);
    if (!file.Fields.Keyword) return file;

    const zip_int64_t count = zip_get_num_entries(za.get(), 0);
    if (count < 0 || static_cast<uint64_t>(count) > limits.MaxMembers)
        throw EResultsFileError("The results file has too many members");

    // First, in archive order, each member's bytes as the archive holds them
    // (deflated or stored; anything else is read through libzip here). Then
    // both cores inflate, check and load them; the errors are reported in
    // archive order, as one reading after the other would meet them.
    std::vector<TUnpackMember> members;
    uint64_t total = 0;
    for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count); ++i) {
        zip_stat_t stat;
        zip_stat_init(&stat);
        // Strict: a name without the UTF-8 flag is code page 437, as the ZIP format says.
        if (zip_stat_index(za.get(), i, ZIP_FL_ENC_STRICT, &stat) != 0 || !(stat.valid & ZIP_STAT_NAME))
            throw EResultsFileError(std::string("Cannot read a member: ") + zip_strerror(za.get()));
        std::string name = stat.name;
        if (!name.empty() && name.back() == '/') continue;
        if ((stat.valid & ZIP_STAT_SIZE) && stat.size > limits.MaxMemberBytes)
            throw EResultsFileError("The member \"" + name + "\" is too large");

        TUnpackMember member;
        member.name = std::move(name);
        const bool raw = (stat.valid & ZIP_STAT_COMP_METHOD) && (stat.valid & ZIP_STAT_CRC) &&
                         (stat.valid & ZIP_STAT_SIZE) && (stat.valid & ZIP_STAT_ENCRYPTION_METHOD) &&
                         stat.encryption_method == ZIP_EM_NONE &&
                         (stat.comp_method == ZIP_CM_STORE || stat.comp_method == ZIP_CM_DEFLATE);
        ZipFilePtr reader(zip_fopen_index(za.get(), i, raw ? ZIP_FL_COMPRESSED : 0));
        if (!reader)
            throw EResultsFileError("Cannot read the member \"" + member.name + "\": " + zip_strerror(za.get()));
        // The declared size is not trusted: read in chunks and count. Raw
        // bytes are bounded by the archive, which is in memory already.
        std::string& into = raw ? member.packed : member.content;
        // Raw bytes come in one read when the archive tells their size truly.
        const size_t chunk = raw && (stat.valid & ZIP_STAT_COMP_SIZE)
                                 ? static_cast<size_t>(std::min<uint64_t>(stat.comp_size, bytes.size())) + 1
                                 : ReadChunkBytes;
        for (;;) {
            const size_t at = into.size();
            into.resize(at + chunk);
            const zip_int64_t got = zip_fread(reader.get(), into.data() + at, chunk);
            if (got < 0)
                throw EResultsFileError("Cannot read the member \"" + member.name +
                                        "\": " + zip_error_strerror(zip_file_get_error(reader.get())));
            into.resize(at + static_cast<size_t>(got));
            if (!raw && into.size() > limits.MaxMemberBytes)
                throw EResultsFileError("The member \"" + member.name + "\" is too large");
            if (!raw && total + into.size() > limits.MaxTotalBytes)
                throw EResultsFileError("The results file holds too much data");
            if (got == 0) break;
        }
        if (raw) {
            member.deflated = stat.comp_method == ZIP_CM_DEFLATE;
            member.crc = stat.crc;
            member.size = stat.size;
        } else {
            total += into.size();
            member.bytes = into.size();
            member.ready = true;
        }
        members.push_back(std::move(member));
    }
    unpackMembers(members, limits);

    total = 0;
    for (TUnpackMember& member : members) {
        if (!member.error.empty())
            throw EResultsFileError("Cannot read the member \"" + member.name + "\": " + member.error);
        if (member.tooLarge) throw EResultsFileError("The member \"" + member.name + "\" is too large");
        if (!member.ready || (!member.torrent && !member.skipped) || total + member.bytes > limits.MaxTotalBytes)
            throw EResultsFileError("The results file holds too much data");
        total += member.bytes;
    }
    file.Entries.reserve(members.size());
    for (TUnpackMember& member : members)
        if (member.torrent) file.Entries.push_back({std::move(member.name), std::move(member.torrent)});
    return file;
}

TResultsFile ReadResultsFile(const std::string& path, const TResultsFileLimits& limits)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw EResultsFileError("Cannot open \"" + path + "\": " + std::strerror(errno));
    const std::string tooLarge = "\"" + path + "\" is too large for a results file";
    // A regular file's size is known before anything is read (a sparse file
    // of terabytes, say); the count below holds for the rest.
    struct stat st{};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > limits.MaxFileBytes) {
        ::close(fd);
        throw EResultsFileError(tooLarge);
    }
    // Read straight into the buffer, sized by the file when it is a regular
    // one (one byte more, to see the end in the same pass).
    std::string bytes;
    const bool sized = S_ISREG(st.st_mode) && st.st_size >= 0;
    bytes.resize(sized ? static_cast<size_t>(st.st_size) + 1 : ReadChunkBytes);
    size_t filled = 0;
    for (;;) {
        if (filled == bytes.size()) {
            if (filled > limits.MaxFileBytes) {
                ::close(fd);
                throw EResultsFileError(tooLarge);
            }
            bytes.resize(std::max(bytes.size() * 2, ReadChunkBytes));
        }
        const ssize_t got = ::read(fd, bytes.data() + filled, bytes.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            const int code = errno;
            ::close(fd);
            throw EResultsFileError("Cannot read \"" + path + "\": " + std::strerror(code));
        }
        if (got == 0) break;
        filled += static_cast<size_t>(got);
        if (filled > limits.MaxFileBytes) {
            ::close(fd);
            throw EResultsFileError(tooLarge);
        }
    }
    ::close(fd);
    bytes.resize(filled);
    return ReadResultsArchive(bytes, limits);
}

void WriteFileAtomically(const std::string& path, std::string_view bytes)
{
    const std::filesystem::path target(path);
    std::filesystem::path folder = target.parent_path();
    if (folder.empty()) folder = ".";
    std::random_device random;
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
        temporary = (folder / ("." + target.filename().string() + "." + suffix + ".tmp")).string();
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) throw EResultsFileError("Cannot create \"" + path + "\": " + std::strerror(errno));

    const auto fail = [&](int code) {
        ::close(fd);
        ::unlink(temporary.c_str());
        throw EResultsFileError("Cannot write \"" + path + "\": " + std::strerror(code));
    };
    while (!bytes.empty()) {
        const ssize_t put = ::write(fd, bytes.data(), bytes.size());
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) fail(put < 0 ? errno : EIO);
        bytes.remove_prefix(static_cast<size_t>(put));
    }
    if (::fsync(fd) != 0) fail(errno);
    if (::close(fd) != 0) {
        const int code = errno;
        ::unlink(temporary.c_str());
        throw EResultsFileError("Cannot write \"" + path + "\": " + std::strerror(code));
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int code = errno;
        ::unlink(temporary.c_str());
        throw EResultsFileError("Cannot replace \"" + path + "\": " + std::strerror(code));
    }
}

void SaveResultsFile(const std::string& path, const std::vector<const TTorrentFile*>& torrents, int category,
                     std::string_view keyword)
{
    WriteFileAtomically(path, BuildResultsArchive(torrents, category, keyword));
}

}  // namespace sorvena
