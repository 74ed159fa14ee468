#include "cli/Display.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>

#include "metainfo/TorrentFile.h"
#include "net/IndyUtil.h"

namespace sorvena::cli {

namespace {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view s)
{
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t extra;
        uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= s.size()) return false;
        for (size_t k = 1; k <= extra; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

std::vector<std::string> pathElements(const TTorrentSubFile& file)
{
    std::vector<std::string> out;
    std::string_view rest = file.DirPath;
    for (size_t cut; (cut = rest.find('\\')) != std::string_view::npos; rest.remove_prefix(cut + 1))
        out.push_back(DisplayText(rest.substr(0, cut)));
    if (!rest.empty()) out.push_back(DisplayText(rest));
    out.push_back(DisplayText(file.FileName));
    return out;
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string& bytes, std::string& reason)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    const auto fail = [&](std::string why) {
        ::close(fd);
        reason = std::move(why);
        return false;
    };
    const std::string tooLarge = "larger than the limit of " + std::to_string(HttpMaxBodyBytes >> 20) + " MiB";
    struct stat st{};
    if (::fstat(fd, &st) != 0) return fail(std::strerror(errno));
    // The declared size first, so that a huge (sparse) file is never read;
    // the count below still holds for files that grow or tell no size.
    if (S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > HttpMaxBodyBytes) return fail(tooLarge);
    std::string out;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return fail(std::strerror(errno));
        if (got == 0) break;
        if (out.size() + static_cast<size_t>(got) > HttpMaxBodyBytes) return fail(tooLarge);
        out.append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    bytes = std::move(out);
    return true;
}

std::string DisplayText(std::string_view bytes)
{
    if (isValidUtf8(bytes)) return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string TerminalText(std::string_view bytes)
{
    const std::string text = DisplayText(bytes);
    std::string out;
    out.reserve(text.size());
    char escape[8];
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            out += escape;
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            // U+0080 to U+009F: C1 controls, which some terminals obey (CSI).
            std::snprintf(escape, sizeof escape, "\\u00%02x", static_cast<unsigned char>(text[++i]));
            out += escape;
        } else {
            out += text[i];
        }
    }
    return out;
}

nlohmann::ordered_json TorrentToJson(const TTorrentFile& t)
{
    using json = nlohmann::ordered_json;
    json backups = json::array();
    for (const std::string& url : t.BackupTrackers) backups.push_back(DisplayText(url));
    json files = json::array();
    for (const TTorrentSubFile& f : t.SubFiles)
        files.push_back(json{{"path", pathElements(f)}, {"size", f.FileSize}, {"offset", f.FileOffset}});
    json errors = json::array();
    for (const std::string& e : t.LoadErrors) errors.push_back(DisplayText(e));
    return json{
        {"name", DisplayText(t.TorrentName)},
        {"info_hash", t.InfoHashHex},
        {"total_size", t.TotalSize},
        {"file_count", t.FileCount},
        {"multi_file", t.IsMultiFile},
        {"piece_length", t.PieceLength},
        {"pieces", t.PieceHashes.size()},
        {"announce", DisplayText(t.AnnounceUrl)},
        {"backup_trackers", backups},
        {"comment", DisplayText(t.Comment)},
        {"creation_date", t.CreatedAt == 0 ? json(nullptr) : json(DateTimeToUnixSeconds(t.CreatedAt))},
        {"files", files},
        {"errors", errors},
    };
}

namespace {

std::string utcText(TDateTime value)
{
    const auto seconds = static_cast<std::time_t>(DateTimeToUnixSeconds(value));
    std::tm tm{};
    if (!gmtime_r(&seconds, &tm)) return std::to_string(seconds);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return buf;
}

}  // namespace

void PrintTorrentSummary(const std::string& title, const TTorrentFile& t, bool ok)
{
    std::ostream& o = std::cout;
    o << TerminalText(title) << (ok ? "" : " (load failed)") << "\n";
    o << "  Name:            " << TerminalText(t.TorrentName) << "\n";
    o << "  Info hash:       " << t.InfoHashHex << "\n";
    o << "  Size:            " << t.TotalSize << " bytes\n";
    o << "  Files:           " << t.FileCount << (t.IsMultiFile ? " (multi-file)" : "") << "\n";
    for (const TTorrentSubFile& f : t.SubFiles) {
        // The folders of DirPath end in "\\"; shown with "/", each escaped
        // on its own (the escapes hold backslashes).
        std::string shown;
        std::string_view rest = f.DirPath;
        for (size_t cut; (cut = rest.find('\\')) != std::string_view::npos; rest.remove_prefix(cut + 1))
            shown += TerminalText(rest.substr(0, cut)) + "/";
        shown += TerminalText(rest);
        o << "    " << shown << TerminalText(f.FileName) << "  " << f.FileSize << " bytes at " << f.FileOffset << "\n";
    }
    o << "  Piece length:    " << t.PieceLength << "\n";
    o << "  Pieces:          " << t.PieceHashes.size() << "\n";
    o << "  Announce:        " << TerminalText(t.AnnounceUrl) << "\n";
    for (const std::string& url : t.BackupTrackers) o << "  Backup tracker:  " << TerminalText(url) << "\n";
    if (!t.Comment.empty()) o << "  Comment:         " << TerminalText(t.Comment) << "\n";
    o << "  Created:         " << (t.CreatedAt == 0 ? std::string("(not given)") : utcText(t.CreatedAt)) << "\n";
    for (const std::string& e : t.LoadErrors) o << "  Message:         " << TerminalText(e) << "\n";
}

}  // namespace sorvena::cli
