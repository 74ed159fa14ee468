#include "net/HttpWire.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "base/AsciiCase.h"
#include "base/Hex.h"

namespace sorvena {

namespace {

constexpr size_t ReadBufferBytes = 64 * 1024;
// A body read of at least this much goes straight into the body rather than
// through the read buffer.
constexpr size_t DirectReadBytes = ReadBufferBytes / 2;


// Header values are trimmed of blanks and control bytes on both sides.
std::string_view trim(std::string_view s)
{
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
    return s;
}

bool allDigits(std::string_view s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Content-Length as a number of 0 or more; a value too large for 64 bits
// saturates (it only bounds a read that the body limit ends anyway).
bool parseContentLength(std::string_view text, uint64_t& value)
{
    if (!allDigits(text)) return false;
    value = 0;
    for (char c : text) {
        const auto digit = static_cast<uint64_t>(c - '0');
        if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) {
            value = std::numeric_limits<uint64_t>::max();
            return true;
        }
        value = value * 10 + digit;
    }
    return true;
}

// The chunk size is the text before the first blank read as hexadecimal; text
// that is not a hexadecimal number counts as 0 (so "5;name=value" ends the
// body). False when the number does not fit in 63 bits.
bool parseChunkSize(std::string_view line, uint64_t& size)
{
    const std::string_view token = line.substr(0, line.find(' '));
    size = 0;
    if (token.empty() || !std::all_of(token.begin(), token.end(), [](char c) { return HexDigitValue(c) >= 0; }))
        return true;
    for (char c : token) {
        if (size > (static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) >> 4)) return false;
        size = (size << 4) | static_cast<uint64_t>(HexDigitValue(c));
    }
    return true;
}

struct Header {
    std::string name;
    std::string value;
};

class Headers {
public:
    void Add(std::string_view line)
    {
        if (line.front() == ' ' || line.front() == '\t') {
            // A folded line continues the header before it.
            if (m_items.empty()) return;
            const std::string_view more = trim(line);
            std::string& value = m_items.back().value;
            if (more.empty()) return;
            if (!value.empty()) value += ' ';
            value += more;
            return;
        }
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) return;
        m_items.push_back({std::string(trim(line.substr(0, colon))), std::string(trim(line.substr(colon + 1)))});
    }
    void Clear() { m_items.clear(); }

    // The first header of that name, or null.
    const std::string* Find(std::string_view name) const
    {
        for (const Header& h : m_items)
            if (AsciiEqualsNoCase(h.name, name)) return &h.value;
        return nullptr;
    }
    bool HasNonEmpty(std::string_view name) const
    {
        return std::any_of(m_items.begin(), m_items.end(),
                           [&](const Header& h) { return AsciiEqualsNoCase(h.name, name) && !h.value.empty(); });
    }

private:
    std::vector<Header> m_items;
};

FetchError errorOf(IoStatus status)
{
    switch (status) {
    case IoStatus::Ok: return FetchError::None;
    case IoStatus::Eof: return FetchError::Closed;
    case IoStatus::Timeout: return FetchError::Timeout;
    case IoStatus::Error: return FetchError::Receive;
    case IoStatus::Stopped: return FetchError::Stopped;
    case IoStatus::Expired: return FetchError::TooLong;
    }
    return FetchError::Receive;
}

// Where body bytes go: into a string that grows with what arrives, or nowhere
// when a failing response's body is only read to be dropped. Either way at
// most HttpMaxBodyBytes + 1 bytes are taken.
class BodySink {
public:
    explicit BodySink(std::string* out) : m_out(out) {}

    bool Stores() const { return m_out != nullptr; }
    bool OverLimit() const { return m_taken > HttpMaxBodyBytes; }
    // How many more bytes may be taken before the limit is passed.
    uint64_t Room() const { return OverLimit() ? 0 : HttpMaxBodyBytes + 1 - m_taken; }

    void Append(const char* bytes, size_t count)
    {
        if (m_out) {
            // Appending grows the string's capacity geometrically.
            m_out->resize(static_cast<size_t>(m_taken));
            m_out->append(bytes, count);
        }
        m_taken += count;
    }
    // Room in the string for at least one and at most `most` bytes, to be
    // received into directly and then committed. Only when Stores().
    std::pair<char*, size_t> Space(size_t most)
    {
        const auto taken = static_cast<size_t>(m_taken);
        if (m_out->size() <= taken) {
            // Doubling what has arrived keeps the copies of a growing body
            // linear, while memory stays within twice the bytes received; the
            // step never goes past the bytes still expected.
            m_out->resize(taken + std::min(most, std::max(taken, ReadBufferBytes)));
        }
        return {m_out->data() + taken, std::min(most, m_out->size() - taken)};
    }
    void Commit(size_t count) { m_taken += count; }
    // Leaves the string holding exactly the body.
    void Finish()
    {
        if (m_out) m_out->resize(static_cast<size_t>(m_taken));
    }

private:
    std::string* m_out;
    uint64_t m_taken = 0;
};

class ResponseReader {
public:
    ResponseReader(ByteSource& source, int readTimeoutMs)
        : m_source(source), m_timeoutMs(readTimeoutMs), m_buffer(new char[ReadBufferBytes])
    {}

