// Whole searches against fixture sites on 127.0.0.1: the query each slot
// sends, paging, the page-scan rules, duplicates across sites, stop and dead
// sites. Every slot points at a loopback server.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "support/FixtureSites.h"
#include "support/FixtureTracker.h"
#include "support/PeerCheckRun.h"
#include "support/Waits.h"
#include "search/IdSearchThread.h"
#include "search/SearchSession.h"
#include "search/SearchState.h"
#include "worker/WorkerThread.h"

namespace sorvena::test {
namespace {

using namespace std::chrono_literals;

class SearchTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (session) {
            session->StopSearch();
            session->TerminateWorkers();
        }
        EXPECT_TRUE(TWorkerThread::WaitForAll(EventWaitCap)) << "workers still running";
        session.reset();
    }

    void Start(std::string_view keyword = "linux", int category = 0, bool autoCheckPeer = false)
    {
        TIniOptions options;
        options.AutoCheckPeer = autoCheckPeer;
        session = std::make_unique<TSearchSession>(sites.Prepare(keyword, category), options);
        session->State()->FetchPause = 5ms;
        session->BeginSearch(keyword, category);
    }

    bool Finished() { return session->WaitFinished(std::chrono::steady_clock::now() + EventWaitCap); }

    std::multiset<std::string> FoundHashes() const
    {
        std::multiset<std::string> hashes;
        session->ForEachResult([&](const TTorrentEx& t) { hashes.insert(t.InfoHashHex); });
        return hashes;
    }

    static std::multiset<std::string> Hashes(const std::vector<int>& ids)
    {
        std::multiset<std::string> hashes;
        for (const int id : ids) hashes.insert(FixtureInfoHash(id));
        return hashes;
    }

    template <typename Condition>
    static bool Eventually(Condition condition)
    {
        for (auto until = std::chrono::steady_clock::now() + EventWaitCap; std::chrono::steady_clock::now() < until;) {
            if (condition()) return true;
            std::this_thread::sleep_for(2ms);
        }
        return false;
    }

    FixtureSites sites;
    std::unique_ptr<TSearchSession> session;
};

TEST_F(SearchTest, EachSlotSendsItsQuery)
{
    // A blank, a "+" and the byte 233 in the keyword; the category matters to
    // slots 0, 1 and 4 only.
    const std::string keyword = " linux iso+\xE9 ";
    const std::string k = "linux+iso%2B%E9";
    struct Case {
        int category;
        int slot;
        std::string target;
    };
    const std::vector<Case> cases = {
        {5, 0, "/torrents-search.php?cat=&search=" + k + "&page=0"},
        {5, 1, "/search.php?search=&cid4=&words=" + k + "&skip=0"},
        {5, 2, "/torrents.php?op=and&ext=&ihq=" + k + "&ihp=1"},
        {5, 3, "/search?hl=en&lr=&newwindow=1&sa=N&q=" + k + "+filetype%3Atorrent&start=0"},
        {5, 4, "/search.asp?mode=advanced&subcat=0&query=" + k + "&maincat=7&pg=1"},
        {5, 5, "/search.bt?n=15&q=" + k + "&s=16"},
        {5, 6, "/index.php?sel=0&keyword=" + k},
        {5, 8, "/index.php?language=cn&fid=0&page_num_id=3&time_limit_id=1&title=" + k + "&page=1"},
        {0, 0, "/torrents-search.php?cat=0&search=" + k + "&page=0"},
        {0, 1, "/search.php?search=&cid=&words=" + k + "&skip=0"},
        {0, 4, "/search.asp?mode=advanced&subcat=0&query=" + k + "&maincat=0&pg=1"},
        {1, 0, "/torrents-search.php?cat=&search=" + k + "&page=0"},
        {1, 1, "/search.php?search=&cid10=&words=" + k + "&skip=0"},
        {1, 4, "/search.asp?mode=advanced&subcat=0&query=" + k + "&maincat=11&pg=1"},
        {11, 4, "/search.asp?mode=advanced&subcat=0&query=" + k + "&maincat=12&pg=1"},
    };
    for (const int category : {5, 0, 1, 11}) {
        SCOPED_TRACE(category);
        FixtureSites local;
        std::map<int, FixtureSite*> bySlot;
        for (const int slot : {0, 1, 2, 3, 4, 5, 6, 8, 9}) bySlot[slot] = &local.Add(slot);
        session = std::make_unique<TSearchSession>(local.Prepare("linux iso+\xE9", category));
        session->BeginSearch(keyword, category);
        ASSERT_TRUE(Finished());
        for (const Case& c : cases) {
            if (c.category != category) continue;
            SCOPED_TRACE(c.slot);
            const auto targets = bySlot[c.slot]->QueryTargets();
            ASSERT_EQ(targets.size(), 1u);
            EXPECT_EQ(targets[0], c.target);
        }
        EXPECT_TRUE(bySlot[9]->Server().Targets().empty()) << "slot 9 is never searched";
        EXPECT_TRUE(TWorkerThread::WaitForAll(EventWaitCap));
        session.reset();
    }
}

