#include "settings/IniFile.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "base/AsciiCase.h"

namespace sorvena {

namespace {

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool isBlank(std::string_view raw)
{
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    return trim(raw).empty();
}


}  // namespace

bool TIniFile::Parse(std::string_view text)
{
    m_sections.clear();
    if (text.size() > IniMaxFileBytes) return false;
    m_sections.push_back(Section{});
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view raw = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        std::string_view line = raw;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::string_view t = trim(line);
        if (t.size() >= 2 && t.front() == '[' && t.back() == ']') {
            m_sections.push_back(Section{std::string(trim(t.substr(1, t.size() - 2))), {}, std::string(raw)});
            continue;
        }
        const size_t eq = t.find('=');
        const bool comment = !t.empty() && (t.front() == ';' || t.front() == '#');
        if (!comment && eq != std::string_view::npos && !trim(t.substr(0, eq)).empty())
            m_sections.back().lines.push_back(
                Line{std::string(trim(t.substr(0, eq))), std::string(trim(t.substr(eq + 1))), std::string(raw)});
        else
            m_sections.back().lines.push_back(Line{{}, {}, std::string(raw)});
    }
    return true;
}

bool TIniFile::LoadFromFile(const std::string& path, std::string& reason)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        reason = std::strerror(errno);
        return false;
    }
    std::string bytes(IniMaxFileBytes + 1, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (in.bad()) {
        reason = "read error";
        return false;
    }
    bytes.resize(static_cast<size_t>(in.gcount()));
    if (!Parse(bytes)) {
        reason = "larger than " + std::to_string(IniMaxFileBytes) + " bytes";
        return false;
    }
    return true;
}

bool TIniFile::SaveToFile(const std::string& path, std::string& reason) const
{
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        const std::string text = Text();
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.flush();
        if (!out) {
            reason = std::strerror(errno);
            out.close();
            ::unlink(temp.c_str());
            return false;
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        reason = std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

std::string TIniFile::Text() const
{
    std::string out;
    for (const Section& section : m_sections) {
        if (!section.raw.empty())
            out += section.raw + '\n';
        else if (&section != &m_sections.front() || !section.name.empty())
            out += "[" + section.name + "]\n";
        for (const Line& line : section.lines) {
            if (line.key.empty() || !line.raw.empty())
                out += line.raw;
            else
                out += line.key + "=" + line.value;
            out += '\n';
        }
    }
    return out;
}

const TIniFile::Line* TIniFile::find(std::string_view section, std::string_view key) const
{
    for (const Section& s : m_sections) {
        if (!AsciiEqualsNoCase(s.name, section)) continue;
        for (const Line& line : s.lines)
            if (!line.key.empty() && AsciiEqualsNoCase(line.key, key)) return &line;
    }
    return nullptr;
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key, std::string_view fallback) const
{
    const Line* line = find(section, key);
    return std::string(line ? std::string_view(line->value) : fallback);
}

int32_t TIniFile::ReadInteger(std::string_view section, std::string_view key, int32_t fallback) const
{
    const Line* line = find(section, key);
    if (!line) return fallback;
    int32_t value = 0;
    const char* first = line->value.data();
    const char* last = first + line->value.size();
    const auto [end, error] = std::from_chars(first, last, value);
    return error == std::errc() && end == last && first != last ? value : fallback;
}

bool TIniFile::ReadBool(std::string_view section, std::string_view key, bool fallback) const
{
    const Line* line = find(section, key);
    if (!line) return fallback;
    if (line->value == "1" || AsciiEqualsNoCase(line->value, "true")) return true;
    if (line->value == "0" || AsciiEqualsNoCase(line->value, "false")) return false;
    return fallback;
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value)
{
    if (m_sections.empty()) m_sections.push_back(Section{});
    Section* target = nullptr;
    for (Section& s : m_sections) {
        if (!AsciiEqualsNoCase(s.name, section)) continue;
        if (!target) target = &s;
        for (Line& line : s.lines)
            if (!line.key.empty() && AsciiEqualsNoCase(line.key, key)) {
                if (line.value != trim(value)) {
                    line.value = std::string(trim(value));
                    line.raw.clear();
                }
                return;
            }
    }
    if (!target) {
        m_sections.push_back(Section{std::string(section), {}, {}});
        target = &m_sections.back();
    }
    // Keep trailing blank lines after the new key, so sections stay apart.
    auto at = target->lines.end();
    while (at != target->lines.begin() && std::prev(at)->key.empty() && isBlank(std::prev(at)->raw)) --at;
    target->lines.insert(at, Line{std::string(key), std::string(trim(value)), {}});
}

void TIniFile::WriteInteger(std::string_view section, std::string_view key, int32_t value)
{
    WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(std::string_view section, std::string_view key, bool value)
{
    WriteString(section, key, value ? "1" : "0");
}

void TIniFile::DeleteKey(std::string_view section, std::string_view key)
{
    for (Section& s : m_sections) {
        if (!AsciiEqualsNoCase(s.name, section)) continue;
        std::erase_if(s.lines, [&](const Line& line) { return !line.key.empty() && AsciiEqualsNoCase(line.key, key); });
    }
}

std::vector<std::string> TIniFile::Keys(std::string_view section) const
{
    std::vector<std::string> keys;
    for (const Section& s : m_sections)
        if (AsciiEqualsNoCase(s.name, section))
            for (const Line& line : s.lines)
                if (!line.key.empty()) keys.push_back(line.key);
    return keys;
}

}  // namespace sorvena
