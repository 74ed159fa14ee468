#include "search/SiteCatalogue.h"

#include "search/IdSearchThread.h"
#include "settings/IniFile.h"
#include "search/SearchState.h"
#include "search/SearchUtil.h"
#include "search/TorznabSearchThread.h"

namespace sorvena {

TSiteHosts TSiteHosts::Defaults()
{
    TSiteHosts hosts;
    hosts.Site = {"thepiratebay.org", "www.torrentreactor.net", "isohunt.com", "www.google.com",
                  "www.torrentspy.com", "www.btbot.com", "www.hypertorrent.org", "", "www.btchina.net",
                  "www.btasp.net"};
    hosts.PirateBayImages = "static.thepiratebay.org";
    hosts.IsoHuntDownload = "ca.isohunt.com";
    return hosts;
}

void TSiteHosts::ReadOverrides(const TIniFile& settings)
{
    auto read = [&](std::string_view key, std::string& host) {
        if (key.empty()) return;
        std::string value = settings.ReadString(HostsSection, key, "");
        if (!value.empty()) host = std::move(value);
    };
    for (int slot = 0; slot < SITE_COUNT; ++slot) read(HostKeys[slot], Site[slot]);
    read(PirateBayImagesKey, PirateBayImages);
    read(IsoHuntDownloadKey, IsoHuntDownload);
}

std::optional<TSiteQuery> BuildSiteQuery(int slot, std::string_view k, int category, const TSiteHosts& hosts)
{
    if (slot < 0 || slot >= SITE_COUNT || slot == SITE_NONE) return std::nullopt;
    const std::string K(k);
    const std::string base = "http://" + hosts.Site[slot];
    TSiteQuery q;
    q.SiteIndex = slot;
    auto paging = [&q](int offset, int start, int step) {
        q.PageOffset = offset;
        q.StartPage = start;
        q.PageStep = step;
    };
    switch (slot) {
    case SITE_PIRATEBAY:
        q.Url = base + "/torrents-search.php?cat=" + std::string(CategoryCodeCat(category)) + "&search=" + K + "&page=";
        q.LinkMarker = "<a href=\"download.php/";
        q.Terminator = "\"><img src=http://" + hosts.PirateBayImages;
        q.DownloadPrefix = base + "/download.php/";
        paging(0, 0, 10);
        break;
    case SITE_TORRENTREACTOR:
        // The category code is part of the parameter's name: "cid4=".
        q.Url = base + "/search.php?search=&cid" + std::string(CategoryCodeCid(category)) + "=&words=" + K + "&skip=";
        q.LinkMarker = "view.php?id=";
        q.Terminator = "\"";
        q.DownloadPrefix = base + "/download.php?id=";
        paging(0, 0, 50);
        break;
    case SITE_ISOHUNT:
        q.Url = base + "/torrents.php?op=and&ext=&ihq=" + K + "&ihp=";
        q.LinkMarker = "/btDetails.php?ihq=" + K + "&id=";
        q.Terminator = "'";
        q.DownloadPrefix = "http://" + hosts.IsoHuntDownload + "/download.php?mode=bt&id=";
        paging(0, 1, 1);
        break;
    case SITE_GOOGLE:
        q.Url = base + "/search?hl=en&lr=&newwindow=1&sa=N&q=" + K + "+filetype%3Atorrent&start=";
        q.LinkMarker = "<p class=g><a href=";
        q.Terminator = " ";
        paging(0, 0, 10);
        break;
    case SITE_TORRENTSPY:
        q.Url = base + "/search.asp?mode=advanced&subcat=0&query=" + K + "&maincat=" +
                std::string(CategoryCodeMaincat(category)) + "&pg=";
        q.LinkMarker = "search.asp?mode=torrentdetails&id=";
        q.Terminator = "\"";
        q.DownloadPrefix = base + "/download.asp?id=";
        paging(0, 1, 1);
        break;
    case SITE_BTBOT:
        q.Url = base + "/search.bt?n=15&q=" + K + "&s=";
        q.LinkMarker = "</td><td><a href=";
        q.Terminator = " ";
        paging(1, 1, 15);
        break;
    case SITE_HYPERTORRENT:
        q.Url = base + "/index.php?sel=0&keyword=" + K;
        q.LinkMarker = " ><a href='";
        q.Terminator = "'";
        paging(0, 0, 0);
        break;
    case SITE_BT_CHINESE:
        q.Url = base + "/index.php?language=cn&fid=0&page_num_id=3&time_limit_id=1&title=" + K + "&page=";
        q.LinkMarker = "><a href=\"torrent/";
        q.Terminator = "\"";
        q.DownloadPrefix = base + "/torrent/";
        paging(0, 1, 1);
        break;
    case SITE_BT_ASP:
        q.Url = base + "/Search.asp?k=" + K + "&page=";
        q.LinkMarker = "</a><a href=\"soft/";
        q.Terminator = ".htm";
        q.DownloadPrefix = base + "/down.asp?no=1&id=";
        paging(0, 1, 1);
        break;
    default:
        return std::nullopt;
    }
    return q;
}

void StartSiteSearches(const std::shared_ptr<TSearchState>& state)
{
    // Every flag is set before the first worker exists, so a done message
    // can never find the search with all flags clear too early.
    state->SiteBusy.assign(SITE_COUNT + state->Endpoints.size(), false);
    for (const int slot : StartedSlots) state->SiteBusy[slot] = true;
    for (size_t i = 0; i < state->Endpoints.size(); ++i)
        state->SiteBusy[SITE_COUNT + i] = state->Endpoints[i].Enabled;
    state->ClearSeen();
    state->StartSiteReports();  // before any worker: each takes this search's number
    const std::string k = UrlEncode(state->SearchKeyword);
    for (const int slot : StartedSlots) {
        const std::optional<TSiteQuery> q = BuildSiteQuery(slot, k, state->SearchCategory, state->Hosts);
        if (!q) continue;
        std::shared_ptr<TIdSearchThread> worker;
        if (q->DownloadPrefix.empty())
            worker = std::make_shared<TIdSearchThread>(state, q->Url, q->LinkMarker, q->Terminator, q->SiteIndex,
                                                       q->PageOffset, q->StartPage, q->PageStep);
        else
            worker = std::make_shared<TIdSearchThread>(state, q->Url, q->LinkMarker, q->Terminator,
                                                       q->DownloadPrefix, q->SiteIndex, q->PageOffset,
                                                       q->StartPage, q->PageStep);
        state->AddSearchThread(worker);
        worker->Start();
    }
    for (size_t i = 0; i < state->Endpoints.size(); ++i) {
        if (!state->Endpoints[i].Enabled) continue;
        auto worker = std::make_shared<TTorznabSearchThread>(state, state->Endpoints[i],
                                                             SITE_COUNT + static_cast<int>(i), k,
                                                             state->SearchCategory);
        state->AddSearchThread(worker);
        worker->Start();
    }
}

}  // namespace sorvena