TEST_F(SearchTest, EverySlotPagesWithItsOwnValues)
{
    // Three pages of two new torrents each; the fourth page is empty and ends
    // the site. The values come from the sites' own paging.
    const std::map<int, std::vector<std::string>> pageValues = {
        {0, {"0", "10", "20", "30"}}, {1, {"0", "50", "100", "150"}}, {2, {"1", "2", "3", "4"}},
        {3, {"0", "10", "20", "30"}}, {4, {"1", "2", "3", "4"}},      {5, {"16", "31", "46", "61"}},
        {6, {"linux"}},               {8, {"1", "2", "3", "4"}},
    };
    std::map<int, FixtureSite*> bySlot;
    for (const auto& [slot, values] : pageValues) {
        FixtureSite& site = sites.Add(slot);
        bySlot[slot] = &site;
        std::vector<std::vector<std::string>> pages;
        for (int page = 0; page < 3; ++page)
            pages.push_back({FixtureLinkText(slot * 100 + page * 10), FixtureLinkText(slot * 100 + page * 10 + 1)});
        site.SetPages(pages);
    }
    Start();
    ASSERT_TRUE(Finished());
    for (const auto& [slot, values] : pageValues) {
        SCOPED_TRACE(slot);
        std::vector<std::string> got;
        for (const std::string& target : bySlot[slot]->QueryTargets()) got.push_back(target.substr(target.rfind('=') + 1));
        EXPECT_EQ(got, values);
    }
    EXPECT_EQ(session->GetProgress().torrents, 7 * 6 + 2);  // the single-page site gives its first page only
    EXPECT_EQ(FoundHashes().size(), session->State()->SeenHashCount());
}

