// Reads arbitrary bytes as a settings file and checks what the reader
// promises: it keeps every line, so the text comes back byte for byte (with
// a final LF); reading its own text gives the same text; a value written
// through the public calls reads back after the file is written and read.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "settings/IniFile.h"

using namespace sorvena;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    TIniFile ini;
    if (!ini.Parse(text)) {
        if (size <= IniMaxFileBytes) std::abort();
        return 0;
    }
    std::string expected(text);
    if (!expected.empty() && expected.back() != '\n') expected += '\n';
    const std::string written = ini.Text();
    if (written != expected) std::abort();

    TIniFile again;
    if (!again.Parse(written) || again.Text() != written) std::abort();

    // Every key of the sections the program reads, through every reader.
    for (const char* section : {"View", "Pos", "Store", "Search", "Update", "Hosts", ""}) {
        for (const std::string& key : ini.Keys(section)) {
            // A key the file lists is found (the fallback never comes back).
            const std::string value = ini.ReadString(section, key, "\n");
            if (value == "\n") std::abort();
            (void)ini.ReadInteger(section, key, 0);
            (void)ini.ReadBool(section, key, false);
            // Writing the value it holds changes nothing.
            TIniFile same;
            same.Parse(written);
            same.WriteString(section, key, value);
            if (same.Text() != written) std::abort();
        }
    }

    // A value taken from the input (one line, without surrounding blanks, as
    // values are kept) survives a write and a read.
    std::string value(text.substr(0, text.find_first_of("\r\n")));
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.erase(0, 1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
    again.WriteString("Fuzz", "Key", value);
    TIniFile back;
    if (!back.Parse(again.Text()) || back.ReadString("Fuzz", "Key", "missing") != value) std::abort();
    return 0;
}
