// The results file: what comes back from a saved list, the member names, the
// comment, what other ZIP readers and BitTorrent clients make of our archives,
// and archives made to hurt the loader.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/Shell.h"
#include "results/ResultsFile.h"

using namespace sorvena;
namespace fs = std::filesystem;

using namespace sorvena::test;

namespace {

const fs::path TorrentDir = fs::path(SORVENA_TEST_DATA_DIR) / "torrents";

void writeAll(const fs::path& p, std::string_view bytes)
{
    std::ofstream(p, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::unique_ptr<TTorrentEx> loadTorrent(std::string_view bytes)
{
    auto t = std::make_unique<TTorrentEx>();
    t->LoadMetainfo(bytes);
    return t;
}

std::vector<std::unique_ptr<TTorrentEx>> fixtures()
{
    std::vector<std::unique_ptr<TTorrentEx>> list;
    for (const char* name : {"multi-file-tiers.torrent", "no-creation-date.torrent", "non-ascii-names.torrent",
                             "single-file.torrent", "two-thousand-files.torrent"})
        list.push_back(loadTorrent(ReadAll(TorrentDir / name)));
    // Two of the files are the same torrent but for the date: one name each.
    list[3]->TorrentName = list[3]->SubFiles[0].FileName = "dated";
    return list;
}

std::vector<const TTorrentFile*> view(const std::vector<std::unique_ptr<TTorrentEx>>& list)
{
    std::vector<const TTorrentFile*> out;
    for (const auto& t : list) out.push_back(t.get());
    return out;
}

// A folder of its own per test, removed afterwards.
class ResultsFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_dir = fs::temp_directory_path() / (std::string("sorvena-results-") + info->name() + "-" +
                                             std::to_string(::getpid()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }
    fs::path m_dir;
};

// A small Python program run on one archive, its output returned.
std::string python(const std::string& program, const fs::path& archive)
{
    const fs::path script = archive.parent_path() / "check.py";
    writeAll(script, program);
    return RunCommand("python3 '" + script.string() + "' '" + archive.string() + "' 2>&1");
}

}  // namespace

TEST(ResultMemberName, NamesFromTorrentNames)
{
    const std::string e = "\xc3\xa9";  // é in UTF-8
    std::string longUtf8;
    for (int i = 0; i < 300; ++i) longUtf8 += e;
    std::string cutUtf8;
    for (int i = 0; i < 247; ++i) cutUtf8 += e;
    const struct {
        std::string torrentName;
        std::string member;
    } cases[] = {
        {"A", "A.torrent"},
        {"B:C", "BC.torrent"},
        {"\"*/:<>?\\|", ".torrent"},
        {"../../etc/passwd", "....etcpasswd.torrent"},
        {std::string(300, 'n'), std::string(247, 'n') + ".torrent"},
        {longUtf8, cutUtf8 + ".torrent"},
        {"caf\xe9", "caf" + e + ".torrent"},  // not UTF-8: read as Latin-1
        {std::string("a\x01\tb\0c\x7f\x1b", 8), "abc.torrent"},
        {"x.torrent", "x.torrent.torrent"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.torrentName);
        EXPECT_EQ(ResultMemberName(c.torrentName), c.member);
    }
    EXPECT_EQ(CleanFileName("a\"b*c/d:e<f>g?h\\i|j\x01\x1f\x7f\x80"), "abcdefghij\x80");
}

TEST(ResultMemberName, DownloadNamesFitTheFileSystem)
{
    std::string longUtf8;
    for (int i = 0; i < 300; ++i) longUtf8 += "\xe2\x82\xac";  // €, three bytes
    for (const std::string& name : {longUtf8, std::string(".."), std::string("/"), std::string(400, 'z')}) {
        SCOPED_TRACE(name.substr(0, 20));
        const std::string file = TorrentFileName(name);
        EXPECT_LE(file.size(), 255u);
        EXPECT_EQ(file.find('/'), std::string::npos);
        EXPECT_TRUE(file.ends_with(".torrent"));
        EXPECT_NE(file, "..");
    }
    EXPECT_EQ(TorrentFileName(longUtf8).size(), 82 * 3 + 8u);  // whole characters only
}

TEST(ResultsComment, Fields)
{
    const struct {
        std::string comment;
        bool empty;
        std::optional<int> category;
        std::optional<std::string> keyword;
    } cases[] = {
        {"", true, {}, {}},
        {"8;first second", false, 8, "first second"},
        {"0;", false, 0, ""},
        {"0;a;b", false, 0, "a"},
        {"5", false, 5, {}},
        {"x;kw", false, {}, "kw"},
        {";kw", false, {}, "kw"},
        {"-3;k", false, -3, "k"},
        {"+7;k", false, 7, "k"},
        {"++7;k", false, {}, "k"},
        {"+-7;k", false, {}, "k"},
        {"99999999999;k", false, {}, "k"},
        {" 1;k", false, {}, "k"},
        {std::string("2;k\0;z", 6), false, 2, "k"},
        {std::string("\0" "3;k", 4), true, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.comment);
        const TResultsCommentFields f = ParseResultsComment(c.comment);
        EXPECT_EQ(f.Empty, c.empty);
        EXPECT_EQ(f.Category, c.category);
        EXPECT_EQ(f.Keyword, c.keyword);
    }
    EXPECT_EQ(ResultsComment(8, "first second"), "8;first second");
    EXPECT_EQ(ResultsComment(0, ""), "0;");
}

TEST_F(ResultsFileTest, ListComesBackThroughAFile)
{
    auto list = fixtures();
    list[0]->LinkUrl = "http://example.org/a.torrent";
    list[0]->PeerCount = 12;
    const fs::path file = m_dir / "list.vrk";
    SaveResultsFile(file.string(), view(list), 9, "first second");

    const TResultsFile back = ReadResultsFile(file.string());
    EXPECT_EQ(back.Comment, "9;first second");
    EXPECT_EQ(back.Fields.Category, 9);
    EXPECT_EQ(back.Fields.Keyword, "first second");
    ASSERT_EQ(back.Entries.size(), list.size());
    for (size_t i = 0; i < list.size(); ++i) {
        const TTorrentEx& a = *list[i];
        const TTorrentEx& b = *back.Entries[i].Torrent;
        SCOPED_TRACE(a.TorrentName);
        EXPECT_EQ(back.Entries[i].MemberName, ResultMemberName(a.TorrentName));
        EXPECT_EQ(b.AnnounceUrl, a.AnnounceUrl);
        EXPECT_EQ(b.Comment, a.Comment);
        EXPECT_EQ(DateTimeToUnixSeconds(b.CreatedAt), DateTimeToUnixSeconds(a.CreatedAt));
        EXPECT_EQ(b.TorrentName, a.TorrentName);
        EXPECT_EQ(b.IsMultiFile, a.IsMultiFile);
        EXPECT_EQ(b.TotalSize, a.TotalSize);
        EXPECT_EQ(b.FileCount, a.FileCount);
        EXPECT_EQ(b.PieceLength, a.PieceLength);
        ASSERT_EQ(b.SubFiles.size(), a.SubFiles.size());
        for (size_t f = 0; f < a.SubFiles.size(); ++f) {
            EXPECT_EQ(b.SubFiles[f].FileName, a.SubFiles[f].FileName);
            EXPECT_EQ(b.SubFiles[f].DirPath, a.SubFiles[f].DirPath);
            EXPECT_EQ(b.SubFiles[f].FileSize, a.SubFiles[f].FileSize);
            EXPECT_EQ(b.SubFiles[f].FileOffset, a.SubFiles[f].FileOffset);
        }
        ASSERT_EQ(b.PieceHashes.size(), a.PieceHashes.size());
        for (size_t p = 0; p < a.PieceHashes.size(); ++p) EXPECT_EQ(b.PieceHashes[p].HashRaw(), a.PieceHashes[p].HashRaw());
        std::vector<std::string> trackers;
        if (!a.BackupTrackers.empty()) {
            trackers.push_back(a.AnnounceUrl);
            for (const std::string& t : a.BackupTrackers)
                if (t != a.AnnounceUrl) trackers.push_back(t);
        }
        EXPECT_EQ(b.BackupTrackers, trackers);
        EXPECT_EQ(b.InfoHashHex, loadTorrent(WriteMetainfo(a))->InfoHashHex);
        EXPECT_EQ(b.LinkUrl, "");
        EXPECT_EQ(b.PeerCount, -1);
    }
    // Saving what was loaded gives the same archive content again.
    std::vector<const TTorrentFile*> again;
    for (const auto& e : back.Entries) again.push_back(e.Torrent.get());
    const TResultsFile twice = ReadResultsArchive(BuildResultsArchive(again, *back.Fields.Category, *back.Fields.Keyword));
    ASSERT_EQ(twice.Entries.size(), back.Entries.size());
    for (size_t i = 0; i < twice.Entries.size(); ++i)
        EXPECT_EQ(WriteMetainfo(*twice.Entries[i].Torrent), WriteMetainfo(*back.Entries[i].Torrent));
}

TEST_F(ResultsFileTest, OneMemberPerNameIgnoringCaseWithTheLaterContent)
{
    const std::string bytes = ReadAll(TorrentDir / "single-file.torrent");
    const struct {
        std::vector<std::string> names;
        std::vector<std::string> members;
        std::vector<size_t> contentOf;  // which torrent each member holds
    } cases[] = {
        {{"A", "B:C", "D"}, {"A.torrent", "BC.torrent", "D.torrent"}, {0, 1, 2}},
        {{"X", "x"}, {"X.torrent"}, {1}},
        {{"a", "b", "A", "B:", "c"}, {"a.torrent", "b.torrent", "c.torrent"}, {2, 3, 4}},
        {{"\xc3\xa9", "\xc3\x89"}, {"\xc3\xa9.torrent", "\xc3\x89.torrent"}, {0, 1}},  // é and É differ: ASCII case only
        {{"?", ":"}, {".torrent"}, {1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.names.front());
        std::vector<std::unique_ptr<TTorrentEx>> list;
        for (size_t i = 0; i < c.names.size(); ++i) {
            list.push_back(loadTorrent(bytes));
            list.back()->TorrentName = c.names[i];
            list.back()->PieceLength = static_cast<int32_t>(1000 + i);  // tells the contents apart
        }
        const TResultsFile back = ReadResultsArchive(BuildResultsArchive(view(list), 0, ""));
        ASSERT_EQ(back.Entries.size(), c.members.size());
        for (size_t m = 0; m < c.members.size(); ++m) {
            EXPECT_EQ(back.Entries[m].MemberName, c.members[m]);
            EXPECT_EQ(back.Entries[m].Torrent->PieceLength, static_cast<int32_t>(1000 + c.contentOf[m]));
        }
    }
}

TEST_F(ResultsFileTest, CommentDecidesWhatLoads)
{
    auto list = fixtures();
    list.resize(2);
    const struct {
        int category;
        std::string keyword;
        size_t entries;
        std::optional<std::string> keywordBack;
    } cases[] = {
        {0, "", 2, ""},
        {8, "a;b", 2, "a"},
        {11, "x y", 2, "x y"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keyword);
        const TResultsFile back = ReadResultsArchive(BuildResultsArchive(view(list), c.category, c.keyword));
        EXPECT_EQ(back.Entries.size(), c.entries);
        EXPECT_EQ(back.Fields.Category, c.category);
        EXPECT_EQ(back.Fields.Keyword, c.keywordBack);
    }
}

// Other tools read our archives: Python's zipfile and unzip see the comment,
// the names (with the UTF-8 flag where needed) and intact members, and every
// member is a torrent that transmission-show hashes as our loader does.
TEST_F(ResultsFileTest, OtherToolsReadOurArchives)
{
    if (!HaveTool("python3")) GTEST_SKIP() << "python3 is not installed";
    auto list = fixtures();
    list[1]->TorrentName = "caf\xc3\xa9 \xe2\x82\xac:1";
    const fs::path file = m_dir / "list.vrk";
    SaveResultsFile(file.string(), view(list), 3, "linux iso");
    const TResultsFile back = ReadResultsFile(file.string());

    const std::string report = python(R"(import sys, zipfile, zlib
z = zipfile.ZipFile(sys.argv[1])
print(z.comment.decode('utf-8'))
print('bad', z.testzip())
for i in z.infolist():
    data = z.read(i)
    c = zlib.compressobj(6, zlib.DEFLATED, -15)
    deflated = len(c.compress(data) + c.flush())
    want = 0 if (len(data) == 0 or deflated > len(data)) else 8
    utf8 = bool(i.flag_bits & 0x800)
    print(i.filename, utf8 == (not i.filename.isascii()), i.compress_type == want)
)",
                                      file);
    std::string expected = "3;linux iso\nbad None\n";
    for (const auto& e : back.Entries) expected += e.MemberName + " True True\n";
    EXPECT_EQ(report, expected);

    if (HaveTool("unzip")) {
        EXPECT_NE(RunCommand("unzip -tq '" + file.string() + "'").find("No errors detected"), std::string::npos);
        EXPECT_EQ(RunCommand("unzip -zq '" + file.string() + "'"), "3;linux iso\n");
    }
    if (!HaveTool("transmission-show")) return;
    const fs::path out = m_dir / "out";
    RunCommand("python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' '" + file.string() +
        "' '" + out.string() + "'");
    for (const auto& e : back.Entries) {
        SCOPED_TRACE(e.MemberName);
        const std::string shown = RunCommand("transmission-show '" + (out / e.MemberName).string() + "'");
        EXPECT_NE(shown.find("Hash: " + e.Torrent->InfoHashHex), std::string::npos) << shown.substr(0, 300);
    }
}

// Names from the web may hold any bytes. Whatever they hold, the list saves,
// loads back whole, and other ZIP readers see clean member names.
TEST_F(ResultsFileTest, AnyTorrentNameSavesAndLoads)
{
    const std::string bytes = ReadAll(TorrentDir / "single-file.torrent");
    const struct {
        std::string name;
        std::string member;
    } cases[] = {
        {"a\x01" "b", "ab.torrent"},
        {"\x1b]0;retitled\x07\x1b[2Jtitle", "]0;retitled[2Jtitle.torrent"},
        {"tab\tcr\rlf\n", "tabcrlf.torrent"},
        {std::string("nul\0del\x7f", 8), "nuldel.torrent"},
        {"latin1 \x9b" "31m\xe9", "latin1 31m\xc3\xa9.torrent"},  // 0x9B is CSI in Latin-1
        {"utf8 \xc2\x9b" "31m\xc3\xa9", "utf8 31m\xc3\xa9.torrent"},
        {"bad utf8 \xc3\x28 \xed\xa0\x80", "bad utf8 \xc3\x83( \xc3\xad\xc2\xa0.torrent"},
        {"\x01\x02\x03", ".torrent"},  // nothing left: the same member as the next two
        {"", ".torrent"},
        {"\"*/:<>?\\|\x1b", ".torrent"},
        {std::string(300, '\x01') + "z", "z.torrent"},
    };
    std::vector<std::unique_ptr<TTorrentEx>> list;
    for (const auto& c : cases) {
        list.push_back(loadTorrent(bytes));
        list.back()->TorrentName = c.name;
        list.back()->PieceLength = static_cast<int32_t>(1000 + list.size());
    }
    // A keyword loaded from such a file saves again as it is: bytes that are
    // no UTF-8, control bytes.
    const std::string keyword = "k\x1b[2J\x07 caf\xe9";
    const fs::path file = m_dir / "hostile-names.vrk";
    ASSERT_NO_THROW(SaveResultsFile(file.string(), view(list), 0, keyword));
    const TResultsFile back = ReadResultsFile(file.string());
    EXPECT_EQ(back.Comment, "0;" + keyword);
    EXPECT_EQ(back.Fields.Keyword, keyword);

    // One member per distinct name, in list order; the later torrent wins.
    std::vector<std::string> members;
    std::map<std::string, const TTorrentEx*> content;
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(ResultMemberName(cases[i].name), cases[i].member);
        if (!content.count(cases[i].member)) members.push_back(cases[i].member);
        content[cases[i].member] = list[i].get();
    }
    ASSERT_EQ(back.Entries.size(), members.size());
    for (size_t m = 0; m < members.size(); ++m) {
        SCOPED_TRACE(members[m]);
        EXPECT_EQ(back.Entries[m].MemberName, members[m]);
        EXPECT_EQ(back.Entries[m].Torrent->TorrentName, content[members[m]]->TorrentName) << "the content keeps the name";
        EXPECT_EQ(back.Entries[m].Torrent->PieceLength, content[members[m]]->PieceLength);
    }

    if (!HaveTool("python3")) GTEST_SKIP() << "python3 is not installed";
    const std::string report = python(R"(import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
print(z.comment)
print('bad', z.testzip())
for i in z.infolist():
    controls = [c for c in i.filename if ord(c) < 0x20 or 0x7f <= ord(c) <= 0x9f]
    print(i.filename, len(z.read(i)) > 0, controls)
)",
                                      file);
    std::string expected = "b'0;k\\x1b[2J\\x07 caf\\xe9'\nbad None\n";
    for (const std::string& m : members) expected += m + " True []\n";
    EXPECT_EQ(report, expected);
}

