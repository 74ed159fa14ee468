#include "metainfo/Magnet.h"

#include <algorithm>
#include <charconv>

#include "base/AsciiCase.h"
#include "base/Hex.h"
#include "metainfo/TorrentEx.h"

namespace sorvena {

namespace {

bool refuse(std::string* reason, std::string text)
{
    if (reason) *reason = std::move(text);
    return false;
}

// Percent-decoding of one value; false on a "%" without two hexadecimal digits.
bool percentDecode(std::string_view text, bool plusIsBlank, std::string& out)
{
    out.clear();
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) return false;
            const int high = HexDigitValue(text[i + 1]);
            const int low = HexDigitValue(text[i + 2]);
            if (high < 0 || low < 0) return false;
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else if (c == '+' && plusIsBlank) {
            out += ' ';
        } else {
            out += c;
        }
    }
    return true;
}

// RFC 4648 base32 without padding: 32 characters give the 20 bytes.
bool base32Decode(std::string_view text, std::string& raw)
{
    if (text.size() != 32) return false;
    raw.clear();
    uint32_t buffer = 0;
    int bits = 0;
    for (const char c : text) {
        int value;
        if (c >= 'A' && c <= 'Z') value = c - 'A';
        else if (c >= 'a' && c <= 'z') value = c - 'a';
        else if (c >= '2' && c <= '7') value = c - '2' + 26;
        else return false;
        buffer = (buffer << 5) | static_cast<uint32_t>(value);
        bits += 5;
        if (bits >= 8) {
            bits -= 8;
            raw += static_cast<char>((buffer >> bits) & 0xFF);
        }
    }
    return raw.size() == 20;
}

bool hexDecode(std::string_view text, std::string& raw)
{
    if (text.size() != 40) return false;
    raw.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = HexDigitValue(text[i]);
        const int low = HexDigitValue(text[i + 1]);
        if (high < 0 || low < 0) return false;
        raw += static_cast<char>(high * 16 + low);
    }
    return true;
}

// "host:port" or "[v6]:port" with a port from 1 to 65535.
bool isPeerAddress(std::string_view text)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    const std::string_view host = text.substr(0, colon);
    const std::string_view port = text.substr(colon + 1);
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (ec != std::errc() || end != port.data() + port.size() || value == 0 || value > 65535) return false;
    if (host.front() == '[') return host.size() > 2 && host.back() == ']';
    // A bare IPv6 address would have its own colons: it needs brackets.
    return host.find_first_of(":/ []") == std::string_view::npos;
}

// The key without a BEP 9 index: "tr.1" is "tr"; "x.pe" keeps its dot.
std::string baseKey(std::string_view key)
{
    std::string lower = AsciiLowerCopy(key);
    const size_t dot = lower.rfind('.');
    if (dot != std::string::npos && dot + 1 < lower.size() &&
        std::all_of(lower.begin() + static_cast<std::ptrdiff_t>(dot) + 1, lower.end(),
                    [](char c) { return c >= '0' && c <= '9'; }))
        lower.resize(dot);
    return lower;
}

void addOnce(std::vector<std::string>& list, std::string value, size_t limit)
{
    if (list.size() >= limit) return;
    if (std::find(list.begin(), list.end(), value) == list.end()) list.push_back(std::move(value));
}

void appendEncoded(std::string& out, std::string_view text)
{
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
            c == '_' || c == '~')
            out += c;
        else
            AppendPercentEscape(out, byte);
    }
}

}  // namespace

