// The magnet link parser and builder.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "metainfo/Magnet.h"
#include "metainfo/TorrentEx.h"

using namespace sorvena;

namespace {

struct ParseCase {
    const char* what;
    std::string uri;
    std::string hash;
    std::string name;
    std::vector<std::string> trackers;
    int64_t length;
    std::vector<std::string> peers;
};

struct RefusedCase {
    const char* what;
    std::string uri;
    std::string reasonPart;
};

const std::string Ubuntu = "c12fe1c06bba254a9dc9f519b335aa7c1367a88a";

}  // namespace

TEST(Magnet, ParsesRealWorldForms)
{
    const std::vector<ParseCase> cases = {
        {"index site form: upper-case hex, encoded trackers",
         "magnet:?xt=urn:btih:C12FE1C06BBA254A9DC9F519B335AA7C1367A88A&dn=ubuntu-22.04-desktop-amd64.iso"
         "&tr=udp%3A%2F%2Ftracker.opentrackr.org%3A1337&tr=udp%3A%2F%2Fopen.stealth.si%3A80%2Fannounce",
         Ubuntu, "ubuntu-22.04-desktop-amd64.iso",
         {"udp://tracker.opentrackr.org:1337", "udp://open.stealth.si:80/announce"}, -1, {}},
        {"base32 hash, upper case", "magnet:?xt=urn:btih:YEX6DQDLXISUVHOJ6UM3GNNKPQJWPKEK", Ubuntu, "", {}, -1, {}},
        {"base32 hash, lower case, dn after tr",
         "magnet:?xt=urn:btih:3wbfl3g4pssv7mf37ajshwdqmlnr63i4&tr=http://t.example/a&dn=x",
         "dd8255ecdc7ca55fb0bbf81323d87062db1f6d1c", "x", {"http://t.example/a"}, -1, {}},
        {"repeated tr: each tracker once, in order",
         "magnet:?xt=urn:btih:" + Ubuntu + "&tr=http%3A%2F%2Fa%2Fann&tr=http%3A%2F%2Fb%2Fann&tr=http%3A%2F%2Fa%2Fann",
         Ubuntu, "", {"http://a/ann", "http://b/ann"}, -1, {}},
        {"numbered keys of BEP 9", "magnet:?xt.1=urn:btih:" + Ubuntu + "&tr.1=http://a/x&tr.2=http://b/x", Ubuntu, "",
         {"http://a/x", "http://b/x"}, -1, {}},
        {"no dn, only a hash", "magnet:?xt=urn:btih:" + Ubuntu, Ubuntu, "", {}, -1, {}},
        {"dn with + and %20 and UTF-8", "magnet:?dn=Big+Buck%20Bunny%20%C3%A9&xt=urn:btih:" + Ubuntu, Ubuntu,
         "Big Buck Bunny \xC3\xA9", {}, -1, {}},
        {"xl and x.pe", "magnet:?xt=urn:btih:" + Ubuntu + "&xl=1234567890123&x.pe=10.0.0.1:6881&x.pe=%5B::1%5D:51413",
         Ubuntu, "", {}, 1234567890123, {"10.0.0.1:6881", "[::1]:51413"}},
        {"hybrid v1 and v2 hashes",
         "magnet:?xt=urn:btih:" + Ubuntu +
             "&xt=urn:btmh:1220caf1e1c30e81cb361b9ee167c4aa64228a7fa4fa9f6105232b28ad099f3a302e",
         Ubuntu, "", {}, -1, {}},
        {"the same hash twice, hex and base32",
         "magnet:?xt=urn:btih:" + Ubuntu + "&xt=urn:btih:YEX6DQDLXISUVHOJ6UM3GNNKPQJWPKEK", Ubuntu, "", {}, -1, {}},
        {"upper-case scheme and keys, unknown keys skipped",
         "MAGNET:?XT=URN:BTIH:" + Ubuntu + "&ws=http%3A%2F%2Fw%2F&as=x&kt=a+b&so=0-3&&", Ubuntu, "", {}, -1, {}},
    };
    const std::vector<RefusedCase> refused = {
        {"v2 hash only", "magnet:?xt=urn:btmh:1220caf1e1c30e81cb361b9ee167c4aa64228a7fa4fa9f6105232b28ad099f3a302e",
         "another kind"},
        {"ed2k hash only", "magnet:?xt=urn:ed2k:31D6CFE0D16AE931B73C59D7E0C089C0&dn=x", "another kind"},
        {"no xt", "magnet:?dn=nothing", "no info hash"},
        {"empty", "", "magnet:?"},
        {"web address", "http://example.org/file.torrent", "magnet:?"},
        {"no question mark", "magnet:xt=urn:btih:" + Ubuntu, "magnet:?"},
        {"39 hex digits", "magnet:?xt=urn:btih:" + Ubuntu.substr(1), "40 hexadecimal"},
        {"41 hex digits", "magnet:?xt=urn:btih:" + Ubuntu + "0", "40 hexadecimal"},
        {"non-hex in 40 characters", "magnet:?xt=urn:btih:g12fe1c06bba254a9dc9f519b335aa7c1367a88a", "40 hexadecimal"},
        {"base32 with a digit outside 2..7", "magnet:?xt=urn:btih:YEX6DQDLXISUVHOJ6UM3GNNKPQJWPKE1", "base32"},
        {"two different hashes",
         "magnet:?xt=urn:btih:" + Ubuntu + "&xt=urn:btih:dd8255ecdc7ca55fb0bbf81323d87062db1f6d1c", "two different"},
        {"broken escape", "magnet:?xt=urn:btih:" + Ubuntu + "&dn=a%G1", "percent"},
        {"escape cut short at the end", "magnet:?xt=urn:btih:" + Ubuntu + "&tr=http%3", "percent"},
        {"xl not a number", "magnet:?xt=urn:btih:" + Ubuntu + "&xl=12k", "xl"},
        {"xl negative", "magnet:?xt=urn:btih:" + Ubuntu + "&xl=-5", "xl"},
        {"x.pe without port", "magnet:?xt=urn:btih:" + Ubuntu + "&x.pe=10.0.0.1", "x.pe"},
        {"x.pe port 0", "magnet:?xt=urn:btih:" + Ubuntu + "&x.pe=host:0", "x.pe"},
        {"too long", "magnet:?xt=urn:btih:" + Ubuntu + "&dn=" + std::string(MagnetMaxBytes, 'a'), "too long"},
    };
    for (const RefusedCase& c : refused) {
        SCOPED_TRACE(c.what);
        std::string reason;
        EXPECT_FALSE(ParseMagnet(c.uri, &reason));
        EXPECT_NE(reason.find(c.reasonPart), std::string::npos) << reason;
    }
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::string reason;
        const auto link = ParseMagnet(c.uri, &reason);
        ASSERT_TRUE(link.has_value()) << reason;
        EXPECT_EQ(link->InfoHashHex, c.hash);
        EXPECT_EQ(link->InfoHashRaw.size(), 20u);
        EXPECT_EQ(link->DisplayName, c.name);
        EXPECT_EQ(link->Trackers, c.trackers);
        EXPECT_EQ(link->ExactLength, c.length);
        EXPECT_EQ(link->Peers, c.peers);
    }
}

