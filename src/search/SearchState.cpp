#include "search/SearchState.h"

#include <algorithm>
#include <stdexcept>

#include "worker/WorkerThread.h"
#include "tracker/CheckPingThread.h"
#include "base/AsciiCase.h"

namespace sorvena {

TSearchState::TSearchState(std::shared_ptr<TWorkerMessages> mainWindow) : MainWindowHandle(std::move(mainWindow))
{
    if (!MainWindowHandle) throw std::invalid_argument("TSearchState needs a message receiver");
}

// Hash sets instead of the linear lists a first version had: the same
// answers, without a search of 1,600 links costing a million comparisons.
bool TSearchState::AddSeenLink(std::string_view downloadUrl)
{
    std::string key = AsciiLowerCopy(downloadUrl);
    std::lock_guard lock(m_lock);
    return m_seenLinks.insert(std::move(key)).second;
}

bool TSearchState::AddSeenHash(std::string_view infoHashHex)
{
    std::string key = AsciiLowerCopy(infoHashHex);
    std::lock_guard lock(m_lock);
    bool& full = m_seenHashes[std::move(key)];
    if (full) return false;
    full = true;
    return true;
}

bool TSearchState::AddSeenMagnet(std::string_view infoHashHex)
{
    std::string key = AsciiLowerCopy(infoHashHex);
    std::lock_guard lock(m_lock);
    return m_seenHashes.emplace(std::move(key), false).second;
}

void TSearchState::ClearSeen()
{
    std::lock_guard lock(m_lock);
    m_seenHashes.clear();
    m_seenLinks.clear();
    m_siteFailures.clear();
}

void TSearchState::SetSiteFailure(int site, std::string reason)
{
    std::lock_guard lock(m_lock);
    m_siteFailures[site] = std::move(reason);
}

std::string TSearchState::SiteFailure(int site) const
{
    std::lock_guard lock(m_lock);
    const auto it = m_siteFailures.find(site);
    return it == m_siteFailures.end() ? std::string() : it->second;
}

std::string TSearchState::SiteDisplayName(int site) const
{
    if (site >= 0 && site < SITE_COUNT) return std::string(SiteNames[site]);
    const size_t endpoint = static_cast<size_t>(site) - SITE_COUNT;
    if (site < SITE_COUNT || endpoint >= Endpoints.size()) return {};
    return Endpoints[endpoint].Name;
}

size_t TSearchState::SeenHashCount() const
{
    std::lock_guard lock(m_lock);
    return m_seenHashes.size();
}

void TSearchState::AddSearchThread(std::weak_ptr<TWorkerThread> worker)
{
    std::lock_guard lock(m_lock);
    m_searchThreads.push_back(std::move(worker));
}

void TSearchState::AddCheckThread(std::weak_ptr<TCheckPingThread> worker)
{
    std::lock_guard lock(m_lock);
    m_checkThreads.push_back(std::move(worker));
}

void TSearchState::AddMetadataThread(std::weak_ptr<TMetadataThread> worker)
{
    std::lock_guard lock(m_lock);
    // Ended fetches are dropped now and then: a long run of searches with
    // many magnet results would otherwise keep a reference block for each.
    if (m_metadataThreads.size() >= m_metadataPruneAt) {
        std::erase_if(m_metadataThreads, [](const std::weak_ptr<TMetadataThread>& w) { return w.expired(); });
        m_metadataPruneAt = std::max<size_t>(64, 2 * m_metadataThreads.size());
    }
    m_metadataThreads.push_back(std::move(worker));
}

void TSearchState::TerminateMetadataThreads()
{
    std::lock_guard lock(m_lock);
    for (auto it = m_metadataThreads.rbegin(); it != m_metadataThreads.rend(); ++it)
        if (const auto worker = it->lock()) worker->Terminate();
}

bool TSearchState::MetadataThreadRunning(std::string_view infoHashHex) const
{
    std::lock_guard lock(m_lock);
    return std::any_of(m_metadataThreads.begin(), m_metadataThreads.end(), [&](const auto& w) {
        const auto worker = w.lock();
        return worker && !worker->Terminated() && !worker->Ended() && worker->InfoHashHex() == infoHashHex;
    });
}

size_t TSearchState::CheckThreadCount() const
{
    std::lock_guard lock(m_lock);
    return m_checkThreads.size();
}

uint64_t TSearchState::StartSiteReports()
{
    std::lock_guard lock(m_lock);
    m_siteReports.assign(std::max<size_t>(SiteBusy.size(), SITE_COUNT), TSiteReport{});
    return ++m_search;
}

uint64_t TSearchState::CurrentSearch() const
{
    std::lock_guard lock(m_lock);
    return m_search;
}

void TSearchState::RecordPage(uint64_t search, int slot)
{
    std::lock_guard lock(m_lock);
    if (search == m_search && slot >= 0 && static_cast<size_t>(slot) < m_siteReports.size())
        ++m_siteReports[static_cast<size_t>(slot)].Pages;
}

void TSearchState::RecordTorrent(uint64_t search, int slot)
{
    std::lock_guard lock(m_lock);
    if (search == m_search && slot >= 0 && static_cast<size_t>(slot) < m_siteReports.size())
        ++m_siteReports[static_cast<size_t>(slot)].Torrents;
}

void TSearchState::RecordFetchFailure(uint64_t search, int slot, bool resultPage, FetchError error, int status,
                                      std::string_view reason)
{
    if (error == FetchError::Stopped) return;
    std::lock_guard lock(m_lock);
    if (search != m_search || slot < 0 || slot >= SITE_COUNT) return;
    TSiteReport& report = m_siteReports[static_cast<size_t>(slot)];
    ++(resultPage ? report.PageFailures : report.DownloadFailures);
    report.Error = error;
    report.Status = status;
    report.Reason = std::string(reason);
}

std::vector<TSiteReport> TSearchState::SiteReports() const
{
    std::lock_guard lock(m_lock);
    return m_siteReports;
}

void TSearchState::TerminateWorkers()
{
    std::lock_guard lock(m_lock);
    for (auto it = m_searchThreads.rbegin(); it != m_searchThreads.rend(); ++it)
        if (const auto worker = it->lock()) worker->Terminate();
    for (auto it = m_checkThreads.rbegin(); it != m_checkThreads.rend(); ++it)
        if (const auto worker = it->lock()) worker->Terminate();
    for (auto it = m_metadataThreads.rbegin(); it != m_metadataThreads.rend(); ++it)
        if (const auto worker = it->lock()) worker->Terminate();
}

bool TSearchState::WaitForWorkers(std::chrono::milliseconds timeout)
{
    // Search workers and peer checks are all TWorkerThreads.
    return TWorkerThread::WaitForAll(timeout);
}

TIniOptions TSearchState::Options() const
{
    std::lock_guard lock(m_lock);
    return m_options;
}

void TSearchState::SetOptions(const TIniOptions& options)
{
    std::lock_guard lock(m_lock);
    m_options = options;
}

bool TSearchState::AutoCheckPeer() const
{
    std::lock_guard lock(m_lock);
    return m_options.AutoCheckPeer;
}

void TSearchState::SetAutoCheckPeer(bool on)
{
    std::lock_guard lock(m_lock);
    m_options.AutoCheckPeer = on;
}

bool TSearchState::AutoFetchFiles() const
{
    std::lock_guard lock(m_lock);
    return m_options.AutoFetchFiles;
}

void TSearchState::SetAutoFetchFiles(bool on)
{
    std::lock_guard lock(m_lock);
    m_options.AutoFetchFiles = on;
}

}  // namespace sorvena
