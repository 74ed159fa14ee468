#include "metainfo/TorrentEx.h"

#include <charconv>
#include <string_view>

namespace sorvena {

namespace {

class Encoder {
public:
    explicit Encoder(std::string& out) : m_out(out) {}

    void bytes(std::string_view s)
    {
        number(static_cast<int64_t>(s.size()));
        m_out += ':';
        m_out.append(s);
    }
    void integer(int64_t v)
    {
        m_out += 'i';
        number(v);
        m_out += 'e';
    }
    void open(char c) { m_out += c; }
    void close() { m_out += 'e'; }

    std::string& out() { return m_out; }

private:
    void number(int64_t v)
    {
        char buf[24];
        const auto r = std::to_chars(buf, buf + sizeof buf, v);
        m_out.append(buf, r.ptr);
    }

    std::string& m_out;
};

// DirPath keeps directories as "a\b\"; each '\'-ended piece is one path
// element (an empty one too), and a last piece without '\' is one more.
void writePath(Encoder& e, const TTorrentSubFile& file)
{
    e.open('l');
    std::string_view rest = file.DirPath;
    for (size_t cut; (cut = rest.find('\\')) != std::string_view::npos; rest.remove_prefix(cut + 1))
        e.bytes(rest.substr(0, cut));
    if (!rest.empty()) e.bytes(rest);
    e.bytes(file.FileName);
    e.close();
}

}  // namespace

void WriteMetainfo(const TTorrentFile& torrent, std::string& out, const std::vector<TTorrentPiece>& pieces)
{
    Encoder e(out);
    e.open('d');
    e.bytes("announce");
    e.bytes(torrent.AnnounceUrl);
    if (!torrent.BackupTrackers.empty()) {
        e.bytes("announce-list");
        e.open('l');
        e.open('l');
        e.bytes(torrent.AnnounceUrl);
        e.close();
        for (const std::string& url : torrent.BackupTrackers) {
            if (url == torrent.AnnounceUrl) continue;
            e.open('l');
            e.bytes(url);
            e.close();
        }
        e.close();
    }
    if (!torrent.Comment.empty()) {
        e.bytes("comment");
        e.bytes(torrent.Comment);
    }
    if (torrent.CreatedAt != 0) {
        e.bytes("creation date");
        e.integer(DateTimeToUnixSeconds(torrent.CreatedAt));
    }
    e.bytes("info");
    e.open('d');
    if (torrent.IsMultiFile) {
        e.bytes("files");
        e.open('l');
        for (const TTorrentSubFile& file : torrent.SubFiles) {
            e.open('d');
            e.bytes("length");
            e.integer(file.FileSize);
            e.bytes("path");
            writePath(e, file);
            e.close();
        }
        e.close();
    } else {
        e.bytes("length");
        e.integer(torrent.TotalSize);
    }
    e.bytes("name");
    e.bytes(torrent.TorrentName);
    e.bytes("piece length");
    e.integer(torrent.PieceLength);
    e.bytes("pieces");
    std::string& raw = e.out();
    raw += std::to_string(20 * pieces.size());
    raw += ':';
    raw.reserve(raw.size() + 20 * pieces.size() + 2);
    for (const TTorrentPiece& piece : pieces) raw.append(piece.HashRaw());
    e.close();
    e.close();
}

std::string WriteMetainfo(const TTorrentFile& torrent)
{
    std::string out;
    WriteMetainfo(torrent, out, torrent.PieceHashes);
    return out;
}

}  // namespace sorvena
