#include "search/IdSearchThread.h"

#include <exception>
#include <string_view>

#include "net/IndyUtil.h"
#include "search/SearchState.h"
#include "base/StringUtil.h"
#include "base/Trace.h"
#include "tracker/CheckPingThread.h"

namespace sorvena {

TIdSearchThread::TIdSearchThread(std::shared_ptr<TSearchState> state, std::string url, std::string linkMarker,
                                 std::string terminator, std::string downloadPrefix, int siteIndex, int pageOffset,
                                 int startPage, int pageStep)
    : m_state(std::move(state)),
      FUrl(std::move(url)),
      FLinkMarker(std::move(linkMarker)),
      FTerminator(std::move(terminator)),
      FDownloadPrefix(std::move(downloadPrefix)),
      FPageOffset(pageOffset),
      FStartPage(startPage),
      FPageStep(pageStep),
      FSiteIndex(siteIndex),
      m_search(m_state->CurrentSearch())
{
}

TIdSearchThread::TIdSearchThread(std::shared_ptr<TSearchState> state, std::string url, std::string linkMarker,
                                 std::string terminator, int siteIndex, int pageOffset, int startPage, int pageStep)
    : TIdSearchThread(std::move(state), std::move(url), std::move(linkMarker), std::move(terminator), std::string(),
                      siteIndex, pageOffset, startPage, pageStep)
{
}

std::string TIdSearchThread::PageUrl(int page) const
{
    if (singlePage()) return FUrl;
    // In 64 bits: a page counter that runs long enough cannot overflow.
    return FUrl + std::to_string(static_cast<int64_t>(page) * FPageStep + FPageOffset);
}

bool TIdSearchThread::fetch(const std::string& url, std::string& body, bool resultPage) const
{
    FetchOptions options;
    options.attempts = FetchAttempts;
    options.pause = m_state->FetchPause;
    options.readTimeoutMs = FetchReadTimeout;
    options.stop = StopToken();
    const FetchResult result = GetHtml(url, options, body);
    // What the window and the command line show of the site.
    if (result.ok) {
        if (resultPage) m_state->RecordPage(m_search, FSiteIndex);
    } else if (!Terminated()) {
        m_state->RecordFetchFailure(m_search, FSiteIndex, resultPage, result.error, result.status, result.reason);
    }
    return result.ok;
}

void TIdSearchThread::Execute()
{
    int page = FStartPage;
    for (int pages = 1;; ++pages) {
        if (Terminated()) return;
        bool found = false;
        std::string html;
        fetch(PageUrl(page), html, true);
        if (!html.empty() && !Terminated()) {
            std::string_view rest = html;
            std::string link;
            // While no link of this page has produced a new torrent, the
            // first link that produces none ends the page: result lists are
            // ordered, and a page that starts with known torrents is one this
            // search has been through (the site repeats its last page).
            do {
                link = GetBetween(rest, FLinkMarker, FTerminator);
                if (link.empty()) break;
                const std::string downloadUrl = FDownloadPrefix + link;
                if (Terminated() || !m_state->AddSeenLink(downloadUrl)) continue;
                if (std::unique_ptr<TTorrentEx> entry = DownloadTorrent(downloadUrl))
                    found = handOver(std::move(entry)) || found;
            } while (!Terminated() && found);
        }
        if (!found || singlePage() || pages >= MaxPagesPerSite) break;
        ++page;
    }
    if (!Terminated() && !m_state->MainWindowHandle->SiteDone(FSiteIndex)) Terminate();
}

std::unique_ptr<TTorrentEx> TIdSearchThread::DownloadTorrent(const std::string& downloadUrl)
{
    std::string bytes;
    fetch(downloadUrl, bytes, false);
    if (bytes.empty() || Terminated()) return nullptr;
    auto entry = std::make_unique<TTorrentEx>();
    entry->LinkUrl = downloadUrl;
    entry->LoadMetainfo(bytes);
    // A load that fails after the name was read ("files" an integer, say)
    // leaves a name without an info hash: that is no torrent, and its empty
    // hash must not enter SeenHashes, where it would make every later such
    // file of the search a "duplicate".
    if (entry->TorrentName.empty() || entry->InfoHashHex.empty()) return nullptr;
    // The hash is recorded before the entry is sent, so a second worker that
    // decodes the same torrent a moment later drops its copy.
    if (!m_state->AddSeenHash(entry->InfoHashHex)) return nullptr;
    return entry;
}

bool TIdSearchThread::handOver(std::unique_ptr<TTorrentEx> entry)
{
    if (Terminated()) return false;
    // The peer check copies what it needs from the entry, so it is prepared
    // before the receiver takes the entry over, and started only after.
    std::shared_ptr<TCheckPingThread> check;
    if (m_state->AutoCheckPeer()) check = TCheckPingThread::Create(*entry, m_state->MainWindowHandle);
    // Recorded first: the receiver sees the count as its message arrives.
    m_state->RecordTorrent(m_search, FSiteIndex);
    if (!m_state->MainWindowHandle->TorrentFound(std::move(entry))) {
        Terminate();
        return false;
    }
    if (!check) return true;
    if (m_state->BeforeCheckStart) m_state->BeforeCheckStart();
    // Registered first, tested after: a Stop that walks CheckThreads before
    // the registration has already asked this worker to end, and one that
    // walks it after finds the check there. Tested first, a Stop in between
    // would reach neither, and the check would report after the Stop.
    m_state->AddCheckThread(check);
    if (Terminated()) return true;
    try {
        check->Start();
    } catch (const std::exception& e) {
        SORVENA_TRACE(e.what());  // no thread for the check: the torrent stays uncounted
    }
    return true;
}

}  // namespace sorvena
