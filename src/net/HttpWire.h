#pragma once
// The byte-level half of GetHtml, apart from sockets so that tests can feed
// it: splitting the URL, the request bytes, and reading one response from any
// source of bytes. Private to IndyUtil.cpp and its tests.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "net/IndyUtil.h"

namespace sorvena {

struct HttpTarget {
    std::string host;        // for name resolution: no brackets around an IPv6 literal
    std::string hostHeader;  // the Host value: the host as written, ":port" unless the scheme's default
    uint16_t port = 80;
    bool tls = false;        // https
    std::string target;      // the request target
};

// Splits url into where to connect and what to ask for. Backslashes count as
// slashes; the fragment is dropped; an empty or missing scheme means http;
// the authority ends at the first "/" or "?"; user:password@ is dropped;
// "https" means TLS and port 443. Fails with BadUrl, also for a control byte
// anywhere in url.
FetchError SplitHttpUrl(std::string_view url, HttpTarget& out);

// The request bytes of one GET.
std::string BuildGetRequest(const HttpTarget& target, std::string_view referer);

// The status code in a status line: its second blank-separated token as a
// decimal number, -1 when that is not a number.
int ParseStatusCode(std::string_view statusLine);

// Expired: the attempt's time limit has passed.
enum class IoStatus { Ok, Eof, Timeout, Error, Stopped, Expired };

// Where a response comes from.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Waits up to timeoutMs (0 or below: without limit) for bytes and stores
    // between 1 and size of them in buffer (Ok), or reports why none came.
    virtual IoStatus Receive(char* buffer, size_t size, size_t& received, int timeoutMs) = 0;
};

// Reads one response from source, the way the GET of one attempt does: head
// (and any 100 Continue heads before it), classification, body. status gets
// the final status code. On success body is replaced by the response body;
// on failure it is left as it was.
FetchError ReadResponse(ByteSource& source, int readTimeoutMs, std::string& body, int& status);

}  // namespace sorvena