TEST_F(SearchTest, PageScanRules)
{
    struct Case {
        const char* name;
        std::vector<std::vector<std::string>> pages;
        std::vector<std::pair<std::string, std::optional<std::string>>> extraDownloads;
        size_t queries;
        std::set<std::string> downloads;
        std::vector<int> found;
    };
    const std::string notTorrent = "<html>gone</html>";
    // "files" is an integer: the loader has read the name when it gives up.
    const auto nameWithoutHash = [](const std::string& name) {
        return "d8:announce" + BString("http://127.0.0.1:1/announce") + "4:infod5:filesi1e4:name" + BString(name) +
               "12:piece lengthi16384e6:pieces0:ee";
    };
    const std::vector<Case> cases = {
        {"no link on the first page", {{}}, {}, 1, {}, {}},
        {"first link of page 2 already fetched", {{"t1", "t2"}, {"t1", "t3"}}, {}, 2, {"t1", "t2"}, {1, 2}},
        {"duplicates after a new torrent do not end the page",
         {{"t1", "t2"}, {"t3", "t1", "t2", "t4"}}, {}, 3, {"t1", "t2", "t3", "t4"}, {1, 2, 3, 4}},
        {"empty link ends the page", {{"", "t1"}}, {}, 1, {}, {}},
        {"links differing in case are one link", {{"t1", "T1", "t2"}}, {}, 2, {"t1", "t2"}, {1, 2}},
        {"failed first download ends the site", {{"t9", "t1"}}, {{"t9", std::nullopt}}, 1, {"t9"}, {}},
        {"no torrent behind the first link", {{"t8", "t1"}}, {{"t8", notTorrent}}, 1, {"t8"}, {}},
        {"failed download after a found torrent", {{"t1", "t9", "t2"}}, {{"t9", std::nullopt}}, 2,
         {"t1", "t9", "t2"}, {1, 2}},
        {"same torrent behind two links", {{"t1", "x1", "t2"}}, {{"x1", FixtureTorrent(1)}}, 2,
         {"t1", "x1", "t2"}, {1, 2}},
        // A name, but the load failed before the info hash: no torrent, and
        // no empty hash in SeenHashes to drop the next such file.
        {"a name without an info hash is no torrent", {{"t1", "b1", "b2", "t2"}},
         {{"b1", nameWithoutHash("one")}, {"b2", nameWithoutHash("two")}}, 2, {"t1", "b1", "b2", "t2"}, {1, 2}},
        {"a name without an info hash first ends the site", {{"b1", "t1"}}, {{"b1", nameWithoutHash("one")}}, 1,
         {"b1"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FixtureSites local;
        FixtureSite& site = local.Add(SITE_PIRATEBAY);
        site.SetPages(c.pages);
        for (const auto& [link, bytes] : c.extraDownloads) site.ServeDownload(link, bytes);
        session = std::make_unique<TSearchSession>(local.Prepare("linux", 0));
        session->State()->FetchPause = 1ms;
        session->BeginSearch("linux", 0);
        ASSERT_TRUE(Finished());
        EXPECT_EQ(site.QueryTargets().size(), c.queries);
        const auto downloads = site.Downloads();
        EXPECT_EQ(std::set<std::string>(downloads.begin(), downloads.end()), c.downloads);
        EXPECT_EQ(FoundHashes(), Hashes(c.found));
        EXPECT_EQ(session->State()->SeenHashCount(), c.found.size());
        EXPECT_TRUE(TWorkerThread::WaitForAll(EventWaitCap));
        session.reset();
    }
}

TEST_F(SearchTest, TorrentOnEverySiteIsListedOnce)
{
    // Eight workers race for the same ten torrents behind different links.
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        FixtureSites local;
        for (const int slot : StartedSlots) {
            std::vector<std::string> page;
            for (int i = 0; i < 10; ++i) page.push_back(FixtureLinkText((i + slot + round) % 10));
            local.Add(slot).SetPages({page});
        }
        session = std::make_unique<TSearchSession>(local.Prepare("linux", 0));
        session->BeginSearch("linux", 0);
        ASSERT_TRUE(Finished());
        EXPECT_EQ(FoundHashes(), Hashes({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
        EXPECT_EQ(session->GetProgress().lateMessages, 0);
        EXPECT_TRUE(TWorkerThread::WaitForAll(EventWaitCap));
        session.reset();
    }
}

TEST_F(SearchTest, StopWhileWorkerWaitsInFetch)
{
    enum class Ending { Stop, DestroySession };
    struct Case {
        const char* name;
        bool holdPage;  // else the download of t1
        Ending ending;
        std::vector<int> found;
    };
    const std::vector<Case> cases = {
        {"in a page fetch", true, Ending::Stop, {}},
        {"in a torrent download", false, Ending::Stop, {2}},
        {"session destroyed in a download", false, Ending::DestroySession, {2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FixtureSites local;
        FixtureSite& site = local.Add(SITE_TORRENTREACTOR);
        site.SetPages({{"t2", "t1", "t3"}, {"t4"}});
        if (c.holdPage)
            site.HoldQuery(0);
        else
            site.HoldDownload("t1");
        session = std::make_unique<TSearchSession>(local.Prepare("linux", 0));
        session->BeginSearch("linux", 0);
        ASSERT_TRUE(Eventually([&] { return site.Server().Holding(); }));
        // The other (empty) sites first, so that every message after the
        // stop could only come from the held worker.
        ASSERT_TRUE(Eventually([&] {
            const auto busy = session->GetProgress().busy;
            return std::count(busy.begin(), busy.end(), true) == 1;
        }));
        if (c.ending == Ending::Stop) {
            session->StopSearch();
            EXPECT_FALSE(session->Searching());
        } else {
            EXPECT_EQ(FoundHashes(), Hashes(c.found));
            session.reset();
        }
        // The fixture holds the fetch until the client goes and is never
        // released: only the stop can have ended the held worker.
        EXPECT_TRUE(TWorkerThread::WaitForAll(EventWaitCap)) << "the fetch was not cut short";
        if (session) {
            const auto progress = session->GetProgress();
            EXPECT_EQ(progress.lateMessages, 0) << "a message after the stop";
            EXPECT_TRUE(progress.busy[SITE_TORRENTREACTOR]) << "no done message after the stop";
            EXPECT_EQ(FoundHashes(), Hashes(c.found));
        }
        const auto downloads = site.Downloads();
        EXPECT_EQ(std::count(downloads.begin(), downloads.end(), "t3"), 0);
        session.reset();
    }
}

TEST_F(SearchTest, SiteThatPagesWithoutEndIsDoneAfterThePageLimit)
{
    // Every page lists two torrents never seen before. A paged slot and one
    // whose links are whole URLs.
    for (const int slot : {SITE_PIRATEBAY, SITE_GOOGLE}) {
        SCOPED_TRACE(slot);
        FixtureSites local;
        FixtureSite& site = local.Add(slot);
        site.SetEndlessPages(2);
        session = std::make_unique<TSearchSession>(local.Prepare("linux", 0));
        session->State()->FetchPause = 1ms;
        session->BeginSearch("linux", 0);
        ASSERT_TRUE(Finished()) << "the site is still being walked after " << site.QueryTargets().size() << " pages";
        EXPECT_EQ(site.QueryTargets().size(), static_cast<size_t>(MaxPagesPerSite));
        EXPECT_EQ(session->GetProgress().torrents, 2 * MaxPagesPerSite);
        EXPECT_TRUE(TWorkerThread::WaitForAll(EventWaitCap));
        session.reset();
    }
}

TEST_F(SearchTest, DeadSiteEndsOnlyItsSlot)
{
    sites.SetHost(SITE_PIRATEBAY, DeadHost());
    sites.Add(SITE_ISOHUNT).SetPages({{"t1", "t2"}, {"t3"}});
    Start();
    ASSERT_TRUE(Finished());
    EXPECT_EQ(FoundHashes(), Hashes({1, 2, 3}));
}

TEST_F(SearchTest, AutoCheckPeerIsReadAtEachHandOver)
{
    FixtureSite& site = sites.Add(SITE_TORRENTSPY);
    site.SetPages({{"t1", "t2", "t3"}});
    site.HoldDownload("t2");
    Start("linux", 0, true);
    ASSERT_TRUE(Eventually([&] { return site.Server().Holding(); }));
    session->State()->SetAutoCheckPeer(false);
    site.Server().Release();
    ASSERT_TRUE(Finished());
    EXPECT_EQ(FoundHashes(), Hashes({1, 2, 3}));
    EXPECT_EQ(session->State()->CheckThreadCount(), 1u) << "only the torrent handed over while the option was on";
}

TEST_F(SearchTest, StopJustBeforeAnAutomaticPeerCheckStartsReachesTheCheck)
{
    // The torrent's tracker answers at once: a check that escaped the stop
    // would announce to it and report a count.
    FixtureTracker tracker({{200, "d5:peerslee"}});
    ASSERT_TRUE(tracker.Listening());
    FixtureSite& site = sites.Add(SITE_TORRENTSPY);
    site.SetPages({{"s1"}});
    site.ServeDownload("s1", TorrentBytes("stopped", tracker.Url()));
    TIniOptions options;
    options.AutoCheckPeer = true;
    session = std::make_unique<TSearchSession>(sites.Prepare("linux", 0), options);
    // Stop exactly between the worker's hand-over and the start of its peer
    // check, on the worker's own thread.
    std::atomic<int> stops{0};
    session->State()->BeforeCheckStart = [this, &stops] {
        ++stops;
        session->StopSearch();
    };
    session->BeginSearch("linux", 0);
    ASSERT_TRUE(TWorkerThread::WaitForAll(EventWaitCap));
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(FoundHashes().size(), 1u) << "handed over before the stop";
    EXPECT_EQ(session->GetProgress().peerCounts, 0) << "a peer count after the stop";
    EXPECT_TRUE(tracker.Targets().empty()) << "the check announced after the stop";
}

TEST_F(SearchTest, EachSiteReportsHowItFared)
{
    FixtureSite& site = sites.Add(SITE_TORRENTREACTOR);
    site.SetPages({{FixtureLinkText(1), "missing"}});
    site.ServeDownload("missing", std::nullopt);  // a 404
    sites.SetHost(SITE_ISOHUNT, DeadHost());
    FixtureServer missing([](const std::string&) { return FixtureServer::Reply{503, "busy"}; });
    sites.SetHost(SITE_GOOGLE, missing.Host());
    Start();
    ASSERT_TRUE(Finished());
    const auto reports = session->GetProgress().sites;

    const TSiteReport& reactor = reports[SITE_TORRENTREACTOR];
    EXPECT_FALSE(reactor.Unreachable());
    EXPECT_EQ(reactor.Pages, 2);  // the second page is empty
    EXPECT_EQ(reactor.Torrents, 1);
    EXPECT_EQ(reactor.DownloadFailures, 1);
    EXPECT_EQ(reactor.Error, FetchError::HttpStatus);
    EXPECT_EQ(reactor.Status, 404);

    EXPECT_TRUE(reports[SITE_ISOHUNT].Unreachable());
    EXPECT_EQ(reports[SITE_ISOHUNT].Error, FetchError::Connect);
    EXPECT_EQ(reports[SITE_ISOHUNT].PageFailures, 1);
    EXPECT_TRUE(reports[SITE_GOOGLE].Unreachable());
    EXPECT_EQ(reports[SITE_GOOGLE].Error, FetchError::HttpStatus);
    EXPECT_EQ(reports[SITE_GOOGLE].Status, 503);
    EXPECT_FALSE(reports[SITE_BTBOT].Unreachable());  // an empty site answered
    EXPECT_EQ(reports[SITE_BTBOT].Pages, 1);

    // A worker of an earlier search records nothing into the next one.
    const uint64_t before = session->State()->CurrentSearch();
    const uint64_t next = session->State()->StartSiteReports();
    EXPECT_NE(next, before);
    session->State()->RecordFetchFailure(before, SITE_BTBOT, true, FetchError::Timeout, -1);
    session->State()->RecordFetchFailure(next, SITE_BTBOT, true, FetchError::Stopped, -1);  // a stop is no failure
    EXPECT_EQ(session->State()->SiteReports()[SITE_BTBOT].PageFailures, 0);
}

}  // namespace
}  // namespace sorvena::test
