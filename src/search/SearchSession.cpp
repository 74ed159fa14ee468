#include "search/SearchSession.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <unordered_map>

#include "worker/ConsoleMessages.h"
#include "search/SearchState.h"

namespace sorvena {

struct TSearchSession::Shared {
    mutable std::mutex lock;
    mutable std::condition_variable finished;
    bool searching = false;
    std::vector<std::unique_ptr<TTorrentEx>> results;
    std::unordered_map<std::string, std::string> fileListFailures;  // by info hash
    Progress progress;
    std::shared_ptr<TSearchState> state;  // reset when the session ends
};

namespace {

std::string normalisedKeyword(std::string_view keyword)
{
    while (!keyword.empty() && static_cast<unsigned char>(keyword.front()) <= 32) keyword.remove_prefix(1);
    while (!keyword.empty() && static_cast<unsigned char>(keyword.back()) <= 32) keyword.remove_suffix(1);
    return std::string(keyword);
}

// The window's end of a search: no more torrents or done messages are taken.
void finishSearch(TSearchSession::Shared& shared)
{
    shared.searching = false;
    shared.finished.notify_all();
}

}  // namespace

TSearchSession::TSearchSession(const TSiteHosts& hosts, const TIniOptions& options,
                               std::vector<TTorznabEndpoint> endpoints)
    : m_shared(std::make_shared<Shared>())
{
    // The handlers run on the receiver's thread and hold the shared part, so
    // they never reach into a destroyed session.
    TConsoleMessages::Handlers handlers;
    handlers.siteDone = [shared = m_shared](int siteIndex) {
        std::lock_guard lock(shared->lock);
        if (!shared->searching || !shared->state) {
            ++shared->progress.lateMessages;
            return;
        }
        auto& busy = shared->state->SiteBusy;
        if (siteIndex < 0 || static_cast<size_t>(siteIndex) >= busy.size()) return;
        busy[static_cast<size_t>(siteIndex)] = false;
        shared->progress.busy = busy;
        if (std::none_of(busy.begin(), busy.end(), [](bool b) { return b; })) finishSearch(*shared);
    };
    handlers.torrentFound = [shared = m_shared](std::unique_ptr<TTorrentEx> entry) {
        std::lock_guard lock(shared->lock);
        if (!shared->searching || !entry) {
            ++shared->progress.lateMessages;
            return;
        }
        // A full torrent whose magnet entry is listed takes its row.
        for (auto& listed : shared->results) {
            if (listed->InfoHashHex != entry->InfoHashHex) continue;
            if (!listed->IsMagnet() || entry->IsMagnet()) return;
            if (entry->PeerCount < 0) entry->PeerCount = listed->PeerCount;
            if (entry->SourcePeers < 0) {
                entry->SourcePeers = listed->SourcePeers;
                entry->Source = listed->Source;
            }
            ++shared->progress.replaced;
            shared->progress.files += static_cast<int>(entry->SubFiles.size());
            listed = std::move(entry);
            return;
        }
        ++shared->progress.torrents;
        shared->progress.files += static_cast<int>(entry->SubFiles.size());
        shared->results.push_back(std::move(entry));
    };
    handlers.peerCount = [shared = m_shared](std::string_view infoHashHex, int32_t count) {
        if (infoHashHex.empty()) return;
        std::lock_guard lock(shared->lock);
        ++shared->progress.peerCounts;
        for (const auto& entry : shared->results)
            if (entry->InfoHashHex == infoHashHex) {
                entry->PeerCount = count;
                break;
            }
    };
    // In any state: the fetches go on after the search has finished.
    handlers.metadataFound = [shared = m_shared](std::string_view infoHashHex, std::unique_ptr<TTorrentEx> torrent,
                                                 std::string_view reason) {
        std::lock_guard lock(shared->lock);
        for (auto& listed : shared->results) {
            if (listed->InfoHashHex != infoHashHex) continue;
            if (!listed->IsMagnet()) return;  // a torrent file came first
            if (!torrent) {
                ++shared->progress.fileListFailures;
                shared->fileListFailures[listed->InfoHashHex] = std::string(reason);
                return;
            }
            if (torrent->InfoHashHex != infoHashHex) return;
            if (torrent->PeerCount < 0) torrent->PeerCount = listed->PeerCount;
            if (torrent->SourcePeers < 0) {
                torrent->SourcePeers = listed->SourcePeers;
                torrent->Source = listed->Source;
            }
            ++shared->progress.fileLists;
            shared->progress.files += static_cast<int>(torrent->SubFiles.size());
            shared->fileListFailures.erase(listed->InfoHashHex);
            listed = std::move(torrent);
            return;
        }
    };
    m_messages = std::make_shared<TConsoleMessages>(std::move(handlers));
    m_state = std::make_shared<TSearchState>(m_messages);
    m_state->Hosts = hosts;
    m_state->Endpoints = std::move(endpoints);
    m_state->SetOptions(options);
    std::lock_guard lock(m_shared->lock);
    m_shared->state = m_state;
}

TSearchSession::~TSearchSession()
{
    m_state->TerminateWorkers();
    m_messages->Close();
    std::lock_guard lock(m_shared->lock);
    finishSearch(*m_shared);
    m_shared->state.reset();  // the handlers hold m_shared; this breaks the cycle through the state
}

void TSearchSession::BeginSearch(std::string_view keyword, int category)
{
    // The fetches of the list being replaced have nothing left to fill.
    m_state->TerminateMetadataThreads();
    // Held while the workers start, as the window thread is busy in
    // StartSiteSearches: no done message is handled before every flag is set.
    std::lock_guard lock(m_shared->lock);
    m_shared->results.clear();
    m_shared->fileListFailures.clear();
    m_shared->progress = Progress{};
    m_shared->searching = true;
    m_state->SearchKeyword = normalisedKeyword(keyword);
    m_state->SearchCategory = category;
    try {
        StartSiteSearches(m_state);
    } catch (...) {
        m_state->TerminateWorkers();
        finishSearch(*m_shared);
        throw;
    }
    m_shared->progress.busy = m_state->SiteBusy;
    for (size_t slot = 0; slot < SITE_COUNT; ++slot) m_shared->progress.started[slot] = m_state->SiteBusy[slot];
}

void TSearchSession::StopSearch()
{
    m_state->TerminateWorkers();
    std::lock_guard lock(m_shared->lock);
    finishSearch(*m_shared);
}

std::string TSearchSession::SiteName(int site) const
{
    std::lock_guard lock(m_shared->lock);
    return m_state->SiteDisplayName(site);
}

std::string TSearchSession::SiteFailure(int site) const
{
    return m_state->SiteFailure(site);
}

bool TSearchSession::Searching() const
{
    std::lock_guard lock(m_shared->lock);
    return m_shared->searching;
}

bool TSearchSession::WaitFinished(std::chrono::steady_clock::time_point deadline) const
{
    std::unique_lock lock(m_shared->lock);
    return m_shared->finished.wait_until(lock, deadline, [this] { return !m_shared->searching; });
}

TSearchSession::Progress TSearchSession::GetProgress() const
{
    Progress progress;
    {
        std::lock_guard lock(m_shared->lock);
        progress = m_shared->progress;
    }
    progress.sites = m_state->SiteReports();
    return progress;
}

void TSearchSession::ForEachResult(const std::function<void(const TTorrentEx&)>& visit) const
{
    std::lock_guard lock(m_shared->lock);
    for (const auto& entry : m_shared->results) visit(*entry);
}

std::string TSearchSession::FileListFailure(std::string_view infoHashHex) const
{
    std::lock_guard lock(m_shared->lock);
    const auto it = m_shared->fileListFailures.find(std::string(infoHashHex));
    return it == m_shared->fileListFailures.end() ? std::string() : it->second;
}

bool TSearchSession::WaitForWorkers(std::chrono::milliseconds timeout) const
{
    return m_state->WaitForWorkers(timeout);
}

void TSearchSession::TerminateWorkers()
{
    m_state->TerminateWorkers();
}

}  // namespace sorvena
