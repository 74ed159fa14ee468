#pragma once
// How the command line shows the core's byte strings and torrents.

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace sorvena {
class TTorrentFile;
}

namespace sorvena::cli {

// Reads a whole file of at most HttpMaxBodyBytes (a torrent is never larger
// than a download may be). False with the reason as text when the file
// cannot be opened or read (a directory, say) or is larger.
bool ReadWholeFile(const std::string& path, std::string& bytes, std::string& reason);

// The bytes as UTF-8 when they are valid UTF-8, otherwise decoded as Latin-1.
std::string DisplayText(std::string_view bytes);

// DisplayText for a terminal: every control character is written as an
// escape (\t, \n, \r, \x1b for the other C0 bytes and DEL, \u009b for the C1
// characters), so that names a site sent cannot retitle, clear or otherwise
// drive the user's terminal. Every text line of every command prints the
// core's strings (and file names, and messages quoting them) through it.
std::string TerminalText(std::string_view bytes);

// The torrent's fields as one JSON object with the keys of `info --json`
// (without "file").
nlohmann::ordered_json TorrentToJson(const TTorrentFile& torrent);

// What `info` prints for one torrent on stdout: title (a file name, a link)
// with " (load failed)" unless ok, then the fields and the load messages.
void PrintTorrentSummary(const std::string& title, const TTorrentFile& torrent, bool ok);

}  // namespace sorvena::cli
