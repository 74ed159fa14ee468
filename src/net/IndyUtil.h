#pragma once
// GetHtml: the one network primitive. A blocking HTTP/1.1 GET over TCP (IPv4
// or IPv6), for "https" URLs over TLS, that returns the response body, with a
// bounded number of attempts. No proxy, no cookies, redirects never followed,
// one new connection per attempt.
//
// TLS (OpenSSL 3): version 1.2 or later; the certificate chain and the host
// name (or the IP address of an IP-literal URL) are always verified against
// the system's trust store, which SSL_CERT_FILE and SSL_CERT_DIR replace as
// OpenSSL documents (read when first needed, and again when either variable
// changes); SNI carries the host name (never an IP literal); port 443 unless
// the URL gives one; no session is resumed, since nothing survives an
// attempt. There is no way to turn verification off. A failed handshake or
// verification fails the attempt with FetchError::Tls and its reason in
// FetchResult::reason ("certificate has expired", "host name mismatch",
// "certificate signed by an unknown authority", or OpenSSL's own text).
// Everything below holds over TLS unchanged, byte for byte.
//
// A TLS stream that ends without close_notify (servers often skip it) ends
// the bytes just as a TCP close does, for every body form: a Content-Length
// body cut short is the bytes received; a chunked body is complete at its
// last chunk and a close inside a chunk fails; a body without Content-Length
// ends there. So a truncating attacker gains nothing over a plain close: a
// cut torrent fails to decode, a cut page yields fewer links. Any other TLS
// error while reading (a bad record, an alert) fails the attempt.
//
// On the wire each attempt sends exactly
//   GET <target> HTTP/1.1\r\n
//   Host: <host>[:<port> unless 80 for http, 443 for https]\r\n
//   Accept: text/html, */*\r\n
//   Referer: http://<text between the first "http://" and the next "/">\r\n
//   User-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n
//   \r\n
// with the target exactly as the URL gives it (no percent-encoding added,
// backslashes turned into slashes, fragment removed, "/" when empty; the host
// ends at the first "/" or "?"; an https URL holds no "http://", so its
// Referer is "http://"). A URL holding a control byte (0x00-0x1F or 0x7F:
// CR, LF, NUL, TAB, ESC...) anywhere fails every attempt without touching
// the network, so that no link from a page can add header lines or bytes to
// a request; blanks and bytes above 0x7F are sent as they are. An attempt
// fails on a 3xx other than 304, on any response with a non-empty Location
// header, and on any status outside 200..299; the body of such a response is
// read and dropped with a 2000 ms read timeout first. The body of a 2xx: with Content-Length above 0 that many
// bytes (fewer when the server closes first); else, with "chunked" in
// Transfer-Encoding, the chunks (a chunk-size line that is no hexadecimal
// number, such as "5;ext", ends the body; a close right after the last
// chunk's line, before the final CR LF, still ends it); else, without a valid
// Content-Length, everything up to the close; else (Content-Length: 0, or
// status 204) nothing.
//
// Limits against hostile servers (each fails the attempt): a status, header or
// chunk-size line longer than HttpMaxLineBytes, response heads (interim 100
// responses included) longer than HttpMaxHeaderBytes in all, a body longer
// than HttpMaxBodyBytes, a chunk size beyond 63 bits. Memory grows with the
// bytes received, never with the sizes a server declares.
//
// Time limits against servers that stall or trickle (each fails the attempt
// as a refused connection does, and the next attempt follows): connecting to
// one address, and the TLS handshake, may take FetchConnectLimitMs each; no
// wait for bytes lasts longer than FetchIdleLimitMs (a read timeout passed
// in only shortens it); a whole attempt ends after FetchAttemptLimitMs. So
// a fetch with a number of attempts ends on its own within attempts x
// (attempt limit + pause), name resolution aside (the resolver has its own
// timeouts and cannot be cut short).
//
// Every call uses its own sockets and buffers: any number of threads may
// fetch at once. The calling thread blocks for the whole fetch, pauses
// included; the limits above or a stop token (FetchOptions::stop) cut it
// short. Name resolution cannot be cut short.

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

