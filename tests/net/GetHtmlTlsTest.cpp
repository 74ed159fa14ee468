// GetHtml over TLS against loopback servers with certificates the test
// makes: verification and its reasons, SNI, the body forms with and without
// close_notify, the exact request bytes, a stalled handshake.

#include <gtest/gtest.h>

#include <chrono>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "net/IndyUtil.h"
#include "support/ScriptedServer.h"
#include "support/TestPki.h"

using namespace sorvena;
using namespace sorvena::test;
using namespace std::chrono_literals;

namespace {

const std::string Untouched = "caller's value";
const std::string Hello = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";

FetchOptions quick(int attempts)
{
    FetchOptions options;
    options.attempts = attempts;
    options.pause = 1ms;
    return options;
}

class GetHtmlTls : public ::testing::Test {
protected:
    void SetUp() override { TrustTestCa(); }
};

TEST_F(GetHtmlTls, VerifiesTheCertificateAndTheName)
{
    struct VerifyCase {
        const char* name;
        const TlsIdentity* identity;
        const char* host;  // as the URL names it; the server listens on 127.0.0.1
        FetchError error;
        std::string reason;
        std::string serverName;  // the SNI the server saw
    };
    const VerifyCase cases[] = {
        {"good, by name", &Pki().good, "localhost", FetchError::None, "", "localhost"},
        {"good, by IP address (no SNI)", &Pki().good, "127.0.0.1", FetchError::None, "", ""},
        {"another host's certificate", &Pki().wrongHost, "localhost", FetchError::Tls, "host name mismatch", ""},
        {"another host's certificate, by IP", &Pki().wrongHost, "127.0.0.1", FetchError::Tls, "IP address mismatch",
         ""},
        {"expired", &Pki().expired, "localhost", FetchError::Tls, "certificate has expired", ""},
        {"signed by an unknown CA", &Pki().unknownCa, "localhost", FetchError::Tls,
         "certificate signed by an unknown authority", ""},
    };
    for (const VerifyCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server({{Hello}}, "127.0.0.1", c.identity);
        ASSERT_TRUE(server.Listening());
        std::string body = Untouched;
        const std::string url = "https://" + std::string(c.host) + ":" + std::to_string(server.Port()) + "/";
        const FetchResult result = GetHtml(url, quick(2), body);
        EXPECT_EQ(result.error, c.error);
        EXPECT_EQ(result.reason, c.reason);
        if (c.error == FetchError::None) {
            EXPECT_EQ(body, "hello");
            EXPECT_EQ(result.attempts, 1);
            ASSERT_EQ(server.ServerNames().size(), 1u);
            EXPECT_EQ(server.ServerNames()[0], c.serverName);
        } else {
            // A refused certificate fails the attempt like a refused
            // connection: the next attempt follows, the body stays.
            EXPECT_EQ(result.attempts, 2);
            EXPECT_EQ(body, Untouched);
            EXPECT_TRUE(server.Requests().empty());
        }
    }
}

TEST_F(GetHtmlTls, ReachesIpv6Loopback)
{
    ScriptedServer server({{Hello}}, "::1", &Pki().good);
    if (!server.Listening()) GTEST_SKIP() << "no IPv6 loopback here";
    std::string body;
    EXPECT_TRUE(GetHtml(server.Url("/v6"), quick(1), body).ok);
    EXPECT_EQ(body, "hello");
}

TEST_F(GetHtmlTls, TrustsOnlyWhatTheTrustStoreHolds)
{
    // Without the test CA the same good certificate is refused: the store
    // is read again when SSL_CERT_FILE changes.
    ::setenv("SSL_CERT_FILE", "/nonexistent/ca.pem", 1);
    ScriptedServer server({{Hello}}, "127.0.0.1", &Pki().good);
    ASSERT_TRUE(server.Listening());
    std::string body = Untouched;
    const FetchResult refused = GetHtml(server.Url("/"), quick(1), body);
    EXPECT_EQ(refused.error, FetchError::Tls);
    EXPECT_EQ(refused.reason, "certificate signed by an unknown authority");
    TrustTestCa();
    EXPECT_TRUE(GetHtml(server.Url("/"), quick(1), body).ok);
    EXPECT_EQ(body, "hello");
}

TEST_F(GetHtmlTls, SendsTheRequestExactly)
{
    ScriptedServer server({{Hello}}, "127.0.0.1", &Pki().good);
    ASSERT_TRUE(server.Listening());
    const std::string host = "localhost:" + std::to_string(server.Port());
    std::string body;
    ASSERT_TRUE(GetHtml("https://" + host + "/a b/c?q=x%20y&r=1#fragment", quick(1), body).ok);
    ASSERT_EQ(server.Requests().size(), 1u);
    // An https URL holds no "http://": the Referer carries no host text.
    EXPECT_EQ(server.Requests()[0], "GET /a b/c?q=x%20y&r=1 HTTP/1.1\r\nHost: " + host +
                                        "\r\nAccept: text/html, */*\r\nReferer: http://"
                                        "\r\nUser-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n\r\n");
}

TEST_F(GetHtmlTls, BodyFormsWithAndWithoutCloseNotify)
{
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    struct BodyCase {
        const char* name;
        ScriptedReply reply;
        FetchError error;
        std::string body;
    };
    const BodyCase cases[] = {
        {"Content-Length, connection kept open", {ok + "Content-Length: 4\r\n\r\nbodyEXTRA", 0, true}, FetchError::None,
         "body"},
        {"Content-Length cut short by close_notify", {ok + "Content-Length: 10\r\n\r\nshort"}, FetchError::None,
         "short"},
        {"Content-Length cut short without close_notify", {ok + "Content-Length: 10\r\n\r\nshort", 0, false, false},
         FetchError::None, "short"},
        {"chunked", {ok + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n1\r\n!\r\n0\r\n\r\n", 0, true},
         FetchError::None, "hello!"},
        {"chunked, closed right after the last chunk's line",
         {ok + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n", 0, false, false}, FetchError::None, "hello"},
        {"chunked, closed inside a chunk", {ok + "Transfer-Encoding: chunked\r\n\r\n10\r\nonly part"},
         FetchError::Closed, Untouched},
        {"chunked, closed inside a chunk without close_notify",
         {ok + "Transfer-Encoding: chunked\r\n\r\n10\r\nonly part", 0, false, false}, FetchError::Closed, Untouched},
        {"to the close, with close_notify", {"HTTP/1.0 200 OK\r\n\r\n<html>all of it</html>"}, FetchError::None,
         "<html>all of it</html>"},
        {"to the close, without close_notify", {"HTTP/1.0 200 OK\r\n\r\n<html>all of it</html>", 0, false, false},
         FetchError::None, "<html>all of it</html>"},
        {"a long body to the close", {ok + "\r\n", 3 << 20, false, false}, FetchError::None, std::string(3 << 20, 'x')},
        {"404 is an error over TLS too", {"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"},
         FetchError::HttpStatus, Untouched},
        {"302 is never followed over TLS either", {"HTTP/1.1 302 Found\r\nLocation: /x\r\nContent-Length: 0\r\n\r\n"},
         FetchError::Redirect, Untouched},
    };
    for (const BodyCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server({c.reply}, "127.0.0.1", &Pki().good);
        ASSERT_TRUE(server.Listening());
        std::string body = Untouched;
        const FetchResult result = GetHtml(server.Url("/"), quick(1), body);
        EXPECT_EQ(result.error, c.error);
        EXPECT_TRUE(body == c.body) << body.size() << " bytes";
    }
}

TEST_F(GetHtmlTls, StopCutsAStalledHandshakeShort)
{
    // A plain server that takes the ClientHello and never answers it.
    ScriptedServer server({{"", 0, false, true, 0ms, true}});
    ASSERT_TRUE(server.Listening());
    const std::string url = "https://127.0.0.1:" + std::to_string(server.Port()) + "/";
    std::stop_source stop;
    FetchOptions options = quick(0);
    options.stop = stop.get_token();
    std::jthread stopper([&] {
        std::this_thread::sleep_for(200ms);
        stop.request_stop();
    });
    std::string body = Untouched;
    const FetchResult result = GetHtml(url, options, body);
    EXPECT_EQ(result.error, FetchError::Stopped);  // not the connect limit, 30 s away
    EXPECT_EQ(body, Untouched);
}

TEST_F(GetHtmlTls, AStalledHandshakeEndsAtTheConnectLimit)
{
    ScriptedServer server({{"", 0, false, true, 0ms, true}});
    ASSERT_TRUE(server.Listening());
    FetchOptions options = quick(2);
    options.limits.connect = 300ms;
    std::string body = Untouched;
    const FetchResult result = GetHtml("https://127.0.0.1:" + std::to_string(server.Port()) + "/", options, body);
    EXPECT_EQ(result.error, FetchError::Tls);
    EXPECT_EQ(result.reason, "no TLS handshake within 300 ms");
    EXPECT_EQ(result.attempts, 2);
}

}  // namespace
