// sorvena-cli info: show what the loader makes of torrent files.

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "cli/Display.h"
#include "metainfo/TorrentFile.h"

namespace sorvena::cli {

namespace {

struct InfoOptions {
    std::vector<std::string> files;
    bool json = false;
};

std::string utcText(TDateTime value)
{
    const auto seconds = static_cast<std::time_t>(DateTimeToUnixSeconds(value));
    std::tm tm{};
    if (!gmtime_r(&seconds, &tm)) return std::to_string(seconds);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return buf;
}

void printSummary(const std::string& path, const TTorrentFile& t, bool ok)
{
    std::ostream& o = std::cout;
    o << TerminalText(path) << (ok ? "" : " (load failed)") << "\n";
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

void runInfo(const InfoOptions& opts)
{
    bool first = true;
    for (const std::string& path : opts.files) {
        std::string bytes;
        std::string reason;
        if (!ReadWholeFile(path, bytes, reason)) {
            std::cout.flush();
            std::cerr << "sorvena-cli: cannot read " << TerminalText(path) << ": " << reason << "\n";
            exitStatus = 1;
            continue;
        }
        auto torrent = std::make_unique<TTorrentFile>();
        const bool ok = torrent->LoadMetainfo(bytes);
        if (!ok) exitStatus = 1;
        if (opts.json) {
            nlohmann::ordered_json j;
            j["file"] = DisplayText(path);
            j["ok"] = ok;
            j.update(TorrentToJson(*torrent));
            std::cout << j.dump() << "\n";
        } else {
            if (!first) std::cout << "\n";
            printSummary(path, *torrent, ok);
        }
        first = false;
    }
}

}  // namespace

void addInfoCommand(CLI::App& app)
{
    auto opts = std::make_shared<InfoOptions>();
    CLI::App* cmd = app.add_subcommand("info", "Show the contents of torrent files");
    cmd->add_option("FILE", opts->files, "Torrent files")->required();
    cmd->add_flag("--json", opts->json, "One JSON object per file and line");
    cmd->callback([opts] { runInfo(*opts); });
}

}  // namespace sorvena::cli
