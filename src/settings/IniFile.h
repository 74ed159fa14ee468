#pragma once
// A settings file in the INI format: "[Section]" lines, "Key=Value" lines.
//
// Reading keeps every line it does not understand and every section nobody
// asks for, in file order, so writing the file back loses nothing a newer or
// older version of the program put there: every line that no Write call
// changes is written back byte for byte, its CR included. Section and key
// names compare without regard to ASCII letter case; names and values lose
// surrounding blanks and tabs. Lines end with LF or CR LF; lines that Write
// calls add or change end with LF.
//
// Not thread-safe: one thread at a time (the window thread, or a command).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sorvena {

inline constexpr size_t IniMaxFileBytes = 1024 * 1024;  // a larger file is not read

class TIniFile {
public:
    // Replaces the contents with the parsed text. False (contents left empty)
    // when text is longer than IniMaxFileBytes.
    bool Parse(std::string_view text);
    // Reads a file into the contents. False with a reason when the file cannot
    // be read or is too large; a missing file is an error here, callers that
    // accept one check for it first.
    bool LoadFromFile(const std::string& path, std::string& reason);
    // Writes the contents to a temporary file beside path and renames it into
    // place. False with a reason on failure; the old file is then unchanged.
    bool SaveToFile(const std::string& path, std::string& reason) const;
    // The contents as file text.
    std::string Text() const;

    std::string ReadString(std::string_view section, std::string_view key, std::string_view fallback) const;
    // A decimal integer in 32 bits; fallback when missing or not a number.
    int32_t ReadInteger(std::string_view section, std::string_view key, int32_t fallback) const;
    // "1"/"0" as written by WriteBool; also "true"/"false". Otherwise fallback.
    bool ReadBool(std::string_view section, std::string_view key, bool fallback) const;

    // Sets the value, adding the key at the end of its section and the section
    // at the end of the file when missing.
    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view key, int32_t value);
    void WriteBool(std::string_view section, std::string_view key, bool value);

    // Removes the key (every line of it) from the section; the other lines stay.
    void DeleteKey(std::string_view section, std::string_view key);
    // The key names of a section in file order.
    std::vector<std::string> Keys(std::string_view section) const;

private:
    struct Line {
        std::string key;    // empty for a line that is not "Key=Value"
        std::string value;
        std::string raw;    // the line as read, without its LF; empty once a Write changed the value
    };
    struct Section {
        std::string name;   // empty for the lines before the first section
        std::vector<Line> lines;
        std::string raw;    // the "[name]" line as read; empty for a section a Write added
    };

    const Line* find(std::string_view section, std::string_view key) const;

    std::vector<Section> m_sections;
};

}  // namespace sorvena
