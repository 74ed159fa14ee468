#include "support/FixtureSites.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "metainfo/TorrentEx.h"
#include "search/SearchUtil.h"

namespace sorvena::test {

namespace {

constexpr int PollMs = 10;

bool waitReadable(int fd, const std::atomic<bool>& stop)
{
    while (!stop) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, PollMs) > 0) return true;
    }
    return false;
}

bool sendAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (sent <= 0) return false;
        data.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

int listenLoopback(uint16_t& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), length) != 0 || ::listen(fd, 64) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port = ntohs(a.sin_port);
    return fd;
}

std::string fixtureName(int id)
{
    return "fixture-torrent-" + std::to_string(id) + ".iso";
}

}  // namespace

std::string FixtureTorrent(int id)
{
    TTorrentEx t;
    t.AnnounceUrl = "http://127.0.0.1:1/announce";
    t.TorrentName = fixtureName(id);
    t.TotalSize = 1000 + id;
    t.PieceLength = 16384;
    t.PieceHashes.emplace_back(std::string(20, static_cast<char>('a' + id % 26)));
    return WriteMetainfo(t);
}

std::string FixtureInfoHash(int id)
{
    TTorrentEx t;
    t.LoadMetainfo(FixtureTorrent(id));
    return t.InfoHashHex;
}

std::string FixtureLinkText(int id)
{
    return "t" + std::to_string(id);
}

std::string DeadHost()
{
    uint16_t port = 0;
    ::close(listenLoopback(port));
    return "127.0.0.1:" + std::to_string(port);
}

FixtureServer::FixtureServer(Handler handler) : m_handler(std::move(handler))
{
    m_listenFd = listenLoopback(m_port);
    m_thread = std::thread([this] { run(); });
}

FixtureServer::~FixtureServer()
{
    m_stop = true;
    m_thread.join();
    ::close(m_listenFd);
}

std::string FixtureServer::Host() const
{
    return "127.0.0.1:" + std::to_string(m_port);
}

std::vector<std::string> FixtureServer::Targets() const
{
    std::lock_guard lock(m_mutex);
    return m_targets;
}

// One connection at a time: each search worker holds at most one connection,
// and every fixture site is searched by one worker.
void FixtureServer::run()
{
    while (waitReadable(m_listenFd, m_stop)) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        serve(fd);
        ::close(fd);
    }
}

void FixtureServer::serve(int fd)
{
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536 && waitReadable(fd, m_stop)) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) return;
        request.append(buffer, static_cast<size_t>(got));
    }
    // "GET <target> HTTP/1.1"
    const size_t from = request.find(' ');
    const size_t to = from == std::string::npos ? from : request.find(' ', from + 1);
    if (to == std::string::npos) return;
    const std::string target = request.substr(from + 1, to - from - 1);
    {
        std::lock_guard lock(m_mutex);
        m_targets.push_back(target);
    }
    const Reply reply = m_handler(target);
    if (reply.hold) {
        m_holding = true;
        // Until released, or until the client gives up and closes.
        while (!m_released && !m_stop) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, PollMs) > 0 && ::recv(fd, buffer, sizeof buffer, 0) <= 0) break;
        }
        m_holding = false;
    }
    const std::string head = "HTTP/1.1 " + std::to_string(reply.status) + (reply.status == 200 ? " OK" : " Error") +
                             "\r\nContent-Length: " + std::to_string(reply.body.size()) +
                             "\r\nConnection: close\r\n" + reply.headers + "\r\n";
    if (sendAll(fd, head)) sendAll(fd, reply.body);
}

FixtureSite::FixtureSite(int slot)
    : m_slot(slot), m_server([this](const std::string& target) { return answer(target); })
{
}

void FixtureSite::SetPages(std::vector<std::vector<std::string>> pages)
{
    std::lock_guard lock(m_mutex);
    for (const auto& page : pages)
        for (const std::string& link : page)
            if (link.size() > 1 && link[0] == 't' && link.find_first_not_of("0123456789", 1) == std::string::npos &&
                !m_downloads.count(link))
                m_downloads[link] = FixtureTorrent(std::stoi(link.substr(1)));
    m_pages = std::move(pages);
}

void FixtureSite::SetEndlessPages(int linksPerPage)
{
    std::lock_guard lock(m_mutex);
    m_endlessLinksPerPage = linksPerPage;
}

void FixtureSite::ServeTorrent(int id)
{
    ServeDownload(FixtureLinkText(id), FixtureTorrent(id));
}

void FixtureSite::ServeDownload(const std::string& linkText, std::optional<std::string> bytes)
{
    std::lock_guard lock(m_mutex);
    m_downloads[linkText] = std::move(bytes);
}

