#pragma once
// How the command line shows the core's byte strings and torrents.

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace sorvena {
class TTorrentFile;
}

namespace sorvena::cli {

// Reads a whole file; on failure returns false and the reason as text.
bool ReadWholeFile(const std::string& path, std::string& bytes, std::string& reason);

// The bytes as UTF-8 when they are valid UTF-8, otherwise decoded as Latin-1.
std::string DisplayText(std::string_view bytes);

// The torrent's fields as one JSON object with the keys of `info --json`
// (without "file").
nlohmann::ordered_json TorrentToJson(const TTorrentFile& torrent);

}  // namespace sorvena::cli
