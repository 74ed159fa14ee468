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

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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

// Reads one value at the stream's position and leaves the stream after the
// bytes it consumed. Returns null (none) where no value can be read.
TObjectPtr BencodeDecode(TMemoryStream& stream);

// The first min(bytes.size(), maxCount) bytes as lowercase hexadecimal.
std::string BytesToHex(std::string_view bytes, size_t maxCount);

}  // namespace sorvena
