#pragma once
// GetHtml: the one network primitive. A blocking HTTP/1.1 GET over plain TCP
// (IPv4 or IPv6) that returns the response body, with a bounded number of
// attempts. No TLS, no proxy, no cookies, redirects never followed, one new
// connection per attempt.
//
// On the wire each attempt sends exactly
//   GET <target> HTTP/1.1\r\n
//   Host: <host>[:<port> unless 80]\r\n
//   Accept: text/html, */*\r\n
//   Referer: http://<text between the first "http://" and the next "/">\r\n
//   User-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n
//   \r\n
// with the target exactly as the URL gives it (no percent-encoding added,
// backslashes turned into slashes, fragment removed, "/" when empty; the host
// ends at the first "/" or "?"). An attempt fails on a 3xx other than 304,
// on any response with a non-empty Location header, and on any status outside
// 200..299; the body of such a response is read and dropped with a 2000 ms
// read timeout first. The body of a 2xx: with Content-Length above 0 that many
// bytes (fewer when the server closes first); else, with "chunked" in
// Transfer-Encoding, the chunks (a chunk-size line that is no hexadecimal
// number, such as "5;ext", ends the body); else, without a valid
// Content-Length, everything up to the close; else (Content-Length: 0, or
// status 204) nothing.
//
// Limits against hostile servers (each fails the attempt): a status, header or
// chunk-size line longer than HttpMaxLineBytes, response heads (interim 100
// responses included) longer than HttpMaxHeaderBytes in all, a body longer
// than HttpMaxBodyBytes, a chunk size beyond 63 bits. Memory grows with the
// bytes received, never with the sizes a server declares.
//
// Every call uses its own sockets and buffers: any number of threads may
// fetch at once. The calling thread blocks for the whole fetch, pauses
// included; only a stop token (FetchOptions::stop) cuts it short. Name
// resolution cannot be cut short.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stop_token>
#include <string>
#include <string_view>

#include "net/Socket.h"

namespace sorvena {

// The fixed values every caller passes.
inline constexpr int FetchAttempts = 3;     // attempts per fetch
inline constexpr int FetchRetryDelay = 2;   // seconds of pause after a failed attempt
inline constexpr int FetchReadTimeout = 0;  // milliseconds a read may wait; 0 = without limit

inline constexpr size_t HttpMaxLineBytes = 16384;             // a line without its CR LF
inline constexpr size_t HttpMaxHeaderBytes = 1024 * 1024;     // all head lines of one response
inline constexpr size_t HttpMaxBodyBytes = 64 * 1024 * 1024;  // a body longer than this fails
inline constexpr int HttpDiscardTimeoutMs = 2000;             // read timeout on a failing response's body

// Why an attempt failed.
enum class FetchError {
    None,
    BadUrl,          // no host, a port that is not a number from 1 to 65535, a scheme other than http without port
    NoTls,           // an https URL
    Resolve,         // the host name did not resolve
    Connect,         // no address of the host accepted the connection
    Send,            // writing the request failed
    Receive,         // a socket error while reading
    Closed,          // the peer closed before the head was complete, or inside a chunk
    Timeout,         // a read waited longer than the read timeout
    LineTooLong,     // a line longer than HttpMaxLineBytes
    HeaderTooLarge,  // the head longer than HttpMaxHeaderBytes
    Redirect,        // 3xx other than 304, or a Location header
    HttpStatus,      // another status outside 200..299
    BodyTooLarge,    // more than HttpMaxBodyBytes of body
    ChunkTooLarge,   // a chunk size beyond 63 bits
    Stopped,         // the stop token was triggered
    Internal,        // an exception inside the attempt (out of memory)
};

struct FetchOptions {
    int attempts = FetchAttempts;  // 0 = until one succeeds; below 0 = one attempt
    std::chrono::milliseconds pause{std::chrono::seconds(FetchRetryDelay)};
    int readTimeoutMs = FetchReadTimeout;  // 0 or below = a read waits without limit
    // When stop is requested, a wait in progress (connect, read, pause) ends
    // within about 100 ms and the fetch returns with FetchError::Stopped. A
    // token that can never be stopped (the default) leaves every wait as it
    // is.
    std::stop_token stop;
};

struct FetchResult {
    bool ok = false;
    int attempts = 0;                     // attempts made
    FetchError error = FetchError::None;  // why the last attempt failed
    int status = -1;                      // status code of the last response; -1 when none arrived
};

// Fetches url into body. On success body holds the response body (possibly
// empty); when every attempt fails, or the fetch is stopped, body keeps the
// value it had on entry. Never throws; reports nothing anywhere.
FetchResult GetHtml(std::string_view url, const FetchOptions& options, std::string& body);

// The same with the pause in whole seconds and no stop token; true on
// success.
bool GetHtml(std::string_view url, int attempts, int pauseSeconds, int readTimeoutMs, std::string& body);

// The client of one attempt: one connection, one request, one response. Used
// by one thread; its connection closes when it is destroyed.
class HttpClient {
public:
    HttpClient(std::string url, std::string referer, int readTimeoutMs);

    // Performs the GET. On success replaces body with the response body; on
    // failure leaves body untouched. Call at most once.
    FetchError Get(std::string& body, const std::stop_token& stop = {});

    const std::string& Url() const { return m_url; }
    const std::string& Referer() const { return m_referer; }
    int ReadTimeoutMs() const { return m_readTimeoutMs; }
    // The status code of the final response; -1 before one arrived or when
    // it is not a number.
    int Status() const { return m_status; }

private:
    std::string m_url;
    std::string m_referer;
    int m_readTimeoutMs;
    int m_status = -1;
    Socket m_socket;
};

// Prepares the client for one GET of url: the Referer is "http://" and the
// text between the first "http://" of url and the next "/" (empty when either
// is missing).
HttpClient CreateHttp(std::string_view url, int readTimeoutMs);

}  // namespace sorvena
