#include "metainfo/BDecode.h"

#include "base/Hex.h"

namespace sorvena {

namespace {

bool isDigit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

class Decoder {
public:
    explicit Decoder(TMemoryStream& s) : m_s(s) {}

    TObjectPtr value(int depth)
    {
        unsigned char type;
        if (!m_s.ReadByte(type)) return nullptr;
        if (isDigit(type)) return std::make_unique<TIntString>(byteString(type));
        if (type == 'i') return integer();
        // Past the depth limit an opening byte starts no value: the caller goes
        // on with the next byte, so hostile nesting costs no stack.
        if (type == 'l') return depth < BencodeMaxDepth ? list(depth) : nullptr;
        if (type == 'd') return depth < BencodeMaxDepth ? dictionary(depth) : nullptr;
        return nullptr;
    }

private:
    // The length is accumulated in wrapping 32-bit arithmetic, as in the
    // format's original readers. The byte that ends the digits is consumed
    // whatever it is. A non-positive length gives the empty string, and a
    // length beyond the input takes only the bytes that are there.
    std::string byteString(unsigned char firstDigit)
    {
        uint32_t length = firstDigit - '0';
        unsigned char c;
        while (m_s.ReadByte(c) && isDigit(c))
            length = length * 10u + (c - '0');
        const auto declared = static_cast<int32_t>(length);
        if (declared <= 0) return {};
        return std::string(m_s.Read(static_cast<size_t>(declared)));
    }

    TObjectPtr integer()
    {
        uint64_t value = 0;
        bool negative = false;
        unsigned char c;
        while (m_s.ReadByte(c)) {
            if (isDigit(c))
                value = value * 10u + (c - '0');
            else if (c == '-')
                negative = true;
            else
                break;
        }
        if (negative) value = 0 - value;
        return std::make_unique<TIntString>(static_cast<int64_t>(value));
    }

    TObjectPtr list(int depth)
    {
        auto result = std::make_unique<TObjectList>();
        unsigned char c;
        while (m_s.ReadByte(c) && c != 'e') {
            m_s.StepBack();
            if (TObjectPtr item = value(depth + 1)) result->Items.push_back(std::move(item));
        }
        return result;
    }

    TObjectPtr dictionary(int depth)
    {
        auto result = std::make_unique<TObjectHash>();
        bool keyBegun = false;
        bool sawInfo = false;
        size_t infoStart = 0;
        size_t infoLength = 0;
        unsigned char c;
        bool more = m_s.ReadByte(c);
        while (more && isDigit(c)) {
            keyBegun = true;
            std::string key = byteString(c);
            const size_t start = m_s.Position();
            TObjectPtr item = value(depth + 1);
            if (item && !key.empty()) result->Put(key, std::move(item));
            if (key == "info") {
                sawInfo = true;
                infoStart = start;
                infoLength = m_s.Position() - start;
                putInfoPosition(*result, infoStart, infoLength);
            }
            more = m_s.ReadByte(c);
        }
        if (more && c != 'e') return nullptr;
        if (!more && !keyBegun) return nullptr;
        // A file may carry its own "_info_start" or "_info_length" after
        // "info"; the position we measured must win, or the info hash would
        // be taken over bytes the file chose.
        if (sawInfo) putInfoPosition(*result, infoStart, infoLength);
        return result;
    }

    static void putInfoPosition(TObjectHash& dict, size_t start, size_t length)
    {
        dict.Put("_info_start", std::make_unique<TIntString>(static_cast<int64_t>(static_cast<int32_t>(start))));
        dict.Put("_info_length", std::make_unique<TIntString>(static_cast<int64_t>(length)));
    }

    TMemoryStream& m_s;
};

}  // namespace

TObjectPtr BencodeDecode(TMemoryStream& stream)
{
    return Decoder(stream).value(0);
}

std::string BytesToHex(std::string_view bytes, size_t maxCount)
{
    return HexLower(bytes.substr(0, maxCount));
}

}  // namespace sorvena
