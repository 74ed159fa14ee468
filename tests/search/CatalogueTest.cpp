// The query encoding, the category maps' edges and the settings file that
// carries the host overrides.

#include <gtest/gtest.h>

#include <string>

#include "settings/IniFile.h"
#include "search/SearchUtil.h"
#include "search/SiteCatalogue.h"

namespace sorvena {
namespace {

TEST(UrlEncodeTest, Table)
{
    const struct {
        std::string in, out;
    } cases[] = {
        {"linux iso", "linux+iso"},
        {"a+b", "a%2Bb"},
        {"\xE9", "%E9"},
        {"AZaz09@!$'()*-._", "AZaz09@!$'()*-._"},
        {std::string("\0\t\x7F\xFF", 4), "%00%09%7F%FF"},
        {"&=%/?#~\"", "%26%3D%25%2F%3F%23%7E%22"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(UrlEncode(c.in), c.out) << c.in;
}

TEST(CategoryCodeTest, OutsideTheBoxIsEmpty)
{
    for (const int index : {-1, CategoryCount, 1000}) {
        EXPECT_EQ(CategoryCodeCid(index), "");
        EXPECT_EQ(CategoryCodeCat(index), "");
        EXPECT_EQ(CategoryCodeMaincat(index), "");
    }
}

TEST(SiteCatalogueTest, SlotsWithoutAQuery)
{
    const TSiteHosts hosts = TSiteHosts::Defaults();
    for (const int slot : {-1, SITE_NONE, SITE_COUNT}) EXPECT_FALSE(BuildSiteQuery(slot, "k", 0, hosts)) << slot;
    // The markers around links on slot 2 carry the keyword; slot 0's
    // terminator names the image host.
    EXPECT_EQ(BuildSiteQuery(SITE_ISOHUNT, "a+b", 0, hosts)->LinkMarker, "/btDetails.php?ihq=a+b&id=");
    EXPECT_EQ(BuildSiteQuery(SITE_PIRATEBAY, "", 0, hosts)->Terminator, "\"><img src=http://static.thepiratebay.org");
}

TEST(IniFileTest, HostOverridesKeepTheRestOfTheFile)
{
    const std::string text =
        "; settings\r\n"
        "[View]\r\n"
        "OnlyHasPeers=1\r\n"
        "\r\n"
        "[hosts]\r\n"
        "  piratebay = 127.0.0.1:8080  \r\n"
        "IsoHuntDownload=127.0.0.1:8081\r\n"
        "Google=\r\n"
        "[Future]\r\n"
        "something odd\r\n";
    TIniFile ini;
    ASSERT_TRUE(ini.Parse(text));
    TSiteHosts hosts = TSiteHosts::Defaults();
    hosts.ReadOverrides(ini);
    EXPECT_EQ(hosts.Site[SITE_PIRATEBAY], "127.0.0.1:8080");
    EXPECT_EQ(hosts.IsoHuntDownload, "127.0.0.1:8081");
    EXPECT_EQ(hosts.Site[SITE_GOOGLE], TSiteHosts::Defaults().Site[SITE_GOOGLE]) << "an empty value keeps the default";
    EXPECT_TRUE(ini.ReadBool("VIEW", "onlyhaspeers", false));

    ini.WriteString("View", "OnlyKeywordFile", "0");
    ini.WriteInteger("Pos", "Width", 640);
    // Untouched lines come back as read; added ones end in LF.
    EXPECT_EQ(ini.Text(),
              "; settings\r\n[View]\r\nOnlyHasPeers=1\r\nOnlyKeywordFile=0\n\r\n[hosts]\r\n"
              "  piratebay = 127.0.0.1:8080  \r\nIsoHuntDownload=127.0.0.1:8081\r\nGoogle=\r\n[Future]\r\n"
              "something odd\r\n[Pos]\nWidth=640\n");
}

TEST(IniFileTest, Limits)
{
    TIniFile ini;
    EXPECT_TRUE(ini.Parse(std::string(IniMaxFileBytes, 'x')));
    EXPECT_FALSE(ini.Parse(std::string(IniMaxFileBytes + 1, 'x')));
    ASSERT_TRUE(ini.Parse("[S]\nA=12x\nB=-7\nC=99999999999\nD=yes\n"));
    EXPECT_EQ(ini.ReadInteger("S", "A", 5), 5);
    EXPECT_EQ(ini.ReadInteger("S", "B", 5), -7);
    EXPECT_EQ(ini.ReadInteger("S", "C", 5), 5);
    EXPECT_TRUE(ini.ReadBool("S", "D", true));
    EXPECT_FALSE(ini.ReadBool("S", "D", false));
}

}  // namespace
}  // namespace sorvena
