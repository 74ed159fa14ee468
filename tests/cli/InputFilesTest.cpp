// The files the commands read: a torrent larger than a download may be, a
// directory, a file that cannot be read. Each is an error that names the
// file (exit status 1), never a short file; nothing huge is read.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "net/IndyUtil.h"
#include "support/CliRun.h"
#include "results/ResultsFile.h"

namespace sorvena::test {
namespace {

namespace fs = std::filesystem;

const fs::path TorrentDir = fs::path(SORVENA_TEST_DATA_DIR) / "torrents";

class CliInputFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = fs::temp_directory_path() / ("sorvena-cli-input-" + std::to_string(::getpid()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    // A file of size bytes that takes no disk space: a hole.
    fs::path sparse(const std::string& name, uint64_t size)
    {
        const fs::path p = m_dir / name;
        std::ofstream(p, std::ios::binary).put('d');
        fs::resize_file(p, size);
        return p;
    }

    fs::path m_dir;
};

TEST_F(CliInputFiles, OversizedAndUnreadableFilesAreErrorsNamingTheFile)
{
    const fs::path good = TorrentDir / "single-file.torrent";
    const fs::path overDownload = sparse("over.torrent", HttpMaxBodyBytes + 1);
    const fs::path overResults = sparse("over.vrk", TResultsFileLimits{}.MaxFileBytes + 1);
    const fs::path folder = m_dir / "folder.torrent";
    fs::create_directories(folder);
    const fs::path locked = m_dir / "locked.torrent";
    fs::copy_file(good, locked);
    fs::permissions(locked, fs::perms::none);
    // Root reads it all the same: the row then proves nothing and is left out.
    const bool canLock = ::access(locked.c_str(), R_OK) != 0;

    struct Case {
        std::string command;
        fs::path file;
        std::string reason;
    };
    std::vector<Case> cases;
    for (const std::string command : {"info", "info --json", "peers", "pack out.vrk"}) {
        cases.push_back({command, overDownload, "larger than the limit of 64 MiB"});
        cases.push_back({command, folder, "Is a directory"});
        if (canLock) cases.push_back({command, locked, "Permission denied"});
    }
    cases.push_back({"list", overResults, "too large"});
    cases.push_back({"list", folder, "Is a directory"});
    if (canLock) cases.push_back({"list", locked, "Permission denied"});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.command + " " + c.file.filename().string());
        std::vector<std::string> args;
        for (size_t at = 0, end; at < c.command.size(); at = end + 1) {
            end = std::min(c.command.find(' ', at), c.command.size());
            args.push_back(c.command.substr(at, end - at));
        }
        if (args[0] == "pack") args[1] = (m_dir / args[1]).string();
        args.push_back(c.file.string());
        const CliResult r = RunCli(args);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find(c.file.string()), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("load failed"), std::string::npos) << "read as a short file";
    }
    EXPECT_FALSE(fs::exists(m_dir / "out.vrk")) << "pack wrote a list without the file it could not read";
}

TEST_F(CliInputFiles, AFileOfExactlyTheLimitIsRead)
{
    // A valid torrent padded to the limit with trailing bytes the loader ignores.
    const fs::path file = m_dir / "at-limit.torrent";
    fs::copy_file(TorrentDir / "single-file.torrent", file);
    fs::resize_file(file, HttpMaxBodyBytes);
    const CliResult r = RunCli({"info", "--json", file.string()});
    EXPECT_EQ(r.err.find("cannot read"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("\"info_hash\":\""), std::string::npos) << r.out.substr(0, 200);
    EXPECT_EQ(r.out.find("\"info_hash\":\"\""), std::string::npos) << r.out.substr(0, 200);
}

}  // namespace
}  // namespace sorvena::test
