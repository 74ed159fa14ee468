// Magnet entries in results files: a ".magnet" member holding the link as
// text, loaded back as a magnet entry beside the torrents; what Python's
// zipfile sees; members that are no magnet link.

#include <gtest/gtest.h>
#include <zip.h>

#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "metainfo/Magnet.h"
#include "results/ResultsFile.h"
#include "support/Shell.h"

using namespace sorvena;
using namespace sorvena::test;
namespace fs = std::filesystem;

namespace {

const std::string Hash = "c12fe1c06bba254a9dc9f519b335aa7c1367a88a";

std::unique_ptr<TTorrentEx> magnetEntry(const std::string& uri, std::string_view title = {})
{
    const auto link = ParseMagnet(uri);
    EXPECT_TRUE(link) << uri;
    return MakeMagnetEntry(*link, uri, title, 4096);
}

std::unique_ptr<TTorrentEx> torrent()
{
    auto t = std::make_unique<TTorrentEx>();
    t->LoadMetainfo(ReadAll(fs::path(SORVENA_TEST_DATA_DIR) / "torrents" / "single-file.torrent"));
    return t;
}

// An archive with the given members, written by libzip directly.
std::string archiveOf(const std::vector<std::pair<std::string, std::string>>& members)
{
    const fs::path path = fs::temp_directory_path() / ("sorvena-magnet-members-" + std::to_string(::getpid()) + ".zip");
    fs::remove(path);
    int error = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_CREATE, &error);
    EXPECT_NE(za, nullptr);
    zip_set_archive_comment(za, "0;k", 3);
    for (const auto& [name, content] : members) {
        zip_source_t* source = zip_source_buffer(za, content.data(), content.size(), 0);
        zip_file_add(za, name.c_str(), source, ZIP_FL_ENC_UTF_8);
    }
    zip_close(za);
    std::string bytes = ReadAll(path);
    fs::remove(path);
    return bytes;
}

}  // namespace

TEST(MagnetMembers, RoundTripBesideTorrents)
{
    const std::string uri = "magnet:?xt=urn:btih:" + Hash + "&dn=Big%20Buck%20Bunny%3A%20%22HD%22&xl=276134947"
                            "&tr=http%3A%2F%2Ftracker.example%2Fannounce";
    std::vector<std::unique_ptr<TTorrentEx>> list;
    list.push_back(torrent());
    list.push_back(magnetEntry(uri));
    list.push_back(magnetEntry("magnet:?xt=urn:btih:YEX6DQDLXISUVHOJ6UM3GNNKPQJWPKEA", "From the title"));
    std::vector<const TTorrentFile*> view;
    for (const auto& t : list) view.push_back(t.get());

    const std::string bytes = BuildResultsArchive(view, 8, "bunny");
    const TResultsFile back = ReadResultsArchive(bytes);
    ASSERT_EQ(back.Entries.size(), 3u);
    EXPECT_FALSE(back.Entries[0].Torrent->IsMagnet());
    EXPECT_EQ(back.Entries[0].Torrent->InfoHashHex, list[0]->InfoHashHex);

    EXPECT_EQ(back.Entries[1].MemberName, "Big Buck Bunny HD.magnet") << "cleaned like a torrent's name";
    const TTorrentEx& magnet = *back.Entries[1].Torrent;
    EXPECT_TRUE(magnet.IsMagnet());
    EXPECT_EQ(magnet.MagnetUri, uri);
    EXPECT_EQ(magnet.InfoHashHex, Hash);
    EXPECT_EQ(magnet.TorrentName, "Big Buck Bunny: \"HD\"");
    EXPECT_EQ(magnet.TotalSize, 276134947);
    EXPECT_EQ(magnet.AnnounceUrl, "http://tracker.example/announce");
    EXPECT_TRUE(magnet.SubFiles.empty());

    EXPECT_EQ(back.Entries[2].MemberName, "From the title.magnet");
    EXPECT_EQ(back.Entries[2].Torrent->TorrentName, "From the title") << "named after its member";

    // Saved again, the same members.
    std::vector<const TTorrentFile*> again;
    for (const auto& e : back.Entries) again.push_back(e.Torrent.get());
    const TResultsFile twice = ReadResultsArchive(BuildResultsArchive(again, 8, "bunny"));
    ASSERT_EQ(twice.Entries.size(), 3u);
    EXPECT_EQ(twice.Entries[1].Torrent->MagnetUri, uri);
}

TEST(MagnetMembers, PythonZipfileSeesASmallTextFile)
{
    if (!HaveTool("python3")) GTEST_SKIP() << "python3 is not installed";
    const std::string uri = "magnet:?xt=urn:btih:" + Hash + "&dn=caf%C3%A9";
    std::vector<std::unique_ptr<TTorrentEx>> list;
    list.push_back(torrent());
    list.push_back(magnetEntry(uri));
    std::vector<const TTorrentFile*> view = {list[0].get(), list[1].get()};
    const fs::path dir = fs::temp_directory_path() / ("sorvena-magnet-py-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path file = dir / "list.vrk";
    SaveResultsFile(file.string(), view, 0, "cafe");
    const std::string report = RunCommand(
        "python3 -c 'import sys, zipfile\n"
        "z = zipfile.ZipFile(sys.argv[1])\n"
        "print(z.testzip())\n"
        "for i in z.infolist(): print(i.filename, bool(i.flag_bits & 0x800), repr(z.read(i)[:100]))' '" +
        file.string() + "' 2>&1");
    fs::remove_all(dir);
    const std::string torrentMember = ResultMemberName(list[0]->TorrentName);
    EXPECT_EQ(report.rfind("None\n", 0), 0u) << report;
    EXPECT_NE(report.find("caf\xC3\xA9.magnet True b'" + uri + "\\n'\n"), std::string::npos) << report;
    EXPECT_NE(report.find(torrentMember + " False b'd8:announce"), std::string::npos) << report;
}

TEST(MagnetMembers, MembersThatAreNoMagnetLinkAreSkipped)
{
    const std::string good = "magnet:?xt=urn:btih:" + Hash;
    const TResultsFile back = ReadResultsArchive(archiveOf({
        {"good.MAGNET", "  " + good + "\r\n"},
        {"garbage.magnet", "not a link"},
        {"bad-hash.magnet", "magnet:?xt=urn:btih:1234"},
        {"empty.magnet", ""},
        {".magnet", good},
    }));
    ASSERT_EQ(back.Entries.size(), 2u);
    EXPECT_EQ(back.Entries[0].MemberName, "good.MAGNET");
    EXPECT_EQ(back.Entries[0].Torrent->MagnetUri, good);
    EXPECT_EQ(back.Entries[0].Torrent->TorrentName, "good");
    EXPECT_EQ(back.Entries[1].MemberName, ".magnet") << "a bare extension is a torrent member's name";
    EXPECT_FALSE(back.Entries[1].Torrent->IsMagnet());
}
