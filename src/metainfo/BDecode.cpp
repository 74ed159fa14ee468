#include "metainfo/BDecode.h"

#include <algorithm>

#include "base/Hex.h"

namespace sorvena {

namespace {

bool isDigit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

std::string_view limitTo32Bits(std::string_view bytes)
{
    return bytes.size() < UINT32_MAX ? bytes : bytes.substr(0, UINT32_MAX - 1);
}

// The one reading of the grammar behind every form of the decoder. With an
// output it appends tokens; without one it only finds where values end and
// whether they are none.
class Parser {
public:
    struct Result {
        bool present = false;
        TBencodeKind kind = TBencodeKind::String;
        uint32_t start = 0;
        uint32_t length = 0;
    };

    Parser(std::string_view bytes, uint32_t from, std::vector<TBencodeToken>* out)
        : m_bytes(bytes), m_size(static_cast<uint32_t>(bytes.size())), m_out(out), m_pos(from)
    {
        if (m_out) {
            // At most one token per two bytes consumed, and one per level
            // still open when the input ends (see BDecode.h). Growing by
            // doubling up to that bound keeps the array within twice what
            // it holds, and never beyond 12 bytes per input byte.
            const uint32_t rest = from < m_size ? m_size - from : 0;
            m_bound = size_t{rest} / 2 + BencodeMaxDepth + 8;
            m_out->reserve(std::min<size_t>(m_bound, 64));
        }
    }

    uint32_t position() const { return m_pos; }

    // shape: how to emit this value. Whole (null) emits everything; a
    // collapsed container is emitted as one token once it is known to be a value.
    Result value(int depth, const TBencodeShape* shape = TBencodeShape::Whole(), bool collapse = false)
    {
        if (collapse && m_out) {
            if (m_pos >= m_size) return {};
            const auto type = static_cast<unsigned char>(m_bytes[m_pos]);
            if (type == 'l' || type == 'd') {
                std::vector<TBencodeToken>* out = m_out;
                m_out = nullptr;
                const Result r = value(depth);
                m_out = out;
                if (r.present) emit({r.start, 1, r.kind});
                return r;
            }
        }
        if (m_pos >= m_size) return {};
        const auto type = static_cast<unsigned char>(m_bytes[m_pos++]);
        if (isDigit(type)) {
            Result r{true, TBencodeKind::String, 0, 0};
            byteString(type, r.start, r.length);
            emit({r.start, r.length, TBencodeKind::String});
            return r;
        }
        if (type == 'i') return integer();
        // Past the depth limit an opening byte starts no value: the caller goes
        // on with the next byte, so hostile nesting costs no stack.
        if (type == 'l') return depth < BencodeMaxDepth ? list(depth, shape) : Result{};
        if (type == 'd') return depth < BencodeMaxDepth ? dictionary(depth, shape) : Result{};
        return {};
    }

    // The length is accumulated in wrapping 32-bit arithmetic, as in the
    // format's original readers. The byte that ends the digits is consumed
    // whatever it is. A non-positive length gives the empty string, and a
    // length beyond the input takes only the bytes that are there.
    void byteString(unsigned char firstDigit, uint32_t& start, uint32_t& length)
    {
        uint32_t declared = firstDigit - '0';
        while (m_pos < m_size) {
            const auto c = static_cast<unsigned char>(m_bytes[m_pos++]);
            if (!isDigit(c)) break;
            declared = declared * 10u + (c - '0');
        }
        start = m_pos;
        length = 0;
        if (static_cast<int32_t>(declared) <= 0) return;
        length = std::min(declared, m_size - m_pos);
        m_pos += length;
    }

private:
    // Digits and "-" signs anywhere; any other byte ends the integer and is
    // consumed. The value is read from the bytes when asked for.
    Result integer()
    {
        Result r{true, TBencodeKind::Integer, m_pos, 0};
        while (m_pos < m_size) {
            const auto c = static_cast<unsigned char>(m_bytes[m_pos++]);
            if (!isDigit(c) && c != '-') break;
            ++r.length;
        }
        emit({r.start, r.length, TBencodeKind::Integer});
        return r;
    }

    Result list(int depth, const TBencodeShape* shape)
    {
        const Result r{true, TBencodeKind::List, m_pos - 1, 0};
        const size_t self = mark();
        emit({r.start, 0, TBencodeKind::List});
        const TBencodeShape* items = shape ? shape->Items : nullptr;
        const bool collapseItems = shape && !items;
        while (m_pos < m_size && m_bytes[m_pos] != 'e') value(depth + 1, items, collapseItems);
        if (m_pos < m_size) ++m_pos;
        close(self);
        return r;
    }

