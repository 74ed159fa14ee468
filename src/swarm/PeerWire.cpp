#include "swarm/PeerWire.h"

#include "metainfo/BDecode.h"

namespace sorvena {

namespace {

using TValue = TBencodeWalker::TValue;

void appendBigEndian32(std::string& out, uint32_t value)
{
    out += static_cast<char>(value >> 24);
    out += static_cast<char>(value >> 16);
    out += static_cast<char>(value >> 8);
    out += static_cast<char>(value);
}

void appendText(std::string& out, std::string_view text)
{
    out += std::to_string(text.size());
    out += ':';
    out += text;
}

std::string metadataMessage(int msgType, int64_t piece)
{
    return "d8:msg_typei" + std::to_string(msgType) + "e5:piecei" + std::to_string(piece) + "ee";
}

}  // namespace

std::string BuildPeerHandshake(std::string_view infoHashRaw, std::string_view peerId)
{
    std::string out;
    out.reserve(PeerHandshakeBytes);
    out += static_cast<char>(PeerProtocolName.size());
    out += PeerProtocolName;
    char reserved[8] = {};
    reserved[5] = 0x10;  // BEP 10: the extension protocol
    out.append(reserved, sizeof reserved);
    out += infoHashRaw.substr(0, 20);
    out += peerId.substr(0, 20);
    out.resize(PeerHandshakeBytes, '\0');
    return out;
}

PeerHandshakeCheck CheckPeerHandshake(std::string_view handshake, std::string_view infoHashRaw)
{
    if (handshake.size() != PeerHandshakeBytes || static_cast<uint8_t>(handshake[0]) != PeerProtocolName.size() ||
        handshake.substr(1, PeerProtocolName.size()) != PeerProtocolName)
        return PeerHandshakeCheck::NotBitTorrent;
    if (handshake.substr(28, 20) != infoHashRaw) return PeerHandshakeCheck::OtherTorrent;
    if ((static_cast<uint8_t>(handshake[20 + 5]) & 0x10) == 0) return PeerHandshakeCheck::NoExtensions;
    return PeerHandshakeCheck::Ok;
}

std::string BuildPeerMessage(uint8_t id, std::string_view payload)
{
    std::string out;
    out.reserve(5 + payload.size());
    appendBigEndian32(out, static_cast<uint32_t>(payload.size() + 1));
    out += static_cast<char>(id);
    out += payload;
    return out;
}

std::string BuildExtendedMessage(uint8_t extendedId, std::string_view payload)
{
    std::string body;
    body.reserve(1 + payload.size());
    body += static_cast<char>(extendedId);
    body += payload;
    return BuildPeerMessage(PeerExtendedMessage, body);
}

std::string BuildExtensionHandshake(std::string_view client)
{
    std::string out = "d1:md11:ut_metadatai" + std::to_string(OurUtMetadataId) + "ee1:v";
    appendText(out, client);
    out += 'e';
    return out;
}

ExtensionHandshake ParseExtensionHandshake(std::string_view payload)
{
    ExtensionHandshake result;
    const TBencodeWalker walker(payload);
    const TValue top = walker.Read(0);
    if (!top.Present || top.Kind != TBencodeKind::Dictionary) return result;
    result.Valid = true;
    // A key given twice counts with its last value, as the decoder stores it.
    walker.ForEachEntry(top, 0, [&](std::string_view key, const TValue& value) {
        if (key == "metadata_size") {
            result.MetadataSize = value.Kind == TBencodeKind::Integer ? walker.Value(value) : -1;
        } else if (key == "m") {
            result.UtMetadataId = 0;
            if (value.Kind != TBencodeKind::Dictionary) return true;
            walker.ForEachEntry(value, 1, [&](std::string_view name, const TValue& id) {
                if (name != "ut_metadata") return true;
                const int64_t n = id.Kind == TBencodeKind::Integer ? walker.Value(id) : 0;
                // 0 withdraws the extension (BEP 10); ids are one byte on the wire.
                result.UtMetadataId = n >= 1 && n <= 255 ? static_cast<int>(n) : 0;
                return true;
            });
        }
        return true;
    });
    return result;
}

std::string BuildMetadataRequest(int64_t piece)
{
    return metadataMessage(0, piece);
}

std::string BuildMetadataReject(int64_t piece)
{
    return metadataMessage(2, piece);
}

MetadataMessage ParseMetadataMessage(std::string_view payload)
{
    MetadataMessage result;
    const TBencodeWalker walker(payload);
    const TValue top = walker.Read(0);
    if (!top.Present || top.Kind != TBencodeKind::Dictionary) return result;
    bool hasType = false, hasPiece = false;
    walker.ForEachEntry(top, 0, [&](std::string_view key, const TValue& value) {
        const bool integer = value.Kind == TBencodeKind::Integer;
        if (key == "msg_type") {
            hasType = integer;
            result.MsgType = integer ? walker.Value(value) : -1;
        } else if (key == "piece") {
            hasPiece = integer;
            result.Piece = integer ? walker.Value(value) : -1;
        } else if (key == "total_size") {
            result.TotalSize = integer ? walker.Value(value) : -1;
            result.HasTotalSize = integer;
        }
        return true;
    });
    if (!hasType || !hasPiece) return result;
    result.Valid = true;
    // BEP 9: the piece's bytes follow the dictionary in the same message.
    if (top.End <= payload.size()) result.Data = payload.substr(top.End);
    return result;
}

int64_t MetadataPieceCount(int64_t size)
{
    return (size + static_cast<int64_t>(MetadataPieceBytes) - 1) / static_cast<int64_t>(MetadataPieceBytes);
}

int64_t MetadataPieceLength(int64_t size, int64_t piece)
{
    const int64_t start = piece * static_cast<int64_t>(MetadataPieceBytes);
    const int64_t left = size - start;
    return left < static_cast<int64_t>(MetadataPieceBytes) ? left : static_cast<int64_t>(MetadataPieceBytes);
}

}  // namespace sorvena
