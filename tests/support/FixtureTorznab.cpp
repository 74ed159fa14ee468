#include "support/FixtureTorznab.h"

#include <algorithm>

#include "metainfo/Magnet.h"

namespace sorvena::test {

namespace {

std::string escaped(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

// The value of a query parameter, or "".
std::string parameter(const std::string& target, const std::string& name)
{
    for (size_t at = target.find('?'); at != std::string::npos; at = target.find('&', at + 1)) {
        if (target.compare(at + 1, name.size() + 1, name + "=") != 0) continue;
        const size_t from = at + name.size() + 2;
        return target.substr(from, target.find('&', from) - from);
    }
    return "";
}

int number(const std::string& text, int fallback)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9) return fallback;
    return std::stoi(text);
}

}  // namespace

std::string FixtureMagnet(int id)
{
    return BuildMagnetUri(FixtureInfoHash(id), "fixture-torrent-" + std::to_string(id) + ".iso",
                          {"http://127.0.0.1:1/announce"});
}

std::string TorznabFeedXml(const std::vector<TorznabItemSpec>& items, TorznabDialect dialect, const std::string& host)
{
    const bool jackett = dialect == TorznabDialect::Jackett;
    const std::string attr = jackett ? "torznab:attr" : "newznab:attr";
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    if (jackett)
        xml += "<rss version=\"2.0\" xmlns:atom=\"http://www.w3.org/2005/Atom\" "
               "xmlns:torznab=\"http://torznab.com/schemas/2015/feed\">\n  <channel>\n"
               "    <atom:link href=\"http://" + host + "/api\" rel=\"self\" type=\"application/rss+xml\" />\n"
               "    <title>AggregateSearch</title>\n    <description>AggregateSearch</description>\n"
               "    <link>http://" + host + "/</link>\n    <language>en-US</language>\n"
               "    <category>search</category>\n";
    else
        xml += "<rss version=\"2.0\" xmlns:atom=\"http://www.w3.org/2005/Atom\" "
               "xmlns:newznab=\"http://www.newznab.com/DTD/2010/feeds/attributes/\">\n<channel>\n"
               "<title>indexer</title>\n<newznab:response offset=\"0\" total=\"" + std::to_string(items.size()) +
               "\"/>\n";
    for (const TorznabItemSpec& item : items) {
        const std::string magnet = item.magnetId >= 0 ? FixtureMagnet(item.magnetId) : "";
        const std::string link = item.torrentId >= 0
                                     ? "http://" + host + "/dl/" + std::to_string(item.torrentId) + ".torrent?jackett_apikey=x&amp;file=a"
                                     : (item.magnetAsLink ? escaped(magnet) : "");
        xml += "    <item>\n      <title>" + escaped(item.title) + "</title>\n";
        xml += "      <guid>" + (link.empty() ? "guid-" + escaped(item.title) : link) + "</guid>\n";
        if (jackett) xml += "      <jackettindexer id=\"fixture\">Fixture</jackettindexer>\n      <type>public</type>\n";
        xml += "      <comments>http://" + host + "/details</comments>\n";
        xml += "      <pubDate>Sat, 02 Mar 2024 10:00:00 +0000</pubDate>\n";
        if (item.size >= 0 && jackett) xml += "      <size>" + std::to_string(item.size) + "</size>\n";
        xml += "      <description />\n";
        if (!link.empty()) xml += "      <link>" + link + "</link>\n";
        xml += "      <category>2000</category>\n";
        if (!link.empty())
            xml += "      <enclosure url=\"" + link + "\" length=\"" + std::to_string(std::max<int64_t>(item.size, 0)) +
                   "\" type=\"application/x-bittorrent\" />\n";
        xml += "      <" + attr + " name=\"category\" value=\"2000\" />\n";
        if (item.size >= 0 && !jackett)
            xml += "      <" + attr + " name=\"size\" value=\"" + std::to_string(item.size) + "\" />\n";
        if (item.seeders >= 0) xml += "      <" + attr + " name=\"seeders\" value=\"" + std::to_string(item.seeders) + "\" />\n";
        if (item.peers >= 0) xml += "      <" + attr + " name=\"peers\" value=\"" + std::to_string(item.peers) + "\" />\n";
        if (item.leechers >= 0)
            xml += "      <" + attr + " name=\"leechers\" value=\"" + std::to_string(item.leechers) + "\" />\n";
        if (!magnet.empty()) {
            xml += "      <" + attr + " name=\"magneturl\" value=\"" + escaped(magnet) + "\" />\n";
            xml += "      <" + attr + " name=\"infohash\" value=\"" + FixtureInfoHash(item.magnetId) + "\" />\n";
        }
        xml += "      <" + attr + " name=\"downloadvolumefactor\" value=\"0\" />\n    </item>\n";
    }
    xml += "  </channel>\n</rss>\n";
    return xml;
}

