// What decoding and loading hostile input may allocate, counted through the
// replaced operator new of this binary.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "metainfo/BDecode.h"
#include "metainfo/TorrentFile.h"
#include "support/CountingAllocator.h"

using namespace sorvena;
using sorvena::test::AllocatedBytes;
using sorvena::test::AllocationPeak;

namespace {

// What decoding n bytes may take at its peak, and what its tokens may hold
// (see BDecode.h): 12-byte tokens, at most one per two bytes plus one per
// level still open at the end, in an array at most twice what it holds.
constexpr size_t PeakBytesPerInputByte = 12;
constexpr size_t SlackBytes = 16 * 1024;

std::string repeated(const std::string& unit, size_t bytes)
{
    std::string out;
    out.reserve(bytes + unit.size());
    while (out.size() < bytes) out += unit;
    return out;
}

struct HostileCase {
    const char* what;
    std::string input;
};

std::vector<HostileCase> hostileInputs(size_t bytes)
{
    return {
        {"a list of empty dictionaries", "l" + repeated("de", bytes) + "e"},
        {"a list of empty lists", "l" + repeated("le", bytes) + "e"},
        {"a list of empty strings", "l" + repeated("0:", bytes) + "e"},
        {"a list of lenient integers", "l" + repeated("ie", bytes) + "e"},
        {"a dictionary of one-byte keys", "d" + repeated("1:a0:", bytes) + "e"},
        {"a dictionary of info keys with no values", "d" + repeated("4:info?", bytes)},
        {"a dictionary of dropped entries", "d" + repeated("0:de", bytes) + "e"},
        {"nesting to the limit, again and again", repeated(std::string(300, 'l') + std::string(300, 'e'), bytes)},
        {"unclosed nesting", repeated("d1:a", bytes)},
    };
}

TEST(DecodeMemory, TokensStayWithinTheirBoundOnHostileInput)
{
    for (const HostileCase& c : hostileInputs(1 << 20)) {
        SCOPED_TRACE(c.what);
        TMemoryStream stream(c.input);
        const AllocationPeak peak;
        const TBencodeTokens tokens(stream);
        EXPECT_FALSE(tokens.Empty());
        EXPECT_LE(tokens.Size(), c.input.size() / 2 + BencodeMaxDepth + 8);
        EXPECT_LE(peak.Bytes(), PeakBytesPerInputByte * c.input.size() + SlackBytes);
    }
}

TEST(DecodeMemory, LoadingKeepsOnlyTheFields)
{
    // 8 MiB of empty dictionaries under a key the loader does not read: a
    // tree of them took some 44 bytes per input byte while the torrent lived.
    const std::string info = "d6:lengthi5e4:name1:n12:piece lengthi16384e6:pieces0:e";
    const std::string input =
        "d8:announce1:u5:extral" + repeated("de", 8 << 20) + "e4:info" + info + "e";
    const size_t before = AllocatedBytes();
    const AllocationPeak peak;
    auto torrent = std::make_unique<TTorrentFile>();
    ASSERT_TRUE(torrent->LoadMetainfo(input));
    EXPECT_EQ(torrent->TorrentName, "n");
    EXPECT_EQ(torrent->InfoHashHex.size(), 40u);
    // What the loader does not read is decoded only to find its end.
    EXPECT_LE(peak.Bytes(), SlackBytes);
    EXPECT_LE(AllocatedBytes() - before, 4096u);  // the torrent and its few fields
}

TEST(DecodeMemory, AShapeCollapsesWhatItDoesNotName)
{
    const TBencodeShape items{};
    const TBencodeShape::TKey keys[] = {{"b", &items}};
    const TBencodeShape shape{keys, 1, nullptr};
    const std::string input = "d1:ald1:bi1eee1:bli2eldeee1:ci3ee";
    TMemoryStream stream(input);
    const TBencodeTokens tokens(stream, &shape);
    ASSERT_FALSE(tokens.Empty());
    EXPECT_EQ(stream.Position(), input.size());
    std::string seen;
    for (uint32_t i = 0; i < tokens.Size(); ++i) {
        const TBencodeToken& t = tokens.Token(i);
        seen += "sildp"[static_cast<int>(t.Kind)];
        if (t.Kind == TBencodeKind::List || t.Kind == TBencodeKind::Dictionary) seen += std::to_string(t.Length);
        seen += ' ';
    }
    // "a" holds a collapsed list; "b" a list whose scalar stays and whose
    // containers are collapsed; "c" a scalar.
    EXPECT_EQ(seen, "d9 s l1 s l3 i l1 s i ");
    EXPECT_EQ(tokens.Value(tokens.Find(0, "c")), 3);
    EXPECT_EQ(tokens.Find(0, "missing"), TBencodeTokens::NoToken);
}

}  // namespace
