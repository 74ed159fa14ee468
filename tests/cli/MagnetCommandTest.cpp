// sorvena-cli magnet, run as a script runs it.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

#include "support/CliRun.h"

namespace sorvena::test {
namespace {

TEST(CliMagnet, PrintsWhatTheLinkNames)
{
    const CliResult r = RunCli({"magnet", "magnet:?xt=urn:btih:YEX6DQDLXISUVHOJ6UM3GNNKPQJWPKEK&dn=a+b&xl=10"
                                          "&tr=http%3A%2F%2Ft%2Fa&x.pe=1.2.3.4:5"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "info hash  c12fe1c06bba254a9dc9f519b335aa7c1367a88a\n"
                     "name       a b\n"
                     "size       10\n"
                     "tracker    http://t/a\n"
                     "peer       1.2.3.4:5\n");
}

TEST(CliMagnet, JsonAndRefusal)
{
    CliResult r = RunCli({"magnet", "--json", "magnet:?xt=urn:btih:c12fe1c06bba254a9dc9f519b335aa7c1367a88a"});
    EXPECT_EQ(r.status, 0) << r.err;
    const auto j = nlohmann::json::parse(r.out);
    EXPECT_TRUE(j["ok"].get<bool>());
    EXPECT_EQ(j["info_hash"], "c12fe1c06bba254a9dc9f519b335aa7c1367a88a");
    EXPECT_TRUE(j["size"].is_null());
    EXPECT_TRUE(j["trackers"].empty());

    r = RunCli({"magnet", "magnet:?xt=urn:btih:123"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("sorvena-cli: magnet: the info hash is neither"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace sorvena::test
