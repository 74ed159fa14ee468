#include "tracker/TrackerPeers.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "metainfo/BDecode.h"

namespace sorvena {

namespace {

using TValue = TBencodeWalker::TValue;

std::string addressText(int family, const void* raw)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (!::inet_ntop(family, raw, text, sizeof text)) return {};
    return text;
}

uint16_t bigEndianPort(const char* p)
{
    return static_cast<uint16_t>((static_cast<unsigned char>(p[0]) << 8) | static_cast<unsigned char>(p[1]));
}

// addressBytes of address, then 2 of port, per peer.
void addCompact(std::string_view bytes, int family, size_t addressBytes, std::vector<PeerEndpoint>& out,
                size_t maxEndpoints)
{
    const size_t stride = addressBytes + 2;
    for (size_t at = 0; at + stride <= bytes.size() && out.size() < maxEndpoints; at += stride) {
        const uint16_t port = bigEndianPort(bytes.data() + at + addressBytes);
        if (port == 0) continue;
        std::string address = addressText(family, bytes.data() + at);
        if (!address.empty()) out.push_back({std::move(address), port});
    }
}

// A numeric address in its canonical text; "" for anything else.
std::string numericAddress(std::string_view text)
{
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN) return {};
    char buffer[INET6_ADDRSTRLEN] = {};
    std::memcpy(buffer, text.data(), text.size());
    unsigned char raw[sizeof(in6_addr)];
    if (::inet_pton(AF_INET, buffer, raw) == 1) return addressText(AF_INET, raw);
    if (::inet_pton(AF_INET6, buffer, raw) == 1) return addressText(AF_INET6, raw);
    return {};
}

void addDictionaries(const TBencodeWalker& walker, const TValue& list, std::vector<PeerEndpoint>& out,
                     size_t maxEndpoints)
{
    walker.ForEachItem(list, 1, [&](const TValue& item) {
        if (item.Kind != TBencodeKind::Dictionary) return true;
        std::string_view ip;
        int64_t port = 0;
        walker.ForEachEntry(item, 2, [&](std::string_view key, const TValue& value) {
            if (key == "ip") ip = value.Kind == TBencodeKind::String ? walker.Text(value) : std::string_view();
            else if (key == "port") port = value.Kind == TBencodeKind::Integer ? walker.Value(value) : 0;
            return true;
        });
        std::string address = numericAddress(ip);
        if (!address.empty() && port >= 1 && port <= 65535)
            out.push_back({std::move(address), static_cast<uint16_t>(port)});
        return out.size() < maxEndpoints;
    });
}

}  // namespace

std::vector<PeerEndpoint> ReplyPeerEndpoints(std::string_view reply, size_t maxEndpoints)
{
    std::vector<PeerEndpoint> out;
    const TBencodeWalker walker(reply);
    const TValue top = walker.Read(0);
    if (!top.Present || top.Kind != TBencodeKind::Dictionary) return out;
    // A key given twice counts with its last value, as the decoder stores it.
    TValue peers, peers6;
    bool failed = false;
    walker.ForEachEntry(top, 0, [&](std::string_view key, const TValue& value) {
        if (key == "failure reason") failed = true;
        else if (key == "peers") peers = value;
        else if (key == "peers6") peers6 = value;
        return true;
    });
    if (failed) return out;
    if (peers.Present && peers.Kind == TBencodeKind::String)
        addCompact(walker.Text(peers), AF_INET, 4, out, maxEndpoints);
    else if (peers.Present && peers.Kind == TBencodeKind::List)
        addDictionaries(walker, peers, out, maxEndpoints);
    if (peers6.Present && peers6.Kind == TBencodeKind::String)
        addCompact(walker.Text(peers6), AF_INET6, 16, out, maxEndpoints);
    return out;
}

}  // namespace sorvena
