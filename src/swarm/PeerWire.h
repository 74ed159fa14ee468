#pragma once
// The parts of the peer wire protocol (BEP 3) that fetching a torrent's
// info dictionary needs: the handshake with the extension protocol bit
// (BEP 10), message framing, the extension handshake, and the metadata
// messages of BEP 9. Pure functions and one reader class; no sockets.
//
// Everything here reads bytes from peers nobody vouches for: lengths are
// checked before anything is kept, and nothing is allocated for what a peer
// only declares.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sorvena {

inline constexpr std::string_view PeerProtocolName = "BitTorrent protocol";
inline constexpr size_t PeerHandshakeBytes = 68;  // 1 + 19 + 8 reserved + 20 info hash + 20 peer id
inline constexpr uint8_t PeerExtendedMessage = 20;  // BEP 10: every extension message has this id
inline constexpr uint8_t ExtensionHandshakeId = 0;  // the extended id of the extension handshake
// The extended id under which we ask peers to send us ut_metadata messages.
inline constexpr uint8_t OurUtMetadataId = 1;
inline constexpr size_t MetadataPieceBytes = 16 * 1024;  // BEP 9: every piece but the last

// An extended message is kept whole until it is read; a longer one ends the
// connection. A metadata piece (16 KiB and its small dictionary) fits, and so
// does any extension handshake seen in the wild (a few hundred bytes).
inline constexpr size_t PeerMaxKeptMessageBytes = 64 * 1024;
// Any other message is skipped unread, but one declaring more than this ends
// the connection: the longest real one, a bitfield, is a bit per piece, and
// a torrent of 8 million pieces is far past any real one. A piece message
// (never asked for here) of the usual 16 KiB block fits too.
inline constexpr size_t PeerMaxMessageBytes = 1024 * 1024;

// Our handshake: the protocol name, reserved bytes with the extension
// protocol bit (byte 5, 0x10), the info hash and the peer id (20 bytes each).
std::string BuildPeerHandshake(std::string_view infoHashRaw, std::string_view peerId);

enum class PeerHandshakeCheck {
    Ok,
    NotBitTorrent,  // another protocol name or length
    OtherTorrent,   // the info hash differs
    NoExtensions,   // the peer does not speak the extension protocol
};

// Checks the PeerHandshakeBytes bytes a peer sent first.
PeerHandshakeCheck CheckPeerHandshake(std::string_view handshake, std::string_view infoHashRaw);

// One length-prefixed message: 4 bytes of length (big-endian), the id, payload.
std::string BuildPeerMessage(uint8_t id, std::string_view payload);
// An extension message: BuildPeerMessage(20, extendedId + payload).
std::string BuildExtendedMessage(uint8_t extendedId, std::string_view payload);

// Our extension handshake: {"m": {"ut_metadata": OurUtMetadataId}, "v": client}.
std::string BuildExtensionHandshake(std::string_view client);

struct ExtensionHandshake {
    bool Valid = false;        // a bencoded dictionary
    int UtMetadataId = 0;      // the peer's id for ut_metadata; 0 when it does not offer it (or 1..255 not given)
    int64_t MetadataSize = -1; // "metadata_size"; -1 when not given or not an integer
};

// Reads the payload of an extension handshake (after the extended id byte).
ExtensionHandshake ParseExtensionHandshake(std::string_view payload);

// A ut_metadata request for one piece: {"msg_type": 0, "piece": piece}.
std::string BuildMetadataRequest(int64_t piece);
// The answer to a request we will not serve: {"msg_type": 2, "piece": piece}.
std::string BuildMetadataReject(int64_t piece);

struct MetadataMessage {
    bool Valid = false;       // a bencoded dictionary with an integer msg_type and piece
    int64_t MsgType = -1;     // 0 request, 1 data, 2 reject
    int64_t Piece = -1;
    int64_t TotalSize = -1;   // data messages: "total_size"; -1 when not given
    bool HasTotalSize = false;  // an integer "total_size" was given (it may be negative)
    std::string_view Data;    // data messages: the bytes after the dictionary (a view into payload)
};

// Reads the payload of a ut_metadata message (after the extended id byte).
MetadataMessage ParseMetadataMessage(std::string_view payload);

