#pragma once
// Lenient bencode decoder.
//
// BencodeDecode never throws for malformed input: it returns null where no
// value can start, and otherwise decodes what it can and skips what it cannot
// (see BDecode.cpp for the exact rules). Every dictionary that holds the key
// "info" also gets "_info_start" and "_info_length": where the bytes of that
// value lie in the stream, so the info hash can be taken over exactly them.
//
// Limits against hostile input: a declared string length is never allocated
// before its bytes are there (a string longer than the rest of the input is
// cut short), and values nested deeper than BencodeMaxDepth levels decode as
// null, so a megabyte of "l" costs linear time and bounded stack.
//
// Three forms of the same decoding, which agree on every input:
// - TBencodeTokens: one array of 12-byte tokens over the caller's bytes, at
//   most one token per two input bytes (plus one per level still open at
//   the end of the input). The tokens of n bytes hold at most 6n + 4 KiB,
//   and the array, grown by doubling up to that bound, at most 12n + 8 KiB
//   while it grows. A shape leaves out the elements of containers a reader
//   does not need; the loader reads torrents through it.
// - TBencodeWalker: reads values in place and allocates nothing, for readers
//   that need a few values of a large input (tracker replies).
// - BencodeDecode: a tree of owned objects built from the tokens, some 30 to
//   90 bytes per value; for callers that want to hold or dump a whole tree.
// Positions are 32-bit: bytes past the first 4 GiB - 1 of an input are
// taken as its end.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "metainfo/Hashes.h"

namespace sorvena {

inline constexpr int BencodeMaxDepth = 256;

// A read-only stream over bytes that the caller keeps alive.
class TMemoryStream {
public:
    explicit TMemoryStream(std::string_view bytes) : m_data(bytes) {}

    // Reads one byte; false at the end of the input.
    bool ReadByte(unsigned char& b)
    {
        if (m_pos >= m_data.size()) return false;
        b = static_cast<unsigned char>(m_data[m_pos++]);
        return true;
    }
    // Reads up to count bytes; returns what was there.
    std::string_view Read(size_t count)
    {
        const size_t n = count < m_data.size() - m_pos ? count : m_data.size() - m_pos;
        std::string_view out = m_data.substr(m_pos, n);
        m_pos += n;
        return out;
    }
    void StepBack()
    {
        if (m_pos > 0) --m_pos;
    }
    size_t Position() const { return m_pos; }
    void Seek(size_t pos) { m_pos = pos < m_data.size() ? pos : m_data.size(); }
    size_t Size() const { return m_data.size(); }
    std::string_view Bytes() const { return m_data; }

private:
    std::string_view m_data;
    size_t m_pos = 0;
};

enum class TBencodeKind : uint8_t {
    String,
    Integer,
    List,
    Dictionary,
    // Not a value: where the value of a dictionary's key "info" lies (see TBencodeTokens).
    InfoPosition,
};

struct TBencodeToken {
    // String: the first byte of the text. Integer: the byte after "i".
    // List, Dictionary: the opening byte. InfoPosition: the first byte of the value.
    uint32_t Start;
    // String: bytes of text. Integer: the digits and "-" signs before the
    // byte that ended it. List, Dictionary: the tokens of the value,
    // itself included. InfoPosition: the bytes the value consumed.
    uint32_t Length;
    TBencodeKind Kind;
};

// Which containers a reader of tokens descends into. Every other list or
// dictionary is still decoded to find where it ends and whether it is none,
// but it stands as one token without elements ("collapsed"), so what a
// reader does not read costs no memory. Scalars are always tokens.
struct TBencodeShape {
    struct TKey {
        std::string_view Key;
        const TBencodeShape* Shape;  // null: the value is collapsed
    };
    const TKey* Keys = nullptr;  // a dictionary: the keys whose values have elements
    size_t KeyCount = 0;
    const TBencodeShape* Items = nullptr;  // a list: the shape of every element; null collapses them

    // The shape that collapses nothing: every value with all its elements.
    static const TBencodeShape* Whole() { return nullptr; }
};

// One decoded value as a flat array of tokens over the caller's bytes, which
// must outlive it. Token 0 is the value; a container is followed by the
// tokens of its elements, each element's tokens followed by the next. A
// dictionary's elements are its entries in the order they stand in the
// input, each a String key and its value, with these differences from the
// entries read one by one: an entry whose key is empty or whose value is
// none is left out, and an entry with the key "info" is followed by an
// InfoPosition token (alone when its value was none). A key that occurs
// again is not merged: the last entry with a key holds its value, as in the
// tree where the later value replaces the earlier one.
class TBencodeTokens {
public:
    // Decodes one value at the stream's position and leaves the stream after
    // the bytes it consumed, exactly as BencodeDecode does. With a shape,
    // the containers it does not name are collapsed: a collapsed container
    // is one token (Length 1) and shows no elements.
    explicit TBencodeTokens(TMemoryStream& stream, const TBencodeShape* shape = TBencodeShape::Whole());

