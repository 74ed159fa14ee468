// GetHtml against a scripted loopback server: every request byte and every
// response rule on real sockets.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "support/ScriptedServer.h"
#include "net/IndyUtil.h"

using namespace sorvena;
using sorvena::test::OpenFdCount;
using sorvena::test::ScriptedReply;
using sorvena::test::ScriptedServer;
using namespace std::chrono_literals;

namespace {

const std::string Untouched = "caller's value";

FetchOptions quick(int attempts)
{
    FetchOptions options;
    options.attempts = attempts;
    options.pause = 1ms;
    return options;
}

std::string expectedRequest(std::string_view target, std::string_view host, std::string_view refererHost)
{
    return "GET " + std::string(target) + " HTTP/1.1\r\nHost: " + std::string(host) +
           "\r\nAccept: text/html, */*\r\nReferer: http://" + std::string(refererHost) +
           "\r\nUser-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n\r\n";
}

struct FetchCase {
    const char* name;
    std::vector<ScriptedReply> replies;
    int attempts;
    FetchError error;  // of the last attempt; None = success
    std::string body;  // what the caller holds afterwards
    size_t connections;
};

TEST(GetHtml, AnswersOfEveryKind)
{
    const std::string longValue(16384 - std::string_view("X-Long: ").size(), 'v');
    const FetchCase cases[] = {
        {"302 with Location is never followed",
         {{"HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:1/\r\nContent-Length: 5\r\n\r\nmoved"}},
         3, FetchError::Redirect, Untouched, 3},
        {"200 with Location counts as a redirect",
         {{"HTTP/1.1 200 OK\r\nLocation: /elsewhere\r\nContent-Length: 2\r\n\r\nhi"}},
         3, FetchError::Redirect, Untouched, 3},
        {"a folded Location header is not empty",
         {{"HTTP/1.1 200 OK\r\nLocation:\r\n  /elsewhere\r\nContent-Length: 2\r\n\r\nhi"}},
         1, FetchError::Redirect, Untouched, 1},
        {"304 is an error status, not a redirect",
         {{"HTTP/1.1 304 Not Modified\r\nContent-Length: 0\r\n\r\n"}},
         1, FetchError::HttpStatus, Untouched, 1},
        {"404 makes every attempt",
         {{"HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found"}},
         3, FetchError::HttpStatus, Untouched, 3},
        {"a status that is no number fails",
         {{"HTTP/1.1 OK 200\r\nContent-Length: 2\r\n\r\nhi"}},
         1, FetchError::HttpStatus, Untouched, 1},
        {"HTTP/1.0 body ended by closing",
         {{"HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<html>all of it</html>"}},
         3, FetchError::None, "<html>all of it</html>", 1},
        {"a Content-Length that is not a number reads to the close",
         {{"HTTP/1.1 200 OK\r\nContent-Length: 12abc\r\n\r\nto the close"}},
         1, FetchError::None, "to the close", 1},
        {"Content-Length 1000 but only 600 bytes: success with those",
         {{"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(600, 'b')}},
         3, FetchError::None, std::string(600, 'b'), 1},
        {"Content-Length ends the body on an open connection",
         {{"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbodyEXTRA", 0, true}},
         1, FetchError::None, "body", 1},
        {"Content-Length 0 is an empty success",
         {{"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", 0, true}},
         3, FetchError::None, "", 1},
        {"204 reads no body",
         {{"HTTP/1.1 204 No Content\r\n\r\n", 0, true}},
         3, FetchError::None, "", 1},
        {"chunked: one chunk of five bytes",
         {{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", 0, true}},
         3, FetchError::None, "hello", 1},
        {"chunk size with an extension and a blank",
         {{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5 ;a=b\r\nhello\r\n1\r\n!\r\n0\r\n\r\n", 0, true}},
         1, FetchError::None, "hello!", 1},
        {"chunk extension right after the digits reads as size 0",
         {{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;a=b\r\nhello\r\n0\r\n\r\n"}},
         3, FetchError::None, "", 1},
        {"Content-Length above 0 wins over chunked",
         {{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n5\r\nhello\r\n0\r\n\r\n"}},
         1, FetchError::None, "5\r\n", 1},
        {"chunked is searched case-sensitively",
         {{"HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n"}},
         1, FetchError::None, "5\r\nhello\r\n0\r\n\r\n", 1},
        {"the peer closes inside a chunk",
         {{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nonly part"}},
         3, FetchError::Closed, Untouched, 3},
        {"a chunk size beyond 63 bits",
         {{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n8000000000000000\r\nx\r\n0\r\n\r\n"}},
         1, FetchError::ChunkTooLarge, Untouched, 1},
        {"100 Continue, then the answer",
         {{"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"}},
         1, FetchError::None, "ok", 1},
        {"the peer closes inside the head",
         {{"HTTP/1.1 200 OK\r\nContent-Len"}},
         2, FetchError::Closed, Untouched, 2},
        {"the peer closes without a word",
         {{""}},
         1, FetchError::Closed, Untouched, 1},
        {"a header line of 16384 bytes is accepted",
         {{"HTTP/1.1 200 OK\r\nX-Long: " + longValue + "\r\nContent-Length: 2\r\n\r\nok"}},
         1, FetchError::None, "ok", 1},
        {"a header line of 16385 bytes fails",
         {{"HTTP/1.1 200 OK\r\nX-Long: " + longValue + "v\r\nContent-Length: 2\r\n\r\nok"}},
         3, FetchError::LineTooLong, Untouched, 3},
        {"failures, then success",
         {{"HTTP/1.1 503 Busy\r\nContent-Length: 0\r\n\r\n"},
          {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nthird"}},
         3, FetchError::None, "third", 2},
    };
    for (const FetchCase& c : cases) {
        SCOPED_TRACE(c.name);
        const int fdsBefore = OpenFdCount();
        FetchResult result;
        std::string body = Untouched;
        {
            ScriptedServer server(c.replies);
            ASSERT_TRUE(server.Listening());
            result = GetHtml(server.Url("/page"), quick(c.attempts), body);
            EXPECT_EQ(server.Requests().size(), c.connections);
        }
        EXPECT_EQ(result.ok, c.error == FetchError::None);
        EXPECT_EQ(result.error, c.error);
        EXPECT_EQ(result.attempts, static_cast<int>(c.connections));
        EXPECT_EQ(body, c.body);
        // Every socket of every attempt is closed, whatever went wrong.
        EXPECT_EQ(OpenFdCount(), fdsBefore);
    }
}

TEST(GetHtml, SendsTheRequestExactly)
{
    struct RequestCase {
        std::string path;  // after "http://127.0.0.1:<port>"
        std::string target;
        bool refererHasHost;
    };
    const RequestCase cases[] = {
        {"/a b/c?q=x%20y&r=1#fragment", "/a b/c?q=x%20y&r=1", true},
        {"", "/", false},
        {"#top", "/", false},
        {"?q=1", "/?q=1", false},
        {"\\dir\\file", "/dir/file", false},  // a backslash is a slash on the wire, not for the Referer
        {"/", "/", true},
    };
    for (const RequestCase& c : cases) {
        SCOPED_TRACE(c.path);
        ScriptedServer server({{"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"}});
        ASSERT_TRUE(server.Listening());
        const std::string host = "127.0.0.1:" + std::to_string(server.Port());
        std::string body;
        EXPECT_TRUE(GetHtml(server.Url(c.path), quick(1), body).ok);
        const auto requests = server.Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0], expectedRequest(c.target, host, c.refererHasHost ? host : ""));
    }
}

TEST(GetHtml, UserInfoIsDropped)
{
    ScriptedServer server({{"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"}});
    ASSERT_TRUE(server.Listening());
    const std::string host = "127.0.0.1:" + std::to_string(server.Port());
    std::string body;
    EXPECT_TRUE(GetHtml("http://user:secret@" + host + "/x", quick(1), body).ok);
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0], expectedRequest("/x", host, "user:secret@" + host));
}

TEST(GetHtml, ReachesIpv6Loopback)
{
    ScriptedServer server({{"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nsix!"}}, "::1");
    if (!server.Listening()) GTEST_SKIP() << "no IPv6 loopback here";
    const std::string host = "[::1]:" + std::to_string(server.Port());
    std::string body;
    EXPECT_TRUE(GetHtml(server.Url("/v6"), quick(1), body).ok);
    EXPECT_EQ(body, "six!");
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0], expectedRequest("/v6", host, host));
}

TEST(GetHtml, UnlimitedAttemptsGoOnUntilOneSucceeds)
{
    std::vector<ScriptedReply> replies(5, {"HTTP/1.1 500 Oops\r\nContent-Length: 0\r\n\r\n"});
    replies.push_back({"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\ndone"});
    ScriptedServer server(replies);
    ASSERT_TRUE(server.Listening());
    std::string body;
    const FetchResult result = GetHtml(server.Url("/"), quick(0), body);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.attempts, 6);
    EXPECT_EQ(body, "done");
}

TEST(GetHtml, PausesInWholeSecondsBetweenAttemptsOnly)
{
    ScriptedServer server({{"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"}});
    ASSERT_TRUE(server.Listening());
    std::string body = Untouched;
    EXPECT_FALSE(GetHtml(server.Url("/"), 2, 1, FetchReadTimeout, body));
    EXPECT_EQ(body, Untouched);
    const auto accepted = server.AcceptTimes();
    ASSERT_EQ(accepted.size(), 2u);
    EXPECT_GE(accepted[1] - accepted[0], 1s);

    // No pause after the last attempt: with a pause longer than any test
    // runs, returning at all shows it.
    FetchOptions options = quick(1);
    options.pause = std::chrono::hours(24);
    EXPECT_FALSE(GetHtml(server.Url("/"), options, body).ok);
    EXPECT_EQ(server.AcceptTimes().size(), 3u);
}

TEST(GetHtml, FailingResponseBodyIsDroppedWithinTwoSeconds)
{
    // A 404 whose body never ends must not hold the caller, even without a
    // read timeout of its own.
    ScriptedServer server({{"HTTP/1.1 404 Not Found\r\n\r\npartial", 0, true}});
    ASSERT_TRUE(server.Listening());
    std::string body = Untouched;
    const auto start = std::chrono::steady_clock::now();
    // The server never ends the body: returning at all shows it was dropped.
    const FetchResult result = GetHtml(server.Url("/"), quick(1), body);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result.error, FetchError::HttpStatus);
    EXPECT_GE(elapsed, 1900ms);
}

TEST(GetHtml, ReadTimeoutEndsAStalledBody)
{
    ScriptedServer server({{"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc", 0, true}});
    ASSERT_TRUE(server.Listening());
    FetchOptions options = quick(2);
    options.readTimeoutMs = 100;
    std::string body = Untouched;
    const FetchResult result = GetHtml(server.Url("/"), options, body);
    EXPECT_EQ(result.error, FetchError::Timeout);
    EXPECT_EQ(result.attempts, 2);
    EXPECT_EQ(body, Untouched);
}

TEST(GetHtml, StopEndsABlockedReadAndAPause)
{
    struct StopCase {
        const char* name;
        ScriptedReply reply;
        std::chrono::milliseconds pause;
    };
    const StopCase cases[] = {
        {"a body that never ends", {"HTTP/1.1 200 OK\r\n\r\nforever", 0, true}, 1ms},
        {"a long pause after a failure", {"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"}, 24h},
    };
    for (const StopCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server({c.reply});
        ASSERT_TRUE(server.Listening());
        std::stop_source stop;
        FetchOptions options;
        options.attempts = 0;
        options.pause = c.pause;
        options.stop = stop.get_token();
        // Once the request is there, the fetch is in the read or (after the
        // 404) in the pause. Neither would end on its own, so the fetch
        // returning at all shows that the stop ended it.
        std::jthread stopper([&] {
            while (server.Requests().empty()) std::this_thread::sleep_for(1ms);
            stop.request_stop();
        });
        std::string body = Untouched;
        const FetchResult result = GetHtml(server.Url("/"), options, body);
        EXPECT_EQ(result.error, FetchError::Stopped);
        EXPECT_EQ(body, Untouched);
    }
}

TEST(GetHtml, BodyLimit)
{
    const std::string head = "HTTP/1.1 200 OK\r\n";
    struct LimitCase {
        const char* name;
        ScriptedReply reply;
        FetchError error;
    };
    const LimitCase cases[] = {
        {"exactly the limit", {head + "Content-Length: " + std::to_string(HttpMaxBodyBytes) + "\r\n\r\n",
                               HttpMaxBodyBytes}, FetchError::None},
        {"one byte more, ended by closing", {head + "\r\n", HttpMaxBodyBytes + 1}, FetchError::BodyTooLarge},
        {"one byte more with a Content-Length", {head + "Content-Length: 99999999999\r\n\r\n",
                                                 HttpMaxBodyBytes + 1}, FetchError::BodyTooLarge},
    };
    for (const LimitCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server({c.reply});
        ASSERT_TRUE(server.Listening());
        std::string body = Untouched;
        const FetchResult result = GetHtml(server.Url("/"), quick(1), body);
        EXPECT_EQ(result.error, c.error);
        EXPECT_EQ(body.size(), c.error == FetchError::None ? HttpMaxBodyBytes : Untouched.size());
    }
}

TEST(GetHtml, FailsWithoutTouchingTheNetwork)
{
    struct UrlCase {
        const char* url;
        FetchError error;
    };
    const UrlCase cases[] = {
        {"ftp://127.0.0.1/", FetchError::BadUrl},
        {"http:///path", FetchError::BadUrl},
        {"http://127.0.0.1:99999/", FetchError::BadUrl},
    };
    for (const UrlCase& c : cases) {
        SCOPED_TRACE(c.url);
        std::string body = Untouched;
        const FetchResult result = GetHtml(c.url, quick(2), body);
        EXPECT_EQ(result.error, c.error);
        EXPECT_EQ(result.attempts, 2);
        EXPECT_EQ(body, Untouched);
    }
}

TEST(GetHtml, ControlBytesInALinkNeverReachTheWire)
{
    // A link cut from a page with CR LF in it would otherwise add header
    // lines, or a second request, to what goes to any host and port.
    ScriptedServer server({{"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"}});
    ASSERT_TRUE(server.Listening());
    const std::string links[] = {
        "/a HTTP/1.1\r\nX-Injected: 1\r\n\r\nGET /second",
        "/a?q=\nX: y",
        "#\r\nX-Via-Referer: 1/",
        std::string("/nul\0byte", 9),
        "/tab\there",
        "/\x1b]0;title\x07",
    };
    for (const std::string& link : links) {
        SCOPED_TRACE(link);
        std::string body = Untouched;
        const FetchResult result = GetHtml(server.Url(link), quick(2), body);
        EXPECT_EQ(result.error, FetchError::BadUrl);
        EXPECT_EQ(body, Untouched);
    }
    std::string body;
    const std::string blankHost = "127.0.0.1:" + std::to_string(server.Port());
    EXPECT_TRUE(GetHtml(server.Url("/a b"), quick(1), body).ok);
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);  // only the link with a blank went out
    EXPECT_EQ(requests[0], expectedRequest("/a b", blankHost, blankHost));
}

// A loopback port whose accept queue is full: the kernel drops further SYNs,
// so a connect waits as it would for a host that never answers.
class StalledPort {
public:
    StalledPort()
    {
        m_fd = test::BindLoopback(m_port);
        if (m_fd < 0 || ::listen(m_fd, 0) != 0) return;
        // Fill the queue (backlog 0 holds one) and then some.
        for (int i = 0; i < 4; ++i) {
            const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(m_port);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
            m_fillers.push_back(c);
        }
        std::this_thread::sleep_for(100ms);  // let the handshakes of the fillers settle
    }
    ~StalledPort()
    {
        for (int c : m_fillers) ::close(c);
        if (m_fd >= 0) ::close(m_fd);
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/"; }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
    std::vector<int> m_fillers;
};

TEST(GetHtml, StallingServersFailTheirAttemptAtTheLimits)
{
    // Short limits so that the test is quick; FetchLimits' defaults are the
    // same code with the named constants.
    FetchLimits limits;
    limits.connect = 300ms;
    limits.idle = 300ms;
    limits.attempt = 1500ms;
    struct StallCase {
        const char* name;
        ScriptedReply reply;
        FetchError error;
    };
    const StallCase cases[] = {
        {"accepts and never answers", {"", 0, false, true, 0ms, true}, FetchError::Timeout},
        {"answers the head, then nothing", {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nab", 0, true},
         FetchError::Timeout},
        {"trickles the head, a byte every 20 ms",
         {"HTTP/1.1 200 OK\r\nX-Pad: " + std::string(1000, 'p') + "\r\n\r\n", 0, true, true, 20ms},
         FetchError::TooLong},
        {"trickles a body without end", {"HTTP/1.1 200 OK\r\n\r\n" + std::string(1000, 'b'), 0, true, true, 20ms},
         FetchError::TooLong},
    };
    for (const StallCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server({c.reply});
        ASSERT_TRUE(server.Listening());
        FetchOptions options = quick(2);
        options.limits = limits;
        std::string body = Untouched;
        const FetchResult result = GetHtml(server.Url("/"), options, body);
        EXPECT_EQ(result.error, c.error);
        EXPECT_EQ(result.attempts, 2);  // each attempt failed, and the next one came
        EXPECT_EQ(body, Untouched);
    }

    StalledPort stalled;
    FetchOptions options = quick(1);
    options.limits = limits;
    std::string body = Untouched;
    const FetchResult result = GetHtml(stalled.Url(), options, body);
    EXPECT_EQ(result.error, FetchError::Connect);
    EXPECT_EQ(result.reason, "no answer within 300 ms");
    EXPECT_EQ(body, Untouched);
}

TEST(GetHtml, EveryFetchHasTheNamedLimits)
{
    const FetchOptions options;
    EXPECT_EQ(options.limits.connect, std::chrono::milliseconds(FetchConnectLimitMs));
    EXPECT_EQ(options.limits.idle, std::chrono::milliseconds(FetchIdleLimitMs));
    EXPECT_EQ(options.limits.attempt, std::chrono::milliseconds(FetchAttemptLimitMs));
}

TEST(GetHtml, RefusedConnection)
{
    uint16_t port = 0;
    {
        ScriptedServer closed({{""}});
        ASSERT_TRUE(closed.Listening());
        port = closed.Port();
    }
    std::string body = Untouched;
    const FetchResult result = GetHtml("http://127.0.0.1:" + std::to_string(port) + "/", quick(2), body);
    EXPECT_EQ(result.error, FetchError::Connect);
    EXPECT_EQ(result.reason, "Connection refused");
    EXPECT_EQ(body, Untouched);
}

}  // namespace
