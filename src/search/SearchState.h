#pragma once
// The program-wide search state that the window (or sorvena-cli) shares with
// the search and peer-check workers.
//
// Ownership: the state is held by std::shared_ptr. Its creator (the window,
// the search command) holds one reference and every search worker holds
// another for its whole run, so a worker that is still inside a fetch when
// the window closes or the command returns touches state that is still alive;
// the last holder frees it. The receiver of the worker messages is held the
// same way (MainWindowHandle).
//
// Threads: SearchKeyword, SearchCategory, SiteBusy, Hosts and Endpoints
// belong to the window thread: only it writes them, and nobody else reads
// them. Everything behind the member functions is guarded by one lock, so
// each test-and-add on the seen lists is one atomic step, and may be called
// from any thread.
//
// Sites: numbers 0..9 are the catalogue's slots; SITE_COUNT + i is the i-th
// Torznab endpoint of Endpoints (enabled or not). SiteBusy has one flag per
// site number of the current search.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "net/IndyUtil.h"
#include "settings/IniOption.h"
#include "settings/TorznabEndpoints.h"
#include "search/SiteCatalogue.h"
#include "swarm/MetadataThread.h"
#include "worker/WorkerMessages.h"

namespace sorvena {

class TWorkerThread;
class TCheckPingThread;

// How one site fares in the current search, as its search worker records it.
struct TSiteReport {
    int Pages = 0;             // result pages that arrived (an empty one too)
    int PageFailures = 0;      // result pages that could not be fetched
    int Torrents = 0;          // torrents handed to the receiver
    int DownloadFailures = 0;  // torrent files that could not be fetched
    FetchError Error = FetchError::None;  // why the last failed fetch failed
    int Status = -1;                      // its HTTP status; -1 when no response arrived
    std::string Reason;                   // more about it (the TLS or certificate problem); may be empty
    // No result page arrived: the site could not be reached (Error says why).
    bool Unreachable() const { return Pages == 0 && PageFailures > 0; }
};

class TSearchState {
public:
    explicit TSearchState(std::shared_ptr<TWorkerMessages> mainWindow);
    TSearchState(const TSearchState&) = delete;
    TSearchState& operator=(const TSearchState&) = delete;

    // Window thread only.
    std::string SearchKeyword;  // without leading and trailing blanks
    int SearchCategory = 0;     // 0..11, see CategoryNames
    std::vector<bool> SiteBusy = std::vector<bool>(SITE_COUNT, false);
    TSiteHosts Hosts = TSiteHosts::Defaults();
    std::vector<TTorznabEndpoint> Endpoints;  // the disabled ones are not searched
    // The display name of a site number: the slot's name or the endpoint's;
    // "" for other numbers.
    std::string SiteDisplayName(int site) const;
    // Pause between the attempts of a worker's fetch; tests shorten it.
    // Workers read it: set it only before the first search starts.
    std::chrono::milliseconds FetchPause{std::chrono::seconds(FetchRetryDelay)};
    // A seam for tests: when set, a search worker calls it on its own thread
    // right before it registers and starts an automatic peer check, so that a
    // test can stop the search at exactly that moment. Set it only before the
    // first search starts.
    std::function<void()> BeforeCheckStart;
    // How the file-list fetches that search workers start for magnet entries
    // fetch (the limits; tests put a fake fetcher in). Workers read it: set
    // it only before the first search starts.
    MetadataThreadOptions MetadataOptions;

    // Where workers send their messages; never null.
    const std::shared_ptr<TWorkerMessages> MainWindowHandle;

    // The seen lists compare without regard to ASCII letter case. Each returns
    // true when the item was not yet in the list and has now been added.
    bool AddSeenLink(std::string_view downloadUrl);
    // A full torrent: true when no full torrent with this hash was accepted
    // yet. A magnet entry with the hash does not stop it: the full torrent
    // takes that entry's place, and is let through exactly once.
    bool AddSeenHash(std::string_view infoHashHex);
    // A magnet entry: true when nothing with this hash was accepted yet.
    bool AddSeenMagnet(std::string_view infoHashHex);
    // Empties SeenHashes, then SeenLinks, and forgets every site's failure
    // (at the start of a search).
    void ClearSeen();
    size_t SeenHashCount() const;