std::string TorznabCapsXml(int limitMax, int limitDefault)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<caps>\n"
           "  <server version=\"1.0\" title=\"Fixture\" />\n"
           "  <limits default=\"" + std::to_string(limitDefault) + "\" max=\"" + std::to_string(limitMax) + "\" />\n"
           "  <searching>\n    <search available=\"yes\" supportedParams=\"q\" />\n"
           "    <tv-search available=\"yes\" supportedParams=\"q,season,ep\" />\n"
           "    <movie-search available=\"no\" supportedParams=\"q\" />\n  </searching>\n"
           "  <categories>\n"
           "    <category id=\"2000\" name=\"Movies\">\n      <subcat id=\"2030\" name=\"Movies/SD\" />\n"
           "      <subcat id=\"2040\" name=\"Movies/HD\" />\n    </category>\n"
           "    <category id=\"5000\" name=\"TV\" />\n"
           "    <category id=\"100001\" name=\"Linux ISOs\" />\n"
           "  </categories>\n</caps>\n";
}

std::string TorznabErrorXml(int code, const std::string& description)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<error code=\"" + std::to_string(code) + "\" description=\"" +
           escaped(description) + "\" />\n";
}

FixtureTorznab::FixtureTorznab(TorznabDialect dialect, int limitMax, int limitDefault)
    : m_dialect(dialect),
      m_limitMax(limitMax),
      m_limitDefault(limitDefault),
      m_server([this](const std::string& target) { return answer(target); })
{
}

std::string FixtureTorznab::ApiUrl() const
{
    return "http://" + m_server.Host() + "/api/v2.0/indexers/all/results/torznab/api?apikey=secret";
}

void FixtureTorznab::SetItems(std::vector<TorznabItemSpec> items)
{
    std::lock_guard lock(m_mutex);
    m_items = std::move(items);
}

void FixtureTorznab::IgnoreOffset()
{
    std::lock_guard lock(m_mutex);
    m_ignoreOffset = true;
}

void FixtureTorznab::SetSearchReply(FixtureServer::Reply reply)
{
    std::lock_guard lock(m_mutex);
    m_searchReply = std::move(reply);
}

void FixtureTorznab::SetCapsReply(FixtureServer::Reply reply)
{
    std::lock_guard lock(m_mutex);
    m_capsReply = std::move(reply);
}

std::vector<std::string> FixtureTorznab::SearchTargets() const
{
    std::lock_guard lock(m_mutex);
    return m_searchTargets;
}

std::vector<std::string> FixtureTorznab::Downloads() const
{
    std::lock_guard lock(m_mutex);
    return m_downloads;
}

FixtureServer::Reply FixtureTorznab::answer(const std::string& target)
{
    std::lock_guard lock(m_mutex);
    if (target.rfind("/dl/", 0) == 0) {
        m_downloads.push_back(target);
        const int id = number(target.substr(4, target.find('.') - 4), -1);
        if (id < 0) return {404, "", false, ""};
        return {200, FixtureTorrent(id), false, ""};
    }
    const std::string t = parameter(target, "t");
    if (t == "caps") {
        if (m_capsReply) return *m_capsReply;
        return {200, TorznabCapsXml(m_limitMax, m_limitDefault), false, ""};
    }
    if (t != "search") return {200, TorznabErrorXml(202, "No such function"), false, ""};
    m_searchTargets.push_back(target);
    if (m_searchReply) return *m_searchReply;
    if (parameter(target, "apikey") != "secret") return {200, TorznabErrorXml(100, "Invalid API Key"), false, ""};
    const int offset = m_ignoreOffset ? 0 : number(parameter(target, "offset"), 0);
    const int limit = number(parameter(target, "limit"), m_limitDefault);
    std::vector<TorznabItemSpec> page;
    for (size_t i = static_cast<size_t>(offset); i < m_items.size() && page.size() < static_cast<size_t>(limit); ++i)
        page.push_back(m_items[i]);
    return {200, TorznabFeedXml(page, m_dialect, m_server.Host()), false, ""};
}

}  // namespace sorvena::test