std::optional<TMagnetLink> ParseMagnet(std::string_view uri, std::string* reason)
{
    if (uri.size() > MagnetMaxBytes) return refuse(reason, "the magnet link is too long"), std::nullopt;
    if (!AsciiStartsWithNoCase(uri, "magnet:?")) {
        refuse(reason, "not a magnet link (it does not begin with \"magnet:?\")");
        return std::nullopt;
    }
    std::string_view rest = uri.substr(8);
    TMagnetLink link;
    bool sawOtherHash = false;
    std::string value;
    while (!rest.empty()) {
        const size_t amp = rest.find('&');
        const std::string_view param = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
        if (param.empty()) continue;
        const size_t eq = param.find('=');
        const std::string key = baseKey(param.substr(0, eq));
        const std::string_view raw = eq == std::string_view::npos ? std::string_view() : param.substr(eq + 1);
        if (!percentDecode(raw, key == "dn", value)) {
            refuse(reason, "a broken percent escape in \"" + key + "\"");
            return std::nullopt;
        }
        if (key == "xt") {
            if (!AsciiStartsWithNoCase(value, "urn:btih:")) {
                sawOtherHash = true;  // urn:btmh (v2), urn:sha1, urn:ed2k...: not ours
                continue;
            }
            const std::string_view hash = std::string_view(value).substr(9);
            std::string hashRaw;
            if (!hexDecode(hash, hashRaw) && !base32Decode(hash, hashRaw)) {
                refuse(reason, "the info hash is neither 40 hexadecimal digits nor 32 base32 characters");
                return std::nullopt;
            }
            if (!link.InfoHashRaw.empty() && link.InfoHashRaw != hashRaw) {
                refuse(reason, "two different info hashes");
                return std::nullopt;
            }
            link.InfoHashRaw = std::move(hashRaw);
        } else if (key == "dn") {
            if (link.DisplayName.empty()) link.DisplayName = value;
        } else if (key == "tr") {
            if (!value.empty()) addOnce(link.Trackers, value, MagnetMaxTrackers);
        } else if (key == "xl") {
            int64_t length = -1;
            const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), length);
            if (value.empty() || ec != std::errc() || end != value.data() + value.size() || length < 0) {
                refuse(reason, "the length (xl) is not a byte count");
                return std::nullopt;
            }
            link.ExactLength = length;
        } else if (key == "x.pe") {
            if (!isPeerAddress(value)) {
                refuse(reason, "a peer (x.pe) that is not host:port");
                return std::nullopt;
            }
            addOnce(link.Peers, value, MagnetMaxPeers);
        }
    }
    if (link.InfoHashRaw.empty()) {
        refuse(reason, sawOtherHash ? "no BitTorrent v1 info hash (xt=urn:btih:), only hashes of another kind"
                                    : "no info hash (xt=urn:btih:)");
        return std::nullopt;
    }
    link.InfoHashHex = HexLower(link.InfoHashRaw);
    return link;
}

std::string BuildMagnetUri(std::string_view infoHashHex, std::string_view name,
                           const std::vector<std::string>& trackers)
{
    std::string out = "magnet:?xt=urn:btih:";
    out += AsciiLowerCopy(infoHashHex);
    if (!name.empty()) {
        out += "&dn=";
        appendEncoded(out, name);
    }
    std::vector<std::string_view> written;
    for (const std::string& tracker : trackers) {
        if (tracker.empty() || std::find(written.begin(), written.end(), tracker) != written.end()) continue;
        written.push_back(tracker);
        out += "&tr=";
        appendEncoded(out, tracker);
    }
    return out;
}

std::string EntryMagnetUri(const TTorrentEx& entry)
{
    if (entry.IsMagnet()) return entry.MagnetUri;
    std::vector<std::string> trackers;
    if (!entry.AnnounceUrl.empty()) trackers.push_back(entry.AnnounceUrl);
    trackers.insert(trackers.end(), entry.BackupTrackers.begin(), entry.BackupTrackers.end());
    return BuildMagnetUri(entry.InfoHashHex, entry.TorrentName, trackers);
}

std::unique_ptr<TTorrentEx> MakeMagnetEntry(const TMagnetLink& link, std::string_view uri,
                                            std::string_view fallbackName, int64_t fallbackSize)
{
    auto entry = std::make_unique<TTorrentEx>();
    entry->InfoHashHex = link.InfoHashHex;
    entry->InfoHashRaw = link.InfoHashRaw;
    entry->TorrentName = link.DisplayName.empty() ? std::string(fallbackName) : link.DisplayName;
    entry->TotalSize = link.ExactLength >= 0 ? link.ExactLength : std::max<int64_t>(fallbackSize, 0);
    if (!link.Trackers.empty()) entry->AnnounceUrl = link.Trackers.front();
    entry->BackupTrackers = link.Trackers;
    entry->FileCount = 0;
    entry->MagnetUri = std::string(uri);
    return entry;
}

}  // namespace sorvena