    // The site reports of the current search. StartSiteReports begins a new
    // search (every report empty) and returns its number; a worker records
    // with the number of the search it was started for, so a worker of an
    // earlier search that is still ending records nothing. A fetch cut short
    // by a stop (FetchError::Stopped) is no failure and is not recorded.
    uint64_t StartSiteReports();
    uint64_t CurrentSearch() const;
    void RecordPage(uint64_t search, int slot);
    void RecordTorrent(uint64_t search, int slot);
    void RecordFetchFailure(uint64_t search, int slot, bool resultPage, FetchError error, int status,
                            std::string_view reason = {});
    std::vector<TSiteReport> SiteReports() const;

    // The worker lists hold weak references: a worker frees itself when it
    // ends, and an ended worker is skipped. They are never emptied.
    void AddSearchThread(std::weak_ptr<TWorkerThread> worker);
    void AddCheckThread(std::weak_ptr<TCheckPingThread> worker);
    // The file-list fetches that search workers start for magnet entries
    // (MetadataThreads); registered before they are queued, like the peer checks.
    void AddMetadataThread(std::weak_ptr<TMetadataThread> worker);
    // Asks every running search worker (last started first), then every
    // automatically started peer check and file-list fetch, to end. Returns at once.
    void TerminateWorkers();
    // Asks only the automatically started file-list fetches to end (the
    // list they would fill is being replaced). Returns at once.
    void TerminateMetadataThreads();
    // Whether an automatically started fetch for this info hash has neither
    // ended nor been asked to end.
    bool MetadataThreadRunning(std::string_view infoHashHex) const;
    // Waits until every worker thread of the process has ended, or the timeout has passed
    // (false then). Never call it on the thread that handles the worker
    // messages while a worker may be sending.
    bool WaitForWorkers(std::chrono::milliseconds timeout);
    // Automatic peer checks started so far (the list is never emptied).
    size_t CheckThreadCount() const;

    // The settings record. Workers read AutoCheckPeer at every hand-over, so
    // a change applies at once, also within a running search.
    // Why a site ended without results of its own making (a Torznab
    // endpoint's error reply, an HTTP status, no connection), as English
    // text for the window's site status; "" when it ended normally or still
    // runs. The worker records it before its WM_SITE_DONE, so the handler of
    // that message finds it.
    void SetSiteFailure(int site, std::string reason);
    std::string SiteFailure(int site) const;

    TIniOptions Options() const;
    void SetOptions(const TIniOptions& options);
    bool AutoCheckPeer() const;
    void SetAutoCheckPeer(bool on);
    // Read by the workers at every hand-over of a magnet entry, as AutoCheckPeer.
    bool AutoFetchFiles() const;
    void SetAutoFetchFiles(bool on);

private:
    mutable std::mutex m_lock;
    std::unordered_set<std::string> m_seenLinks;   // SeenLinks, folded to lower case
    std::unordered_map<std::string, bool> m_seenHashes;  // SeenHashes, folded to lower case: true = a full torrent
    std::vector<std::weak_ptr<TWorkerThread>> m_searchThreads;  // SearchThreads
    std::unordered_map<int, std::string> m_siteFailures;
    std::vector<std::weak_ptr<TCheckPingThread>> m_checkThreads;  // CheckThreads
    std::vector<std::weak_ptr<TMetadataThread>> m_metadataThreads;  // MetadataThreads
    size_t m_metadataPruneAt = 64;  // the list's size at which ended fetches are dropped
    TIniOptions m_options;
    uint64_t m_search = 0;
    std::vector<TSiteReport> m_siteReports = std::vector<TSiteReport>(SITE_COUNT);  // one per entry of SiteBusy
};

}  // namespace sorvena
