#include "support/LibtorrentSeeder.h"

#include <exception>

#include "support/CliRun.h"
#include "support/Waits.h"

namespace sorvena::test {

namespace {

constexpr const char* Python = "/usr/bin/python3";

}  // namespace

bool LibtorrentSeeder::Available()
{
    return RunProgram(Python, {"-c", "import libtorrent"}).status == 0;
}

LibtorrentSeeder::LibtorrentSeeder(const std::string& dataDir, const std::vector<std::string>& torrentFiles,
                                   const std::string& tracker)
{
    std::vector<std::string> args = {SORVENA_SUPPORT_DIR "/seed_torrents.py", dataDir};
    if (!tracker.empty()) {
        args.push_back("--tracker");
        args.push_back(tracker);
    }
    args.insert(args.end(), torrentFiles.begin(), torrentFiles.end());
    try {
        m_process = std::make_unique<ChildProcess>(Python, args);
    } catch (const std::exception& e) {
        m_error = e.what();
        return;
    }
    if (!m_process->WaitForErr(": ready", EventWaitCap)) {
        m_error = "the seeder did not get ready: " + m_process->Err();
        return;
    }
    const std::string& err = m_process->Err();
    const std::string_view mark = "seeding on port ";
    const size_t at = err.rfind(mark, err.find(": ready"));
    if (at != std::string::npos) m_port = static_cast<uint16_t>(std::stoi(err.substr(at + mark.size())));
    if (m_port == 0) m_error = "no port in: " + err;
}

LibtorrentSeeder::~LibtorrentSeeder() = default;

}  // namespace sorvena::test
