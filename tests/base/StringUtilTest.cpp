#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "search/SearchUtil.h"
#include "base/StringUtil.h"
#include "base/Trace.h"

using namespace sorvena;

namespace {

using List = std::vector<std::string>;

TEST(SizeToText, UnitsAndDecimalSeparators)
{
    struct SizeCase {
        int64_t size;
        const char* dot;    // with "."
        const char* comma;  // with ","
    };
    const SizeCase cases[] = {
        {0, "0 Byte", "0 Byte"},
        {1024, "1024 Byte", "1024 Byte"},
        {1025, "1.00 KB", "1,00 KB"},
        {1536, "1.50 KB", "1,50 KB"},
        {1048576, "1024.00 KB", "1024,00 KB"},
        {1048577, "1.00 MB", "1,00 MB"},
        {1073741824, "1024.00 MB", "1024,00 MB"},
        {1073741825, "1.00 GB", "1,00 GB"},
        {5 * 1073741824LL, "5.00 GB", "5,00 GB"},
        {1073741824LL * 1024 * 1024, "1048576.00 GB", "1048576,00 GB"},
        {1029, "1.00 KB", "1,00 KB"},  // 1.0048828125 rounds down
        {1035, "1.01 KB", "1,01 KB"},
        {-5, "-5 Byte", "-5 Byte"},
        {INT64_MIN, "-9223372036854775808 Byte", "-9223372036854775808 Byte"},
    };
    for (const SizeCase& c : cases) {
        SCOPED_TRACE(c.size);
        EXPECT_EQ(SizeToText(c.size), c.dot);
        EXPECT_EQ(SizeToText(c.size, ","), c.comma);
    }
    // A separator of more than one byte (U+066B, Arabic decimal separator).
    EXPECT_EQ(SizeToText(1536, "\xD9\xAB"), "1\xD9\xAB" "50 KB");
}

TEST(GetKeywordList, SplitsAtEverySpace)
{
    const std::pair<const char*, List> cases[] = {
        {"a b", {"a", "b"}},
        {"a  b", {"a", "", "b"}},
        {" a", {"", "a"}},
        {"a ", {"a"}},
        {"a  ", {"a", ""}},
        {"", {}},
        {" ", {""}},
        {"a\tb", {"a\tb"}},
        {"linux iso", {"linux", "iso"}},
    };
    for (const auto& [text, items] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(GetKeywordList(text), items);
    }
}

TEST(HasKeyword, MatchesAnyKeywordIgnoringCase)
{
    struct KeywordCase {
        const char* text;
        List keywords;
        bool found;
    };
    const KeywordCase cases[] = {
        {"debian-linux-12.iso", {"Linux"}, true},
        {"DEBIAN LINUX", {"Linux"}, true},
        {"debian", {"Linux"}, false},
        {"debian", {"", ""}, false},
        {"debian", {}, false},
        {"", {""}, false},
        {"debian", {"", "deb"}, true},
        {"debian", {"ubuntu", "BIA"}, true},
        {"Caf\xC3\x89 Noir", {"caf\xC3\xA9"}, true},       // É and é in UTF-8
        {"\xC3\x80 la carte", {"\xC3\xA0 LA"}, true},      // À and à
        {"\xC3\x97", {"\xC3\xB7"}, false},                 // × is not the capital of ÷
        {"\xC3\xA9t\xC3\xA9", {"\xC3\xA9T\xC3\x89"}, true},
        {"\xE3\xA9\x80", {"\xC3\x89"}, false},             // no match across characters
    };
    for (const KeywordCase& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(HasKeyword(c.text, c.keywords), c.found);
    }
}

TEST(GetBetween, WalksAPageOneMatchPerCall)
{
    std::string page = "x<a>1</a><a>2</a>";
    const std::string viewed = page;
    std::string_view view = viewed;
    const std::pair<const char*, const char*> steps[] = {
        {"1", "</a><a>2</a>"},
        {"2", "</a>"},
        {"", "</a>"},
    };
    for (const auto& [result, rest] : steps) {
        SCOPED_TRACE(result);
        EXPECT_EQ(GetBetween(page, "<a>", "</a>"), result);
        EXPECT_EQ(page, rest);
        EXPECT_EQ(GetBetween(view, "<a>", "</a>"), result);
        EXPECT_EQ(view, rest);
    }
}

TEST(GetBetween, Markers)
{
    struct BetweenCase {
        std::string text, start, end;
        std::string result, rest;
    };
    const BetweenCase cases[] = {
        {"[]x", "[", "]", "", "]x"},
        {"]x[y", "[", "]", "", "]x[y"},                      // end marker only before the start
        {"a<b>", "<b>", "", "", "a<b>"},                     // empty end marker
        {"a<b>c", "", "c", "", "a<b>c"},                     // empty start marker
        {"no markers", "<", ">", "", "no markers"},
        {"aXa", "aXa", "a", "", "aXa"},                      // the end is searched after the whole start
        {"aaa", "a", "a", "", "aa"},
        {"http://host:81/p", "://", "/", "host:81", "/p"},
        {"k=v&k=w", "k=", "&", "v", "&k=w"},
        {std::string("a\0b\0c", 5), std::string("\0", 1), "c", "b" + std::string("\0", 1), "c"},
    };
    for (const BetweenCase& c : cases) {
        SCOPED_TRACE(c.text);
        std::string text = c.text;
        EXPECT_EQ(GetBetween(text, c.start, c.end), c.result);
        EXPECT_EQ(text, c.rest);
    }
}

TEST(GetUrlHost, HostAndPort)
{
    const std::pair<const char*, const char*> cases[] = {
        {"http://tracker.example.org:6969/announce", "tracker.example.org:6969"},
        {"http://example.org/", "example.org"},
        {"http://example.org", ""},
        {"example.org/path", ""},
        {"udp://[::1]:80/a", "[::1]:80"},
    };
    for (const auto& [url, host] : cases) {
        SCOPED_TRACE(url);
        EXPECT_EQ(GetUrlHost(url), host);
    }
}

TEST(Trace, OneLineInTheDebugFormat)
{
    testing::internal::CaptureStderr();
    TraceError("/src/search/Unit.cpp", 42, "Routine", "went wrong");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unit.cpp:42 (Routine) \"went wrong\"\n");
}

}  // namespace
