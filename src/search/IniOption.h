#pragma once
// The settings record: one instance for the whole run, filled from the
// settings file when the window is created and written back when it closes.
// A plain value; whoever shares it between threads guards it (TSearchState
// holds the copy that search workers read).

#include <cstdint>
#include <string>

namespace sorvena {

struct TIniOptions {
    bool OnlyKeywordFile = false;  // hide file rows without a search keyword
    bool OnlyHasPeers = false;     // hide torrent rows whose peer count is 0
    bool AutoCheckPeer = false;    // search workers start a peer check for every torrent they hand over
    int32_t Width = 0;
    int32_t Height = 0;
    int32_t Top = 0;
    int32_t Left = 0;
    std::string OpenDir;  // where the Load Search Result dialog opens
    std::string Keyword;  // keyword history: up to 10 keywords joined by ";", most recent first
    bool SaveHistory = false;
    bool AutoUpdate = false;
};

}  // namespace sorvena