    FetchError Read(std::string& body, int& status)
    {
        Headers headers;
        FetchError error = ReadHead(status, headers);
        // An interim "100 Continue" is followed by the real response.
        while (error == FetchError::None && status == 100) error = ReadHead(status, headers);
        if (error != FetchError::None) return error;

        const bool redirect =
            (status >= 300 && status <= 399 && status != 304) || headers.HasNonEmpty("Location");
        if (redirect || status < 200 || status > 299) {
            // Read what the server sends before closing, but never wait long
            // for a body nobody will use.
            m_timeoutMs = HttpDiscardTimeoutMs;
            BodySink drop(nullptr);
            ReadBody(headers, drop);
            return redirect ? FetchError::Redirect : FetchError::HttpStatus;
        }
        std::string received;
        if (status != 204) {
            BodySink sink(&received);
            error = ReadBody(headers, sink);
            if (error != FetchError::None) return error;
            sink.Finish();
        }
        body = std::move(received);
        return FetchError::None;
    }

private:
    size_t Buffered() const { return m_end - m_begin; }

    // Refills the empty read buffer.
    IoStatus Fill()
    {
        m_begin = m_end = 0;
        size_t got = 0;
        const IoStatus status = m_source.Receive(m_buffer.get(), ReadBufferBytes, got, m_timeoutMs);
        if (status == IoStatus::Ok) m_end = got;
        return status;
    }

    // One line up to LF, without the LF and without a CR before it.
    FetchError ReadLine(std::string& line)
    {
        line.clear();
        for (;;) {
            const char* from = m_buffer.get() + m_begin;
            const auto* lf = static_cast<const char*>(std::memchr(from, '\n', Buffered()));
            const size_t take = lf ? static_cast<size_t>(lf - from) : Buffered();
            // One byte more than the limit may be a CR.
            if (line.size() + take > HttpMaxLineBytes + 1) return FetchError::LineTooLong;
            line.append(from, take);
            m_begin += take;
            if (lf) {
                ++m_begin;
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return line.size() > HttpMaxLineBytes ? FetchError::LineTooLong : FetchError::None;
            }
            if (const IoStatus status = Fill(); status != IoStatus::Ok) return errorOf(status);
        }
    }

    // A status line and the header lines up to the first empty line.
    FetchError ReadHead(int& status, Headers& headers)
    {
        headers.Clear();
        std::string line;
        if (FetchError error = ReadLine(line); error != FetchError::None) return error;
        if ((m_headBytes += line.size() + 1) > HttpMaxHeaderBytes) return FetchError::HeaderTooLarge;
        status = ParseStatusCode(line);
        for (;;) {
            if (FetchError error = ReadLine(line); error != FetchError::None) return error;
            if ((m_headBytes += line.size() + 1) > HttpMaxHeaderBytes) return FetchError::HeaderTooLarge;
            if (line.empty()) return FetchError::None;
            headers.Add(line);
        }
    }

    FetchError ReadBody(const Headers& headers, BodySink& sink)
    {
        const std::string* lengthText = headers.Find("Content-Length");
        uint64_t length = 0;
        const bool lengthValid = lengthText && parseContentLength(*lengthText, length);
        if (lengthValid && length > 0) return ReadCount(length, sink, true);
        const std::string* coding = headers.Find("Transfer-Encoding");
        if (coding && coding->find("chunked") != std::string::npos) return ReadChunked(sink);
        if (!lengthValid) return ReadCount(std::numeric_limits<uint64_t>::max(), sink, true);
        return FetchError::None;
    }

    // Takes count bytes into the sink. When the peer closes first, that ends
    // the body if closeEndsBody, and fails the attempt otherwise.
    FetchError ReadCount(uint64_t count, BodySink& sink, bool closeEndsBody)
    {
        while (count > 0) {
            if (sink.OverLimit()) return FetchError::BodyTooLarge;
            const uint64_t wanted = std::min(count, sink.Room());
            if (Buffered() > 0) {
                const auto take = static_cast<size_t>(std::min<uint64_t>(wanted, Buffered()));
                sink.Append(m_buffer.get() + m_begin, take);
                m_begin += take;
                count -= take;
                continue;
            }
            IoStatus status;
            if (sink.Stores() && wanted >= DirectReadBytes) {
                const auto [space, size] = sink.Space(static_cast<size_t>(std::min<uint64_t>(wanted, SIZE_MAX)));
                size_t got = 0;
                status = m_source.Receive(space, size, got, m_timeoutMs);
                if (status == IoStatus::Ok) {
                    sink.Commit(got);
                    count -= got;
                }
            } else {
                status = Fill();
            }
            if (status == IoStatus::Eof && closeEndsBody) return FetchError::None;
            if (status != IoStatus::Ok) return errorOf(status);
        }
        return sink.OverLimit() ? FetchError::BodyTooLarge : FetchError::None;
    }

