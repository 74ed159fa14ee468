#pragma once

#include <cstdint>
#include <string>

namespace sorvena {

// One file of a torrent, in the order of the metainfo's "files".
struct TTorrentSubFile {
    std::string FileName;  // last "path" element; the torrent name for a single-file torrent
    std::string DirPath;   // the other "path" elements, each followed by '\' ("dir1\dir2\")
    int64_t FileSize = 0;
    int64_t FileOffset = 0;  // where the file's first byte lies in the torrent's data
};

}  // namespace sorvena
