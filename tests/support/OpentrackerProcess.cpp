#include "support/OpentrackerProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "support/Waits.h"

extern char** environ;

namespace sorvena::test {

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd()
    {
        if (m_fd >= 0) ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

sockaddr_in loopback(const char* address, uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &a.sin_addr);
    return a;
}

uint16_t freePort()
{
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = loopback("127.0.0.1", 0);
    socklen_t length = sizeof a;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), length) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &length) != 0)
        return 0;
    return ntohs(a.sin_port);
}

bool accepts(uint16_t port)
{
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in a = loopback("127.0.0.1", port);
    return ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

std::string percentEncoded(std::string_view bytes)
{
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += '%';
        out += Hex[b >> 4];
        out += Hex[b & 15];
    }
    return out;
}

}  // namespace

std::string OpentrackerProcess::Program()
{
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/bin:/usr/sbin:/usr/local/bin";
    for (size_t start = 0; start <= path.size();) {
        const size_t end = std::min(path.find(':', start), path.size());
        const std::string candidate = path.substr(start, end - start) + "/opentracker";
        if (end > start && ::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return {};
}

OpentrackerProcess::OpentrackerProcess(const std::vector<std::string>& whitelistHex)
{
    const std::string program = Program();
    if (program.empty()) {
        m_error = "opentracker is not installed";
        return;
    }
    std::string pattern = (fs::temp_directory_path() / "sorvena-opentracker-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        m_error = "cannot create a directory for it";
        return;
    }
    m_dir = pattern;
    ::chmod(m_dir.c_str(), 0755);
    {
        std::ofstream whitelist(m_dir / "whitelist.txt");
        for (const std::string& hash : whitelistHex) whitelist << hash << "\n";
    }
    ::chmod((m_dir / "whitelist.txt").c_str(), 0644);
    // The free port may be taken between our look and its bind: try again.
    for (int attempt = 0; attempt < 5 && !Running(); ++attempt) start(program);
}

OpentrackerProcess::~OpentrackerProcess()
{
    stop();
    std::error_code ignored;
    if (!m_dir.empty()) fs::remove_all(m_dir, ignored);
}

std::string OpentrackerProcess::AnnounceUrl() const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + "/announce";
}

std::string OpentrackerProcess::UdpAnnounceUrl() const
{
    return "udp://127.0.0.1:" + std::to_string(m_port) + "/announce";
}

bool OpentrackerProcess::start(const std::string& program)
{
    m_port = freePort();
    const std::string port = std::to_string(m_port);
    const std::string dir = m_dir.string();
    const std::string log = (m_dir / "log.txt").string();
    // -i before the ports: the address applies to the ports named after it.
    // The UDP port has the TCP port's number and is bound first, so that a
    // UDP port already taken ends the program before it accepts on TCP and
    // the next try picks another number.
    std::vector<std::string> args = {program, "-i", "127.0.0.1", "-P", port, "-p", port,
                                     "-d", dir, "-w", "whitelist.txt"};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        m_error = "cannot start " + program;
        return false;
    }
    const auto until = std::chrono::steady_clock::now() + EventWaitCap;
    while (std::chrono::steady_clock::now() < until) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            std::ifstream in(log);
            m_error = "opentracker ended at start: " + std::string(std::istreambuf_iterator<char>(in), {});
            return false;
        }
        if (accepts(m_port)) {
            m_pid = pid;
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    m_error = "opentracker did not accept connections on port " + port;
    return false;
}

void OpentrackerProcess::stop()
{
    if (m_pid <= 0) return;
    // Nothing to save: it keeps its swarms in memory only.
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

std::string AnnounceFrom(const std::string& sourceAddress, uint16_t port, std::string_view infoHashRaw)
{
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in source = loopback(sourceAddress.c_str(), 0);
    const sockaddr_in tracker = loopback("127.0.0.1", port);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0 ||
        ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&tracker), sizeof tracker) != 0)
        return {};
    std::string peerId = "-SV0000-" + sourceAddress;
    peerId.resize(20, '-');
    const std::string request = "GET /announce?info_hash=" + percentEncoded(infoHashRaw) + "&peer_id=" + peerId +
                                "&port=6881&uploaded=0&downloaded=0&left=1 HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        return {};
    std::string response;
    char buffer[4096];
    for (;;) {
        pollfd p{fd.get(), POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) return {};
        const ssize_t got = ::recv(fd.get(), buffer, sizeof buffer, 0);
        if (got < 0) return {};
        if (got == 0) break;
        response.append(buffer, static_cast<size_t>(got));
    }
    const size_t body = response.find("\r\n\r\n");
    return body == std::string::npos ? std::string() : response.substr(body + 4);
}

bool Accepted(std::string_view reply)
{
    return !reply.empty() && reply.find("failure reason") == std::string_view::npos;
}

}  // namespace sorvena::test
