#pragma once
// TSearchSession: a whole search without a window, for sorvena-cli and the
// tests. It plays the window's part: starts a search, receives the worker
// messages through a TConsoleMessages, keeps the result list and the site
// busy flags, and ends the search when every started site has reported, or
// on Stop.
//
// Threads: the public functions may be called from one controlling thread;
// the messages are handled on the receiver's thread. Both sides meet under
// one lock of the session (it also covers state->SiteBusy, the only part of
// the window-thread state that both touch).
//
// Ownership: what the message handlers use is shared with them, and the
// search state is shared with the workers, so destroying the session while
// workers still run is safe: it stops the search and closes the receiver,
// after which every send returns false at once.

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "metainfo/TorrentEx.h"
#include "settings/IniOption.h"
#include "settings/TorznabEndpoints.h"
#include "search/SearchState.h"
#include "search/SiteCatalogue.h"

namespace sorvena {

class TConsoleMessages;

class TSearchSession {
public:
    // The enabled endpoints are searched beside the catalogue.
    explicit TSearchSession(const TSiteHosts& hosts = TSiteHosts::Defaults(), const TIniOptions& options = {},
                            std::vector<TTorznabEndpoint> endpoints = {});
    ~TSearchSession();
    TSearchSession(const TSearchSession&) = delete;
    TSearchSession& operator=(const TSearchSession&) = delete;

    // Starts a search for keyword (leading and trailing bytes 0 to 32 are
    // dropped) in a category 0..11. Clears the previous result list. Throws
    // std::system_error when a worker cannot be started.
    void BeginSearch(std::string_view keyword, int category);
    // Stop: asks every worker to end and finishes the search at once; what
    // the workers send afterwards is refused. Does not wait.
    void StopSearch();

    bool Searching() const;
    // Blocks until the search has finished or until the deadline; true when
    // it has finished.
    bool WaitFinished(std::chrono::steady_clock::time_point deadline) const;

    struct Progress {
        std::array<bool, SITE_COUNT> started{};  // the catalogue's slots this search started
        std::vector<bool> busy = std::vector<bool>(SITE_COUNT, false);  // by site number, endpoints after the slots
        std::vector<TSiteReport> sites;  // how each site fares (TSearchState::SiteReports), at least SITE_COUNT
        int torrents = 0;   // rows: a full torrent that replaces a magnet entry adds none
        int replaced = 0;   // magnet entries replaced by their full torrent
        int files = 0;
        int peerCounts = 0;    // peer counts received
        int fileLists = 0;          // magnet entries that got their full torrent from the swarm
        int fileListFailures = 0;   // magnet entries whose file-list fetch failed
        int lateMessages = 0;  // torrents and site-done messages that came when no search ran
    };
    Progress GetProgress() const;

    // The display name of a site number (SearchState::SiteDisplayName) and
    // why it failed ("" when it did not).
    std::string SiteName(int site) const;
    std::string SiteFailure(int site) const;

    // The torrents found, in the order they arrived; a full torrent that
    // arrives after a magnet entry with its hash takes that entry's place. The entries stay owned
    // by the session; PeerCount may change while peer checks run, so read the
    // list only after WaitForWorkers.
    void ForEachResult(const std::function<void(const TTorrentEx&)>& visit) const;

    // Why the file-list fetch of the listed magnet entry with this info hash
    // failed; "" when it did not fail (or did not run). While AutoFetchFiles
    // is on, every magnet entry the search lists gets a fetch, and its full
    // torrent takes the entry's place, also after the search has finished.
    std::string FileListFailure(std::string_view infoHashHex) const;

    // Waits until every worker of this process has ended (or the timeout
    // passed). Call after the search has finished or been stopped.
    bool WaitForWorkers(std::chrono::milliseconds timeout) const;
    // Asks the automatically started peer checks and file-list fetches, if any run, to end.
    void TerminateWorkers();

    const std::shared_ptr<TSearchState>& State() const { return m_state; }

    struct Shared;  // what the message handlers share with the session

private:
    std::shared_ptr<Shared> m_shared;
    std::shared_ptr<TConsoleMessages> m_messages;
    std::shared_ptr<TSearchState> m_state;
};

}  // namespace sorvena
