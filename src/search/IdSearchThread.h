#pragma once
// The search worker: walks one site's result pages, downloads the torrent
// behind every link not seen before in this search, and hands every torrent
// not yet found to the window.
//
// Runs on its own thread (TWorkerThread); the creator keeps it in the state's
// search thread list and may only Terminate it. After the terminate request
// it sends nothing more; a fetch in progress ends within about 100 ms.
//
// Messages, through state->MainWindowHandle, synchronous: TorrentFound once
// per new torrent; SiteDone(site index) once when it finishes without having
// been stopped. A receiver that answers false (closed) ends the worker as a
// stop would. Besides, it records in the state's report of its site every
// result page that arrives, every fetch that fails (and why) and every
// torrent it hands over (TSearchState::SiteReports).

#include <cstdint>
#include <memory>
#include <string>

#include "metainfo/TorrentEx.h"
#include "worker/WorkerThread.h"

namespace sorvena {

class TSearchState;

// The most result pages one worker asks its site for in one search. A site
// that keeps listing new torrents on every page would otherwise be walked
// without end; the real sites stop long before (Google gives no results past
// the 1,000th, 100 pages of 10). After the last page the site is done.
inline constexpr int MaxPagesPerSite = 100;

class TIdSearchThread : public TWorkerThread {
public:
    // With a download prefix: a link cut from a page is appended to it.
    TIdSearchThread(std::shared_ptr<TSearchState> state, std::string url, std::string linkMarker,
                    std::string terminator, std::string downloadPrefix, int siteIndex, int pageOffset, int startPage,
                    int pageStep);
    // Without: every link is a complete download URL.
    TIdSearchThread(std::shared_ptr<TSearchState> state, std::string url, std::string linkMarker,
                    std::string terminator, int siteIndex, int pageOffset, int startPage, int pageStep);

    int SiteIndex() const { return FSiteIndex; }
    // The URL of a page: FUrl with page * FPageStep + FPageOffset appended,
    // or FUrl itself for a single-page site (offset, start and step all 0).
    std::string PageUrl(int page) const;

protected:
    void Execute() override;

private:
    bool singlePage() const { return FPageOffset == 0 && FStartPage == 0 && FPageStep == 0; }
    // One GetHtml with the search's attempts and pause; a failure (not a
    // stop) goes into the site's report.
    bool fetch(const std::string& url, std::string& body, bool resultPage) const;
    // The link's torrent, already recorded in SeenHashes; nothing when the
    // download fails, it is no torrent with a name and an info hash, it was
    // found before, or the worker was asked to end.
    std::unique_ptr<TTorrentEx> DownloadTorrent(const std::string& downloadUrl);
    // Hands the entry over; true when it was sent.
    bool handOver(std::unique_ptr<TTorrentEx> entry);

    const std::shared_ptr<TSearchState> m_state;
    const std::string FUrl;
    const std::string FLinkMarker;
    const std::string FTerminator;
    const std::string FDownloadPrefix;
    const int FPageOffset;
    const int FStartPage;
    const int FPageStep;
    const int FSiteIndex;
    const uint64_t m_search;  // the search the site reports are recorded for
};

}  // namespace sorvena
