#pragma once
// Runs the real sorvena-cli binary as a shell runs it, for the tests of
// tests/cli: arguments as shell words, stdout and stderr kept apart.

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace sorvena::test {

struct CliResult {
    int status = -1;  // exit status; -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// A path as one shell word (none of our test paths holds a single quote).
inline std::string ShellWord(const std::filesystem::path& p)
{
    return "'" + p.string() + "'";
}

inline CliResult RunCli(const std::string& args)
{
    static int runs = 0;
    const std::filesystem::path errFile = std::filesystem::temp_directory_path() /
                                          ("sorvena-cli-run-" + std::to_string(::getpid()) + "-" +
                                           std::to_string(runs++) + ".err");
    const std::string command = "'" + std::string(SORVENA_CLI) + "' " + args + " 2>" + ShellWord(errFile);
    CliResult r;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return r;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) r.out.append(buffer, n);
    const int raw = ::pclose(pipe);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::ifstream err(errFile, std::ios::binary);
    r.err.assign(std::istreambuf_iterator<char>(err), {});
    std::filesystem::remove(errFile);
    return r;
}

}  // namespace sorvena::test