// The number of pieces of an info dictionary of size bytes (size >= 1).
int64_t MetadataPieceCount(int64_t size);
// The length of piece index of such a dictionary.
int64_t MetadataPieceLength(int64_t size, int64_t piece);

// Splits the bytes of one connection into the handshake and messages, as
// they arrive in any pieces. The handshake and extension messages are handed
// out whole; every other message (and a keep-alive) is skipped as it
// streams by, and only its length is counted. Memory: at most
// max(PeerHandshakeBytes, maxKeptBytes) + 4 bytes, whatever the peer sends.
// Used by one thread.
class TPeerMessageReader {
public:
    // The message id of the handshake in a callback.
    static constexpr int Handshake = -1;

    explicit TPeerMessageReader(size_t maxKeptBytes = PeerMaxKeptMessageBytes,
                                size_t maxMessageBytes = PeerMaxMessageBytes)
        : m_maxKept(maxKeptBytes), m_maxMessage(maxMessageBytes)
    {}

    enum class Status { Ok, TooLong, Stopped };

    // Feeds bytes; calls onMessage(int id, std::string_view payload) for the
    // handshake (id Handshake, its 68 bytes) and for each extension message
    // (id 20, the payload from the extended id on). The view is valid during
    // the call. onMessage returns false to stop reading (Stopped; the rest of
    // the bytes is not read). TooLong: a message longer than its limit came
    // and the reader is spent.
    template <class F>
    Status Feed(std::string_view bytes, F&& onMessage);

    // Bytes of skipped messages (and keep-alives) so far, length prefixes included.
    uint64_t SkippedBytes() const { return m_skipped; }

private:
    enum class Stage { Handshake, Length, Id, Kept, Skipping, Spent };

    size_t m_maxKept;
    size_t m_maxMessage;
    Stage m_stage = Stage::Handshake;
    std::string m_buffer;  // the handshake, a length prefix, an id or a kept message, as it gathers
    size_t m_want = PeerHandshakeBytes;  // bytes still needed to complete the current stage
    uint64_t m_length = 0;  // of the current message, its id included
    uint64_t m_skipped = 0;
};

template <class F>
TPeerMessageReader::Status TPeerMessageReader::Feed(std::string_view bytes, F&& onMessage)
{
    for (;;) {
        if (m_stage == Stage::Spent) return Status::TooLong;
        if (m_want > 0) {
            if (bytes.empty()) return Status::Ok;
            const size_t take = bytes.size() < m_want ? bytes.size() : m_want;
            if (m_stage == Stage::Skipping) m_skipped += take;
            else m_buffer.append(bytes.data(), take);
            bytes.remove_prefix(take);
            m_want -= take;
            continue;
        }
        // The current stage is complete.
        switch (m_stage) {
        case Stage::Handshake:
        case Stage::Kept: {
            const int id = m_stage == Stage::Handshake ? Handshake : PeerExtendedMessage;
            m_stage = Stage::Length;
            m_want = 4;
            const bool more = onMessage(id, std::string_view(m_buffer));
            m_buffer.clear();
            if (!more) return Status::Stopped;
            break;
        }
        case Stage::Length: {
            const auto* p = reinterpret_cast<const unsigned char*>(m_buffer.data());
            m_length = (uint64_t{p[0]} << 24) | (uint64_t{p[1]} << 16) | (uint64_t{p[2]} << 8) | p[3];
            m_buffer.clear();
            if (m_length == 0) {  // a keep-alive
                m_skipped += 4;
                m_want = 4;
            } else if (m_length > m_maxMessage) {
                m_stage = Stage::Spent;
            } else {
                m_stage = Stage::Id;
                m_want = 1;
            }
            break;
        }
        case Stage::Id: {
            // The id decides whether the message is kept.
            const bool extended = static_cast<uint8_t>(m_buffer.front()) == PeerExtendedMessage;
            m_buffer.clear();
            m_want = static_cast<size_t>(m_length - 1);
            if (!extended) {
                m_stage = Stage::Skipping;
                m_skipped += 5;
            } else if (m_length - 1 > m_maxKept) {
                m_stage = Stage::Spent;
            } else {
                m_stage = Stage::Kept;
            }
            break;
        }
        case Stage::Skipping:
            m_stage = Stage::Length;
            m_want = 4;
            break;
        case Stage::Spent:
            return Status::TooLong;
        }
    }
}

}  // namespace sorvena
