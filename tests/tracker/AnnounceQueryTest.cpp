// The announce query and request URL, without a network.

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>

#include "tracker/CheckPingThread.h"

namespace sorvena {
namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;  // lower case is not what the tracker protocol's examples use
}

TEST(BuildAnnounceQuery, EveryByteOfTheHashSurvivesPercentDecoding)
{
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);

    const std::string query = BuildAnnounceQuery(all, "", "", "", 0, 0, 0, 0);
    const std::string prefix = "?info_hash=";
    ASSERT_EQ(query.compare(0, prefix.size(), prefix), 0);
    const std::string encoded = query.substr(prefix.size(), query.find('&') - prefix.size());

    std::string decoded;
    for (size_t i = 0; i < encoded.size(); ++i) {
        const char c = encoded[i];
        if (c != '%') {
            EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' || c == '~')
                << "unescaped byte " << static_cast<int>(static_cast<unsigned char>(c));
            decoded += c;
            continue;
        }
        ASSERT_LT(i + 2, encoded.size());
        const int high = hexValue(encoded[i + 1]);
        const int low = hexValue(encoded[i + 2]);
        ASSERT_TRUE(high >= 0 && low >= 0) << encoded.substr(i, 3);
        const auto value = static_cast<unsigned char>(high * 16 + low);
        EXPECT_FALSE(std::isalnum(value) || value == '-' || value == '_' || value == '.' || value == '~')
            << "needlessly escaped " << encoded.substr(i, 3);
        decoded += static_cast<char>(value);
        i += 2;
    }
    EXPECT_EQ(decoded, all);
}

TEST(BuildAnnounceQuery, ParametersInProtocolOrderIpAndEventOnlyWhenGiven)
{
    struct Case {
        const char* ip;
        const char* event;
        int32_t port, uploaded, downloaded, left;
        const char* expected;
    };
    const Case cases[] = {
        {"", "", 6881, 0, 0, 0, "?info_hash=ab&peer_id=PEER&port=6881&uploaded=0&downloaded=0&left=0"},
        {"10.0.0.1", "started", 1, 2, 3, 4,
         "?info_hash=ab&peer_id=PEER&port=1&uploaded=2&downloaded=3&left=4&ip=10.0.0.1&event=started"},
        {"", "stopped", 0, -1, INT32_MAX, INT32_MIN,
         "?info_hash=ab&peer_id=PEER&port=0&uploaded=-1&downloaded=2147483647&left=-2147483648&event=stopped"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(BuildAnnounceQuery("ab", "PEER", c.ip, c.event, c.port, c.uploaded, c.downloaded, c.left),
                  c.expected);
    }
}

TEST(AnnounceRequestUrl, JoinsTheParametersToAQueryTheUrlAlreadyHolds)
{
    struct Case {
        const char* tracker;
        const char* expected;
    };
    const Case cases[] = {
        {"http://t.example/announce", "http://t.example/announce?info_hash=x&left=0"},
        {"http://t.example/announce?passkey=k1", "http://t.example/announce?passkey=k1&info_hash=x&left=0"},
        {"http://t.example/a.php?u=1&k=2", "http://t.example/a.php?u=1&k=2&info_hash=x&left=0"},
        {"http://t.example/announce?", "http://t.example/announce?info_hash=x&left=0"},
        {"http://t.example/announce?passkey=k1&", "http://t.example/announce?passkey=k1&info_hash=x&left=0"},
        {"", "?info_hash=x&left=0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tracker);
        EXPECT_EQ(AnnounceRequestUrl(c.tracker, "?info_hash=x&left=0"), c.expected);
    }
}

}  // namespace
}  // namespace sorvena
