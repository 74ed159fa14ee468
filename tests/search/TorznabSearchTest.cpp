// Whole searches with Torznab endpoints on 127.0.0.1 beside the catalogue's
// fixture sites: the query bytes, items with torrent links and magnets,
// paging by offset, error replies as failure reasons, and one row per info
// hash across every source.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <map>
#include <set>
#include <thread>

#include "search/SearchSession.h"
#include "search/SearchState.h"
#include "search/Torznab.h"
#include "support/Waits.h"
#include "support/FixtureSites.h"
#include "support/FixtureTorznab.h"
#include "worker/WorkerThread.h"

namespace sorvena::test {
namespace {

using namespace std::chrono_literals;

struct Row {
    std::string name;
    bool magnet;
    size_t files;
    int32_t sourcePeers;
    std::string source;
};

class TorznabSearchTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (session) {
            session->StopSearch();
            session->TerminateWorkers();
        }
        EXPECT_TRUE(TWorkerThread::WaitForAll(5s)) << "workers still running";
        session.reset();
    }

    void Start(std::vector<TTorznabEndpoint> endpoints, std::string_view keyword = "linux", int category = 0)
    {
        TIniOptions options;
        options.AutoCheckPeer = false;
        session = std::make_unique<TSearchSession>(sites.Prepare(keyword, category), options, std::move(endpoints));
        session->State()->FetchPause = 5ms;
        session->BeginSearch(keyword, category);
    }

    bool Finished() { return session->WaitFinished(std::chrono::steady_clock::now() + EventWaitCap); }

    // The rows by info hash; fails the test on a second row of one hash.
    std::map<std::string, Row> Rows() const
    {
        std::map<std::string, Row> rows;
        session->ForEachResult([&](const TTorrentEx& t) {
            const bool added =
                rows.emplace(t.InfoHashHex, Row{t.TorrentName, t.IsMagnet(), t.SubFiles.size(), t.SourcePeers, t.Source})
                    .second;
            EXPECT_TRUE(added) << "a second row for " << t.InfoHashHex;
        });
        return rows;
    }

    static std::vector<std::string> SearchOffsets(const FixtureTorznab& endpoint)
    {
        std::vector<std::string> offsets;
        for (const std::string& target : endpoint.SearchTargets()) {
            const size_t at = target.find("&offset=");
            offsets.push_back(target.substr(at + 8, target.find('&', at + 1) - at - 8));
        }
        return offsets;
    }

    FixtureSites sites;
    std::unique_ptr<TSearchSession> session;
};

TEST_F(TorznabSearchTest, SendsCapsThenTheSearchQueryBytes)
{
    FixtureTorznab endpoint;
    // A blank, "+", "&" and the byte 233: form-encoded as the catalogue does.
    Start({{"Jackett", endpoint.ApiUrl(), true}}, " linux iso+&\xE9 ", 8);
    ASSERT_TRUE(Finished());
    const auto targets = endpoint.Server().Targets();
    ASSERT_EQ(targets.size(), 2u);
    EXPECT_EQ(targets[0], "/api/v2.0/indexers/all/results/torznab/api?apikey=secret&t=caps");
    EXPECT_EQ(targets[1], "/api/v2.0/indexers/all/results/torznab/api?apikey=secret&t=search&q=linux+iso%2B%26%E9"
                          "&cat=2000&offset=0&limit=100&extended=1");
    EXPECT_EQ(session->SiteFailure(SITE_COUNT), "");
    EXPECT_EQ(session->SiteName(SITE_COUNT), "Jackett");

    // "All" sends no cat parameter.
    session.reset();
    FixtureTorznab all;
    Start({{"All", all.ApiUrl(), true}}, "a", 0);
    ASSERT_TRUE(Finished());
    ASSERT_EQ(all.SearchTargets().size(), 1u);
    EXPECT_EQ(all.SearchTargets()[0].find("cat="), std::string::npos) << all.SearchTargets()[0];
}

