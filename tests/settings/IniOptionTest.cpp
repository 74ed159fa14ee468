// The settings file: defaults and bad values, the write order of a fresh
// file, unknown lines kept byte for byte, and the keyword history rules.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "settings/IniFile.h"
#include "settings/IniOption.h"

namespace sorvena {
namespace {

bool operator==(const TIniOptions& a, const TIniOptions& b)
{
    return a.OnlyKeywordFile == b.OnlyKeywordFile && a.OnlyHasPeers == b.OnlyHasPeers &&
           a.AutoCheckPeer == b.AutoCheckPeer && a.Width == b.Width && a.Height == b.Height && a.Top == b.Top &&
           a.Left == b.Left && a.OpenDir == b.OpenDir && a.Keyword == b.Keyword && a.SaveHistory == b.SaveHistory &&
           a.AutoUpdate == b.AutoUpdate && a.AutoFetchFiles == b.AutoFetchFiles;
}

TIniOptions Loaded(const std::string& text)
{
    TIniFile ini;
    EXPECT_TRUE(ini.Parse(text));
    TIniOptions options;
    LoadFromIni(&ini, options);
    return options;
}

TEST(IniOptionTest, LoadGivesTheDefaultForEveryMissingOrBadValue)
{
    const TIniOptions defaults = DefaultIniOptions();
    EXPECT_FALSE(defaults.OnlyKeywordFile);
    EXPECT_FALSE(defaults.OnlyHasPeers);
    EXPECT_TRUE(defaults.AutoCheckPeer);
    EXPECT_TRUE(defaults.AutoFetchFiles);
    EXPECT_EQ(defaults.Width, 500);
    EXPECT_EQ(defaults.Height, 350);
    EXPECT_EQ(defaults.Top, 200);
    EXPECT_EQ(defaults.Left, 200);
    EXPECT_TRUE(defaults.SaveHistory);
    EXPECT_FALSE(defaults.AutoUpdate);

    struct Case {
        const char* text;
        TIniOptions expected;
    };
    auto with = [&](auto change) {
        TIniOptions o = defaults;
        change(o);
        return o;
    };
    const Case cases[] = {
        {"", defaults},
        {"[View]\nAutoCheckPeer=0\nOnlyHasPeers=2\nOnlyKeywordFile=-1\n",
         with([](TIniOptions& o) { o.AutoCheckPeer = false, o.OnlyHasPeers = true, o.OnlyKeywordFile = true; })},
        // The file lists of magnet entries are fetched or not whatever the peer counts do.
        {"[View]\nAutoFetchFiles=0\n", with([](TIniOptions& o) { o.AutoFetchFiles = false; })},
        {"[View]\nAutoCheckPeer=0\nAutoFetchFiles=x\n", with([](TIniOptions& o) { o.AutoCheckPeer = false; })},
        // Not a number: the default, also for the words other INI writers use.
        {"[View]\nAutoCheckPeer=no\nOnlyHasPeers=true\nOnlyKeywordFile=\n[Search]\nSaveHistory=1x\n", defaults},
        {"[Pos]\nWidth=abc\nHeight=99999999999\nTop=-40\nLeft= 7 \n",
         with([](TIniOptions& o) { o.Top = -40, o.Left = 7; })},
        {"[pos]\nwidth=640\n[UPDATE]\nauto=1\n", with([](TIniOptions& o) { o.Width = 640, o.AutoUpdate = true; })},
        {"[Store]\nOpenDir=/home/u/My Results\n[Search]\nKeyword=a b;;c\nSaveHistory=0\n",
         with([](TIniOptions& o) { o.OpenDir = "/home/u/My Results", o.Keyword = "a b;;c", o.SaveHistory = false; })},
        // Keys outside their section count for nothing.
        {"Width=1\n[View]\nAuto=1\n[Update]\nAutoCheckPeer=0\n", defaults},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_TRUE(Loaded(c.text) == c.expected);
    }
    TIniOptions untouched;
    untouched.Width = 3;
    LoadFromIni(nullptr, untouched);
    EXPECT_EQ(untouched.Width, 3);
}

TEST(IniOptionTest, FreshFileHasEveryKeyInOrder)
{
    TIniFile ini;
    TIniOptions options = DefaultIniOptions();
    options.Keyword = "linux;ubuntu iso";
    options.OpenDir = "/tmp";
    SaveToIni(&ini, options);
    EXPECT_EQ(ini.Text(),
              "[View]\nOnlyKeywordFile=0\nOnlyHasPeers=0\nAutoCheckPeer=1\nAutoFetchFiles=1\n"
              "[Pos]\nWidth=500\nHeight=350\nTop=200\nLeft=200\n"
              "[Store]\nOpenDir=/tmp\n"
              "[Search]\nKeyword=linux;ubuntu iso\nSaveHistory=1\n"
              "[Update]\nAuto=0\n");
    EXPECT_TRUE(Loaded(ini.Text()) == options);
}

TEST(IniOptionTest, SavingKeepsWhatItDoesNotKnowByteForByte)
{
    const std::string stored =
        "; written by hand\r\n"
        "[Hosts]\r\n"
        "  PirateBay = 127.0.0.1:8080  \r\n"
        "[View]\r\n"
        "OnlyKeywordFile = 0\r\n"
        "Columns=0,1,2\r\n"
        "OnlyHasPeers=0\r\n"
        "AutoCheckPeer=1\r\n"
        "AutoFetchFiles=1\r\n"
        "\r\n"
        "[Pos]\r\nWidth=500\r\nHeight=350\r\nTop=200\r\nLeft=200\r\n"
        "[Store]\r\nOpenDir=\r\n"
        "[Search]\r\nKeyword=\r\nSaveHistory=1\r\n"
        "[Update]\r\nAuto=0\r\nChannel=beta\r\n"
        "[Future]\r\nx\ty = [z]\r\n";
    struct Case {
        const char* name;
        void (*change)(TIniOptions&);
        std::string expected;
    };
    std::string widthChanged = stored;
    widthChanged.replace(widthChanged.find("Width=500\r\n"), 11, "Width=640\n");
    const Case cases[] = {
        {"same values", [](TIniOptions&) {}, stored},
        {"one value changed", [](TIniOptions& o) { o.Width = 640; }, widthChanged},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TIniFile ini;
        ASSERT_TRUE(ini.Parse(stored));
        TIniOptions options;
        LoadFromIni(&ini, options);
        c.change(options);
        SaveToIni(&ini, options);
        EXPECT_EQ(ini.Text(), c.expected);
    }
}

TEST(IniOptionTest, KeywordHistoryRules)
{
    struct Case {
        const char* stored;
        std::vector<std::string> items;
    };
    const Case splits[] = {
        {"", {}},
        {";", {}},
        {";a;;b c;", {"a", "b c"}},
        {"a;b;c;d;e;f;g;h;i;j;k;l", {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l"}},
    };
    for (const Case& c : splits) {
        SCOPED_TRACE(c.stored);
        EXPECT_EQ(SplitKeywordHistory(c.stored), c.items);
    }

    struct Join {
        std::vector<std::string> items;
        const char* stored;
    };
    const Join joins[] = {
        {{}, ""},
        {{"one"}, "one"},
        {{"a", "b c", "x;y"}, "a;b c;x;y"},  // a keyword holding ";" comes back as two
        {{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"}, "1;2;3;4;5;6;7;8;9;10"},
    };
    for (const Join& j : joins) {
        SCOPED_TRACE(j.stored);
        EXPECT_EQ(JoinKeywordHistory(j.items), j.stored);
    }
}

}  // namespace
}  // namespace sorvena
