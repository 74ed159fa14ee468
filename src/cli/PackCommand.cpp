// sorvena-cli pack and list: write a results file from torrent files, and show
// what the window would load from one.

#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "cli/Display.h"
#include "metainfo/TorrentEx.h"
#include "results/ResultsFile.h"

namespace sorvena::cli {

namespace {

struct PackOptions {
    std::string out;
    std::vector<std::string> files;
    std::string keyword;
    int category = 0;
};

struct ListOptions {
    std::string file;
    bool json = false;
};

void runPack(const PackOptions& opts)
{
    std::vector<std::unique_ptr<TTorrentEx>> torrents;
    for (const std::string& path : opts.files) {
        std::string bytes;
        std::string reason;
        if (!ReadWholeFile(path, bytes, reason)) {
            std::cerr << "sorvena-cli: cannot read " << TerminalText(path) << ": " << reason << "\n";
            exitStatus = 1;
            return;
        }
        auto torrent = std::make_unique<TTorrentEx>();
        const bool loaded = torrent->LoadMetainfo(bytes);
        // Without an info hash nothing identifies a torrent (a page saved
        // under a .torrent name, a load that failed before the info
        // dictionary was hashed): rebuilt, it would become a different
        // torrent with a hash of its own. Such a file is refused, as a
        // missing one is, and nothing is written.
        if (torrent->InfoHashHex.empty()) {
            std::cerr << "sorvena-cli: " << TerminalText(path) << " is not a torrent (no info dictionary could be read)\n";
            exitStatus = 1;
            return;
        }
        if (!loaded)
            std::cerr << "sorvena-cli: " << TerminalText(path)
                      << " is not a valid torrent; packed as far as it could be read\n";
        torrents.push_back(std::move(torrent));
    }
    std::vector<const TTorrentFile*> list;
    for (const auto& t : torrents) list.push_back(t.get());
    SaveResultsFile(opts.out, list, opts.category, opts.keyword);
}

void runList(const ListOptions& opts)
{
    TResultsFile file;
    try {
        file = ReadResultsFile(opts.file);
    } catch (const EResultsFileError& e) {
        std::cerr << "sorvena-cli: list: " << TerminalText(e.what()) << "\n";
        exitStatus = 1;
        return;
    }
    const TResultsCommentFields& f = file.Fields;
    if (opts.json) {
        nlohmann::ordered_json members = nlohmann::ordered_json::array();
        for (const TResultsFileEntry& e : file.Entries) {
            nlohmann::ordered_json member = {{"member", DisplayText(e.MemberName)}};
            member.update(TorrentToJson(*e.Torrent));
            members.push_back(std::move(member));
        }
        nlohmann::ordered_json out = {
            {"file", DisplayText(opts.file)},
            {"comment", DisplayText(file.Comment)},
            {"category", f.Category ? nlohmann::ordered_json(*f.Category) : nlohmann::ordered_json()},
            {"keyword", f.Keyword ? nlohmann::ordered_json(DisplayText(*f.Keyword)) : nlohmann::ordered_json()},
            {"members", std::move(members)},
        };
        std::cout << out.dump() << "\n";
    } else {
        std::cout << TerminalText(opts.file) << "\n";
        std::cout << "  Comment:   " << TerminalText(file.Comment) << "\n";
        if (f.Category) std::cout << "  Category:  " << *f.Category << "\n";
        if (f.Keyword) std::cout << "  Keyword:   " << TerminalText(*f.Keyword) << "\n";
        for (const TResultsFileEntry& e : file.Entries)
            std::cout << "  " << e.Torrent->InfoHashHex << "  " << e.Torrent->TotalSize << "  "
                      << TerminalText(e.MemberName) << "\n";
    }
    // What the window does with such comments: nothing to load, or refused.
    if (f.Empty) {
        std::cerr << "sorvena-cli: the file has no comment; the window loads nothing from it\n";
    } else if (!f.Keyword) {
        std::cerr << "sorvena-cli: the comment has no keyword field; the window refuses the file\n";
        exitStatus = 1;
    }
}

}  // namespace

void addPackCommand(CLI::App& app)
{
    auto pack = std::make_shared<PackOptions>();
    CLI::App* sub = app.add_subcommand("pack", "Write a results file (.vrk) holding the given torrent files");
    sub->add_option("out", pack->out, "The results file to write")->required();
    sub->add_option("files", pack->files, "Torrent files, in list order")->required();
    sub->add_option("--keyword", pack->keyword, "The keyword text stored with the list");
    sub->add_option("--category", pack->category, "The category index stored with the list")
        ->check(CLI::Range(0, 11));
    sub->callback([pack] { runPack(*pack); });

    auto list = std::make_shared<ListOptions>();
    CLI::App* show = app.add_subcommand("list", "Show the keyword, category and torrents of a results file");
    show->add_option("file", list->file, "The results file")->required();
    show->add_flag("--json", list->json, "One JSON object");
    show->callback([list] { runList(*list); });
}

}  // namespace sorvena::cli