    Result dictionary(int depth, const TBencodeShape* shape)
    {
        const Result r{true, TBencodeKind::Dictionary, m_pos - 1, 0};
        const size_t self = mark();
        emit({r.start, 0, TBencodeKind::Dictionary});
        bool keyBegun = false;
        for (;;) {
            if (m_pos >= m_size) {
                // The end of the input after at least one key keeps what was decoded.
                if (keyBegun) break;
                rollback(self);
                return {};
            }
            const auto c = static_cast<unsigned char>(m_bytes[m_pos++]);
            if (c == 'e') break;
            if (!isDigit(c)) {
                // Where a key should begin stands something else: no value at all.
                rollback(self);
                return {};
            }
            keyBegun = true;
            const size_t keyMark = mark();
            uint32_t keyStart = 0;
            uint32_t keyLength = 0;
            byteString(c, keyStart, keyLength);
            emit({keyStart, keyLength, TBencodeKind::String});
            const uint32_t valueStart = m_pos;
            const TBencodeShape* itemShape = TBencodeShape::Whole();
            bool collapseItem = false;
            if (shape && m_out) {
                collapseItem = true;
                const std::string_view key = m_bytes.substr(keyStart, keyLength);
                for (size_t k = 0; k < shape->KeyCount; ++k) {
                    if (shape->Keys[k].Key != key) continue;
                    itemShape = shape->Keys[k].Shape;
                    collapseItem = !itemShape;
                    break;
                }
            }
            const Result item = value(depth + 1, itemShape, collapseItem);
            if (!item.present || keyLength == 0) rollback(keyMark);
            // The info hash is taken over exactly the bytes this value consumed.
            if (keyLength == 4 && m_bytes.compare(keyStart, 4, "info") == 0)
                emit({valueStart, m_pos - valueStart, TBencodeKind::InfoPosition});
        }
        close(self);
        return r;
    }

    void emit(TBencodeToken token)
    {
        if (!m_out) return;
        if (m_out->size() == m_out->capacity() && m_out->capacity() < m_bound)
            m_out->reserve(std::min(m_bound, 2 * m_out->capacity()));
        m_out->push_back(token);
    }
    size_t mark() const { return m_out ? m_out->size() : 0; }
    void rollback(size_t to)
    {
        if (m_out) m_out->resize(to);
    }
    void close(size_t self)
    {
        if (m_out) (*m_out)[self].Length = static_cast<uint32_t>(m_out->size() - self);
    }