TEST(Magnet, ManyTrackersAreCappedNotRefused)
{
    std::string uri = "magnet:?xt=urn:btih:" + Ubuntu;
    for (size_t i = 0; i < MagnetMaxTrackers + 50; ++i) uri += "&tr=http://t" + std::to_string(i) + "/a";
    const auto link = ParseMagnet(uri);
    ASSERT_TRUE(link);
    EXPECT_EQ(link->Trackers.size(), MagnetMaxTrackers);
}

TEST(Magnet, BuiltLinkParsesBackToTheSameFields)
{
    const std::vector<std::string> trackers = {"http://tracker.example:6969/announce?a=1&b=2",
                                               "udp://other.example:80", "http://tracker.example:6969/announce?a=1&b=2"};
    const std::string name = "Name with blanks, + & = % / \xC3\xA9";
    const std::string uri = BuildMagnetUri("C12FE1C06BBA254A9DC9F519B335AA7C1367A88A", name, trackers);
    EXPECT_EQ(uri.rfind("magnet:?xt=urn:btih:" + Ubuntu + "&dn=Name%20with%20blanks%2C%20%2B%20%26%20", 0), 0u) << uri;
    EXPECT_EQ(uri.find(' '), std::string::npos);
    const auto link = ParseMagnet(uri);
    ASSERT_TRUE(link) << uri;
    EXPECT_EQ(link->InfoHashHex, Ubuntu);
    EXPECT_EQ(link->DisplayName, name);
    EXPECT_EQ(link->Trackers, (std::vector<std::string>{trackers[0], trackers[1]}));

    EXPECT_EQ(BuildMagnetUri(Ubuntu, "", {}), "magnet:?xt=urn:btih:" + Ubuntu);
}

TEST(Magnet, EntryKeepsLinkAndFallsBackToItemFields)
{
    const std::string uri = "magnet:?xt=urn:btih:" + Ubuntu + "&tr=http://a/ann&tr=http://b/ann";
    const auto link = ParseMagnet(uri);
    ASSERT_TRUE(link);
    const auto entry = MakeMagnetEntry(*link, uri, "Item title", 4096);
    EXPECT_TRUE(entry->IsMagnet());
    EXPECT_EQ(entry->TorrentName, "Item title");
    EXPECT_EQ(entry->TotalSize, 4096);
    EXPECT_EQ(entry->InfoHashHex, Ubuntu);
    EXPECT_EQ(entry->AnnounceUrl, "http://a/ann");
    EXPECT_EQ(entry->BackupTrackers, (std::vector<std::string>{"http://a/ann", "http://b/ann"}));
    EXPECT_TRUE(entry->SubFiles.empty());
    EXPECT_EQ(EntryMagnetUri(*entry), uri);

    const auto named = ParseMagnet(uri + "&dn=Own%20name&xl=7");
    const auto own = MakeMagnetEntry(*named, uri, "Item title", 4096);
    EXPECT_EQ(own->TorrentName, "Own name");
    EXPECT_EQ(own->TotalSize, 7);

    // A full torrent's link is built from its fields.
    TTorrentEx full;
    full.InfoHashHex = Ubuntu;
    full.TorrentName = "a b";
    full.AnnounceUrl = "http://a/ann";
    full.BackupTrackers = {"http://a/ann", "http://c/ann"};
    EXPECT_FALSE(full.IsMagnet());
    EXPECT_EQ(EntryMagnetUri(full),
              "magnet:?xt=urn:btih:" + Ubuntu + "&dn=a%20b&tr=http%3A%2F%2Fa%2Fann&tr=http%3A%2F%2Fc%2Fann");
}