// Time limits of every attempt. Real sites answer within seconds; a torrent
// of HttpMaxBodyBytes arrives within the attempt limit at 220 KB/s, and real
// torrents are a small fraction of that.
inline constexpr int FetchConnectLimitMs = 30000;   // TCP connect to one address; again the TLS handshake
inline constexpr int FetchIdleLimitMs = 30000;      // the longest wait for the next bytes
inline constexpr int FetchAttemptLimitMs = 300000;  // one whole attempt, from resolving to the last byte

// Why an attempt failed.
enum class FetchError {
    None,
    BadUrl,          // no host, a port that is not a number from 1 to 65535, a scheme other than
                     // http and https without port, a control byte in the URL
    Resolve,         // the host name did not resolve
    Connect,         // no address of the host accepted the connection within the connect limit
    Tls,             // the TLS handshake or the certificate check failed, or took longer than the connect limit
    Send,            // writing the request failed
    Receive,         // a socket error while reading
    Closed,          // the peer closed before the head was complete, or inside a chunk
    Timeout,         // a read waited longer than the read timeout or the idle limit
    TooLong,         // the attempt took longer than the attempt limit
    LineTooLong,     // a line longer than HttpMaxLineBytes
    HeaderTooLarge,  // the head longer than HttpMaxHeaderBytes
    Redirect,        // 3xx other than 304, or a Location header
    HttpStatus,      // another status outside 200..299
    BodyTooLarge,    // more than HttpMaxBodyBytes of body
    ChunkTooLarge,   // a chunk size beyond 63 bits
    Stopped,         // the stop token was triggered
    Internal,        // an exception inside the attempt (out of memory)
};

// What each kind of failure means, in a few words ("the TLS handshake or the
// certificate check failed"), for messages and trace lines.
const char* FetchErrorText(FetchError error);

// Why a fetch failed in the few words a status line shows ("connection
// refused", "HTTP status 404", "TLS: certificate has expired"). status is the
// HTTP status of the last response (-1 when none arrived), reason the
// FetchResult's reason (may be empty). Pure; any thread.
std::string FetchFailureBrief(FetchError error, int status, std::string_view reason = {});

// The time limits of each attempt; tests shorten them. A value of 0 or below
// means the default.
struct FetchLimits {
    std::chrono::milliseconds connect{FetchConnectLimitMs};
    std::chrono::milliseconds idle{FetchIdleLimitMs};
    std::chrono::milliseconds attempt{FetchAttemptLimitMs};
};

struct FetchOptions {
    int attempts = FetchAttempts;  // 0 = until one succeeds; below 0 = one attempt
    std::chrono::milliseconds pause{std::chrono::seconds(FetchRetryDelay)};
    int readTimeoutMs = FetchReadTimeout;  // 0 or below = a read waits up to the idle limit
    FetchLimits limits;
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
    // More about the last failure when there is more to say: the TLS or
    // certificate problem ("certificate has expired"), the system's reason
    // for a failed connection or name resolution; empty otherwise.
    std::string reason;
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

    // Performs the GET within limits. On success replaces body with the
    // response body; on failure leaves body untouched. Call at most once.
    FetchError Get(std::string& body, const std::stop_token& stop = {}, const FetchLimits& limits = {});

    const std::string& Url() const { return m_url; }
    const std::string& Referer() const { return m_referer; }
    int ReadTimeoutMs() const { return m_readTimeoutMs; }
    // The status code of the final response; -1 before one arrived or when
    // it is not a number.
    int Status() const { return m_status; }
    // More about a failure of Get, as FetchResult::reason.
    const std::string& Reason() const { return m_reason; }

private:
    std::string m_url;
    std::string m_referer;
    int m_readTimeoutMs;
    int m_status = -1;
    std::string m_reason;
    Socket m_socket;
};

// Prepares the client for one GET of url: the Referer is "http://" and the
// text between the first "http://" of url and the next "/" (empty when either
// is missing).
HttpClient CreateHttp(std::string_view url, int readTimeoutMs);

}  // namespace sorvena
