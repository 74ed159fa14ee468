#pragma once
// Debian's python3-libtorrent seeding test torrents on 127.0.0.1 (the
// script seed_torrents.py beside this header), run by a test as a child
// process and killed when the seeder is destroyed.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sorvena::test {

class ChildProcess;

class LibtorrentSeeder {
public:
    // Whether /usr/bin/python3 can import libtorrent.
    static bool Available();

    // Seeds the torrent files, whose data lie under dataDir, announcing to
    // tracker when given, and waits until they are all seeding (and
    // announced). Check Ready(); Error() says why not.
    LibtorrentSeeder(const std::string& dataDir, const std::vector<std::string>& torrentFiles,
                     const std::string& tracker = {});
    ~LibtorrentSeeder();
    LibtorrentSeeder(const LibtorrentSeeder&) = delete;
    LibtorrentSeeder& operator=(const LibtorrentSeeder&) = delete;

    bool Ready() const { return m_port != 0; }
    const std::string& Error() const { return m_error; }
    uint16_t Port() const { return m_port; }
    std::string Endpoint() const { return "127.0.0.1:" + std::to_string(m_port); }

private:
    std::unique_ptr<ChildProcess> m_process;
    uint16_t m_port = 0;
    std::string m_error;
};

}  // namespace sorvena::test