    FetchError ReadChunked(BodySink& sink)
    {
        std::string line;
        for (;;) {
            if (FetchError error = ReadLine(line); error != FetchError::None) return error;
            uint64_t size = 0;
            if (!parseChunkSize(line, size)) return FetchError::ChunkTooLarge;
            if (size == 0) break;
            // Past the limit either way: whether the peer sends the chunk or
            // closes inside it, the attempt fails.
            if (size >= sink.Room()) return FetchError::BodyTooLarge;
            if (FetchError error = ReadCount(size, sink, false); error != FetchError::None) return error;
            // The CR LF after the chunk's bytes.
            if (FetchError error = ReadLine(line); error != FetchError::None) return error;
        }
        // The line that ends the body; trailer fields after it stay unread.
        // Some servers close right after the last chunk's line: the body is
        // complete by then.
        const FetchError error = ReadLine(line);
        return error == FetchError::Closed ? FetchError::None : error;
    }

    ByteSource& m_source;
    int m_timeoutMs;
    std::unique_ptr<char[]> m_buffer;
    size_t m_begin = 0;
    size_t m_end = 0;
    size_t m_headBytes = 0;
};

}  // namespace

FetchError SplitHttpUrl(std::string_view url, HttpTarget& out)
{
    // A CR LF in a link from a page would add header lines, or a whole
    // second request, to what goes to the host; the Referer takes its text
    // from the URL as well, fragment included. No control byte goes out.
    if (std::any_of(url.begin(), url.end(), [](char c) {
            const auto b = static_cast<unsigned char>(c);
            return b < 0x20 || b == 0x7F;
        }))
        return FetchError::BadUrl;
    std::string text(url);
    std::replace(text.begin(), text.end(), '\\', '/');
    std::string_view rest(text);
    // The fragment is the client's business and is never sent.
    rest = rest.substr(0, rest.find('#'));

    std::string_view scheme;
    if (const size_t p = rest.find("://"); p != std::string_view::npos) {
        scheme = rest.substr(0, p);
        rest.remove_prefix(p + 3);
    }
    const bool tls = AsciiEqualsNoCase(scheme, "https");
    const bool http = tls || scheme.empty() || AsciiEqualsNoCase(scheme, "http");
    const unsigned defaultPort = tls ? 443 : 80;

    // The authority also ends at a query ("http://host?q" asks for "/?q"),
    // so that such a URL does not take "host?q" for a host name.
    const size_t slash = rest.find_first_of("/?");
    std::string_view authority = rest.substr(0, slash);
    std::string_view path = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    if (const size_t at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);

    std::string_view host;      // as written, brackets included
    std::string_view hostName;  // as resolved
    std::string_view portText;
    if (!authority.empty() && authority.front() == '[') {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos) return FetchError::BadUrl;
        host = authority.substr(0, close + 1);
        hostName = authority.substr(1, close - 1);
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty() && after.front() != ':') return FetchError::BadUrl;
        if (!after.empty()) portText = after.substr(1);
    } else {
        const size_t colon = authority.find(':');
        host = hostName = authority.substr(0, colon);
        if (colon != std::string_view::npos) portText = authority.substr(colon + 1);
    }
    if (hostName.empty()) return FetchError::BadUrl;

    unsigned port = defaultPort;
    if (!portText.empty()) {
        port = 0;
        for (char c : portText) {
            if (c < '0' || c > '9') return FetchError::BadUrl;
            port = port * 10 + static_cast<unsigned>(c - '0');
            if (port > 65535) return FetchError::BadUrl;
        }
        if (port == 0) return FetchError::BadUrl;
    } else if (!http) {
        return FetchError::BadUrl;
    }

    out.host = hostName;
    out.port = static_cast<uint16_t>(port);
    out.tls = tls;
    out.hostHeader = host;
    // The scheme's own port goes unsaid: "Host: example.org:443" makes some
    // sites redirect to their canonical name, which fails the attempt.
    if (port != defaultPort) out.hostHeader += ':' + std::to_string(port);
    out.target = path.empty() || path.front() != '/' ? "/" + std::string(path) : std::string(path);
    return FetchError::None;
}

std::string BuildGetRequest(const HttpTarget& target, std::string_view referer)
{
    std::string request;
    request.reserve(160 + target.target.size() + target.hostHeader.size() + referer.size());
    request += "GET ";
    request += target.target;
    request += " HTTP/1.1\r\nHost: ";
    request += target.hostHeader;
    request += "\r\nAccept: text/html, */*\r\nReferer: ";
    request += referer;
    request += "\r\nUser-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n\r\n";
    return request;
}

int ParseStatusCode(std::string_view statusLine)
{
    std::string_view rest = statusLine;
    std::string_view token;
    for (int i = 0; i < 2; ++i) {
        while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
        const size_t blank = rest.find(' ');
        token = rest.substr(0, blank);
        rest.remove_prefix(token.size());
    }
    int code = -1;
    if (!allDigits(token)) return -1;
    const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), code);
    return ec == std::errc() && end == token.data() + token.size() ? code : -1;
}

FetchError ReadResponse(ByteSource& source, int readTimeoutMs, std::string& body, int& status)
{
    status = -1;
    ResponseReader reader(source, readTimeoutMs);
    return reader.Read(body, status);
}

}  // namespace sorvena
