#pragma once
// Runs peer checks the way sorvena-cli does: a console receiver that records
// every WM_PEER_COUNT it is sent.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "metainfo/BDecode.h"
#include "metainfo/TorrentFile.h"
#include "worker/ConsoleMessages.h"
#include "tracker/CheckPingThread.h"
#include "support/Waits.h"

namespace sorvena::test {

// What the handler records lives as long as the receiver, which workers may
// hold after the log is gone.
class PeerCountLog {
public:
    using Report = std::pair<std::string, int32_t>;

    PeerCountLog()
    {
        auto state = m_state;
        m_receiver = std::make_shared<TConsoleMessages>(TConsoleMessages::Handlers{
            .siteDone = {},
            .torrentFound = {},
            .peerCount =
                [state](std::string_view hash, int32_t count) {
                    std::lock_guard lock(state->mutex);
                    state->reports.emplace_back(std::string(hash), count);
                },
            .metadataFound = {},
        });
    }
    ~PeerCountLog() { m_receiver->Close(); }
    PeerCountLog(const PeerCountLog&) = delete;
    PeerCountLog& operator=(const PeerCountLog&) = delete;

    std::shared_ptr<TWorkerMessages> Receiver() const { return m_receiver; }
    std::vector<Report> Reports() const
    {
        std::lock_guard lock(m_state->mutex);
        return m_state->reports;
    }

private:
    struct State {
        std::mutex mutex;
        std::vector<Report> reports;
    };
    std::shared_ptr<State> m_state = std::make_shared<State>();
    std::shared_ptr<TConsoleMessages> m_receiver;
};

// A torrent as the worker sees it: trackers and info hash only.
inline std::unique_ptr<TTorrentFile> TorrentWithTrackers(std::string announce, std::vector<std::string> backups = {},
                                                         std::string infoHashRaw = std::string(20, 'h'))
{
    auto torrent = std::make_unique<TTorrentFile>();
    torrent->AnnounceUrl = std::move(announce);
    torrent->BackupTrackers = std::move(backups);
    torrent->InfoHashHex = BytesToHex(infoHashRaw, 999);
    torrent->InfoHashRaw = std::move(infoHashRaw);
    return torrent;
}

// The bytes of a small single-file torrent named name.
inline std::string TorrentBytes(const std::string& name, const std::string& announce,
                                const std::vector<std::string>& backups = {})
{
    auto bstr = [](const std::string& s) { return std::to_string(s.size()) + ":" + s; };
    std::string out = "d8:announce" + bstr(announce);
    if (!backups.empty()) {
        out += "13:announce-listl";
        for (const std::string& url : backups) out += "l" + bstr(url) + "e";
        out += "e";
    }
    out += "4:infod6:lengthi1e4:name" + bstr(name) + "12:piece lengthi16384e6:pieces" + bstr(std::string(20, 'p')) +
           "ee";
    return out;
}

// Tests whose checks must all have ended, threads included, when the test
// ends: a worker thread still leaving would outlive the test's objects.
class PeerCheckTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_TRUE(TWorkerThread::WaitForAll(EventWaitCap)); }
};

// Starts one check and waits until it has ended.
inline bool RunCheck(const TTorrentFile& torrent, const PeerCountLog& log, PeerCheckOptions options,
                     std::chrono::milliseconds limit = EventWaitCap)
{
    const auto worker = TCheckPingThread::Create(torrent, log.Receiver(), options);
    worker->Start();
    return worker->WaitEnded(limit);
}

}  // namespace sorvena::test