TEST_F(ResultsFileTest, NamesWithoutTheUtf8FlagAreCodePage437)
{
    if (!HaveTool("python3")) GTEST_SKIP() << "python3 is not installed";
    const fs::path file = m_dir / "cp437.zip";
    python(R"(import sys, zipfile
with zipfile.ZipFile(sys.argv[1] + '.tmp', 'w') as z:
    z.comment = b'0;k'
    z.writestr('cafX.torrent', b'de')
data = open(sys.argv[1] + '.tmp', 'rb').read().replace(b'cafX', b'caf\x82')
open(sys.argv[1], 'wb').write(data)
)",
           file);
    const TResultsFile back = ReadResultsFile(file.string());
    ASSERT_EQ(back.Entries.size(), 1u);
    EXPECT_EQ(back.Entries[0].MemberName, "caf\xc3\xa9.torrent");
}

// Archives made to hurt: names that point elsewhere load as plain entries and
// nothing reaches the disk; sizes, declared or real, past the limits refuse
// the file; broken archives refuse it.
TEST_F(ResultsFileTest, HostileArchives)
{
    if (!HaveTool("python3")) GTEST_SKIP() << "python3 is not installed";
    const std::string torrent = ReadAll(TorrentDir / "single-file.torrent");
    writeAll(m_dir / "t.torrent", torrent);
    const std::string make = R"(import sys, zipfile, struct
kind, path = sys.argv[2], sys.argv[1]
t = open(sys.argv[3], 'rb').read()
if kind == 'zip64-count':  # an end record that claims 2^40 members in an empty directory
    z64 = struct.pack('<IQHHIIQQQQ', 0x06064b50, 44, 45, 45, 0, 0, 2**40, 2**40, 0, 0)
    loc = struct.pack('<IIQI', 0x07064b50, 0, 0, 1)
    end = struct.pack('<IHHHHIIH', 0x06054b50, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 3)
    open(path, 'wb').write(z64 + loc + end + b'0;k')
    sys.exit(0)
z = zipfile.ZipFile(path, 'w', zipfile.ZIP_DEFLATED)
z.comment = b'1;k'
if kind == 'names':
    for n in ['../../evil.torrent', '/abs/evil.torrent', 'a/b/evil.torrent', 'dir/']:
        z.writestr(n, t if not n.endswith('/') else b'')
elif kind == 'bomb':
    z.writestr('bomb.torrent', b'\0' * (3 << 20))
elif kind == 'total':
    for i in range(3):
        z.writestr('m%d.torrent' % i, b'\0' * (600 << 10))
elif kind in ('lie-small', 'lie-huge'):
    z.writestr('lie.torrent', b'\0' * (2 << 20))
z.close()
if kind.startswith('lie'):
    d = bytearray(open(path, 'rb').read())
    size = 100 if kind == 'lie-small' else 0xFFFFFFF0
    for sig, off in ((b'PK\x03\x04', 22), (b'PK\x01\x02', 24)):
        at = d.find(sig)
        d[at + off:at + off + 4] = struct.pack('<I', size)
    open(path, 'wb').write(bytes(d))
)";
    const fs::path script = m_dir / "make.py";
    writeAll(script, make);
    const auto archive = [&](const std::string& kind) {
        const fs::path file = m_dir / (kind + ".zip");
        RunCommand("python3 '" + script.string() + "' '" + file.string() + "' " + kind + " '" + (m_dir / "t.torrent").string() +
            "'");
        return file;
    };

    const fs::path cwd = fs::current_path();
    fs::current_path(m_dir);
    const TResultsFile names = ReadResultsFile(archive("names").string());
    fs::current_path(cwd);
    ASSERT_EQ(names.Entries.size(), 3u);
    EXPECT_EQ(names.Entries[0].MemberName, "../../evil.torrent");
    for (const auto& e : names.Entries) EXPECT_EQ(e.Torrent->TotalSize, 70000);
    for (const fs::path& p : {m_dir / "../../evil.torrent", fs::path("/abs/evil.torrent"), m_dir / "a/b/evil.torrent"})
        EXPECT_FALSE(fs::exists(p)) << p;

    TResultsFileLimits limits;
    limits.MaxMemberBytes = 1 << 20;
    limits.MaxTotalBytes = 1 << 20;
    for (const std::string kind : {"bomb", "total", "lie-small", "lie-huge", "zip64-count"}) {
        SCOPED_TRACE(kind);
        EXPECT_THROW(ReadResultsFile(archive(kind).string(), limits), EResultsFileError);
    }
    TResultsFileLimits fewMembers;
    fewMembers.MaxMembers = 2;
    EXPECT_THROW(ReadResultsFile(archive("names").string(), fewMembers), EResultsFileError);
    TResultsFileLimits smallFile;
    smallFile.MaxFileBytes = 100;
    EXPECT_THROW(ReadResultsFile(archive("names").string(), smallFile), EResultsFileError);

    const std::string good = BuildResultsArchive({}, 0, "k");
    for (const std::string& bytes : {std::string("hello"), std::string(), good.substr(0, good.size() - 5),
                                     std::string(good.size(), 'P') + good.substr(good.size() / 2)}) {
        SCOPED_TRACE(bytes.size());
        EXPECT_THROW(ReadResultsArchive(bytes), EResultsFileError);
    }
    EXPECT_THROW(ReadResultsFile((m_dir / "missing.vrk").string()), EResultsFileError);
}

