// What a site, a torrent or a results file holds reaches the terminal only
// escaped: every text line of every command, error messages included, shows
// control characters as escapes and never sends them.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "search/SiteCatalogue.h"
#include "support/CliRun.h"
#include "support/FixtureSites.h"
#include "support/FixtureTracker.h"
#include "support/Shell.h"

namespace sorvena::test {
namespace {

namespace fs = std::filesystem;

// Retitles the terminal, clears it and its scrollback, then 0x9B (CSI in
// Latin-1, which the name is read as, not being UTF-8) and DEL.
const std::string Hostile = "evil\x1b]0;pwned\x07\x1b[2J\x1b[3J\x9b" "31m\x7f\x01!";
const std::string HostileShown = "evil\\x1b]0;pwned\\x07\\x1b[2J\\x1b[3J\\u009b31m\\x7f\\x01!";
// For file names and arguments: no byte that is not UTF-8.
const std::string HostileAscii = "evil\x1b]0;pwned\x07\x1b[2J";
const std::string HostileAsciiShown = "evil\\x1b]0;pwned\\x07\\x1b[2J";

// The offset of the first byte a terminal would act on (line ends aside).
size_t firstControl(const std::string& text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        const auto previous = i > 0 ? static_cast<unsigned char>(text[i - 1]) : 0;
        // A byte 0x80 to 0x9F is a C1 control unless it continues a UTF-8 sequence.
        if ((c < 0x20 && c != '\n') || c == 0x7F || (c == 0xC2 && next >= 0x80 && next <= 0x9F) ||
            (c >= 0x80 && c <= 0x9F && previous < 0x80))
            return i;
    }
    return std::string::npos;
}

std::string bstr(const std::string& s)
{
    return std::to_string(s.size()) + ":" + s;
}

// A two-file torrent with the hostile text in every string a command shows.
std::string hostileTorrent(const std::string& announce)
{
    const std::string file = "d6:lengthi5e4:pathl" + bstr(Hostile + "dir") + bstr(Hostile + "file") + "ee";
    return "d8:announce" + bstr(announce) + "13:announce-listll" + bstr(announce) + "el" +
           bstr("http://127.0.0.1:1/" + Hostile) + "ee7:comment" + bstr(Hostile) + "4:infod5:filesl" + file +
           "d6:lengthi7e4:pathl" + bstr("plain") + "ee" + "e4:name" + bstr(Hostile) +
           "12:piece lengthi16384e6:pieces" + bstr(std::string(20, 'p')) + "ee";
}

std::string settingsText(const TSiteHosts& hosts)
{
    std::string text = "[Hosts]\n";
    for (int slot = 0; slot < SITE_COUNT; ++slot)
        if (!HostKeys[slot].empty()) text += std::string(HostKeys[slot]) + "=" + hosts.Site[static_cast<size_t>(slot)] + "\n";
    text += std::string(PirateBayImagesKey) + "=" + hosts.PirateBayImages + "\n";
    text += std::string(IsoHuntDownloadKey) + "=" + hosts.IsoHuntDownload + "\n";
    return text;
}

class CliTerminalOutput : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = fs::temp_directory_path() / ("sorvena-cli-terminal-" + std::to_string(::getpid()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    fs::path write(const std::string& name, const std::string& bytes)
    {
        const fs::path p = m_dir / name;
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }

    fs::path m_dir;
};

TEST_F(CliTerminalOutput, EveryCommandEscapesControlCharacters)
{
    FixtureTracker tracker({{200, DictionaryPeers({"10.0.0.1", "10.0.0.2"})}});
    ASSERT_TRUE(tracker.Listening());
    const fs::path torrent = write("hostile.torrent", hostileTorrent(tracker.Url()));
    // A torrent without a tracker under a file name that is itself hostile.
    const fs::path hostilePath = write(HostileAscii + ".torrent", "d4:infod6:lengthi1e4:name1:x12:piece lengthi16384e"
                                                                  "6:pieces20:" + std::string(20, 'p') + "ee");
    const fs::path missing = m_dir / (HostileAscii + "-missing.torrent");
    const fs::path vrk = m_dir / "hostile.vrk";
    ASSERT_EQ(RunCli({"pack", vrk.string(), torrent.string(), "--keyword", HostileAscii}).status, 0);

    FixtureSites sites;
    FixtureSite& site = sites.Add(SITE_TORRENTREACTOR);
    site.SetPages({{"h1"}});
    site.ServeDownload("h1", hostileTorrent(""));
    const fs::path settings = write("hosts.ini", settingsText(sites.Prepare("linux", 0)));

    const std::string dir = m_dir.string() + "/";
    struct Case {
        const char* name;
        std::vector<std::string> args;
        bool toStderr;
        std::string shown;  // an escaped text the stream must hold
    };
    const std::vector<Case> cases = {
        {"info: name", {"info", torrent.string()}, false, "Name:            " + HostileShown},
        {"info: file path", {"info", torrent.string()}, false, HostileShown + "dir/" + HostileShown + "file  5 bytes"},
        {"info: comment", {"info", torrent.string()}, false, "Comment:         " + HostileShown},
        {"info: backup tracker", {"info", torrent.string()}, false, "http://127.0.0.1:1/" + HostileShown},
        {"info: file name", {"info", hostilePath.string()}, false, HostileAsciiShown + ".torrent"},
        {"info: unreadable file", {"info", missing.string()}, true, "cannot read " + dir + HostileAsciiShown},
        {"pack: unreadable file", {"pack", dir + "x.vrk", missing.string()}, true, "cannot read " + dir + HostileAsciiShown},
        {"pack: not a torrent", {"pack", dir + "y.vrk", write(HostileAscii + ".txt", "x").string()}, true,
         HostileAsciiShown + ".txt is not a torrent"},
        {"list: comment", {"list", vrk.string()}, false, "Comment:   0;" + HostileAsciiShown},
        {"list: keyword", {"list", vrk.string()}, false, "Keyword:   evil\\x1b]0\n"},  // up to the first ";"
        {"list: unreadable file", {"list", missing.string()}, true, HostileAsciiShown + "-missing.torrent"},
        {"peers: result line", {"peers", "--recheck", "0", torrent.string()}, false, "2 peers  " + HostileShown},
        {"peers: file without tracker", {"peers", hostilePath.string()}, true, HostileAsciiShown + ".torrent: no usable"},
        {"search: result table", {"search", "linux", "--no-peers", "--settings", settings.string()}, false, HostileShown},
        {"search: unknown category", {"search", "linux", "--category", HostileAscii}, true,
         "unknown category " + HostileAsciiShown},
        {"get: failed fetch", {"get", "--attempts", "1", "--pause", "0", "http://" + DeadHost() + "/" + HostileAscii}, true,
         "/" + HostileAsciiShown + ": every attempt failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CliResult r = RunCli(c.args);
        for (const std::string* stream : {&r.out, &r.err}) {
            const size_t at = firstControl(*stream);
            EXPECT_EQ(at, std::string::npos)
                << "a raw control character in: " << stream->substr(at == std::string::npos || at < 40 ? 0 : at - 40, 80);
        }
        EXPECT_NE((c.toStderr ? r.err : r.out).find(c.shown), std::string::npos) << r.out << r.err;
    }
}

// A member name quoted by the reader's error message: a member whose bytes
// fail their CRC check. The name is UTF-8 (flagged), which lets CR, LF and
// the C1 controls through the ZIP reader.
TEST_F(CliTerminalOutput, ErrorsQuotingAMemberNameAreEscaped)
{
    if (!HaveTool("python3")) GTEST_SKIP() << "python3 is not installed";
    const fs::path vrk = m_dir / "crc.vrk";
    const fs::path script = write("make.py", R"(import sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'w') as z:
    z.comment = b'0;x'
    z.writestr('m\u00e9\r\u009b2J\u009b]0;pwned\n.torrent', b'd4:infodee' * 4)
data = bytearray(open(sys.argv[1], 'rb').read())
at = data.find(b'd4:infodee')
data[at] ^= 1
open(sys.argv[1], 'wb').write(data)
)");
    RunCommand("python3 '" + script.string() + "' '" + vrk.string() + "'");
    ASSERT_TRUE(fs::exists(vrk));
    for (const std::vector<std::string>& args : {std::vector<std::string>{"list"}, {"list", "--json"}}) {
        SCOPED_TRACE(args.size());
        std::vector<std::string> withFile = args;
        withFile.push_back(vrk.string());
        const CliResult r = RunCli(withFile);
        EXPECT_NE(r.status, 0);
        EXPECT_EQ(firstControl(r.err), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("m\xc3\xa9\\r\\u009b2J\\u009b]0;pwned\\n.torrent"), std::string::npos) << r.err;
    }
}

}  // namespace
}  // namespace sorvena::test