    static constexpr uint32_t NoToken = UINT32_MAX;

    bool Empty() const { return m_tokens.empty(); }  // the value is none
    uint32_t Size() const { return static_cast<uint32_t>(m_tokens.size()); }
    TBencodeKind Kind(uint32_t token) const { return m_tokens[token].Kind; }
    const TBencodeToken& Token(uint32_t token) const { return m_tokens[token]; }
    // The token after the value that starts at token (and after all its elements).
    uint32_t Next(uint32_t token) const
    {
        const TBencodeToken& t = m_tokens[token];
        return token + (t.Kind == TBencodeKind::List || t.Kind == TBencodeKind::Dictionary ? t.Length : 1);
    }
    // A scalar read without looking at its kind: a String's bytes and 0, an
    // Integer's "" and its value.
    std::string_view Text(uint32_t token) const;
    int64_t Value(uint32_t token) const;

    // The value of the last entry with key in the dictionary at dict, or
    // NoToken. One pass finds several keys: values[i] is for keys[i].
    void Find(uint32_t dict, const std::string_view* keys, uint32_t* values, size_t count) const;
    uint32_t Find(uint32_t dict, std::string_view key) const;
    // The last InfoPosition of the dictionary at dict, or NoToken. Where the
    // tree has "_info_start" and "_info_length", this is what they hold.
    uint32_t InfoPosition(uint32_t dict) const;

private:
    std::string_view m_bytes;
    std::vector<TBencodeToken> m_tokens;
};

// Reads values in place without building anything; positions count from the
// start of bytes, which must outlive the walker. A walk costs time linear in
// the bytes it passes and no memory; reading the elements of a value reads
// it again, so a reader walks down only into what it needs.
class TBencodeWalker {
public:
    explicit TBencodeWalker(std::string_view bytes);

    struct TValue {
        bool Present = false;  // false: none, as BencodeDecode would return here
        TBencodeKind Kind = TBencodeKind::String;
        uint32_t Start = 0;  // as TBencodeToken: text or digits, or the opening byte
        uint32_t Length = 0;  // String: bytes of text; Integer: digits and signs; containers: 0
        uint32_t End = 0;     // the position after the bytes the value consumed
    };

    // The value at pos, decoded as at the given depth of nesting.
    TValue Read(uint32_t pos, int depth = 0) const;
    std::string_view Text(const TValue& v) const;
    int64_t Value(const TValue& v) const;

    // Calls f(key, value) for every entry of the present dictionary v
    // (decoded at depth) that the decoder would store, in input order; a key
    // that occurs again comes again. Stops when f returns false.
    template <class F>
    void ForEachEntry(const TValue& v, int depth, F&& f) const;
    // Calls f(item) for every element of the present list v that is not
    // none, in order. Stops when f returns false.
    template <class F>
    void ForEachItem(const TValue& v, int depth, F&& f) const;

private:
    // The key that starts at pos (a digit), and the position after it.
    std::string_view readKey(uint32_t pos, uint32_t& end) const;

    std::string_view m_bytes;
};

template <class F>
void TBencodeWalker::ForEachEntry(const TValue& v, int depth, F&& f) const
{
    uint32_t pos = v.Start + 1;
    while (pos < m_bytes.size() && m_bytes[pos] >= '0' && m_bytes[pos] <= '9') {
        uint32_t at = 0;
        const std::string_view key = readKey(pos, at);
        const TValue item = Read(at, depth + 1);
        if (item.Present && !key.empty() && !f(key, item)) return;
        pos = item.End;
    }
}

template <class F>
void TBencodeWalker::ForEachItem(const TValue& v, int depth, F&& f) const
{
    uint32_t pos = v.Start + 1;
    while (pos < m_bytes.size() && m_bytes[pos] != 'e') {
        const TValue item = Read(pos, depth + 1);
        if (item.Present && !f(item)) return;
        pos = item.End;
    }
}

// Reads one value at the stream's position and leaves the stream after the
// bytes it consumed. Returns null (none) where no value can be read.
TObjectPtr BencodeDecode(TMemoryStream& stream);

// The first min(bytes.size(), maxCount) bytes as lowercase hexadecimal.
std::string BytesToHex(std::string_view bytes, size_t maxCount);

}  // namespace sorvena
