// GetHtml against a real web server: Debian's nginx, started by the test on
// a loopback port with the test's certificate, serving a page and a torrent.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "metainfo/TorrentFile.h"
#include "net/IndyUtil.h"
#include "support/LoopbackServer.h"
#include "support/Shell.h"
#include "support/TestPki.h"

extern char** environ;

namespace sorvena::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const fs::path NginxBinary = "/usr/sbin/nginx";

bool accepts(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// One nginx in the foreground, as a single process, in a folder of its own.
class Nginx {
public:
    explicit Nginx(const fs::path& dir) : m_dir(dir)
    {
        // A port that was free a moment ago; nginx fails to start if it is
        // taken by then, and the test says so.
        const int probe = BindLoopback(m_port);
        ::close(probe);
        fs::create_directories(dir / "www" / "files");
        WriteIdentity(Pki().good, dir, "server");
        std::ofstream(dir / "nginx.conf")
            << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
            << "pid " << (dir / "nginx.pid").string() << ";\n"
            << "error_log " << (dir / "error.log").string() << ";\n"
            << "events { worker_connections 64; }\n"
            << "http {\n  access_log off;\n"
            << "  client_body_temp_path " << (dir / "tmp").string() << ";\n"
            << "  proxy_temp_path " << (dir / "tmp").string() << ";\n"
            << "  fastcgi_temp_path " << (dir / "tmp").string() << ";\n"
            << "  uwsgi_temp_path " << (dir / "tmp").string() << ";\n"
            << "  scgi_temp_path " << (dir / "tmp").string() << ";\n"
            << "  types { text/html html; application/x-bittorrent torrent; }\n"
            << "  server {\n    listen 127.0.0.1:" << m_port << " ssl;\n    server_name localhost;\n"
            << "    ssl_certificate " << (dir / "server.crt").string() << ";\n"
            << "    ssl_certificate_key " << (dir / "server.key").string() << ";\n"
            << "    ssl_protocols TLSv1.2 TLSv1.3;\n"
            << "    root " << (dir / "www").string() << ";\n  }\n}\n";
        const std::string prefix = dir.string() + "/";
        const std::string conf = (dir / "nginx.conf").string();
        const std::string errors = (dir / "error.log").string();
        const char* argv[] = {NginxBinary.c_str(), "-p", prefix.c_str(), "-c", conf.c_str(), "-e", errors.c_str(),
                              nullptr};
        if (::posix_spawn(&m_pid, NginxBinary.c_str(), nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
            m_pid = -1;
        // Up to 20 s for nginx to listen (an event, not a deadline on speed).
        for (int i = 0; i < 400 && m_pid > 0 && !accepts(m_port); ++i) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                break;
            }
            std::this_thread::sleep_for(50ms);
        }
    }
    ~Nginx()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
        }
    }

    bool Running() const { return m_pid > 0 && accepts(m_port); }
    std::string Url(const std::string& path) const { return "https://localhost:" + std::to_string(m_port) + path; }
    std::string ErrorLog() const { return ReadAll(m_dir / "error.log"); }

private:
    fs::path m_dir;
    uint16_t m_port = 0;
    pid_t m_pid = -1;
};

TEST(GetHtmlNginx, FetchesAPageAndATorrentOverHttps)
{
    if (!fs::exists(NginxBinary)) GTEST_SKIP() << NginxBinary << " is not installed";
    TrustTestCa();
    const fs::path dir = fs::temp_directory_path() / ("sorvena-nginx-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string page = "<html><body><a href=\"/files/single-file.torrent\">a torrent</a></body></html>\n";
    const std::string torrent = ReadAll(fs::path(SORVENA_TEST_DATA_DIR) / "torrents" / "single-file.torrent");
    ASSERT_FALSE(torrent.empty());
    {
        Nginx nginx(dir);
        std::ofstream(dir / "www" / "index.html", std::ios::binary) << page;
        std::ofstream(dir / "www" / "files" / "single-file.torrent", std::ios::binary) << torrent;
        ASSERT_TRUE(nginx.Running()) << nginx.ErrorLog();

        FetchOptions options;
        options.attempts = 1;
        std::string body;
        FetchResult result = GetHtml(nginx.Url("/index.html"), options, body);
        ASSERT_TRUE(result.ok) << FetchErrorText(result.error) << ": " << result.reason;
        EXPECT_EQ(body, page);

        result = GetHtml(nginx.Url("/files/single-file.torrent"), options, body);
        ASSERT_TRUE(result.ok) << FetchErrorText(result.error) << ": " << result.reason;
        EXPECT_EQ(body, torrent);
        TTorrentFile loaded;
        EXPECT_TRUE(loaded.LoadMetainfo(body));
        EXPECT_FALSE(loaded.InfoHashHex.empty());

        // nginx's own answers keep the rules: a missing file is an error, the
        // redirect from a folder without its slash is never followed.
        body = "kept";
        EXPECT_EQ(GetHtml(nginx.Url("/missing.html"), options, body).error, FetchError::HttpStatus);
        EXPECT_EQ(GetHtml(nginx.Url("/files"), options, body).error, FetchError::Redirect);
        EXPECT_EQ(body, "kept");
    }
    fs::remove_all(dir);
}

}  // namespace
}  // namespace sorvena::test
