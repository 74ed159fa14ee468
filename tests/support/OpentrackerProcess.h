#pragma once
// Debian's opentracker, run by a test on a free port of 127.0.0.1.
//
// The packaged build tracks only the info hashes on its whitelist (others get
// a "failure reason"), answers in the compact form only, and records each
// peer by the source address of its announce and the port it names. Started
// as root it chroots into its directory and drops to "nobody", so the
// directory and the whitelist are world-readable and the whitelist is named
// relative to the directory.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace sorvena::test {

class OpentrackerProcess {
public:
    // The program's path, or empty when it is not installed.
    static std::string Program();

    // Starts it with whitelistHex (40-character info hash texts) and waits
    // until it accepts connections. Check Running(); Error() says why not.
    explicit OpentrackerProcess(const std::vector<std::string>& whitelistHex);
    ~OpentrackerProcess();
    OpentrackerProcess(const OpentrackerProcess&) = delete;
    OpentrackerProcess& operator=(const OpentrackerProcess&) = delete;

    bool Running() const { return m_pid > 0; }
    const std::string& Error() const { return m_error; }
    uint16_t Port() const { return m_port; }  // TCP, and UDP on the same number
    std::string AnnounceUrl() const;
    std::string UdpAnnounceUrl() const;

private:
    bool start(const std::string& program);
    void stop();

    std::filesystem::path m_dir;
    pid_t m_pid = -1;
    uint16_t m_port = 0;
    std::string m_error;
};

// One plain announce to 127.0.0.1:port sent from sourceAddress (a loopback
// address such as "127.0.0.2"), as a peer on port 6881 that still needs data,
// with a peer id of its own. Returns the response body; empty when the
// request failed.
std::string AnnounceFrom(const std::string& sourceAddress, uint16_t port, std::string_view infoHashRaw);

// The bencoded reply holds no "failure reason".
bool Accepted(std::string_view reply);

}  // namespace sorvena::test