// A member damaged after it was written: its deflated bytes changed or
// zeroed, or its headers telling another CRC or size. Each refuses the file
// with the member's name.
TEST(ResultsFileDamage, DamagedMembersRefuseTheFile)
{
    auto list = fixtures();
    list[0]->Comment = std::string(4000, 'c');  // deflates well, whatever the rest holds
    const std::string good = BuildResultsArchive(view(list), 1, "k");
    ASSERT_EQ(ReadResultsArchive(good).Entries.size(), list.size());
    const auto le16 = [&](const std::string& b, size_t at) {
        return static_cast<size_t>(static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8);
    };
    ASSERT_EQ(good.compare(0, 4, "PK\x03\x04"), 0);
    ASSERT_EQ(le16(good, 8), 8u) << "the first member is deflated";
    const size_t data = 30 + le16(good, 26) + le16(good, 28);
    const std::string name = good.substr(30, le16(good, 26));
    const size_t central = good.find("PK\x01\x02");
    ASSERT_NE(central, std::string::npos);
    // Changes a 32-bit field of the first member in both its headers.
    const auto bothHeaders = [&](std::string b, size_t localAt, size_t centralAt, int delta) {
        for (const size_t at : {localAt, central + centralAt}) b[at] = static_cast<char>(b[at] + delta);
        return b;
    };
    struct Case {
        const char* what;
        std::string bytes;
    };
    std::string flipped = good;
    flipped[data + 40] = static_cast<char>(flipped[data + 40] ^ 0x5A);
    const size_t packed = le16(good, 18) | le16(good, 20) << 16;
    std::string zeroed = good;
    std::fill(zeroed.begin() + static_cast<std::ptrdiff_t>(data + packed / 2),
              zeroed.begin() + static_cast<std::ptrdiff_t>(data + packed), '\0');
    const Case cases[] = {
        {"a byte of the deflated data changed", flipped},
        {"the second half of the deflated data zeroed", zeroed},
        {"another CRC", bothHeaders(good, 14, 16, 1)},
        {"a declared size one byte short", bothHeaders(good, 22, 24, -1)},
        {"a declared size one byte long", bothHeaders(good, 22, 24, 1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            ReadResultsArchive(c.bytes);
            ADD_FAILURE() << "loaded";
        } catch (const EResultsFileError& e) {
            EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
        }
    }
}

TEST_F(ResultsFileTest, FailedSaveKeepsThePreviousFile)
{
    auto list = fixtures();
    const fs::path file = m_dir / "keep.vrk";
    SaveResultsFile(file.string(), view(list), 1, "old");
    const std::string before = ReadAll(file);

    EXPECT_THROW(SaveResultsFile(file.string(), view(list), 1, std::string(70000, 'k')), EResultsFileError);
    EXPECT_EQ(ReadAll(file), before);
    EXPECT_THROW(SaveResultsFile((m_dir / "no-such-folder" / "x.vrk").string(), view(list), 1, "k"), EResultsFileError);
    fs::create_directory(m_dir / "a-folder.vrk");
    fs::create_directory(m_dir / "a-folder.vrk" / "inside");
    EXPECT_THROW(SaveResultsFile((m_dir / "a-folder.vrk").string(), view(list), 1, "k"), EResultsFileError);

    size_t files = 0;
    for (const auto& p : fs::directory_iterator(m_dir)) files += p.is_regular_file();
    EXPECT_EQ(files, 1u) << "a temporary file was left behind";
}

// A list long enough that saving and loading share the members between
// threads comes back whole and in order; a member whose bytes were changed
// after saving refuses the file.
TEST_F(ResultsFileTest, LongListComesBackInOrder)
{
    const auto base = fixtures();
    std::vector<std::unique_ptr<TTorrentEx>> list;
    for (int i = 0; i < 300; ++i) {
        const TTorrentEx& from = *base[static_cast<size_t>(i) % 4];  // not the one of two thousand files
        list.push_back(loadTorrent(WriteMetainfo(from)));
        list.back()->TorrentName = "torrent " + std::to_string(i);
    }
    const std::string bytes = BuildResultsArchive(view(list), 4, "many");
    const TResultsFile back = ReadResultsArchive(bytes);
    ASSERT_EQ(back.Entries.size(), list.size());
    for (size_t i = 0; i < list.size(); ++i) {
        EXPECT_EQ(back.Entries[i].MemberName, "torrent " + std::to_string(i) + ".torrent");
        EXPECT_EQ(WriteMetainfo(*back.Entries[i].Torrent), WriteMetainfo(*list[i]));
    }

    // One byte of the last member's data (just before the central directory) flipped.
    const size_t first = bytes.find(std::string("PK\x01\x02", 4));
    ASSERT_NE(first, std::string::npos);
    ASSERT_GT(first, 10u);
    std::string broken = bytes;
    broken[first - 10] = static_cast<char>(broken[first - 10] ^ 0x55);
    EXPECT_THROW(ReadResultsArchive(broken), EResultsFileError);
}
