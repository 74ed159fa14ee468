// The peer wire pieces of the metadata fetch: framing split at every
// position, the limits of the reader, and the extension messages.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "metainfo/MessageDigests.h"
#include "support/CountingAllocator.h"
#include "swarm/PeerWire.h"

namespace sorvena::test {
namespace {

using Messages = std::vector<std::pair<int, std::string>>;

std::string hashOf(char c)
{
    return std::string(20, c);
}

std::string haveMessage(uint32_t piece)
{
    std::string payload;
    for (int shift = 24; shift >= 0; shift -= 8) payload += static_cast<char>(piece >> shift);
    return BuildPeerMessage(4, payload);
}

// Feeds the parts in turn; the messages handed out, and the status of the last feed.
TPeerMessageReader::Status feed(TPeerMessageReader& reader, const std::vector<std::string_view>& parts, Messages& out)
{
    TPeerMessageReader::Status status = TPeerMessageReader::Status::Ok;
    for (const std::string_view part : parts) {
        status = reader.Feed(part, [&](int id, std::string_view payload) {
            out.emplace_back(id, std::string(payload));
            return true;
        });
        if (status != TPeerMessageReader::Status::Ok) break;
    }
    return status;
}

TEST(PeerWire, ReaderGivesTheSameMessagesHoweverTheBytesAreSplit)
{
    const std::string handshake = BuildPeerHandshake(hashOf('h'), "-XX0000-012345678901");
    const std::string extension = BuildExtendedMessage(0, "d1:md11:ut_metadatai3ee13:metadata_sizei300ee");
    const std::string data = BuildExtendedMessage(1, "d8:msg_typei1e5:piecei0ee" + std::string(300, 'x'));
    const std::string stream = handshake + std::string(4, '\0') /* keep-alive */ +
                               BuildPeerMessage(5, std::string(10, '\xff')) /* bitfield */ + extension +
                               haveMessage(7) + data + BuildPeerMessage(PeerExtendedMessage, "") + BuildPeerMessage(1, "");
    const Messages expected = {{TPeerMessageReader::Handshake, handshake},
                               {PeerExtendedMessage, extension.substr(5)},
                               {PeerExtendedMessage, data.substr(5)},
                               {PeerExtendedMessage, ""}};
    const uint64_t skipped = 4 + 15 + 9 + 5;
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        SCOPED_TRACE(cut);
        TPeerMessageReader reader;
        Messages got;
        const std::string_view all(stream);
        ASSERT_EQ(feed(reader, {all.substr(0, cut), all.substr(cut)}, got), TPeerMessageReader::Status::Ok);
        ASSERT_EQ(got, expected);
        ASSERT_EQ(reader.SkippedBytes(), skipped);
    }
    TPeerMessageReader reader;
    Messages got;
    std::vector<std::string_view> bytes;
    for (size_t i = 0; i < stream.size(); ++i) bytes.push_back(std::string_view(stream).substr(i, 1));
    EXPECT_EQ(feed(reader, bytes, got), TPeerMessageReader::Status::Ok);
    EXPECT_EQ(got, expected);
}

TEST(PeerWire, ReaderLimits)
{
    constexpr size_t MaxKept = 100;
    constexpr size_t MaxMessage = 1000;
    const std::string handshake(PeerHandshakeBytes, 'h');
    struct Case {
        const char* what;
        std::string message;
        TPeerMessageReader::Status status;
        size_t messages;  // handed out, the handshake included
    };
    const Case cases[] = {
        {"an extension message of the kept limit", BuildExtendedMessage(0, std::string(MaxKept - 1, 'x')),
         TPeerMessageReader::Status::Ok, 2},
        {"one byte more", BuildExtendedMessage(0, std::string(MaxKept, 'x')), TPeerMessageReader::Status::TooLong, 1},
        {"another message of the message limit", BuildPeerMessage(5, std::string(MaxMessage - 1, 'x')),
         TPeerMessageReader::Status::Ok, 1},
        {"one byte more", BuildPeerMessage(5, std::string(MaxMessage, 'x')), TPeerMessageReader::Status::TooLong, 1},
        {"a declared length of 4 GiB - 1 with no bytes behind it", std::string("\xff\xff\xff\xff", 4),
         TPeerMessageReader::Status::TooLong, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TPeerMessageReader reader(MaxKept, MaxMessage);
        Messages got;
        EXPECT_EQ(feed(reader, {handshake + c.message}, got), c.status);
        EXPECT_EQ(got.size(), c.messages);
        if (c.status == TPeerMessageReader::Status::TooLong) {
            // A spent reader stays spent: nothing more is read.
            EXPECT_EQ(feed(reader, {BuildExtendedMessage(0, "de")}, got), TPeerMessageReader::Status::TooLong);
            EXPECT_EQ(got.size(), c.messages);
        }
    }
}

TEST(PeerWire, ReaderStopsWhereTheCallerSays)
{
    const std::string stream = std::string(PeerHandshakeBytes, 'h') + BuildExtendedMessage(0, "a") +
                               BuildExtendedMessage(0, "b");
    TPeerMessageReader reader;
    int calls = 0;
    const auto status = reader.Feed(stream, [&](int id, std::string_view) {
        ++calls;
        return id == TPeerMessageReader::Handshake;
    });
    EXPECT_EQ(status, TPeerMessageReader::Status::Stopped);
    EXPECT_EQ(calls, 2);
}

TEST(PeerWire, ReaderMemoryDoesNotGrowWithWhatAPeerSends)
{
    // 64 MiB of "have" messages and 16 MiB of extension messages, in
    // chunks as reads deliver them.
    std::string haves;
    for (uint32_t i = 0; haves.size() < 64 * 1024; ++i) haves += haveMessage(i);
    const std::string pieces = BuildExtendedMessage(1, std::string(16 * 1024, 'p'));
    TPeerMessageReader reader;
    Messages none;
    ASSERT_EQ(feed(reader, {std::string(PeerHandshakeBytes, 'h')}, none), TPeerMessageReader::Status::Ok);
    const AllocationPeak peak;
    size_t kept = 0;
    auto count = [&](int, std::string_view) {
        ++kept;
        return true;
    };
    for (int i = 0; i < 1024; ++i) ASSERT_EQ(reader.Feed(haves, count), TPeerMessageReader::Status::Ok);
    for (int i = 0; i < 1024; ++i) ASSERT_EQ(reader.Feed(pieces, count), TPeerMessageReader::Status::Ok);
    EXPECT_EQ(kept, 1024u);
    EXPECT_GE(reader.SkippedBytes(), 64u * 1024 * 1024);
    EXPECT_LT(peak.Bytes(), 2 * PeerMaxKeptMessageBytes);
}

TEST(PeerWire, HandshakeChecks)
{
    const std::string hash = hashOf('a');
    const std::string ours = BuildPeerHandshake(hash, "-SV1000-abcdefghijkl");
    ASSERT_EQ(ours.size(), PeerHandshakeBytes);
    EXPECT_EQ(static_cast<uint8_t>(ours[25]) & 0x10, 0x10);
    auto changed = [&](size_t at, char value) {
        std::string h = ours;
        h[at] = value;
        return h;
    };
    struct Case {
        const char* what;
        std::string handshake;
        PeerHandshakeCheck check;
    };
    const Case cases[] = {
        {"ours", ours, PeerHandshakeCheck::Ok},
        {"other name length", changed(0, 18), PeerHandshakeCheck::NotBitTorrent},
        {"other name", changed(5, 'X'), PeerHandshakeCheck::NotBitTorrent},
        {"other info hash", changed(30, 'b'), PeerHandshakeCheck::OtherTorrent},
        {"no extension bit", changed(25, 0), PeerHandshakeCheck::NoExtensions},
        {"other reserved bits only", changed(25, static_cast<char>(0xEF)), PeerHandshakeCheck::NoExtensions},
        {"short", ours.substr(0, 67), PeerHandshakeCheck::NotBitTorrent},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(CheckPeerHandshake(c.handshake, hash), c.check);
    }
}

TEST(PeerWire, ExtensionHandshakes)
{
    struct Case {
        const char* what;
        std::string payload;
        bool valid;
        int id;
        int64_t size;
    };
    const Case cases[] = {
        {"libtorrent's kind", "d1:md11:lt_donthavei7e11:ut_metadatai2e6:ut_pexi1ee13:metadata_sizei31235e4:reqqi500e1:v16:libtorrent 2.0.8e",
         true, 2, 31235},
        {"ours", BuildExtensionHandshake("Sorvena"), true, OurUtMetadataId, -1},
        {"no ut_metadata", "d1:md6:ut_pexi1ee13:metadata_sizei5ee", true, 0, 5},
        {"ut_metadata withdrawn", "d1:md11:ut_metadatai0eee", true, 0, -1},
        {"an id beyond a byte", "d1:md11:ut_metadatai256eee", true, 0, -1},
        {"a negative id", "d1:md11:ut_metadatai-1eee", true, 0, -1},
        {"m not a dictionary", "d1:ml11:ut_metadatae13:metadata_sizei5ee", true, 0, 5},
        {"metadata_size as text", "d1:md11:ut_metadatai1ee13:metadata_size2:12e", true, 1, -1},
        {"a negative metadata_size", "d1:md11:ut_metadatai1ee13:metadata_sizei-5ee", true, 1, -5},
        {"the last of a repeated key", "d13:metadata_sizei1e13:metadata_sizei2ee", true, 0, 2},
        {"not a dictionary", "li1ee", false, 0, -1},
        {"nothing", "", false, 0, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ExtensionHandshake h = ParseExtensionHandshake(c.payload);
        EXPECT_EQ(h.Valid, c.valid);
        EXPECT_EQ(h.UtMetadataId, c.id);
        EXPECT_EQ(h.MetadataSize, c.size);
    }
}

TEST(PeerWire, MetadataMessages)
{
    struct Case {
        const char* what;
        std::string payload;
        bool valid;
        int64_t type, piece, total;
        std::string data;
    };
    const Case cases[] = {
        {"data with its bytes", "d8:msg_typei1e5:piecei2e10:total_sizei40000ee" + std::string("ab\0e", 4), true, 1, 2,
         40000, std::string("ab\0e", 4)},
        {"data without total_size", "d8:msg_typei1e5:piecei0eeXY", true, 1, 0, -1, "XY"},
        // Given, though negative: it must still be compared with the size announced.
        {"data with a negative total_size", "d8:msg_typei1e5:piecei0e10:total_sizei-5eeXY", true, 1, 0, -5, "XY"},
        {"our request", BuildMetadataRequest(3), true, 0, 3, -1, ""},
        {"our reject", BuildMetadataReject(4), true, 2, 4, -1, ""},
        {"no piece", "d8:msg_typei1ee", false, 1, -1, -1, ""},
        {"piece as text", "d8:msg_typei1e5:piece1:0e", false, 1, -1, -1, ""},
        {"not a dictionary", "i1e", false, -1, -1, -1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const MetadataMessage m = ParseMetadataMessage(c.payload);
        EXPECT_EQ(m.Valid, c.valid);
        EXPECT_EQ(m.MsgType, c.type);
        EXPECT_EQ(m.Piece, c.piece);
        if (c.valid) {
            EXPECT_EQ(m.TotalSize, c.total);
            EXPECT_EQ(m.HasTotalSize, c.payload.find("total_size") != std::string::npos);
            EXPECT_EQ(m.Data, c.data);
        }
    }
}

TEST(PeerWire, MetadataPieces)
{
    struct Case {
        int64_t size, count, lastLength;
    };
    const Case cases[] = {{1, 1, 1}, {16384, 1, 16384}, {16385, 2, 1}, {32768, 2, 16384}, {16 << 20, 1024, 16384}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        EXPECT_EQ(MetadataPieceCount(c.size), c.count);
        EXPECT_EQ(MetadataPieceLength(c.size, c.count - 1), c.lastLength);
        if (c.count > 1) {
            EXPECT_EQ(MetadataPieceLength(c.size, 0), 16384);
        }
    }
}

}  // namespace
}  // namespace sorvena::test
