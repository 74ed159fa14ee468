#pragma once
// A fixture Torznab endpoint on 127.0.0.1 for the tests and the benchmark,
// and the XML of the replies real endpoints send, in their shapes: Jackett's
// and Prowlarr's (torznab:attr, "peers" = seeders plus leechers) and the
// older Newznab form (newznab:attr, "leechers").
//
// The endpoint answers t=caps with its capabilities and t=search with the
// slice offset..offset+limit of its items, and serves FixtureTorrent(id)
// behind every item's download link (/dl/<id>.torrent).

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/FixtureSites.h"

namespace sorvena::test {

enum class TorznabDialect { Jackett, Newznab };

struct TorznabItemSpec {
    std::string title;
    int torrentId = -1;  // link and enclosure to FixtureTorrent(torrentId) on the endpoint
    int magnetId = -1;   // a magneturl attribute with FixtureMagnet(magnetId)
    // With magnetId and no torrentId: the magnet is the link and enclosure
    // too, as Jackett writes items of sites without torrent files.
    bool magnetAsLink = false;
    int64_t size = -1;
    int seeders = -1;
    int peers = -1;
    int leechers = -1;
};

// The magnet link of FixtureTorrent(id): its info hash, name and tracker.
std::string FixtureMagnet(int id);

// A search reply with these items; download links point at host.
std::string TorznabFeedXml(const std::vector<TorznabItemSpec>& items, TorznabDialect dialect, const std::string& host);
std::string TorznabCapsXml(int limitMax, int limitDefault);
std::string TorznabErrorXml(int code, const std::string& description);

class FixtureTorznab {
public:
    explicit FixtureTorznab(TorznabDialect dialect = TorznabDialect::Jackett, int limitMax = 100,
                            int limitDefault = 100);

    // "http://127.0.0.1:<port>/api/v2.0/indexers/all/results/torznab/api?apikey=secret"
    std::string ApiUrl() const;
    std::string Host() const { return m_server.Host(); }

    void SetItems(std::vector<TorznabItemSpec> items);
    // Every t=search gets the same first page whatever its offset (endpoints
    // that do not page).
    void IgnoreOffset();
    // Every t=search (or every t=caps) gets this reply instead.
    void SetSearchReply(FixtureServer::Reply reply);
    void SetCapsReply(FixtureServer::Reply reply);

    // The targets of the t=search requests, and of the downloads, in order.
    std::vector<std::string> SearchTargets() const;
    std::vector<std::string> Downloads() const;
    FixtureServer& Server() { return m_server; }

private:
    FixtureServer::Reply answer(const std::string& target);

    const TorznabDialect m_dialect;
    const int m_limitMax;
    const int m_limitDefault;
    mutable std::mutex m_mutex;
    std::vector<TorznabItemSpec> m_items;
    bool m_ignoreOffset = false;
    std::optional<FixtureServer::Reply> m_searchReply;
    std::optional<FixtureServer::Reply> m_capsReply;
    std::vector<std::string> m_searchTargets;
    std::vector<std::string> m_downloads;
    FixtureServer m_server;  // last: stopped first
};

}  // namespace sorvena::test
