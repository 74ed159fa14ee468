// GetHtml against libcurl over loopback: small pages per second and large
// bodies in MB/s, each request on a fresh connection (as every attempt of
// GetHtml is), over plain HTTP and over HTTPS (a full TLS handshake with
// certificate verification per request, for both clients). Both clients
// fetch from the same servers, which this program starts on 127.0.0.1;
// nothing else is contacted.

#include "net/IndyUtil.h"
#include "support/LoopbackServer.h"
#include "support/TestPki.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

namespace {

constexpr size_t SmallBytes = 1024;
constexpr size_t LargeBytes = size_t{16} << 20;

// Answers "GET /<n> ..." with n body bytes and a Content-Length, then closes.
class PlainServer {
public:
    PlainServer()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(m_fd, 128) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            std::perror("loopback server");
            std::exit(1);
        }
        m_port = ntohs(address.sin_port);
        m_body.assign(LargeBytes, 'x');
        m_thread = std::thread([this] { Run(); });
    }
    ~PlainServer()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_fd);
    }

    std::string Url(size_t bytes) const
    {
        return "http://127.0.0.1:" + std::to_string(m_port) + "/" + std::to_string(bytes);
    }

private:
    void Run()
    {
        std::string request;
        char buffer[4096];
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            request.clear();
            while (request.find("\r\n\r\n") == std::string::npos) {
                const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
                if (got <= 0) break;
                request.append(buffer, static_cast<size_t>(got));
            }
            const size_t bytes = std::min<size_t>(std::strtoull(request.c_str() + 5, nullptr, 10), LargeBytes);
            const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                                     std::to_string(bytes) + "\r\n\r\n";
            if (bytes <= SmallBytes) {
                const std::string reply = head + m_body.substr(0, bytes);
                sendAll(fd, reply.data(), reply.size());
            } else if (sendAll(fd, head.data(), head.size())) {
                sendAll(fd, m_body.data(), bytes);
            }
            ::close(fd);
        }
    }

    static bool sendAll(int fd, const char* data, size_t size)
    {
        while (size > 0) {
            const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
            if (sent <= 0) return false;
            data += sent;
            size -= static_cast<size_t>(sent);
        }
        return true;
    }

    int m_fd = -1;
    uint16_t m_port = 0;
    std::string m_body;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// The same answers over TLS with the test certificate for 127.0.0.1, which
// both clients verify against the test CA alone.
class TlsServer final : public sorvena::test::LoopbackServer {
public:
    TlsServer() : sorvena::test::LoopbackServer("127.0.0.1", &sorvena::test::Pki().good), m_body(LargeBytes, 'x')
    {
        Start();
    }
    ~TlsServer() override { Stop(); }

    std::string Url(size_t bytes) const { return sorvena::test::LoopbackServer::Url("/" + std::to_string(bytes)); }

private:
    void Serve(sorvena::test::ServerConnection& connection) override
    {
        const std::string request = connection.ReadHead();
        if (request.size() < 5) return;
        const size_t bytes = std::min<size_t>(std::strtoull(request.c_str() + 5, nullptr, 10), LargeBytes);
        const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                                 std::to_string(bytes) + "\r\n\r\n";
        if (bytes <= SmallBytes) {
            connection.Send(head + m_body.substr(0, bytes));
        } else if (connection.Send(head)) {
            connection.Send(std::string_view(m_body.data(), bytes));
        }
    }

    std::string m_body;
};

PlainServer& server()
{
    static PlainServer instance;
    return instance;
}

TlsServer& tlsServer()
{
    static TlsServer instance;
    return instance;
}

std::string urlFor(bool tls, size_t bytes)
{
    return tls ? tlsServer().Url(bytes) : server().Url(bytes);
}

void report(benchmark::State& state, size_t bytes)
{
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}

void BM_GetHtml(benchmark::State& state, bool tls)
{
    const auto bytes = static_cast<size_t>(state.range(0));
    const std::string url = urlFor(tls, bytes);
    sorvena::FetchOptions options;
    options.attempts = 1;
    for (auto _ : state) {
        std::string body;
        if (!sorvena::GetHtml(url, options, body).ok || body.size() != bytes) {
            state.SkipWithError("GetHtml failed");
            break;
        }
        benchmark::DoNotOptimize(body.data());
    }
    report(state, bytes);
}

size_t appendBody(char* data, size_t size, size_t count, void* out)
{
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

void BM_Curl(benchmark::State& state, bool tls)
{
    const auto bytes = static_cast<size_t>(state.range(0));
    const std::string url = urlFor(tls, bytes);
    const std::string caFile = sorvena::test::Pki().caFile.string();
    const std::string caDir = sorvena::test::Pki().caFile.parent_path().string();
    for (auto _ : state) {
        std::string body;
        // A new handle per request: a new connection, as GetHtml makes.
        CURL* curl = curl_easy_init();
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_PROXY, "");
        curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendBody);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
        if (tls) {
            // The trust store GetHtml gets through SSL_CERT_FILE and
            // SSL_CERT_DIR; verification stays on (libcurl's default).
            curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
            curl_easy_setopt(curl, CURLOPT_CAPATH, caDir.c_str());
            curl_easy_setopt(curl, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
        }
        const CURLcode result = curl_easy_perform(curl);
        curl_easy_cleanup(curl);
        if (result != CURLE_OK || body.size() != bytes) {
            state.SkipWithError("libcurl failed");
            break;
        }
        benchmark::DoNotOptimize(body.data());
    }
    report(state, bytes);
}

BENCHMARK_CAPTURE(BM_GetHtml, http, false)->Name("GetHtml/1KiB")->Arg(SmallBytes)->UseRealTime();
BENCHMARK_CAPTURE(BM_Curl, http, false)->Name("libcurl/1KiB")->Arg(SmallBytes)->UseRealTime();
BENCHMARK_CAPTURE(BM_GetHtml, http, false)->Name("GetHtml/16MiB")->Arg(LargeBytes)->UseRealTime();
BENCHMARK_CAPTURE(BM_Curl, http, false)->Name("libcurl/16MiB")->Arg(LargeBytes)->UseRealTime();
BENCHMARK_CAPTURE(BM_GetHtml, https, true)->Name("GetHtml/https/1KiB")->Arg(SmallBytes)->UseRealTime();
BENCHMARK_CAPTURE(BM_Curl, https, true)->Name("libcurl/https/1KiB")->Arg(SmallBytes)->UseRealTime();
BENCHMARK_CAPTURE(BM_GetHtml, https, true)->Name("GetHtml/https/16MiB")->Arg(LargeBytes)->UseRealTime();
BENCHMARK_CAPTURE(BM_Curl, https, true)->Name("libcurl/https/16MiB")->Arg(LargeBytes)->UseRealTime();

}  // namespace

int main(int argc, char** argv)
{
    // glibc hands out every buffer above its (self-adjusting) mmap threshold
    // as fresh pages, so a 16 MiB body costs thousands of page faults or
    // none depending on which benchmark ran before. Fixed thresholds keep
    // the allocator out of the comparison; pass --default-malloc to measure
    // with glibc's defaults.
    bool fixedMalloc = true;
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--default-malloc") {
            fixedMalloc = false;
            for (int j = i; j + 1 < argc; ++j) argv[j] = argv[j + 1];
            --argc;
            break;
        }
    }
    if (fixedMalloc) {
        mallopt(M_MMAP_THRESHOLD, 256 << 20);
        mallopt(M_TRIM_THRESHOLD, 512 << 20);
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    sorvena::test::TrustTestCa();
    server();
    tlsServer();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    curl_global_cleanup();
    return 0;
}
