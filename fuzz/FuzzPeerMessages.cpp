// Reads arbitrary bytes as what a peer sends on one connection: the
// handshake, then messages, with the extension messages read as an
// extension handshake and as a metadata message. The first byte picks where
// the bytes are split in two; both halves must give the same messages as the
// whole, the reader must never hold more than its limits, and a metadata
// message's data must lie inside its payload.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "swarm/PeerWire.h"

using namespace sorvena;

namespace {

constexpr size_t MaxKept = 4096;
constexpr size_t MaxMessage = 65536;

struct Read {
    std::vector<std::pair<int, std::string>> messages;
    TPeerMessageReader::Status status = TPeerMessageReader::Status::Ok;
    uint64_t skipped = 0;
};

Read readAll(const std::vector<std::string_view>& parts)
{
    Read out;
    TPeerMessageReader reader(MaxKept, MaxMessage);
    for (const std::string_view part : parts) {
        out.status = reader.Feed(part, [&](int id, std::string_view payload) {
            if (id == TPeerMessageReader::Handshake ? payload.size() != PeerHandshakeBytes : payload.size() > MaxKept)
                std::abort();
            out.messages.emplace_back(id, std::string(payload));
            return true;
        });
        if (out.status != TPeerMessageReader::Status::Ok) break;
    }
    out.skipped = reader.SkippedBytes();
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const size_t cut = static_cast<size_t>(data[0]) * bytes.size() / 255;
    const Read whole = readAll({bytes});
    const Read split = readAll({bytes.substr(0, cut), bytes.substr(cut)});
    if (whole.messages != split.messages || whole.status != split.status || whole.skipped != split.skipped)
        std::abort();
    for (const auto& [id, payload] : whole.messages) {
        if (id == TPeerMessageReader::Handshake) {
            CheckPeerHandshake(payload, std::string(20, '\0'));
            continue;
        }
        if (payload.empty()) continue;
        const std::string_view body = std::string_view(payload).substr(1);
        const ExtensionHandshake h = ParseExtensionHandshake(body);
        if (h.UtMetadataId < 0 || h.UtMetadataId > 255 || (!h.Valid && (h.UtMetadataId != 0 || h.MetadataSize != -1)))
            std::abort();
        const MetadataMessage m = ParseMetadataMessage(body);
        if (!m.Data.empty() && (m.Data.data() < body.data() || m.Data.data() + m.Data.size() > body.data() + body.size()))
            std::abort();
        if (m.Valid && m.MsgType == 1 && m.Piece >= 0 && m.Piece < 1024) MetadataPieceLength(16 << 20, m.Piece);
    }
    return 0;
}
