// sorvena-cli magnet, run as a script runs it.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace {

struct Result {
    int status = -1;
    std::string out;
};

Result runCli(const std::string& args)
{
    Result r;
    FILE* pipe = popen((std::string("'") + SORVENA_CLI + "' " + args + " 2>&1").c_str(), "r");
    if (!pipe) return r;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) r.out.append(buf, n);
    const int raw = pclose(pipe);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return r;
}

}  // namespace

TEST(CliMagnet, PrintsWhatTheLinkNames)
{
    const Result r = runCli("magnet 'magnet:?xt=urn:btih:YEX6DQDLXISUVHOJ6UM3GNNKPQJWPKEK&dn=a+b&xl=10"
                            "&tr=http%3A%2F%2Ft%2Fa&x.pe=1.2.3.4:5'");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "info hash  c12fe1c06bba254a9dc9f519b335aa7c1367a88a\n"
                     "name       a b\n"
                     "size       10\n"
                     "tracker    http://t/a\n"
                     "peer       1.2.3.4:5\n");
}

TEST(CliMagnet, JsonAndRefusal)
{
    Result r = runCli("magnet --json 'magnet:?xt=urn:btih:c12fe1c06bba254a9dc9f519b335aa7c1367a88a'");
    EXPECT_EQ(r.status, 0) << r.out;
    const auto j = nlohmann::json::parse(r.out);
    EXPECT_TRUE(j["ok"].get<bool>());
    EXPECT_EQ(j["info_hash"], "c12fe1c06bba254a9dc9f519b335aa7c1367a88a");
    EXPECT_TRUE(j["size"].is_null());
    EXPECT_TRUE(j["trackers"].empty());

    r = runCli("magnet 'magnet:?xt=urn:btih:123'");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("sorvena-cli: magnet: the info hash is neither"), std::string::npos) << r.out;
}
