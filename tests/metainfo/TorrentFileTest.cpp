#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "metainfo/BDecode.h"
#include "metainfo/MessageDigests.h"
#include "metainfo/TorrentEx.h"

using namespace sorvena;

namespace {

std::string b(const std::string& s)
{
    return std::to_string(s.size()) + ":" + s;
}

const std::string Piece1(20, 'p');
const std::string Piece2(20, 'q');

std::string singleInfo(const std::string& name = "movie.avi.torrent", int64_t length = 5)
{
    return "d6:lengthi" + std::to_string(length) + "e4:name" + b(name) + "12:piece lengthi16384e6:pieces" +
           b(Piece1) + "e";
}

std::string torrentWith(const std::string& info, const std::string& before = "d8:announce" + b("http://t/a"))
{
    return before + "4:info" + info + "e";
}

std::string sha1Hex(const std::string& bytes)
{
    TSHA1 d;
    d.TransformText(bytes);
    d.Complete();
    return d.DigestHex();
}

TEST(LoadMetainfo, SingleFile)
{
    TTorrentEx t;
    ASSERT_TRUE(t.LoadMetainfo(torrentWith(singleInfo())));
    EXPECT_TRUE(t.LoadErrors.empty());
    EXPECT_EQ(t.AnnounceUrl, "http://t/a");
    EXPECT_EQ(t.TorrentName, "movie.avi");
    EXPECT_FALSE(t.IsMultiFile);
    EXPECT_EQ(t.FileCount, 1);
    EXPECT_EQ(t.TotalSize, 5);
    ASSERT_EQ(t.SubFiles.size(), 1u);
    EXPECT_EQ(t.SubFiles[0].FileName, "movie.avi");
    EXPECT_EQ(t.SubFiles[0].DirPath, "");
    EXPECT_EQ(t.SubFiles[0].FileOffset, 0);
    EXPECT_EQ(t.PieceLength, 16384);
    ASSERT_EQ(t.PieceHashes.size(), 1u);
    EXPECT_EQ(t.PieceHashes[0].HashRaw(), Piece1);
    std::string hex;
    for (int i = 0; i < 20; ++i) hex += "70";  // 'p'
    EXPECT_EQ(t.PieceHashes[0].HashHex(), hex);
    EXPECT_EQ(t.InfoHashHex, sha1Hex(singleInfo()));
    EXPECT_EQ(t.InfoHashRaw.size(), 20u);
    EXPECT_EQ(BytesToHex(t.InfoHashRaw, 999), t.InfoHashHex);
    EXPECT_EQ(t.CreatedAt, 0);
    EXPECT_EQ(t.LinkUrl, "");
    EXPECT_EQ(t.PeerCount, -1);
}

TEST(LoadMetainfo, MultiFileLayout)
{
    const std::string info = "d5:filesld6:lengthi10e4:pathl1:a5:b.txteed6:lengthi20e4:pathl5:c.txteed6:lengthi30e4:"
                             "pathleee4:name3:dir12:piece lengthi16384e6:pieces" +
                             b(Piece1 + Piece2 + "12345") + "e";
    TTorrentFile t;
    ASSERT_TRUE(t.LoadMetainfo(torrentWith(info)));
    EXPECT_TRUE(t.LoadErrors.empty());
    EXPECT_TRUE(t.IsMultiFile);
    EXPECT_EQ(t.TotalSize, 60);
    EXPECT_EQ(t.FileCount, 3);
    ASSERT_EQ(t.SubFiles.size(), 3u);
    EXPECT_EQ(t.SubFiles[0].DirPath, "a\\");
    EXPECT_EQ(t.SubFiles[0].FileName, "b.txt");
    EXPECT_EQ(t.SubFiles[1].DirPath, "");
    EXPECT_EQ(t.SubFiles[1].FileName, "c.txt");
    EXPECT_EQ(t.SubFiles[2].DirPath, "");
    EXPECT_EQ(t.SubFiles[2].FileName, "");
    EXPECT_EQ(t.SubFiles[0].FileOffset, 0);
    EXPECT_EQ(t.SubFiles[1].FileOffset, 10);
    EXPECT_EQ(t.SubFiles[2].FileOffset, 30);
    EXPECT_EQ(t.PieceHashes.size(), 2u);  // the 5 bytes left over are ignored
}

struct MessageCase {
    const char* what;
    std::string input;
    bool ok;
    std::vector<std::string> messages;
};

TEST(LoadMetainfo, MessagesAndResults)
{
    const std::string nameOnly = "d4:name1:ne";
    const MessageCase cases[] = {
        {"html page", "<html><body>no torrent</body></html>", false,
         {"Error parsing file; does not appear to be valid bencoded metainfo"}},
        {"empty", "", false, {"Error parsing file; does not appear to be valid bencoded metainfo"}},
        {"a list", "l4:spame", false, {"Something bad happened while trying to load the file, probably corrupt metainfo"}},
        {"no announce, no info", "d7:comment1:ce", true,
         {"Corrupt File: Missing \"announce\" segment", "Corrupt File: Missing \"info\" segment"}},
        {"info without keys", torrentWith("de"), true,
         {"Corrupt File: Missing \"info.name\" segment", "Corrupt File: Missing \"info.piece length\" segment",
          "Corrupt File: Missing \"info.pieces\" segment",
          "Corrupt File: Missing both \"info.length\" and \"info.files\" segments (should have one or the other)"}},
        {"file entries without keys",
         torrentWith("d5:filesld4:pathl1:aeed6:lengthi1eee4:name1:n12:piece lengthi1e6:pieces0:e"), true,
         {"Corrupt File: files[0] is missing a \"length\" segment",
          "Corrupt File: files[1] is missing a \"path\" segment"}},
        {"info is a list", torrentWith("le"), false,
         {"Something bad happened while trying to load the file, probably corrupt metainfo"}},
        {"a path element is a list", torrentWith("d5:filesld6:lengthi1e4:pathllee" "ee4:name1:ne"), false,
         {"Corrupt File: Missing \"info.piece length\" segment", "Corrupt File: Missing \"info.pieces\" segment",
          "Something bad happened while trying to load the file, probably corrupt metainfo"}},
        {"announce-list tier is a string", "d8:announce1:u13:announce-listl1:xe4:info" + nameOnly + "e", false,
         {"Something bad happened while trying to load the file, probably corrupt metainfo"}},
        {"announce as an integer", torrentWith(singleInfo(), "d8:announcei5e"), true, {}},
        {"trailing bytes", torrentWith(singleInfo()) + "garbage<html>", true, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TTorrentFile t;
        EXPECT_EQ(t.LoadMetainfo(c.input), c.ok);
        EXPECT_EQ(t.LoadErrors, c.messages);
    }
}

TEST(LoadMetainfo, FailureKeepsEarlierFieldsAndZeroSize)
{
    TTorrentFile t;
    EXPECT_FALSE(t.LoadMetainfo("d8:announce1:u7:comment1:c4:infod6:lengthle4:name1:nee"));
    EXPECT_EQ(t.AnnounceUrl, "u");
    EXPECT_EQ(t.Comment, "c");
    EXPECT_EQ(t.TorrentName, "n");
    EXPECT_EQ(t.TotalSize, 0);
}

TEST(LoadMetainfo, FieldRules)
{
    struct Case {
        std::string name;
        std::string expectedName;
    };
    for (const Case& c : {Case{".torrent", ""}, Case{"x.TORRENT", "x.TORRENT"}, Case{"a.torrent.torrent", "a.torrent"},
                          Case{"torrent", "torrent"}}) {
        SCOPED_TRACE(c.name);
        TTorrentFile t;
        t.LoadMetainfo(torrentWith(singleInfo(c.name)));
        EXPECT_EQ(t.TorrentName, c.expectedName);
        EXPECT_EQ(t.SubFiles.at(0).FileName, c.expectedName);
    }

    TTorrentFile both;  // "length" wins over "files"
    both.LoadMetainfo(torrentWith("d5:filesld6:lengthi1e4:pathl1:aeee6:lengthi7e4:name1:ne"));
    EXPECT_FALSE(both.IsMultiFile);
    EXPECT_EQ(both.TotalSize, 7);

    TTorrentFile dated;
    dated.LoadMetainfo(torrentWith(singleInfo(), "d8:announce1:u13:creation datei0e"));
    EXPECT_EQ(dated.CreatedAt, UnixEpochDateTime);  // 1970 is a date, not "none"
    TTorrentFile stringDate;
    stringDate.LoadMetainfo(torrentWith(singleInfo(), "d8:announce1:u13:creation date3:abc"));
    EXPECT_EQ(stringDate.CreatedAt, UnixEpochDateTime);
    TTorrentFile wideDate;  // only the low 32 bits count, read as signed
    wideDate.LoadMetainfo(torrentWith(singleInfo(), "d8:announce1:u13:creation datei4294967295e"));
    EXPECT_EQ(DateTimeToUnixSeconds(wideDate.CreatedAt), -1);

    TTorrentFile tiers;  // every URL of every tier, duplicates kept
    tiers.LoadMetainfo(torrentWith(singleInfo(), "d8:announce1:u13:announce-listll1:u1:vel1:vel1:wee"));
    EXPECT_EQ(tiers.BackupTrackers, (std::vector<std::string>{"u", "v", "v", "w"}));
}

TEST(LoadMetainfo, InfoHashCoversExactlyTheInfoBytes)
{
    const std::string info = singleInfo("n");
    TTorrentFile a, b2, c;
    a.LoadMetainfo("d8:announce1:u4:info" + info + "e");
    b2.LoadMetainfo("d7:comment5:other4:info" + info + "1:zi9ee");
    std::string changed = info;
    changed[changed.find("16384")] = '2';
    c.LoadMetainfo("d8:announce1:u4:info" + changed + "e");
    EXPECT_EQ(a.InfoHashHex, sha1Hex(info));
    EXPECT_EQ(a.InfoHashHex, b2.InfoHashHex);
    EXPECT_NE(a.InfoHashHex, c.InfoHashHex);
}

TEST(LoadMetainfo, HostileSizesDoNotCrash)
{
    // Sizes that overflow when summed, negative and huge piece lengths.
    TTorrentFile t;
    EXPECT_TRUE(t.LoadMetainfo(torrentWith(
        "d5:filesld6:lengthi9223372036854775807e4:pathl1:aeed6:lengthi9223372036854775807e4:pathl1:beee"
        "4:name1:n12:piece lengthi-1e6:pieces0:e")));
    EXPECT_EQ(t.FileCount, 2);
    EXPECT_EQ(t.PieceLength, -1);
}

TEST(WriteMetainfo, SingleFileBytes)
{
    TTorrentFile t;
    t.AnnounceUrl = "http://u/a";
    t.TorrentName = "n";
    t.TotalSize = 5;
    t.PieceLength = 16384;
    t.PieceHashes.emplace_back(Piece1);
    EXPECT_EQ(WriteMetainfo(t), "d8:announce10:http://u/a4:infod6:lengthi5e4:name1:n12:piece lengthi16384e6:pieces20:" +
                                    Piece1 + "ee");
}

TEST(WriteMetainfo, OptionalKeysTiersAndPaths)
{
    TTorrentFile t;
    t.AnnounceUrl = "u";
    t.BackupTrackers = {"u", "v", "v"};
    t.Comment = "c";
    t.CreatedAt = UnixEpochDateTime;
    t.IsMultiFile = true;
    t.TorrentName = "d";
    t.SubFiles = {{"c.txt", "a\\b\\", 3, 0}, {"", "", 4, 3}};
    EXPECT_EQ(WriteMetainfo(t), "d8:announce1:u13:announce-listll1:uel1:vel1:vee7:comment1:c13:creation datei0e"
                                "4:infod5:filesld6:lengthi3e4:pathl1:a1:b5:c.txteed6:lengthi4e4:pathl0:eee"
                                "4:name1:d12:piece lengthi0e6:pieces0:ee");

    TTorrentFile bare;  // nothing but the required keys, even when empty
    EXPECT_EQ(WriteMetainfo(bare), "d8:announce0:4:infod6:lengthi0e4:name0:12:piece lengthi0e6:pieces0:ee");
}

TEST(WriteMetainfo, WriteLoadWriteKeepsEveryField)
{
    const std::string original =
        "d8:announce1:u13:announce-listll1:v1:uel1:wee7:comment2:hi10:created by3:xyz13:creation datei1700000000e"
        "4:infod5:filesld6:lengthi10e4:pathl1:a1:b5:c.txteed6:lengthi20e4:pathl5:d.txteee4:name3:dir"
        "12:piece lengthi32768e6:pieces40:" +
        Piece1 + Piece2 + "7:privatei1eee";
    TTorrentEx loaded;
    ASSERT_TRUE(loaded.LoadMetainfo(original));
    const std::string first = WriteMetainfo(loaded);
    TTorrentEx again;
    ASSERT_TRUE(again.LoadMetainfo(first));
    EXPECT_EQ(WriteMetainfo(again), first);

    EXPECT_EQ(again.AnnounceUrl, loaded.AnnounceUrl);
    EXPECT_EQ(again.Comment, loaded.Comment);
    EXPECT_EQ(DateTimeToUnixSeconds(again.CreatedAt), 1700000000);
    EXPECT_EQ(again.TorrentName, loaded.TorrentName);
    EXPECT_EQ(again.IsMultiFile, loaded.IsMultiFile);
    EXPECT_EQ(again.TotalSize, 30);
    EXPECT_EQ(again.FileCount, 2);
    EXPECT_EQ(again.PieceLength, 32768);
    ASSERT_EQ(again.SubFiles.size(), 2u);
    EXPECT_EQ(again.SubFiles[0].DirPath, "a\\b\\");
    EXPECT_EQ(again.SubFiles[1].FileOffset, 10);
    ASSERT_EQ(again.PieceHashes.size(), 2u);
    EXPECT_EQ(again.PieceHashes[1].HashRaw(), Piece2);
    // The announce URL leads the trackers, then the others that differ from it.
    EXPECT_EQ(again.BackupTrackers, (std::vector<std::string>{"u", "v", "w"}));
    // "private" is not part of the model, so the rebuilt info hash differs.
    EXPECT_NE(again.InfoHashHex, loaded.InfoHashHex);
}

TEST(DateTime, UnixSecondsRoundTrip)
{
    for (int32_t s : {0, 1, -1, 59, 86399, 1700000000, INT32_MAX, INT32_MIN}) {
        SCOPED_TRACE(s);
        EXPECT_EQ(DateTimeToUnixSeconds(UnixSecondsToDateTime(s)), s);
    }
    EXPECT_EQ(UnixSecondsToDateTime(86400), UnixEpochDateTime + 1);
}

}  // namespace
