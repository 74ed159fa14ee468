#include "search/TorznabSearchThread.h"

#include <algorithm>
#include <exception>

#include "base/AsciiCase.h"
#include "base/Trace.h"
#include "metainfo/Magnet.h"
#include "search/SearchState.h"
#include "search/Torznab.h"
#include "swarm/MetadataThread.h"
#include "tracker/CheckPingThread.h"

namespace sorvena {

namespace {

bool isWebUrl(std::string_view url)
{
    return AsciiStartsWithNoCase(url, "http://") || AsciiStartsWithNoCase(url, "https://");
}

bool isMagnet(std::string_view url)
{
    return AsciiStartsWithNoCase(url, "magnet:");
}

}  // namespace

std::string TorznabFetchFailure(const FetchResult& result)
{
    // The system's or the TLS library's own words, where the fetch has them.
    const std::string detail = result.reason.empty() ? std::string() : ": " + result.reason;
    switch (result.error) {
    case FetchError::HttpStatus:
        switch (result.status) {
        case 429: return "too many requests (HTTP 429): the indexer asks to wait before the next search";
        case 410: return "the indexer is disabled or gone (HTTP 410)";
        case 401:
        case 403: return "access refused (HTTP " + std::to_string(result.status) + "): check the API key";
        case 404: return "no Torznab API at this address (HTTP 404)";
        default: return "the endpoint answered HTTP " + std::to_string(result.status);
        }
    case FetchError::Redirect: return "the endpoint redirects elsewhere (HTTP " + std::to_string(result.status) + ")";
    case FetchError::BadUrl: return "the API URL is not a valid http or https URL";
    case FetchError::Tls: return "the secure connection to the endpoint failed" + detail;
    case FetchError::Resolve: return "the endpoint's host name does not resolve" + detail;
    case FetchError::Connect: return "no connection to the endpoint (is it running?)" + detail;
    case FetchError::Timeout:
    case FetchError::TooLong: return "the endpoint did not answer in time";
    case FetchError::BodyTooLarge: return "the endpoint's reply is too large";
    case FetchError::Stopped: return "stopped";
    default: return "the connection to the endpoint failed" + detail;
    }
}

TTorznabSearchThread::TTorznabSearchThread(std::shared_ptr<TSearchState> state, TTorznabEndpoint endpoint,
                                           int siteIndex, std::string encodedKeyword, int category)
    : m_state(std::move(state)),
      m_endpoint(std::move(endpoint)),
      m_siteIndex(siteIndex),
      m_keyword(std::move(encodedKeyword)),
      m_category(category),
      m_search(m_state->CurrentSearch())
{
}

FetchResult TTorznabSearchThread::fetchPage(const std::string& url, std::string& body) const
{
    FetchOptions options;
    options.attempts = -1;
    options.pause = m_state->FetchPause;
    options.readTimeoutMs = FetchReadTimeout;
    options.stop = StopToken();
    return GetHtml(url, options, body);
}

void TTorznabSearchThread::fail(std::string reason)
{
    if (!Terminated()) m_state->SetSiteFailure(m_siteIndex, std::move(reason));
}

void TTorznabSearchThread::Execute()
{
    if (Terminated()) return;
    int limit = TorznabDefaultLimit;
    {
        std::string body;
        const FetchResult got = fetchPage(TorznabCapsUrl(m_endpoint.ApiUrl), body);
        if (Terminated()) return;
        if (!got.ok) {
            fail(TorznabFetchFailure(got));
            if (!Terminated()) m_state->MainWindowHandle->SiteDone(m_siteIndex);
            return;
        }
        const TTorznabCaps caps = ParseTorznabCaps(body);
        if (caps.What == TTorznabReply::Kind::Error) {
            fail(TorznabErrorText(caps.ErrorCode, caps.ErrorDescription));
            if (!Terminated()) m_state->MainWindowHandle->SiteDone(m_siteIndex);
            return;
        }
        // Capabilities that do not parse leave the defaults: the search
        // reply says whether the endpoint works.
        if (caps.What == TTorznabReply::Kind::Feed) {
            if (!caps.SearchAvailable) {
                fail("the endpoint offers no search");
                if (!Terminated()) m_state->MainWindowHandle->SiteDone(m_siteIndex);
                return;
            }
            limit = std::min<int>(caps.LimitMax, static_cast<int>(TorznabMaxItems));
        }
    }
    for (int page = 0; page < TorznabMaxPages && !Terminated(); ++page) {
        std::string body;
        const FetchResult got =
            fetchPage(TorznabSearchUrl(m_endpoint.ApiUrl, m_keyword, m_category, page * limit, limit), body);
        if (Terminated()) return;
        if (!got.ok) {
            fail(TorznabFetchFailure(got));
            break;
        }
        m_state->RecordPage(m_search, m_siteIndex);
        const TTorznabReply reply = ParseTorznabReply(body);
        if (reply.What == TTorznabReply::Kind::Error) {
            fail(TorznabErrorText(reply.ErrorCode, reply.ErrorDescription));
            break;
        }
        if (reply.What == TTorznabReply::Kind::Malformed) {
            fail("the reply is not Torznab XML: " + reply.Problem);
            break;
        }
        bool found = false;
        for (const TTorznabItem& item : reply.Items) {
            if (Terminated()) return;
            found = takeItem(item) || found;
        }
        // A short page is the last one; a page without anything new is one
        // this search has seen already (endpoints that ignore the offset).
        if (!found || reply.ItemCount < static_cast<size_t>(limit)) break;
    }
    if (!Terminated() && !m_state->MainWindowHandle->SiteDone(m_siteIndex)) Terminate();
}

bool TTorznabSearchThread::takeItem(const TTorznabItem& item)
{
    std::string magnet = item.MagnetUrl;
    if (magnet.empty() && isMagnet(item.Link)) magnet = item.Link;
    if (magnet.empty() && isMagnet(item.EnclosureUrl)) magnet = item.EnclosureUrl;
    const std::string& torrentUrl = isWebUrl(item.Link) ? item.Link : item.EnclosureUrl;

    if (isWebUrl(torrentUrl) && m_state->AddSeenLink(torrentUrl)) {
        if (std::unique_ptr<TTorrentEx> entry = downloadTorrent(torrentUrl)) return handOver(std::move(entry), item);
        if (Terminated()) return false;
    }
    // No torrent file (none given, already fetched, or the download gave
    // none): the magnet link stands in for it.
    if (magnet.empty()) return false;
    const std::optional<TMagnetLink> link = ParseMagnet(magnet);
    if (!link || !m_state->AddSeenMagnet(link->InfoHashHex)) return false;
    std::unique_ptr<TTorrentEx> entry = MakeMagnetEntry(*link, magnet, item.Title, item.Size);
    if (entry->TorrentName.empty()) entry->TorrentName = entry->InfoHashHex;
    return handOver(std::move(entry), item);
}

std::unique_ptr<TTorrentEx> TTorznabSearchThread::downloadTorrent(const std::string& url)
{
    FetchOptions options;
    options.attempts = FetchAttempts;
    options.pause = m_state->FetchPause;
    options.readTimeoutMs = FetchReadTimeout;
    options.stop = StopToken();
    std::string bytes;
    GetHtml(url, options, bytes);
    if (bytes.empty() || Terminated()) return nullptr;
    auto entry = std::make_unique<TTorrentEx>();
    entry->LinkUrl = url;
    entry->LoadMetainfo(bytes);
    // Recorded before the entry is sent, as the catalogue's workers do.
    // A file whose load failed before its info hash is not a torrent.
    if (entry->TorrentName.empty() || entry->InfoHashHex.empty() || !m_state->AddSeenHash(entry->InfoHashHex))
        return nullptr;
    return entry;
}

bool TTorznabSearchThread::handOver(std::unique_ptr<TTorrentEx> entry, const TTorznabItem& item)
{
    if (Terminated()) return false;
    entry->Source = m_endpoint.Name;
    entry->SourcePeers = item.PeerCount();
    // Both copy what they need now, while the entry is certainly alive.
    std::shared_ptr<TCheckPingThread> check;
    if (m_state->AutoCheckPeer() && (!entry->AnnounceUrl.empty() || !entry->BackupTrackers.empty()))
        check = TCheckPingThread::Create(*entry, m_state->MainWindowHandle);
    std::shared_ptr<TMetadataThread> files;
    if (entry->IsMagnet() && m_state->AutoFetchFiles())
        files = TMetadataThread::Create(*entry, m_state->MainWindowHandle, m_state->MetadataOptions);
    if (!m_state->MainWindowHandle->TorrentFound(std::move(entry))) {
        Terminate();
        return false;
    }
    m_state->RecordTorrent(m_search, m_siteIndex);
    // Registered first, tested after, so that a Stop always reaches them (as
    // the catalogue's workers do).
    if (check) m_state->AddCheckThread(check);
    if (files) m_state->AddMetadataThread(files);
    if (Terminated()) return true;
    try {
        if (check) check->Start();
        if (files) files->Queue();
    } catch (const std::exception& e) {
        SORVENA_TRACE(e.what());
    }
    return true;
}

TTorznabTestResult TestTorznabEndpoint(const std::string& apiUrl, const FetchOptions& options)
{
    std::string body;
    const FetchResult got = GetHtml(TorznabCapsUrl(apiUrl), options, body);
    if (!got.ok) return {false, TorznabFetchFailure(got)};
    const TTorznabCaps caps = ParseTorznabCaps(body);
    if (caps.What == TTorznabReply::Kind::Error) return {false, TorznabErrorText(caps.ErrorCode, caps.ErrorDescription)};
    if (caps.What == TTorznabReply::Kind::Malformed)
        return {false, "the reply is not a Torznab capabilities document: " + caps.Problem};
    std::string text = std::to_string(caps.Categories.size()) + " categories";
    if (!caps.Categories.empty()) text += ": ";
    for (size_t i = 0; i < caps.Categories.size(); ++i) {
        if (i) text += ", ";
        text += caps.Categories[i].Name + " (" + std::to_string(caps.Categories[i].Id) + ")";
    }
    text += "; up to " + std::to_string(caps.LimitMax) + " results a page";
    if (!caps.SearchAvailable) return {false, text + "; but it offers no search"};
    return {true, text};
}

}  // namespace sorvena
