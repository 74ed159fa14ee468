#pragma once
// The settings record: one instance for the whole run, filled from the
// settings file when the window is created and written back when it closes.
// A plain value; whoever shares it between threads guards it (TSearchState
// holds the copy that search workers read).
//
// The file ("vrk.ini") holds every field under the section and key below;
// a missing key, or a number or boolean key whose value is not a decimal
// integer, gives the default. Booleans are 1 or 0 (any other integer reads
// as true).
//   [View]   OnlyKeywordFile=0  OnlyHasPeers=0  AutoCheckPeer=1  AutoFetchFiles=1
//   [Pos]    Width=500  Height=350  Top=200  Left=200
//   [Store]  OpenDir=
//   [Search] Keyword=  SaveHistory=1
//   [Update] Auto=0

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sorvena {

class TIniFile;

inline constexpr std::string_view IniFileName = "vrk.ini";
inline constexpr size_t KeywordHistoryMax = 10;  // keywords kept from one run to the next

struct TIniOptions {
    bool OnlyKeywordFile = false;  // hide file rows without a search keyword
    bool OnlyHasPeers = false;     // hide torrent rows whose peer count is 0
    bool AutoCheckPeer = false;    // search workers start a peer check for every torrent they hand over
    // Search workers start a file-list fetch from the swarm for every magnet
    // entry they hand over. Apart from AutoCheckPeer: a fetch connects to the
    // swarm's peers themselves and may take minutes, a peer check only asks
    // the trackers, so either may be wanted without the other.
    bool AutoFetchFiles = false;
    int32_t Width = 0;
    int32_t Height = 0;
    int32_t Top = 0;
    int32_t Left = 0;
    std::string OpenDir;  // where the Load Search Result dialog opens
    std::string Keyword;  // keyword history: up to 10 keywords joined by ";", most recent first
    bool SaveHistory = false;
    bool AutoUpdate = false;
};

// Every field from ini, with the defaults above; nothing when ini is null.
void LoadFromIni(const TIniFile* ini, TIniOptions& options);
// Every field into ini, in the order above (a fresh file gets its sections
// in that order); other sections and keys stay as they are. Nothing when ini
// is null.
void SaveToIni(TIniFile* ini, const TIniOptions& options);

// The record as a first run has it: LoadFromIni of an empty file.
TIniOptions DefaultIniOptions();

// The stored history as list items: the pieces between ";", empty ones dropped.
std::vector<std::string> SplitKeywordHistory(std::string_view keyword);
// The list items as stored: the first KeywordHistoryMax joined by ";".
std::string JoinKeywordHistory(const std::vector<std::string>& items);

}  // namespace sorvena
