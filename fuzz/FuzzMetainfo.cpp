// Loads arbitrary bytes as a torrent, writes the model back and loads that:
// the loader must never throw, and a rebuilt torrent must load cleanly and
// rebuild to the same bytes.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "metainfo/TorrentEx.h"

using namespace sorvena;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TTorrentEx torrent;
    const bool ok = torrent.LoadMetainfo(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!ok || torrent.TorrentName.ends_with(".torrent")) return 0;
    // A name that loses ".torrent" again on each load cannot round-trip.
    const std::string written = WriteMetainfo(torrent);
    TTorrentEx again;
    if (!again.LoadMetainfo(written)) std::abort();
    if (again.InfoHashHex.size() != 40) std::abort();
    if (WriteMetainfo(again) != written) std::abort();
    return 0;
}
