// Decodes arbitrary bytes and checks what the decoder promises: the tree,
// the tokens and the walker read exactly what the byte-by-byte reading does,
// the tokens stay within their memory bound, a decoded "info" position lies
// inside the input, dictionaries do constant work per key, and a tracker
// reply counts as its tree would.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "LargeInputMutator.h"
#include "Reference.h"
#include "metainfo/BDecode.h"
#include "support/CountingAllocator.h"
#include "tracker/CheckPingThread.h"

using namespace sorvena;

namespace {

// Two trees of a few megabytes take seconds under the sanitizers: larger
// inputs are there to find time and memory that grow too fast, and are held
// to the bounds only.
constexpr size_t ReferenceMaxBytes = 1 << 20;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_bdecode: %s\n", what);
    std::abort();
}

// Equal trees, and the key comparisons their dictionaries made.
bool sameTree(const TObject* a, const TObject* b, uint64_t& comparisons)
{
    if (!a || !b) return a == b;
    if (auto* s = dynamic_cast<const TIntString*>(a)) {
        auto* t = dynamic_cast<const TIntString*>(b);
        return t && s->Text == t->Text && s->Value == t->Value && s->IsInteger == t->IsInteger;
    }
    if (auto* list = dynamic_cast<const TObjectList*>(a)) {
        auto* other = dynamic_cast<const TObjectList*>(b);
        if (!other || other->Items.size() != list->Items.size()) return false;
        for (size_t i = 0; i < list->Items.size(); ++i)
            if (!sameTree(list->Items[i].get(), other->Items[i].get(), comparisons)) return false;
        return true;
    }
    auto* dict = dynamic_cast<const TObjectHash*>(a);
    auto* other = dynamic_cast<const TObjectHash*>(b);
    if (!dict || !other || dict->Count() != other->Count()) return false;
    comparisons += other->KeyComparisons();
    for (size_t i = 0; i < dict->Count(); ++i) {
        const auto& r = dict->Records()[i];
        const auto& q = other->Records()[i];
        if (r.Key != q.Key || r.Hash != q.Hash) return false;
        if (!sameTree(dict->ValueAt(r.ItemIndex), other->ValueAt(q.ItemIndex), comparisons)) return false;
    }
    return true;
}

void checkInfoPositions(const TObject* value, size_t inputSize)
{
    if (auto* dict = dynamic_cast<const TObjectHash*>(value)) {
        // Only a dictionary with "info" has positions we measured; elsewhere
        // these keys are the file's own.
        const bool hasInfo = dict->Contains("info");
        for (const auto& record : dict->Records()) {
            const TObject* item = dict->ValueAt(record.ItemIndex);
            if (hasInfo && (record.Key == "_info_start" || record.Key == "_info_length")) {
                auto* s = dynamic_cast<const TIntString*>(item);
                if (!s || s->Value < 0 || static_cast<uint64_t>(s->Value) > inputSize) fail("info position");
            }
            checkInfoPositions(item, inputSize);
        }
    } else if (auto* list = dynamic_cast<const TObjectList*>(value)) {
        for (const auto& item : list->Items) checkInfoPositions(item.get(), inputSize);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    TMemoryStream tokenStream(input);
    size_t tokenCount = 0;
    {
        const test::AllocationPeak peak;
        const TBencodeTokens tokens(tokenStream);
        tokenCount = tokens.Size();
        if (tokenCount > size / 2 + BencodeMaxDepth + 8) fail("more tokens than the bound");
        if (peak.Bytes() > 12 * size + 16384) fail("tokens beyond their memory bound");
    }

    TMemoryStream stream(input);
    const TObjectPtr value = BencodeDecode(stream);
    if (tokenStream.Position() != stream.Position()) fail("the tokens consumed other bytes than the tree");
    uint64_t comparisons = 0;
    if (size <= ReferenceMaxBytes) {
        TMemoryStream referenceStream(input);
        const TObjectPtr expected = reference::Decode(referenceStream);
        if (stream.Position() != referenceStream.Position()) fail("consumed other bytes than the reference");
        if (!sameTree(expected.get(), value.get(), comparisons)) fail("a tree other than the reference");
    } else {
        sameTree(value.get(), value.get(), comparisons);
    }
    // Every Put compares at most the few keys of a small dictionary that
    // share its documented hash, or about one key through the seeded table.
    if (comparisons > 8 * tokenCount + 64) fail("dictionaries compared too many keys");
    checkInfoPositions(value.get(), size);

    const TBencodeWalker walker(input);
    const TBencodeWalker::TValue walked = walker.Read(0);
    if (walked.Present != (value != nullptr) || walked.End != stream.Position()) fail("the walker read otherwise");

    int64_t count = 0;
    size_t walkPeak = 0;
    {
        const test::AllocationPeak peak;
        count = CountReplyPeers(input, SIZE_MAX);
        walkPeak = peak.Bytes();
    }
    if (size <= ReferenceMaxBytes && count != reference::CountReplyPeers(input))
        fail("a reply count other than the reference");
    // Nothing of the reply is built: only the addresses it brings.
    if (walkPeak > 65536 + 2 * size + 256 * static_cast<size_t>(count < 0 ? 0 : count))
        fail("the reply walk beyond its memory bound");
    return 0;
}