TEST_F(TorznabSearchTest, TorrentLinksMagnetsAndBoth)
{
    for (const TorznabDialect dialect : {TorznabDialect::Jackett, TorznabDialect::Newznab}) {
        SCOPED_TRACE(dialect == TorznabDialect::Jackett ? "torznab:attr" : "newznab:attr");
        FixtureTorznab endpoint(dialect);
        endpoint.SetItems({
            {"Both", 1, 1, false, 1001, 10, 15, -1},
            {"Torrent only", 2, -1, false, 1002, 4, -1, 1},
            {"Magnet attribute only", -1, 3, false, 777, 2, -1, 3},
            {"Magnet as link", -1, 4, true, -1, -1, -1, -1},
            {"Nothing to fetch", -1, -1, false, 5, 1, 1, -1},
        });
        Start({{"Indexer", endpoint.ApiUrl(), true}});
        ASSERT_TRUE(Finished());
        const auto rows = Rows();
        ASSERT_EQ(rows.size(), 4u);
        const Row& both = rows.at(FixtureInfoHash(1));
        EXPECT_FALSE(both.magnet) << "the torrent file wins over the magnet";
        EXPECT_EQ(both.files, 1u);
        EXPECT_EQ(both.source, "Indexer");
        EXPECT_EQ(both.sourcePeers, 15) << "peers already holds the seeders";
        EXPECT_FALSE(rows.at(FixtureInfoHash(2)).magnet);
        EXPECT_EQ(rows.at(FixtureInfoHash(2)).sourcePeers, 5);
        const Row& magnet = rows.at(FixtureInfoHash(3));
        EXPECT_TRUE(magnet.magnet);
        EXPECT_EQ(magnet.files, 0u);
        EXPECT_EQ(magnet.name, "fixture-torrent-3.iso") << "dn before the title";
        EXPECT_EQ(magnet.sourcePeers, 5);
        EXPECT_TRUE(rows.at(FixtureInfoHash(4)).magnet);
        EXPECT_EQ(rows.at(FixtureInfoHash(4)).sourcePeers, -1);
        const auto downloads = endpoint.Downloads();
        EXPECT_EQ(downloads.size(), 2u) << "only the torrent links are fetched";
        session.reset();
    }
}