    std::string_view m_bytes;
    uint32_t m_size;
    std::vector<TBencodeToken>* m_out;
    size_t m_bound = 0;
    uint32_t m_pos;
};

int64_t integerValue(std::string_view digits)
{
    uint64_t value = 0;
    bool negative = false;
    for (const char ch : digits) {
        if (ch == '-')
            negative = true;
        else
            value = value * 10u + static_cast<unsigned>(ch - '0');
    }
    if (negative) value = 0 - value;
    return static_cast<int64_t>(value);
}

void putInfoPosition(TObjectHash& dict, const TBencodeToken& position)
{
    dict.Put("_info_start", std::make_unique<TIntString>(static_cast<int64_t>(static_cast<int32_t>(position.Start))));
    dict.Put("_info_length", std::make_unique<TIntString>(static_cast<int64_t>(position.Length)));
}

TObjectPtr buildTree(const TBencodeTokens& tokens, uint32_t at)
{
    switch (tokens.Kind(at)) {
    case TBencodeKind::String:
        return std::make_unique<TIntString>(std::string(tokens.Text(at)));
    case TBencodeKind::Integer:
        return std::make_unique<TIntString>(tokens.Value(at));
    case TBencodeKind::List: {
        auto list = std::make_unique<TObjectList>();
        for (uint32_t item = at + 1; item < tokens.Next(at); item = tokens.Next(item))
            list->Items.push_back(buildTree(tokens, item));
        return list;
    }
    case TBencodeKind::Dictionary: {
        auto dict = std::make_unique<TObjectHash>();
        uint32_t lastInfo = TBencodeTokens::NoToken;
        for (uint32_t entry = at + 1; entry < tokens.Next(at);) {
            if (tokens.Kind(entry) == TBencodeKind::InfoPosition) {
                putInfoPosition(*dict, tokens.Token(entry));
                lastInfo = entry++;
                continue;
            }
            dict->Put(tokens.Text(entry), buildTree(tokens, entry + 1));
            entry = tokens.Next(entry + 1);
        }
        // A file may carry its own "_info_start" or "_info_length" after
        // "info"; the position we measured must win, or the info hash would
        // be taken over bytes the file chose.
        if (lastInfo != TBencodeTokens::NoToken) putInfoPosition(*dict, tokens.Token(lastInfo));
        return dict;
    }
    case TBencodeKind::InfoPosition:
        break;
    }
    return nullptr;
}

}  // namespace

TBencodeTokens::TBencodeTokens(TMemoryStream& stream, const TBencodeShape* shape)
    : m_bytes(limitTo32Bits(stream.Bytes()))
{
    const size_t from = stream.Position();
    if (from >= m_bytes.size()) return;
    Parser parser(m_bytes, static_cast<uint32_t>(from), &m_tokens);
    parser.value(0, shape);
    stream.Seek(parser.position());
}

std::string_view TBencodeTokens::Text(uint32_t token) const
{
    const TBencodeToken& t = m_tokens[token];
    return t.Kind == TBencodeKind::String ? m_bytes.substr(t.Start, t.Length) : std::string_view();
}

int64_t TBencodeTokens::Value(uint32_t token) const
{
    const TBencodeToken& t = m_tokens[token];
    return t.Kind == TBencodeKind::Integer ? integerValue(m_bytes.substr(t.Start, t.Length)) : 0;
}

void TBencodeTokens::Find(uint32_t dict, const std::string_view* keys, uint32_t* values, size_t count) const
{
    for (size_t k = 0; k < count; ++k) values[k] = NoToken;
    const uint32_t end = Next(dict);
    for (uint32_t entry = dict + 1; entry < end;) {
        if (m_tokens[entry].Kind == TBencodeKind::InfoPosition) {
            ++entry;
            continue;
        }
        const std::string_view key = Text(entry);
        for (size_t k = 0; k < count; ++k)
            if (key == keys[k]) values[k] = entry + 1;
        entry = Next(entry + 1);
    }
}

uint32_t TBencodeTokens::Find(uint32_t dict, std::string_view key) const
{
    uint32_t value = NoToken;
    Find(dict, &key, &value, 1);
    return value;
}

uint32_t TBencodeTokens::InfoPosition(uint32_t dict) const
{
    uint32_t last = NoToken;
    const uint32_t end = Next(dict);
    for (uint32_t entry = dict + 1; entry < end;) {
        if (m_tokens[entry].Kind == TBencodeKind::InfoPosition) {
            last = entry++;
            continue;
        }
        entry = Next(entry + 1);
    }
    return last;
}

TBencodeWalker::TBencodeWalker(std::string_view bytes) : m_bytes(limitTo32Bits(bytes)) {}

TBencodeWalker::TValue TBencodeWalker::Read(uint32_t pos, int depth) const
{
    Parser parser(m_bytes, pos, nullptr);
    const Parser::Result r = parser.value(depth);
    TValue v;
    v.Present = r.present;
    v.Kind = r.kind;
    v.Start = r.start;
    v.Length = r.length;
    v.End = std::max(parser.position(), pos);
    return v;
}

std::string_view TBencodeWalker::Text(const TValue& v) const
{
    return v.Present && v.Kind == TBencodeKind::String ? m_bytes.substr(v.Start, v.Length) : std::string_view();
}

int64_t TBencodeWalker::Value(const TValue& v) const
{
    return v.Present && v.Kind == TBencodeKind::Integer ? integerValue(m_bytes.substr(v.Start, v.Length)) : 0;
}

std::string_view TBencodeWalker::readKey(uint32_t pos, uint32_t& end) const
{
    Parser parser(m_bytes, pos + 1, nullptr);
    uint32_t start = 0;
    uint32_t length = 0;
    parser.byteString(static_cast<unsigned char>(m_bytes[pos]), start, length);
    end = parser.position();
    return m_bytes.substr(start, length);
}

TObjectPtr BencodeDecode(TMemoryStream& stream)
{
    const TBencodeTokens tokens(stream);
    return tokens.Empty() ? nullptr : buildTree(tokens, 0);
}

std::string BytesToHex(std::string_view bytes, size_t maxCount)
{
    return HexLower(bytes.substr(0, maxCount));
}

}  // namespace sorvena
