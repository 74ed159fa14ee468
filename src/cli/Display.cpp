#include "cli/Display.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "metainfo/TorrentFile.h"

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
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        reason = std::strerror(errno);
        return false;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) {
        reason = "read error";
        return false;
    }
    bytes = std::move(buffer).str();
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

}  // namespace sorvena::cli