TEST_F(TorznabSearchTest, PagesByOffsetWithinTheLimits)
{
    auto magnets = [](int count, int first = 100) {
        std::vector<TorznabItemSpec> items;
        for (int i = 0; i < count; ++i) items.push_back({"M" + std::to_string(i), -1, first + i, false, 1, 1, 1, -1});
        return items;
    };
    struct Case {
        const char* what;
        int items;
        int limitMax;
        bool ignoreOffset;
        std::vector<std::string> offsets;
        size_t rows;
    };
    const std::vector<Case> cases = {
        {"a short last page ends it", 250, 100, false, {"0", "100", "200"}, 250},
        {"the caps' maximum is the page size", 120, 50, false, {"0", "50", "100"}, 120},
        {"an exact last page costs one empty page", 100, 50, false, {"0", "50", "100"}, 100},
        {"an endpoint that ignores the offset", 300, 100, true, {"0", "100"}, 100},
        {"never more than ten pages", 500, 10, false, {"0", "10", "20", "30", "40", "50", "60", "70", "80", "90"}, 100},
        {"an empty channel", 0, 100, false, {"0"}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FixtureTorznab endpoint(TorznabDialect::Jackett, c.limitMax, c.limitMax);
        endpoint.SetItems(magnets(c.items));
        if (c.ignoreOffset) endpoint.IgnoreOffset();
        Start({{"Paged", endpoint.ApiUrl(), true}});
        ASSERT_TRUE(Finished());
        EXPECT_EQ(SearchOffsets(endpoint), c.offsets);
        EXPECT_EQ(Rows().size(), c.rows);
        EXPECT_EQ(session->SiteFailure(SITE_COUNT), "");
        EXPECT_TRUE(TWorkerThread::WaitForAll(5s));
        session.reset();
    }
}

TEST_F(TorznabSearchTest, ErrorRepliesEndTheSourceWithAReason)
{
    struct Case {
        const char* what;
        bool onCaps;
        FixtureServer::Reply reply;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"wrong API key: HTTP 200 and error 100", false, {200, TorznabErrorXml(100, "Invalid API Key"), false, ""},
         "wrong API key (error 100: Invalid API Key)"},
        {"wrong API key already on caps", true, {200, TorznabErrorXml(100, "Invalid API Key"), false, ""},
         "wrong API key (error 100: Invalid API Key)"},
        {"rate limit", false, {429, "Too Many Requests", false, "Retry-After: 60\r\n"},
         "too many requests (HTTP 429)"},
        {"disabled indexer", false, {410, "", false, ""}, "the indexer is disabled or gone (HTTP 410)"},
        {"another error code", false, {200, TorznabErrorXml(203, "Function not available"), false, ""},
         "the indexer reported an error (error 203: Function not available)"},
        {"malformed XML", false, {200, "<rss><channel><item><title>x</item>", false, ""},
         "the reply is not Torznab XML: mismatched tag at line 1"},
        {"a login page", false, {200, "<html><body>Sign in</body></html>", false, ""},
         "the reply is not Torznab XML: the reply is no RSS feed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FixtureTorznab endpoint;
        endpoint.SetItems({{"Would be found", -1, 1, false, 1, 1, 1, -1}});
        if (c.onCaps) endpoint.SetCapsReply(c.reply);
        else endpoint.SetSearchReply(c.reply);
        Start({{"Failing", endpoint.ApiUrl(), true}});
        ASSERT_TRUE(Finished());
        EXPECT_EQ(session->SiteFailure(SITE_COUNT).rfind(c.reason, 0), 0u) << session->SiteFailure(SITE_COUNT);
        EXPECT_TRUE(Rows().empty());
        EXPECT_EQ(endpoint.SearchTargets().size(), c.onCaps ? 0u : 1u) << "asked once, not again";
        session.reset();
    }
    Start({{"Dead", "http://" + DeadHost() + "/api?apikey=x", true}});
    ASSERT_TRUE(Finished());
    EXPECT_EQ(session->SiteFailure(SITE_COUNT).rfind("no connection to the endpoint (is it running?)", 0), 0u)
        << session->SiteFailure(SITE_COUNT);
}

TEST_F(TorznabSearchTest, DisabledEndpointsAreNotAsked)
{
    FixtureTorznab on, off;
    on.SetItems({{"A", -1, 1, false, 1, 1, 1, -1}});
    Start({{"Off", off.ApiUrl(), false}, {"On", on.ApiUrl(), true}});
    ASSERT_TRUE(Finished());
    EXPECT_TRUE(off.Server().Targets().empty());
    EXPECT_EQ(Rows().size(), 1u);
    const auto busy = session->GetProgress().busy;
    EXPECT_EQ(busy.size(), static_cast<size_t>(SITE_COUNT + 2));
    EXPECT_EQ(session->SiteName(SITE_COUNT + 1), "On");
}

TEST_F(TorznabSearchTest, SameTorrentFromTheCatalogueAndAnEndpointIsOneRow)
{
    // Eight first: its full torrent is new to the site whichever source came
    // first, so the site's scan goes on to seven. Seven first, the endpoint
    // could take seven before the site, and the site's scan would end there.
    sites.Add(SITE_TORRENTREACTOR).SetPages({{FixtureLinkText(8), FixtureLinkText(7)}});
    FixtureTorznab endpoint;
    endpoint.SetItems({{"Seven", 7, 7, false, 1, 1, 1, -1}, {"Eight as magnet", -1, 8, true, 1, 2, 3, -1}});
    Start({{"Jackett", endpoint.ApiUrl(), true}});
    ASSERT_TRUE(Finished());
    const auto rows = Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_FALSE(rows.at(FixtureInfoHash(7)).magnet);
    EXPECT_FALSE(rows.at(FixtureInfoHash(8)).magnet) << "whichever came first, the full torrent is listed";
    EXPECT_EQ(rows.at(FixtureInfoHash(8)).files, 1u);
}

TEST_F(TorznabSearchTest, MagnetEntryThenItsFullTorrentIsOneRowThatGainsItsFiles)
{
    FixtureSite& site = sites.Add(SITE_TORRENTREACTOR);
    site.SetPages({{FixtureLinkText(9)}});
    site.HoldDownload(FixtureLinkText(9));
    FixtureTorznab endpoint;
    endpoint.SetItems({{"Nine", -1, 9, false, 5, 20, 30, -1}});
    Start({{"Jackett", endpoint.ApiUrl(), true}});
    // The magnet entry is listed while the site's download is held.
    bool listed = false;
    for (auto until = std::chrono::steady_clock::now() + EventWaitCap; !listed && std::chrono::steady_clock::now() < until;) {
        std::this_thread::sleep_for(2ms);
        listed = Rows().count(FixtureInfoHash(9)) == 1;
    }
    ASSERT_TRUE(listed);
    EXPECT_TRUE(Rows().at(FixtureInfoHash(9)).magnet);
    site.Server().Release();
    ASSERT_TRUE(Finished());
    const auto rows = Rows();
    ASSERT_EQ(rows.size(), 1u);
    const Row& row = rows.at(FixtureInfoHash(9));
    EXPECT_FALSE(row.magnet);
    EXPECT_EQ(row.files, 1u);
    EXPECT_EQ(row.sourcePeers, 30) << "the endpoint's count stays with the row";
    EXPECT_EQ(row.source, "Jackett");
    const auto progress = session->GetProgress();
    EXPECT_EQ(progress.torrents, 1);
    EXPECT_EQ(progress.replaced, 1);
    EXPECT_EQ(progress.files, 1);
}

TEST_F(TorznabSearchTest, TwoEndpointsAndTheCatalogueInOneSearch)
{
    // The same torrents and magnets from every source at once: one row each.
    sites.Add(SITE_TORRENTREACTOR).SetPages({{FixtureLinkText(20), FixtureLinkText(21), FixtureLinkText(22)}});
    sites.Add(SITE_BTBOT).SetPages({{FixtureLinkText(22), FixtureLinkText(23)}});
    FixtureTorznab first(TorznabDialect::Jackett), second(TorznabDialect::Newznab);
    std::vector<TorznabItemSpec> items;
    for (int id = 20; id < 30; ++id) items.push_back({"T" + std::to_string(id), id % 2 ? id : -1, id, id % 2 == 0, 1, 1, 1, -1});
    first.SetItems(items);
    std::reverse(items.begin(), items.end());
    second.SetItems(items);
    Start({{"First", first.ApiUrl(), true}, {"Second", second.ApiUrl(), true}});
    ASSERT_TRUE(Finished());
    const auto rows = Rows();
    ASSERT_EQ(rows.size(), 10u);
    for (int id = 20; id < 30; ++id) {
        SCOPED_TRACE(id);
        ASSERT_EQ(rows.count(FixtureInfoHash(id)), 1u);
        // Odd ids have torrent links on the endpoints; 20 and 22 come from
        // the catalogue's sites.
        const bool full = id % 2 == 1 || id == 20 || id == 22;
        EXPECT_EQ(rows.at(FixtureInfoHash(id)).magnet, !full);
    }
}

}  // namespace
}  // namespace sorvena::test

