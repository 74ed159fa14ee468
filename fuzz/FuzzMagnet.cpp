// Parses arbitrary bytes as a magnet link. What parses has a 40-digit
// lowercase hash of its 20 raw bytes, and the link built again from its hash,
// name and trackers parses to the same fields.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/Hex.h"
#include "metainfo/Magnet.h"

using namespace sorvena;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view uri(reinterpret_cast<const char*>(data), size);
    std::string reason;
    const auto link = ParseMagnet(uri, &reason);
    if (!link) {
        if (reason.empty()) std::abort();
        return 0;
    }
    if (link->InfoHashRaw.size() != 20 || link->InfoHashHex != HexLower(link->InfoHashRaw)) std::abort();
    if (link->Trackers.size() > MagnetMaxTrackers || link->Peers.size() > MagnetMaxPeers) std::abort();
    const std::string built = BuildMagnetUri(link->InfoHashHex, link->DisplayName, link->Trackers);
    const auto again = ParseMagnet(built);
    if (built.size() <= MagnetMaxBytes) {
        if (!again || again->InfoHashHex != link->InfoHashHex || again->DisplayName != link->DisplayName ||
            again->Trackers != link->Trackers)
            std::abort();
    }
    return 0;
}
