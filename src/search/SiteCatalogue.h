#pragma once
// The catalogue of searched sites: ten numbered slots, each with its query
// template, paging numbers, the markers around torrent links on its result
// pages and the prefix that turns a link into a download URL.
//
// Every host can be replaced from the settings file, section [Hosts], one key
// per slot (see HostKeys); a value may carry a port ("127.0.0.1:8080").
// Pure functions except StartSiteSearches.

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace sorvena {

class TIniFile;
class TSearchState;

inline constexpr int SITE_COUNT = 10;
inline constexpr int SITE_PIRATEBAY = 0;
inline constexpr int SITE_TORRENTREACTOR = 1;
inline constexpr int SITE_ISOHUNT = 2;
inline constexpr int SITE_GOOGLE = 3;
inline constexpr int SITE_TORRENTSPY = 4;
inline constexpr int SITE_BTBOT = 5;
inline constexpr int SITE_HYPERTORRENT = 6;
inline constexpr int SITE_NONE = 7;  // no site
inline constexpr int SITE_BT_CHINESE = 8;
inline constexpr int SITE_BT_ASP = 9;  // never started

inline constexpr std::string_view SiteNames[SITE_COUNT] = {
    "The Pirate Bay", "TorrentReactor", "isoHunt", "Google", "TorrentSpy",
    "BTBot", "HyperTorrent", "", "BT China", "BT ASP"};

// The settings section and the keys of the host overrides. Slot 0 has a
// second host (its static images, part of its link terminator) and slot 2 a
// second host (its downloads).
inline constexpr std::string_view HostsSection = "Hosts";
inline constexpr std::string_view HostKeys[SITE_COUNT] = {
    "PirateBay", "TorrentReactor", "IsoHunt", "Google", "TorrentSpy",
    "BTBot", "HyperTorrent", "", "BTChina", "BTAsp"};
inline constexpr std::string_view PirateBayImagesKey = "PirateBayImages";
inline constexpr std::string_view IsoHuntDownloadKey = "IsoHuntDownload";

struct TSiteHosts {
    std::array<std::string, SITE_COUNT> Site;  // the search host of each slot; "" for slot 7
    std::string PirateBayImages;
    std::string IsoHuntDownload;

    // Each service's own historical host.
    static TSiteHosts Defaults();
    // Replaces every host that [Hosts] names with a non-empty value.
    void ReadOverrides(const TIniFile& settings);
};

// What a search worker of one slot is started with.
struct TSiteQuery {
    int SiteIndex = 0;
    std::string Url;  // the page value is appended, except for a single-page site
    std::string LinkMarker;
    std::string Terminator;
    std::string DownloadPrefix;  // "" where links are complete URLs
    int PageOffset = 0;
    int StartPage = 0;
    int PageStep = 0;
};

// The query of one slot for the encoded keyword (UrlEncode) and the category
// index; nothing for slot 7 and for numbers outside 0..9. Slot 9 has a query
// although StartSiteSearches never starts it.
std::optional<TSiteQuery> BuildSiteQuery(int slot, std::string_view encodedKeyword, int category,
                                         const TSiteHosts& hosts);

// The slots StartSiteSearches starts, in the order it starts them.
inline constexpr std::array<int, 8> StartedSlots = {1, 4, 8, 2, 3, 5, 6, 0};

// Starts one search: marks the eight searched slots busy (7 and 9 not busy)
// and every enabled endpoint of state->Endpoints (site SITE_COUNT + its
// index), empties the seen lists and the site reports, and starts one
// TIdSearchThread per busy slot with the query built from
// state->SearchKeyword and state->SearchCategory, then one
// TTorznabSearchThread per enabled endpoint,
// adding each to the state's search thread list. Window thread; returns as
// soon as the workers run. Throws std::system_error when a thread cannot be
// started (the workers started before it keep running).
void StartSiteSearches(const std::shared_ptr<TSearchState>& state);

}  // namespace sorvena