void FixtureSite::HoldQuery(int n)
{
    std::lock_guard lock(m_mutex);
    m_holdQuery = n;
}

void FixtureSite::HoldDownload(const std::string& linkText)
{
    std::lock_guard lock(m_mutex);
    m_holdDownload = linkText;
}

void FixtureSite::SetQuery(const TSiteQuery& query)
{
    std::lock_guard lock(m_mutex);
    m_query = query;
    const size_t path = query.Url.find('/', std::strlen("http://"));
    m_queryPath = query.Url.substr(path);
}

std::vector<std::string> FixtureSite::QueryTargets() const
{
    std::lock_guard lock(m_mutex);
    return m_queryTargets;
}

std::vector<std::string> FixtureSite::Downloads() const
{
    std::lock_guard lock(m_mutex);
    return m_downloaded;
}

std::string FixtureSite::downloadPath(const std::string& linkText) const
{
    if (m_query.DownloadPrefix.empty()) return "/get/" + linkText;
    const std::string url = m_query.DownloadPrefix + linkText;
    return url.substr(url.find('/', std::strlen("http://")));
}

FixtureServer::Reply FixtureSite::answer(const std::string& target)
{
    std::lock_guard lock(m_mutex);
    FixtureServer::Reply reply;
    if (!m_queryPath.empty() && target.compare(0, m_queryPath.size(), m_queryPath) == 0) {
        const size_t n = m_queryTargets.size();
        m_queryTargets.push_back(target);
        reply.hold = static_cast<int>(n) == m_holdQuery;
        reply.body = "<html><body>\n";
        std::vector<std::string> endless;
        if (n >= m_pages.size())
            for (int i = 0; i < m_endlessLinksPerPage; ++i)
                endless.push_back(FixtureLinkText(EndlessFirstId +
                                                  static_cast<int>(n - m_pages.size()) * m_endlessLinksPerPage + i));
        if (n < m_pages.size() || !endless.empty()) {
            for (const std::string& link : n < m_pages.size() ? m_pages[n] : endless) {
                const bool wholeUrl = m_query.DownloadPrefix.empty() && link.rfind("http", 0) != 0 && !link.empty();
                reply.body += "<tr>" + m_query.LinkMarker;
                reply.body += wholeUrl ? "http://" + Host() + "/get/" + link : link;
                reply.body += m_query.Terminator + ">row</tr>\n";
            }
        }
        reply.body += "</body></html>\n";
        return reply;
    }
    for (const auto& [link, bytes] : m_downloads) {
        if (downloadPath(link) != target) continue;
        m_downloaded.push_back(link);
        reply.hold = link == m_holdDownload;
        if (bytes)
            reply.body = *bytes;
        else
            reply.status = 404;
        return reply;
    }
    const std::string endlessPath = downloadPath("t");
    if (m_endlessLinksPerPage > 0 && target.compare(0, endlessPath.size(), endlessPath) == 0) {
        const std::string digits = target.substr(endlessPath.size());
        if (!digits.empty() && digits.size() < 10 && digits.find_first_not_of("0123456789") == std::string::npos &&
            std::stoi(digits) >= EndlessFirstId) {
            m_downloaded.push_back("t" + digits);
            reply.body = FixtureTorrent(std::stoi(digits));
            return reply;
        }
    }
    m_downloaded.push_back(target);
    reply.status = 404;
    return reply;
}

FixtureSites::FixtureSites() : m_empty([](const std::string&) { return FixtureServer::Reply{}; }) {}

FixtureSite& FixtureSites::Add(int slot)
{
    m_sites.push_back(std::make_unique<FixtureSite>(slot));
    return *m_sites.back();
}

void FixtureSites::SetHost(int slot, std::string host)
{
    m_hostOverrides[slot] = std::move(host);
}

TSiteHosts FixtureSites::Prepare(std::string_view keyword, int category)
{
    TSiteHosts hosts;
    for (int slot = 0; slot < SITE_COUNT; ++slot) hosts.Site[static_cast<size_t>(slot)] = m_empty.Host();
    hosts.PirateBayImages = "127.0.0.1";
    hosts.IsoHuntDownload = m_empty.Host();
    for (const auto& site : m_sites) {
        hosts.Site[static_cast<size_t>(site->Slot())] = site->Host();
        if (site->Slot() == SITE_ISOHUNT) hosts.IsoHuntDownload = site->Host();
    }
    for (const auto& [slot, host] : m_hostOverrides) hosts.Site[static_cast<size_t>(slot)] = host;
    const std::string k = UrlEncode(keyword);
    for (const auto& site : m_sites) site->SetQuery(*BuildSiteQuery(site->Slot(), k, category, hosts));
    return hosts;
}

}  // namespace sorvena::test
