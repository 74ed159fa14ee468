// The update check: version numbers, and whole checks against a scripted
// server on 127.0.0.1 (newer, same, missing file, unreachable).

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "support/ScriptedServer.h"
#include "support/TestPki.h"
#include "update/UpdateCheck.h"

namespace sorvena {
namespace {

using test::ScriptedServer;

std::string Ok(const std::string& body)
{
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

TEST(UpdateCheckTest, VersionNumbers)
{
    struct Case {
        const char* text;
        std::optional<int> version;
    };
    const Case cases[] = {
        {"1.12", 112}, {"1.5", 150}, {"1.05", 105}, {"2", 200}, {"0.01", 1},
        {"", std::nullopt}, {"1.", std::nullopt}, {".5", std::nullopt}, {"1.123", std::nullopt},
        {"1.1a", std::nullopt}, {"v1.2", std::nullopt}, {"-1", std::nullopt}, {"1.2.3", std::nullopt},
        {"21474836.47", 2147483647}, {"21474836.48", std::nullopt}, {"99999999999", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ParseVersionNumber(c.text), c.version);
    }
}

TEST(UpdateCheckTest, ChecksAgainstAServer)
{
    const std::string newer = "[Update]\r\nVersion=1.13\r\nPage=http://example.org/1.13/\r\n";
    struct Case {
        const char* name;
        std::string reply;  // empty: nothing listens
        UpdateOutcome outcome;
        std::string page;
        FetchError error = FetchError::None;  // why the fetch failed
        int status = -1;
    };
    const Case cases[] = {
        {"newer", Ok(newer), UpdateOutcome::NewerVersion, "http://example.org/1.13/"},
        {"same", Ok("[Update]\nVersion=1.12\n"), UpdateOutcome::NoUpdate, ""},
        {"older", Ok("[Update]\nVersion=1.1\n"), UpdateOutcome::NoUpdate, ""},
        {"no version", Ok("<html>not here</html>"), UpdateOutcome::NoUpdate, ""},
        {"missing file", "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", UpdateOutcome::NoUpdate, "",
         FetchError::HttpStatus, 404},
        {"unreachable", "", UpdateOutcome::HostUnreachable, "", FetchError::Connect},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto server = std::make_unique<ScriptedServer>(std::vector<test::ScriptedReply>{{c.reply}});
        const std::string url = server->Url("/update/latest.ini");
        if (c.reply.empty()) server.reset();  // the port is closed again
        const TUpdateInfo info = CheckForUpdate(url, 112, UpdateFetchOptions());
        EXPECT_EQ(info.Outcome, c.outcome);
        EXPECT_EQ(info.Page, c.page);
        EXPECT_EQ(info.Error, c.error);
        EXPECT_EQ(info.Status, c.status);
        if (server) {
            ASSERT_EQ(server->Requests().size(), 1u);
            EXPECT_EQ(server->Requests()[0].rfind("GET /update/latest.ini HTTP/1.1\r\n", 0), 0u);
        }
    }
}

TEST(UpdateCheckTest, ChecksOverHttps)
{
    test::TrustTestCa();
    const std::string newer = Ok("[Update]\r\nVersion=1.13\r\nPage=https://example.org/1.13/\r\n");
    ScriptedServer good({{newer}}, "127.0.0.1", &test::Pki().good);
    ScriptedServer expired({{newer}}, "127.0.0.1", &test::Pki().expired);
    ASSERT_TRUE(good.Listening() && expired.Listening());
    const TUpdateInfo found = CheckForUpdate(good.Url("/latest.ini"), 112, UpdateFetchOptions());
    EXPECT_EQ(found.Outcome, UpdateOutcome::NewerVersion);
    EXPECT_EQ(found.Page, "https://example.org/1.13/");
    // A certificate that fails its check is no answer from the server.
    const TUpdateInfo refused = CheckForUpdate(expired.Url("/latest.ini"), 112, UpdateFetchOptions());
    EXPECT_EQ(refused.Outcome, UpdateOutcome::HostUnreachable);
    EXPECT_TRUE(expired.Requests().empty());
    // The window says why, in the words of the certificate check.
    EXPECT_EQ(FetchFailureBrief(refused.Error, refused.Status, refused.Reason), "TLS: certificate has expired");
}

}  // namespace
}  // namespace sorvena
