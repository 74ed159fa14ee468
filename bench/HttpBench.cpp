// GetHtml against libcurl over loopback: small pages per second and large
// bodies in MB/s, each request on a fresh connection (as every attempt of
// GetHtml is). Both clients fetch from the same server, which this program
// starts on 127.0.0.1; nothing else is contacted.

#include "net/IndyUtil.h"

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
class LoopbackServer {
public:
    LoopbackServer()
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
    ~LoopbackServer()
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

LoopbackServer& server()
{
    static LoopbackServer instance;
    return instance;
}

void report(benchmark::State& state, size_t bytes)
{
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}

void BM_GetHtml(benchmark::State& state)
{
    const auto bytes = static_cast<size_t>(state.range(0));
    const std::string url = server().Url(bytes);
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

void BM_Curl(benchmark::State& state)
{
    const auto bytes = static_cast<size_t>(state.range(0));
    const std::string url = server().Url(bytes);
    for (auto _ : state) {
        std::string body;
        // A new handle per request: a new connection, as GetHtml makes.
        CURL* curl = curl_easy_init();
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_PROXY, "");
        curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendBody);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
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

BENCHMARK(BM_GetHtml)->Name("GetHtml/1KiB")->Arg(SmallBytes)->UseRealTime();
BENCHMARK(BM_Curl)->Name("libcurl/1KiB")->Arg(SmallBytes)->UseRealTime();
BENCHMARK(BM_GetHtml)->Name("GetHtml/16MiB")->Arg(LargeBytes)->UseRealTime();
BENCHMARK(BM_Curl)->Name("libcurl/16MiB")->Arg(LargeBytes)->UseRealTime();

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
    server();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    curl_global_cleanup();
    return 0;
}
