#include "support/CliRun.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace sorvena::test {

namespace {

void closeFd(int& fd)
{
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args)
{
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const int spawned = ::posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    m_outFd = out[0];
    m_errFd = err[0];
    if (spawned != 0) {
        m_pid = -1;
        closeFd(m_outFd);
        closeFd(m_errFd);
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(spawned));
    }
}

ChildProcess::~ChildProcess()
{
    closeFd(m_outFd);
    closeFd(m_errFd);
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

bool ChildProcess::pump(int timeoutMs)
{
    pollfd fds[2];
    nfds_t count = 0;
    for (const int fd : {m_outFd, m_errFd})
        if (fd >= 0) fds[count++] = pollfd{fd, POLLIN, 0};
    if (count == 0) return false;
    const int ready = ::poll(fds, count, timeoutMs);
    if (ready < 0 && errno != EINTR) throw std::runtime_error("poll failed");
    for (nfds_t i = 0; ready > 0 && i < count; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const bool isOut = fds[i].fd == m_outFd;
        char buffer[4096];
        const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
        if (got > 0)
            (isOut ? m_result.out : m_result.err).append(buffer, static_cast<size_t>(got));
        else if (got == 0 || errno != EINTR)
            closeFd(isOut ? m_outFd : m_errFd);
    }
    return m_outFd >= 0 || m_errFd >= 0;
}

bool ChildProcess::WaitForErr(std::string_view text, std::chrono::milliseconds cap)
{
    const auto until = std::chrono::steady_clock::now() + cap;
    while (m_result.err.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0 || m_errFd < 0) return false;
        pump(static_cast<int>(std::min<long long>(left.count(), 1000)));
    }
    return true;
}

void ChildProcess::Signal(int signal)
{
    if (m_pid > 0) ::kill(m_pid, signal);
}

CliResult ChildProcess::Finish()
{
    while (pump(-1)) {
    }
    if (m_pid > 0) {
        int status = 0;
        pid_t waited;
        while ((waited = ::waitpid(m_pid, &status, 0)) < 0 && errno == EINTR) {
        }
        m_pid = -1;
        if (waited > 0 && WIFEXITED(status)) m_result.status = WEXITSTATUS(status);
    }
    return m_result;
}

CliResult RunProgram(const std::string& program, const std::vector<std::string>& args)
{
    ChildProcess child(program, args);
    return child.Finish();
}

}  // namespace sorvena::test
