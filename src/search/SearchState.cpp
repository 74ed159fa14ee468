#include "search/SearchState.h"

#include <stdexcept>

#include "search/IdSearchThread.h"
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
    return m_seenHashes.insert(std::move(key)).second;
}

void TSearchState::ClearSeen()
{
    std::lock_guard lock(m_lock);
    m_seenHashes.clear();
    m_seenLinks.clear();
}

size_t TSearchState::SeenHashCount() const
{
    std::lock_guard lock(m_lock);
    return m_seenHashes.size();
}

void TSearchState::AddSearchThread(std::weak_ptr<TIdSearchThread> worker)
{
    std::lock_guard lock(m_lock);
    m_searchThreads.push_back(std::move(worker));
}

void TSearchState::AddCheckThread(std::weak_ptr<TCheckPingThread> worker)
{
    std::lock_guard lock(m_lock);
    m_checkThreads.push_back(std::move(worker));
}

size_t TSearchState::CheckThreadCount() const
{
    std::lock_guard lock(m_lock);
    return m_checkThreads.size();
}

void TSearchState::TerminateWorkers()
{
    std::lock_guard lock(m_lock);
    for (auto it = m_searchThreads.rbegin(); it != m_searchThreads.rend(); ++it)
        if (const auto worker = it->lock()) worker->Terminate();
    for (auto it = m_checkThreads.rbegin(); it != m_checkThreads.rend(); ++it)
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

}  // namespace sorvena
