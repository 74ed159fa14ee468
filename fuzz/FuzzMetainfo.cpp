// Loads arbitrary bytes as a torrent: the loader must never throw, must take
// every field as a loader reading the whole decoded tree does, must stay
// within its memory bound and keep nothing of the input, and a rebuilt
// torrent must load cleanly and rebuild to the same bytes.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "LargeInputMutator.h"
#include "Reference.h"
#include "metainfo/TorrentEx.h"
#include "support/CountingAllocator.h"

using namespace sorvena;

namespace {

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_metainfo: %s\n", what);
    std::abort();
}

bool sameFields(const TTorrentFile& a, const TTorrentFile& b)
{
    if (a.SubFiles.size() != b.SubFiles.size() || a.PieceHashes.size() != b.PieceHashes.size()) return false;
    for (size_t i = 0; i < a.SubFiles.size(); ++i) {
        const TTorrentSubFile& x = a.SubFiles[i];
        const TTorrentSubFile& y = b.SubFiles[i];
        if (x.FileName != y.FileName || x.DirPath != y.DirPath || x.FileSize != y.FileSize ||
            x.FileOffset != y.FileOffset)
            return false;
    }
    for (size_t i = 0; i < a.PieceHashes.size(); ++i)
        if (a.PieceHashes[i].HashRaw() != b.PieceHashes[i].HashRaw()) return false;
    return a.AnnounceUrl == b.AnnounceUrl && a.TorrentName == b.TorrentName && a.Comment == b.Comment &&
           a.TotalSize == b.TotalSize && std::memcmp(&a.CreatedAt, &b.CreatedAt, sizeof a.CreatedAt) == 0 &&
           a.FileCount == b.FileCount && a.LoadErrors == b.LoadErrors && a.InfoHashHex == b.InfoHashHex &&
           a.InfoHashRaw == b.InfoHashRaw && a.IsMultiFile == b.IsMultiFile && a.PieceLength == b.PieceLength &&
           a.BackupTrackers == b.BackupTrackers;
}

// What a loaded torrent may hold: its fields, each as long as the input.
size_t fieldBytes(const TTorrentFile& t)
{
    size_t bytes = t.AnnounceUrl.capacity() + t.TorrentName.capacity() + t.Comment.capacity() +
                   t.SubFiles.capacity() * sizeof(TTorrentSubFile) + t.PieceHashes.capacity() * sizeof(TTorrentPiece) +
                   t.BackupTrackers.capacity() * sizeof(std::string) + t.LoadErrors.capacity() * sizeof(std::string);
    for (const TTorrentSubFile& f : t.SubFiles) bytes += f.FileName.capacity() + f.DirPath.capacity();
    for (const std::string& s : t.BackupTrackers) bytes += s.capacity();
    for (const std::string& s : t.LoadErrors) bytes += s.capacity();
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    TTorrentEx torrent;
    bool ok = false;
    {
        const size_t before = test::AllocatedBytes();
        const test::AllocationPeak peak;
        ok = torrent.LoadMetainfo(input);
        const size_t kept = test::AllocatedBytes() - before;
        // The tokens while decoding (12 bytes per input byte at most), then
        // only the fields (vectors of them may hold twice that while they grow).
        if (peak.Bytes() > 12 * size + 2 * fieldBytes(torrent) + 65536) fail("the load beyond its memory bound");
        if (kept > fieldBytes(torrent) + 4096) fail("the load kept more than its fields");
    }
    // The reference builds a tree, seconds for a few megabytes under the
    // sanitizers: larger inputs are held to the memory bounds only.
    if (size <= (1 << 20)) {
        TTorrentFile expected;
        if (reference::Load(expected, input) != ok || !sameFields(expected, torrent))
            fail("fields other than the reference");
    }

    if (!ok || torrent.TorrentName.ends_with(".torrent")) return 0;
    // A name that loses ".torrent" again on each load cannot round-trip.
    const std::string written = WriteMetainfo(torrent);
    TTorrentEx again;
    if (!again.LoadMetainfo(written)) std::abort();
    if (again.InfoHashHex.size() != 40) std::abort();
    if (WriteMetainfo(again) != written) std::abort();
    return 0;
}
