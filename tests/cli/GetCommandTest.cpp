// sorvena-cli get as a user runs it: the body of an https page, the reason a
// certificate is refused, and an end against a server that never answers.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/CliRun.h"
#include "support/ScriptedServer.h"
#include "support/TestPki.h"

namespace sorvena::test {
namespace {

// The command's stdout and stderr, then "exit <status>".
std::string get(std::vector<std::string> args)
{
    args.insert(args.begin(), "get");
    const CliResult r = RunCli(args);
    return r.out + r.err + "exit " + std::to_string(r.status) + "\n";
}

TEST(CliGet, PrintsAnHttpsBodyOrWhyTheCertificateWasRefused)
{
    TrustTestCa();  // the command inherits SSL_CERT_FILE
    ScriptedServer good({{"HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nsecret"}}, "127.0.0.1", &Pki().good);
    ScriptedServer expired({{"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nno"}}, "127.0.0.1", &Pki().expired);
    ASSERT_TRUE(good.Listening() && expired.Listening());
    EXPECT_EQ(get({good.Url("/page")}), "secretexit 0\n");
    const std::string url = expired.Url("/page");
    EXPECT_EQ(get({"--attempts", "1", url}),
              "sorvena-cli: get " + url +
                  ": every attempt failed (1 made); last: the TLS handshake or the certificate check failed: "
                  "certificate has expired\nexit 1\n");
}

TEST(CliGet, EndsAgainstAServerThatNeverAnswers)
{
    // No --timeout: the idle limit of every attempt ends the wait.
    ScriptedServer silent({{"", 0, false, true, std::chrono::milliseconds(0), true}});
    ASSERT_TRUE(silent.Listening());
    const std::string url = silent.Url("/");
    EXPECT_EQ(get({"--attempts", "1", url}),
              "sorvena-cli: get " + url +
                  ": every attempt failed (1 made); last: the server sent nothing within the read timeout or the "
                  "idle limit\nexit 1\n");
}

}  // namespace
}  // namespace sorvena::test
