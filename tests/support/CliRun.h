#pragma once
// Runs sorvena-cli as a user or a script runs it: the program itself, no
// shell in between, each argument passed as it is, standard input empty, and
// standard output and standard error captured apart.
//
// Test targets that use RunCli and StartCli are built with SORVENA_CLI, the
// path of the binary (sorvena_test_uses_cli in tests/CMakeLists.txt).

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace sorvena::test {

struct CliResult {
    int status = -1;  // the exit status; -1 when it did not exit (a signal ended it) or never started
    std::string out;
    std::string err;
};

// A running program. Its output is collected while the test waits on it, so
// a program that writes much never blocks on a full pipe.
class ChildProcess {
public:
    // Starts program with args (argv[0] is program). Throws std::runtime_error
    // when it cannot be started.
    ChildProcess(const std::string& program, const std::vector<std::string>& args);
    // A process still running is killed and reaped.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Waits until standard error holds text. False when the program closed
    // its standard error first, or when cap passed: a safety cap, not a
    // speed requirement.
    bool WaitForErr(std::string_view text, std::chrono::milliseconds cap);
    // Sends a signal (SIGINT: Ctrl-C).
    void Signal(int signal);
    // Reads both streams to their end and waits for the program to exit.
    CliResult Finish();

    // What it has written so far.
    const std::string& Out() const { return m_result.out; }
    const std::string& Err() const { return m_result.err; }

private:
    // Reads what is there, waiting at most timeoutMs for something to come;
    // false when both streams have ended.
    bool pump(int timeoutMs);

    pid_t m_pid = -1;
    int m_outFd = -1;
    int m_errFd = -1;
    CliResult m_result;
};

// Runs program with args to its end.
CliResult RunProgram(const std::string& program, const std::vector<std::string>& args);

#ifdef SORVENA_CLI
inline CliResult RunCli(const std::vector<std::string>& args)
{
    return RunProgram(SORVENA_CLI, args);
}

// Starts it and leaves it running: for a test that interrupts it.
inline ChildProcess StartCli(const std::vector<std::string>& args)
{
    return ChildProcess(SORVENA_CLI, args);
}
#endif

}  // namespace sorvena::test
