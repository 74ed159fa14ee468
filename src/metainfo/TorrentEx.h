#pragma once
// A torrent as a search lists it, and the writer that rebuilds a torrent file
// from the model.

#include <cstdint>
#include <string>
#include <vector>

#include "metainfo/TorrentFile.h"

namespace sorvena {

// Created and loaded by a search worker or the results-file loader, then owned
// by the window's row that shows it. Only the window thread changes PeerCount.
class TTorrentEx : public TTorrentFile {
public:
    std::string LinkUrl;  // where the torrent file came from; empty when read from a results file
    int32_t PeerCount = -1;  // -1 = not counted

    // A magnet entry (Magnet.h) has no file list and no metainfo: only the
    // info hash, name, size, trackers and this link. Empty for a torrent file.
    std::string MagnetUri;
    bool IsMagnet() const { return !MagnetUri.empty(); }
    // The display name of the source that found it ("" for the catalogue's
    // sites and for results files), and the peers that source reported for
    // it (seeders plus leechers; -1 when it gave none).
    std::string Source;
    int32_t SourcePeers = -1;
};

// Appends the bencoded torrent rebuilt from the model's fields to out: the
// keys in byte order, "announce-list" with the announce URL as the first
// tier, and "pieces" from the given piece hashes. Keys of the loaded file that
// the model does not hold are not written, so the info hash of the result
// equals the original only when its info dictionary had exactly these keys.
void WriteMetainfo(const TTorrentFile& torrent, std::string& out, const std::vector<TTorrentPiece>& pieces);
std::string WriteMetainfo(const TTorrentFile& torrent);

}  // namespace sorvena
