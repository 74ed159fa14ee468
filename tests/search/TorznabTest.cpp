// The Torznab replies and queries: both attribute namespaces, items with
// torrent links, magnets or both, error replies, malformed and hostile XML,
// the caps document, the category table and the query bytes.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "search/SearchUtil.h"
#include "search/Torznab.h"
#include "support/FixtureTorznab.h"

namespace sorvena::test {
namespace {

using Kind = TTorznabReply::Kind;

TEST(Torznab, JackettItemsWithLinksMagnetsAndPeers)
{
    const std::string xml = TorznabFeedXml(
        {
            {"Both", 1, 1, false, 1234, 10, 15, -1},
            {"Torrent only", 2, -1, false, 99, 3, -1, -1},
            {"Magnet only", -1, 3, true, -1, -1, -1, -1},
            {"Bare", -1, -1, false, -1, -1, -1, -1},
        },
        TorznabDialect::Jackett, "127.0.0.1:9117");
    const TTorznabReply reply = ParseTorznabReply(xml);
    ASSERT_EQ(reply.What, Kind::Feed) << reply.Problem;
    ASSERT_EQ(reply.Items.size(), 4u);
    EXPECT_EQ(reply.ItemCount, 4u);

    const TTorznabItem& both = reply.Items[0];
    EXPECT_EQ(both.Title, "Both");
    EXPECT_EQ(both.Link, "http://127.0.0.1:9117/dl/1.torrent?jackett_apikey=x&file=a");
    EXPECT_EQ(both.EnclosureUrl, both.Link);
    EXPECT_EQ(both.MagnetUrl, FixtureMagnet(1));
    EXPECT_EQ(both.InfoHash, FixtureInfoHash(1));
    EXPECT_EQ(both.Size, 1234);
    EXPECT_EQ(both.Seeders, 10);
    EXPECT_EQ(both.Peers, 15);
    EXPECT_EQ(both.PeerCount(), 15) << "Jackett's peers already holds the seeders";

    EXPECT_EQ(reply.Items[1].MagnetUrl, "");
    EXPECT_EQ(reply.Items[1].PeerCount(), 3);
    EXPECT_EQ(reply.Items[2].Link, FixtureMagnet(3));
    EXPECT_EQ(reply.Items[2].EnclosureUrl, FixtureMagnet(3));
    EXPECT_EQ(reply.Items[2].Size, 0) << "from the enclosure length";
    EXPECT_EQ(reply.Items[3].Link, "");
    EXPECT_EQ(reply.Items[3].PeerCount(), -1);
}

TEST(Torznab, NewznabNamespaceSizeAttributeAndLeechers)
{
    const TTorznabReply reply = ParseTorznabReply(
        TorznabFeedXml({{"Item", 4, -1, false, 5000, 7, -1, 2}}, TorznabDialect::Newznab, "h:1"));
    ASSERT_EQ(reply.What, Kind::Feed) << reply.Problem;
    ASSERT_EQ(reply.Items.size(), 1u);
    EXPECT_EQ(reply.Items[0].Size, 5000);
    EXPECT_EQ(reply.Items[0].Seeders, 7);
    EXPECT_EQ(reply.Items[0].Leechers, 2);
    EXPECT_EQ(reply.Items[0].PeerCount(), 9);
}

TEST(Torznab, AttributesAreMatchedByNamespaceNotByPrefix)
{
    // Any prefix bound to a namespace works; an attr element in no namespace
    // is some other element and is ignored.
    const std::string xml =
        "<rss xmlns:tz=\"http://torznab.com/schemas/2015/feed\"><channel>"
        "<item><title>A</title><tz:attr name=\"Seeders\" value=\" 4 \"/><attr name=\"peers\" value=\"99\"/></item>"
        "<item><title>B &amp; C</title><size>x</size><tz:attr name=\"seeders\" value=\"-3\"/></item>"
        "</channel></rss>";
    const TTorznabReply reply = ParseTorznabReply(xml);
    ASSERT_EQ(reply.What, Kind::Feed) << reply.Problem;
    ASSERT_EQ(reply.Items.size(), 2u);
    EXPECT_EQ(reply.Items[0].Seeders, 4);
    EXPECT_EQ(reply.Items[0].Peers, -1);
    EXPECT_EQ(reply.Items[1].Title, "B & C");
    EXPECT_EQ(reply.Items[1].Size, -1);
    EXPECT_EQ(reply.Items[1].Seeders, -1);
}

TEST(Torznab, ErrorsEmptyChannelsAndMalformedReplies)
{
    struct Case {
        const char* what;
        std::string xml;
        Kind kind;
        int code;
        std::string problemPart;
    };
    const std::vector<Case> cases = {
        {"wrong API key", TorznabErrorXml(100, "Invalid API Key"), Kind::Error, 100, ""},
        {"error without declaration", "<error code=\"910\" description=\"API disabled\"/>", Kind::Error, 910, ""},
        {"empty channel", "<?xml version=\"1.0\"?><rss version=\"2.0\"><channel><title>x</title></channel></rss>",
         Kind::Feed, 0, ""},
        {"cut short", TorznabFeedXml({{"A", 1}}, TorznabDialect::Jackett, "h").substr(0, 300), Kind::Malformed, 0,
         "line"},
        {"mismatched tag", "<rss><channel><item></channel></rss>", Kind::Malformed, 0, "mismatched tag"},
        {"unbound prefix", "<rss><channel><item><torznab:attr name=\"seeders\" value=\"1\"/></item></channel></rss>",
         Kind::Malformed, 0, "unbound prefix"},
        {"an HTML page", "<html><body>Login</body></html>", Kind::Malformed, 0, "no RSS"},
        {"empty body", "", Kind::Malformed, 0, "no element"},
        {"entity expansion", "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;\">]>"
                             "<rss><channel><item><title>&b;</title></item></channel></rss>",
         Kind::Malformed, 0, "entities"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const TTorznabReply reply = ParseTorznabReply(c.xml);
        EXPECT_EQ(reply.What, c.kind) << reply.Problem;
        EXPECT_EQ(reply.ErrorCode, c.code);
        EXPECT_TRUE(reply.Items.empty());
        if (!c.problemPart.empty()) {
            EXPECT_NE(reply.Problem.find(c.problemPart), std::string::npos) << reply.Problem;
        }
    }
    const TTorznabReply error = ParseTorznabReply(TorznabErrorXml(100, "Invalid API Key"));
    EXPECT_EQ(error.ErrorDescription, "Invalid API Key");
    EXPECT_EQ(TorznabErrorText(error.ErrorCode, error.ErrorDescription), "wrong API key (error 100: Invalid API Key)");
    EXPECT_EQ(TorznabErrorText(203, ""), "the indexer reported an error (error 203)");
}

TEST(Torznab, HugeReplyKeepsBoundedItemsAndFields)
{
    std::vector<TorznabItemSpec> items(TorznabMaxItems + 500);
    for (size_t i = 0; i < items.size(); ++i) items[i] = {"Item " + std::to_string(i), static_cast<int>(i)};
    items[0].title = std::string(TorznabMaxFieldBytes * 3, 'n');
    const std::string xml = TorznabFeedXml(items, TorznabDialect::Jackett, "127.0.0.1:1");
    ASSERT_GT(xml.size(), 1024u * 1024u) << "crosses many parse pieces";
    const TTorznabReply reply = ParseTorznabReply(xml);
    ASSERT_EQ(reply.What, Kind::Feed) << reply.Problem;
    EXPECT_EQ(reply.ItemCount, items.size());
    ASSERT_EQ(reply.Items.size(), TorznabMaxItems);
    EXPECT_EQ(reply.Items[0].Title.size(), TorznabMaxFieldBytes);
    EXPECT_EQ(reply.Items.back().Title, "Item " + std::to_string(TorznabMaxItems - 1));
}

TEST(Torznab, CapsGiveLimitsAndCategories)
{
    TTorznabCaps caps = ParseTorznabCaps(TorznabCapsXml(500, 50));
    ASSERT_EQ(caps.What, Kind::Feed) << caps.Problem;
    EXPECT_EQ(caps.LimitMax, 500);
    EXPECT_EQ(caps.LimitDefault, 50);
    EXPECT_TRUE(caps.SearchAvailable);
    ASSERT_EQ(caps.Categories.size(), 5u);
    EXPECT_EQ(caps.Categories[0].Id, 2000);
    EXPECT_EQ(caps.Categories[0].Name, "Movies");
    EXPECT_EQ(caps.Categories[1].Id, 2030);
    EXPECT_EQ(caps.Categories[1].ParentId, 2000);
    EXPECT_EQ(caps.Categories[4].Name, "Linux ISOs");
    EXPECT_EQ(caps.Categories[4].ParentId, 0);

    caps = ParseTorznabCaps("<caps><limits max=\"0\" default=\"900\"/><searching><search available=\"no\"/>"
                            "</searching></caps>");
    EXPECT_EQ(caps.What, Kind::Feed);
    EXPECT_EQ(caps.LimitMax, TorznabDefaultLimit);
    EXPECT_EQ(caps.LimitDefault, TorznabDefaultLimit);
    EXPECT_FALSE(caps.SearchAvailable);

    caps = ParseTorznabCaps(TorznabErrorXml(100, "Invalid API Key"));
    EXPECT_EQ(caps.What, Kind::Error);
    EXPECT_EQ(caps.ErrorCode, 100);
    EXPECT_EQ(ParseTorznabCaps("<rss/>").What, Kind::Malformed);
}

TEST(Torznab, CategoryTableAndQueryBytes)
{
    const std::vector<std::string> codes = {"",     "6000", "5070", "4000", "1000,4050", "4000",
                                            "4030", "8000", "2000", "3000", "5000",      "8000"};
    for (int i = 0; i < CategoryCount; ++i) EXPECT_EQ(TorznabCategoryCodes(i), codes[static_cast<size_t>(i)]) << i;
    EXPECT_EQ(TorznabCategoryCodes(-1), "");
    EXPECT_EQ(TorznabCategoryCodes(CategoryCount), "");

    const std::string k = UrlEncode("linux iso+a&b\xE9");
    EXPECT_EQ(TorznabSearchUrl("http://h:9117/api?apikey=K", k, 0, 0, 100),
              "http://h:9117/api?apikey=K&t=search&q=linux+iso%2Ba%26b%E9&offset=0&limit=100&extended=1");
    EXPECT_EQ(TorznabSearchUrl("http://h/1/api", k, 8, 200, 50),
              "http://h/1/api?t=search&q=linux+iso%2Ba%26b%E9&cat=2000&offset=200&limit=50&extended=1");
    EXPECT_EQ(TorznabCapsUrl("http://h/api?apikey=K#frag"), "http://h/api?apikey=K&t=caps");
    EXPECT_EQ(TorznabCapsUrl("http://h/api?"), "http://h/api?t=caps");
}

}  // namespace
}  // namespace sorvena::test
