#pragma once
// The search worker of one Torznab endpoint: asks the endpoint for its
// capabilities, then for pages of results by offset, downloads the torrent
// behind every http(s) link not seen before in this search, turns items that
// only give a magnet link into magnet entries, and hands every torrent not
// yet found to the window, like the catalogue's workers (TIdSearchThread).
//
// Runs on its own thread (TWorkerThread); the creator keeps it in the state's
// search thread list and may only Terminate it. After the terminate request
// it sends nothing more.
//
// Pages: limit = the caps' maximum (at most TorznabMaxItems), offset 0,
// limit, 2 * limit...; the next page is asked for while a page yields a new
// torrent and was full, at most TorznabMaxPages pages.
//
// Failure: an error reply, an HTTP status outside 2xx (429 rate limit, 410
// disabled indexer...), no connection, or a reply that is no Torznab XML ends
// the worker; the reason is recorded with state->SetSiteFailure before its
// WM_SITE_DONE.
//
// Messages, through state->MainWindowHandle, synchronous: TorrentFound once
// per new torrent or magnet entry (a full torrent also when only a magnet
// entry with its hash came before: the window puts it in that entry's place);
// SiteDone(site index) once when it finishes without having been stopped.
//
// Background work it starts for each entry it hands over, registered in the
// state before it starts so that Stop ends it: a peer check while
// AutoCheckPeer is on, and for a magnet entry a file-list fetch
// (TMetadataThread, with state->MetadataOptions) while AutoFetchFiles is on.

#include <memory>
#include <string>

#include "metainfo/TorrentEx.h"
#include "net/IndyUtil.h"
#include "settings/TorznabEndpoints.h"
#include "worker/WorkerThread.h"

namespace sorvena {

class TSearchState;
struct TTorznabItem;

class TTorznabSearchThread : public TWorkerThread {
public:
    // encodedKeyword: form-encoded (UrlEncode); category 0..11.
    TTorznabSearchThread(std::shared_ptr<TSearchState> state, TTorznabEndpoint endpoint, int siteIndex,
                         std::string encodedKeyword, int category);

    int SiteIndex() const { return m_siteIndex; }

protected:
    void Execute() override;

private:
    // One attempt, as a rate-limited endpoint must not be asked again at once.
    FetchResult fetchPage(const std::string& url, std::string& body) const;
    // True when the item produced a new entry that was handed over.
    bool takeItem(const TTorznabItem& item);
    std::unique_ptr<TTorrentEx> downloadTorrent(const std::string& url);
    bool handOver(std::unique_ptr<TTorrentEx> entry, const TTorznabItem& item);
    void fail(std::string reason);

    const std::shared_ptr<TSearchState> m_state;
    const TTorznabEndpoint m_endpoint;
    const int m_siteIndex;
    const std::string m_keyword;
    const int m_category;
    const uint64_t m_search;  // the search the site reports are recorded for
};

// The reason text of a fetch that failed ("too many requests (HTTP 429)...").
std::string TorznabFetchFailure(const FetchResult& result);

// What a t=caps request to the endpoint gives, for the window's Test button:
// ok with the categories ("Movies (2000), Movies/SD (2030), ...") and the
// page limit, or the reason it failed. Blocks for the fetch; any thread.
struct TTorznabTestResult {
    bool Ok = false;
    std::string Text;
};
TTorznabTestResult TestTorznabEndpoint(const std::string& apiUrl, const FetchOptions& options = {});

}  // namespace sorvena