namespace sorvena::test {
namespace {

// The full torrent of FixtureMagnet(id), as the swarm would give it.
std::unique_ptr<TTorrentEx> SwarmTorrent(int id)
{
    auto torrent = std::make_unique<TTorrentEx>();
    EXPECT_TRUE(torrent->LoadMetainfo(FixtureTorrent(id)));
    return torrent;
}

TEST_F(TorznabSearchTest, MagnetEntriesGetTheirFileListsWhileTheOptionIsOn)
{
    FixtureTorznab endpoint;
    endpoint.SetItems({{"One", -1, 1, true, 5, 1, 1, -1}, {"Two", -1, 2, true, 5, 1, 1, -1}, {"Three", 3, -1, false, 5, 1, 1, -1}});
    for (const bool on : {true, false}) {
        SCOPED_TRACE(on ? "on" : "off");
        TIniOptions options;
        options.AutoFetchFiles = on;
        session = std::make_unique<TSearchSession>(sites.Prepare("linux", 0), options,
                                                   std::vector<TTorznabEndpoint>{{"Jackett", endpoint.ApiUrl(), true}});
        session->State()->FetchPause = 5ms;
        std::atomic<int> fetches{0};
        session->State()->MetadataOptions.fetcher = [&](const TTorrentEx& magnet, const MetadataFetchOptions&,
                                                        std::stop_token) {
            ++fetches;
            if (magnet.InfoHashHex == FixtureInfoHash(2)) return MetadataFetchResult{nullptr, "no peer answered"};
            return MetadataFetchResult{SwarmTorrent(1), ""};
        };
        session->BeginSearch("linux", 0);
        ASSERT_TRUE(Finished());
        // The fetches may end after the search: the list is read once they have.
        ASSERT_TRUE(session->WaitForWorkers(EventWaitCap));
        const auto rows = Rows();
        ASSERT_EQ(rows.size(), 3u);
        const Row& one = rows.at(FixtureInfoHash(1));
        EXPECT_EQ(one.magnet, !on);
        EXPECT_EQ(one.files, on ? SwarmTorrent(1)->SubFiles.size() : 0u);
        EXPECT_EQ(one.source, "Jackett") << "the source stays with the row";
        EXPECT_TRUE(rows.at(FixtureInfoHash(2)).magnet);
        EXPECT_EQ(session->FileListFailure(FixtureInfoHash(2)), on ? "no peer answered" : "");
        const auto progress = session->GetProgress();
        EXPECT_EQ(fetches, on ? 2 : 0) << "one fetch per magnet entry, none for a torrent file";
        EXPECT_EQ(progress.fileLists, on ? 1 : 0);
        EXPECT_EQ(progress.fileListFailures, on ? 1 : 0);
        EXPECT_EQ(progress.torrents, 3) << "an upgraded row is no new torrent";
        EXPECT_EQ(static_cast<size_t>(progress.files),
                  SwarmTorrent(3)->SubFiles.size() + (on ? SwarmTorrent(1)->SubFiles.size() : 0u));
        session.reset();
    }
}

TEST_F(TorznabSearchTest, StopEndsTheAutomaticFileListFetches)
{
    FixtureTorznab endpoint;
    endpoint.SetItems({{"One", -1, 1, true, 5, 1, 1, -1}});
    TIniOptions options;
    options.AutoFetchFiles = true;
    session = std::make_unique<TSearchSession>(sites.Prepare("linux", 0), options,
                                               std::vector<TTorznabEndpoint>{{"Jackett", endpoint.ApiUrl(), true}});
    session->State()->FetchPause = 5ms;
    std::mutex lock;
    std::condition_variable changed;
    bool entered = false;
    session->State()->MetadataOptions.fetcher = [&](const TTorrentEx&, const MetadataFetchOptions&, std::stop_token stop) {
        std::stop_callback wake(stop, [&] {
            std::lock_guard guard(lock);
            changed.notify_all();
        });
        std::unique_lock guard(lock);
        entered = true;
        changed.notify_all();
        changed.wait(guard, [&] { return stop.stop_requested(); });
        return MetadataFetchResult{SwarmTorrent(1), ""};  // too late: the worker must drop it
    };
    session->BeginSearch("linux", 0);
    {
        std::unique_lock guard(lock);
        ASSERT_TRUE(changed.wait_for(guard, EventWaitCap, [&] { return entered; }));
    }
    session->StopSearch();
    ASSERT_TRUE(session->WaitForWorkers(EventWaitCap));
    EXPECT_TRUE(Rows().at(FixtureInfoHash(1)).magnet);
    EXPECT_EQ(session->GetProgress().fileLists, 0);
}

}  // namespace
}  // namespace sorvena::test
