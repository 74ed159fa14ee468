#pragma once
// Hexadecimal text of bytes. Pure functions; any thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sorvena {

inline constexpr char LowerHexDigits[] = "0123456789abcdef";
inline constexpr char UpperHexDigits[] = "0123456789ABCDEF";

// Writes 2 * count lowercase hexadecimal characters of bytes to out.
inline void WriteHex(const unsigned char* bytes, size_t count, char* out)
{
    for (size_t i = 0; i < count; ++i) {
        out[2 * i] = LowerHexDigits[bytes[i] >> 4];
        out[2 * i + 1] = LowerHexDigits[bytes[i] & 15];
    }
}

// The bytes as lowercase hexadecimal text, two characters per byte.
inline std::string HexLower(std::string_view bytes)
{
    std::string out(bytes.size() * 2, '\0');
    WriteHex(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), out.data());
    return out;
}

// Appends "%" and the byte's two upper-case hexadecimal digits, as URL
// percent-encoding writes it.
inline void AppendPercentEscape(std::string& out, unsigned char byte)
{
    out += '%';
    out += UpperHexDigits[byte >> 4];
    out += UpperHexDigits[byte & 15];
}

// The value of one hexadecimal digit of either case, or -1.
inline constexpr int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace sorvena
