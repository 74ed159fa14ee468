#include "support/SeedTorrents.h"

#include <fstream>
#include <random>
#include <stdexcept>

#include "base/Hex.h"
#include "metainfo/Magnet.h"
#include "metainfo/MessageDigests.h"

namespace sorvena::test {

namespace {

void text(std::string& out, std::string_view s)
{
    out += std::to_string(s.size()) + ":";
    out += s;
}

std::vector<std::string> elements(const std::string& path)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1)
        out.push_back(path.substr(start, slash - start));
    out.push_back(path.substr(start));
    return out;
}

}  // namespace

SeedTorrent MakeSeedTorrent(const std::string& name, const std::vector<SeedFile>& files, int64_t pieceLength,
                            uint32_t seed, const std::filesystem::path& dataDir, bool singleFile,
                            const std::string& tracker)
{
    std::mt19937 random(seed);
    std::string pieces;
    int64_t total = 0;
    for (const SeedFile& file : files) total += file.size;
    const int64_t pieceCount = (total + pieceLength - 1) / pieceLength;
    if (dataDir.empty()) {
        pieces.resize(static_cast<size_t>(20 * pieceCount));
        for (char& c : pieces) c = static_cast<char>(random());
    } else {
        // The bytes of every file in order, hashed piece by piece across file ends.
        std::string piece;
        for (const SeedFile& file : files) {
            const std::filesystem::path path =
                singleFile ? dataDir / name : dataDir / name / std::filesystem::path(file.path);
            std::filesystem::create_directories(path.parent_path());
            std::ofstream out(path, std::ios::binary);
            std::string bytes(static_cast<size_t>(file.size), '\0');
            for (char& c : bytes) c = static_cast<char>(random());
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            if (!out) throw std::runtime_error("cannot write " + path.string());
            for (size_t at = 0; at < bytes.size();) {
                const size_t take = std::min(bytes.size() - at, static_cast<size_t>(pieceLength) - piece.size());
                piece.append(bytes, at, take);
                at += take;
                if (piece.size() == static_cast<size_t>(pieceLength)) {
                    pieces += Sha1Raw(piece);
                    piece.clear();
                }
            }
        }
        if (!piece.empty()) pieces += Sha1Raw(piece);
    }
    SeedTorrent t;
    t.name = name;
    std::string& info = t.info;
    info = "d";
    if (singleFile && files.size() == 1) {
        info += "6:lengthi" + std::to_string(files[0].size) + "e";
    } else {
        info += "5:filesl";
        for (const SeedFile& file : files) {
            info += "d6:lengthi" + std::to_string(file.size) + "e4:pathl";
            for (const std::string& element : elements(file.path)) text(info, element);
            info += "ee";
        }
        info += "e";
    }
    info += "4:name";
    text(info, name);
    info += "12:piece lengthi" + std::to_string(pieceLength) + "e6:pieces";
    text(info, pieces);
    info += "e";
    t.infoHashRaw = Sha1Raw(info);
    t.infoHashHex = HexLower(t.infoHashRaw);
    t.metainfo = "d";
    if (!tracker.empty()) {
        t.metainfo += "8:announce";
        text(t.metainfo, tracker);
    }
    t.metainfo += "4:info" + info + "e";
    return t;
}

std::string SeedMagnet(const SeedTorrent& torrent, const std::vector<std::string>& trackers,
                       const std::vector<std::string>& peers)
{
    std::string uri = BuildMagnetUri(torrent.infoHashHex, torrent.name, trackers);
    for (const std::string& peer : peers) uri += "&x.pe=" + peer;
    return uri;
}

}  // namespace sorvena::test
