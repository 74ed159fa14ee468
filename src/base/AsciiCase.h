#pragma once
// ASCII letter case: protocol tokens, URLs, info hashes and file extensions
// compare without regard to the case of A to Z only; every other byte
// compares exactly, whatever the locale. Pure functions; any thread.

#include <algorithm>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace sorvena {

inline constexpr char AsciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

inline std::string AsciiLowerCopy(std::string_view text)
{
    std::string out(text);
    for (char& c : out) c = AsciiLower(c);
    return out;
}

inline bool AsciiEqualsNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

inline bool AsciiStartsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && AsciiEqualsNoCase(text.substr(0, prefix.size()), prefix);
}

}  // namespace sorvena
