#pragma once
// Fixture search sites on 127.0.0.1 for the search tests and the benchmark.
//
// A FixtureSite is one loopback HTTP server that plays one catalogue slot: it
// answers the slot's n-th query request with its n-th result page (an empty
// page after the last), written in the slot's link format, and serves the
// torrent files behind the links. FixtureSites points every started slot at
// a loopback server (an empty site unless a fixture plays it), so a search in
// a test never leaves the machine.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "search/SiteCatalogue.h"

namespace sorvena::test {

// A torrent file with a name made from id, so that every id has its own info
// hash. Its announce URL points at a closed loopback port.
std::string FixtureTorrent(int id);
// The info hash of FixtureTorrent(id).
std::string FixtureInfoHash(int id);
// The link text a fixture site lists for torrent id ("t<id>" after a
// download prefix; a whole URL on sites without one).
std::string FixtureLinkText(int id);

// A loopback port on which nothing listens: connections are refused.
std::string DeadHost();

class FixtureServer {
public:
    struct Reply {
        int status = 200;
        std::string body;
        bool hold = false;  // answer nothing until Release, the client closes, or the server ends
        std::string headers = {};  // more head lines, each ending with CR LF
    };
    using Handler = std::function<Reply(const std::string& target)>;

    explicit FixtureServer(Handler handler);
    ~FixtureServer();
    FixtureServer(const FixtureServer&) = delete;
    FixtureServer& operator=(const FixtureServer&) = delete;

    std::string Host() const;  // "127.0.0.1:<port>"
    // The request targets so far, in order of arrival.
    std::vector<std::string> Targets() const;
    // True while a held request waits.
    bool Holding() const { return m_holding; }
    void Release() { m_released = true; }

private:
    void run();
    void serve(int fd);

    Handler m_handler;
    int m_listenFd = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_holding{false};
    std::atomic<bool> m_released{false};
    mutable std::mutex m_mutex;
    std::vector<std::string> m_targets;
    std::thread m_thread;
};

class FixtureSite {
public:
    explicit FixtureSite(int slot);

    int Slot() const { return m_slot; }
    std::string Host() const { return m_server.Host(); }
    // Result pages: the link texts of each page. Use FixtureLinkText for a
    // served torrent; any other text is listed as it is.
    void SetPages(std::vector<std::vector<std::string>> pages);
    // After the pages set, every further page lists linksPerPage torrents
    // never listed before (ids from EndlessFirstId on), and serves them: a
    // site that pages without end.
    static constexpr int EndlessFirstId = 1'000'000;
    void SetEndlessPages(int linksPerPage);
    // Serves FixtureTorrent(id) behind FixtureLinkText(id) (SetPages does it
    // for every listed id-shaped link).
    void ServeTorrent(int id);
    // Serves bytes (or a 404 when nothing) behind a link text.
    void ServeDownload(const std::string& linkText, std::optional<std::string> bytes);
    // Holds the n-th query request (0 = first page) or the download of a link.
    void HoldQuery(int n);
    void HoldDownload(const std::string& linkText);

    // Called by FixtureSites once the hosts are known.
    void SetQuery(const TSiteQuery& query);

    // The query requests (targets) and the downloads (link texts) received.
    std::vector<std::string> QueryTargets() const;
    std::vector<std::string> Downloads() const;
    const FixtureServer& Server() const { return m_server; }
    FixtureServer& Server() { return m_server; }

private:
    FixtureServer::Reply answer(const std::string& target);
    std::string downloadPath(const std::string& linkText) const;  // lock held

    const int m_slot;
    mutable std::mutex m_mutex;
    TSiteQuery m_query;
    std::string m_queryPath;
    std::vector<std::vector<std::string>> m_pages;
    std::map<std::string, std::optional<std::string>> m_downloads;  // by link text
    std::vector<std::string> m_queryTargets;
    std::vector<std::string> m_downloaded;
    int m_endlessLinksPerPage = 0;
    int m_holdQuery = -1;
    std::string m_holdDownload;
    FixtureServer m_server;  // last: stopped first, while the rest is alive
};

class FixtureSites {
public:
    FixtureSites();
    // A fixture for slot (one per slot).
    FixtureSite& Add(int slot);
    // Points slot at host instead (a dead host, say).
    void SetHost(int slot, std::string host);
    // The hosts of every slot, with the queries of keyword and category given
    // to the fixtures.
    TSiteHosts Prepare(std::string_view keyword, int category);
    FixtureServer& Empty() { return m_empty; }

private:
    FixtureServer m_empty;  // every slot no fixture plays: a site with no results
    std::vector<std::unique_ptr<FixtureSite>> m_sites;
    std::map<int, std::string> m_hostOverrides;
};

}  // namespace sorvena::test
