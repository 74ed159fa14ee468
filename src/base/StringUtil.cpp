#include "base/StringUtil.h"

#include <charconv>
#include <exception>
#include <system_error>

#include "base/AsciiCase.h"
#include "base/Trace.h"

namespace sorvena {

namespace {

std::string formatUnits(int64_t size, double unit, std::string_view unitName, std::string_view decimalSeparator)
{
    // to_chars rounds the exact binary value to two decimals as "%4.2f"
    // would, and always writes '.', whatever locale the process runs under.
    char digits[64];
    const auto [end, ec] =
        std::to_chars(digits, digits + sizeof digits, static_cast<double>(size) / unit, std::chars_format::fixed, 2);
    std::string_view number(digits, ec == std::errc() ? static_cast<size_t>(end - digits) : 0);
    std::string text;
    // "%4.2f" pads to four characters; every value shown here is at least
    // 1.00, so this never adds a blank, but the width is part of the format.
    if (number.size() < 4) text.assign(4 - number.size(), ' ');
    const size_t dot = number.find('.');
    text += number.substr(0, dot);
    if (dot != std::string_view::npos) {
        text += decimalSeparator;
        text += number.substr(dot + 1);
    }
    text += unitName;
    return text;
}

// Lower-cases the ASCII letters, and the UTF-8 encoded Latin-1 capitals
// U+00C0..U+00DE other than U+00D7 (bytes C3 80..C3 9E to C3 A0..C3 BE).
// Nothing else changes, so a fold never lines up bytes of two different
// characters.
std::string foldCase(std::string_view s)
{
    std::string out(s);
    for (size_t i = 0; i < out.size(); ++i) {
        const auto c = static_cast<unsigned char>(out[i]);
        if (c < 0x80) {
            out[i] = AsciiLower(out[i]);
        } else if (c == 0xC3 && i + 1 < out.size()) {
            const auto next = static_cast<unsigned char>(out[i + 1]);
            if (next >= 0x80 && next <= 0x9E && next != 0x97) out[i + 1] = static_cast<char>(next + 0x20);
            if (next >= 0x80 && next <= 0xBF) ++i;
        }
    }
    return out;
}

}  // namespace

std::string SizeToText(int64_t size, std::string_view decimalSeparator)
{
    constexpr int64_t Kilo = 1024;
    constexpr int64_t Mega = Kilo * Kilo;
    constexpr int64_t Giga = Mega * Kilo;
    if (size > Giga) return formatUnits(size, Giga, " GB", decimalSeparator);
    if (size > Mega) return formatUnits(size, Mega, " MB", decimalSeparator);
    if (size > Kilo) return formatUnits(size, Kilo, " KB", decimalSeparator);
    return std::to_string(size) + " Byte";
}

bool HasKeyword(std::string_view text, const std::vector<std::string>& keywords)
{
    if (keywords.empty()) return false;
    const std::string haystack = foldCase(text);
    for (const std::string& keyword : keywords) {
        if (keyword.empty()) continue;
        if (haystack.find(foldCase(keyword)) != std::string::npos) return true;
    }
    return false;
}

std::string GetBetween(std::string_view& text, std::string_view startMarker, std::string_view endMarker)
{
    try {
        if (startMarker.empty() || endMarker.empty()) return {};
        const size_t start = text.find(startMarker);
        if (start == std::string_view::npos) return {};
        const size_t from = start + startMarker.size();
        // The end marker is searched after the whole start marker, so the
        // two never overlap.
        const size_t end = text.find(endMarker, from);
        if (end == std::string_view::npos) return {};
        std::string result(text.substr(from, end - from));
        text.remove_prefix(end);
        return result;
    } catch (const std::exception& e) {
        SORVENA_TRACE(e.what());
        return {};
    }
}

std::string GetBetween(std::string& text, std::string_view startMarker, std::string_view endMarker)
{
    std::string_view view(text);
    std::string result = GetBetween(view, startMarker, endMarker);
    if (view.size() != text.size()) text.erase(0, text.size() - view.size());
    return result;
}

std::string GetUrlHost(std::string_view url)
{
    return GetBetween(url, "://", "/");
}

}  // namespace sorvena
