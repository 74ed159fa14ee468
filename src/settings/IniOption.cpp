#include "settings/IniOption.h"

#include <algorithm>

#include "settings/IniFile.h"

namespace sorvena {

namespace {

// A boolean is any integer, true when not zero; anything else is the default.
bool readFlag(const TIniFile& ini, std::string_view section, std::string_view key, bool fallback)
{
    return ini.ReadInteger(section, key, fallback ? 1 : 0) != 0;
}

}  // namespace

void LoadFromIni(const TIniFile* ini, TIniOptions& options)
{
    if (!ini) return;
    options.OnlyKeywordFile = readFlag(*ini, "View", "OnlyKeywordFile", false);
    options.OnlyHasPeers = readFlag(*ini, "View", "OnlyHasPeers", false);
    options.AutoCheckPeer = readFlag(*ini, "View", "AutoCheckPeer", true);
    options.AutoFetchFiles = readFlag(*ini, "View", "AutoFetchFiles", true);
    options.Width = ini->ReadInteger("Pos", "Width", 500);
    options.Height = ini->ReadInteger("Pos", "Height", 350);
    options.Top = ini->ReadInteger("Pos", "Top", 200);
    options.Left = ini->ReadInteger("Pos", "Left", 200);
    options.OpenDir = ini->ReadString("Store", "OpenDir", "");
    options.Keyword = ini->ReadString("Search", "Keyword", "");
    options.SaveHistory = readFlag(*ini, "Search", "SaveHistory", true);
    options.AutoUpdate = readFlag(*ini, "Update", "Auto", false);
}

void SaveToIni(TIniFile* ini, const TIniOptions& options)
{
    if (!ini) return;
    ini->WriteBool("View", "OnlyKeywordFile", options.OnlyKeywordFile);
    ini->WriteBool("View", "OnlyHasPeers", options.OnlyHasPeers);
    ini->WriteBool("View", "AutoCheckPeer", options.AutoCheckPeer);
    ini->WriteBool("View", "AutoFetchFiles", options.AutoFetchFiles);
    ini->WriteInteger("Pos", "Width", options.Width);
    ini->WriteInteger("Pos", "Height", options.Height);
    ini->WriteInteger("Pos", "Top", options.Top);
    ini->WriteInteger("Pos", "Left", options.Left);
    ini->WriteString("Store", "OpenDir", options.OpenDir);
    ini->WriteString("Search", "Keyword", options.Keyword);
    ini->WriteBool("Search", "SaveHistory", options.SaveHistory);
    ini->WriteBool("Update", "Auto", options.AutoUpdate);
}

TIniOptions DefaultIniOptions()
{
    const TIniFile empty;
    TIniOptions options;
    LoadFromIni(&empty, options);
    return options;
}

std::vector<std::string> SplitKeywordHistory(std::string_view keyword)
{
    std::vector<std::string> items;
    while (!keyword.empty()) {
        const size_t end = std::min(keyword.find(';'), keyword.size());
        if (end > 0) items.emplace_back(keyword.substr(0, end));
        keyword.remove_prefix(std::min(end + 1, keyword.size()));
    }
    return items;
}

std::string JoinKeywordHistory(const std::vector<std::string>& items)
{
    std::string joined;
    for (size_t i = 0; i < items.size() && i < KeywordHistoryMax; ++i) {
        if (i > 0) joined += ';';
        joined += items[i];
    }
    return joined;
}

}  // namespace sorvena
