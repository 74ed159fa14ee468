#pragma once
// Torrent entries for the window's tests, built field by field: the model
// reads only the loaded fields, so no torrent file is needed.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "metainfo/TorrentEx.h"

namespace sorvena::test {

struct RowSpec {
    std::string name;
    int64_t size = 0;  // of a single-file torrent; a multi-file one sums its files
    std::vector<std::pair<std::string, int64_t>> files;  // non-empty: a multi-file torrent
    int32_t peers = -1;
    std::string comment;
    TDateTime createdAt = 0;
    std::string announce = "http://tracker.example/announce";
    std::string link = "http://site.example/get/1.torrent";
    std::vector<std::string> backupTrackers;
    std::string hash;  // InfoHashHex; the name when empty
};

inline std::unique_ptr<TTorrentEx> MakeTorrent(const RowSpec& row)
{
    auto t = std::make_unique<TTorrentEx>();
    t->TorrentName = row.name;
    t->Comment = row.comment;
    t->CreatedAt = row.createdAt;
    t->AnnounceUrl = row.announce;
    t->LinkUrl = row.link;
    t->BackupTrackers = row.backupTrackers;
    t->PeerCount = row.peers;
    t->InfoHashHex = row.hash.empty() ? row.name : row.hash;
    t->IsMultiFile = !row.files.empty();
    if (row.files.empty()) {
        t->SubFiles.push_back({row.name, "", row.size, 0});
        t->TotalSize = row.size;
    } else {
        for (const auto& [name, size] : row.files) {
            t->SubFiles.push_back({name, "", size, t->TotalSize});
            t->TotalSize += size;
        }
    }
    t->FileCount = static_cast<int32_t>(t->SubFiles.size());
    return t;
}

}  // namespace sorvena::test
