#pragma once
// The update check: asks a small update information file over HTTP or HTTPS
// (GetHtml)
// whether a newer version of the program exists. The file is in the
// settings-file form:
//   [Update]
//   Version=1.13
//   Page=http://example.org/sorvena/1.13/
// Versions are decimal numbers with at most two fraction digits and compare
// as that number times 100 ("1.12" is 112, "1.5" is 150), the form the
// program's own version takes.
//
// CheckForUpdate blocks for the whole fetch: call it on a worker thread
// (TUpdateCheckThread). The parsing routines are pure.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "net/IndyUtil.h"
#include "worker/WorkerThread.h"

namespace sorvena {

enum class UpdateOutcome {
    NewerVersion,     // the file names a version above the program's
    NoUpdate,         // the same or an older version; also a missing or unreadable file
    HostUnreachable,  // no connection to the update server
};

struct TUpdateInfo {
    UpdateOutcome Outcome = UpdateOutcome::NoUpdate;
    int Version = 0;          // the file's version times 100, when it gave one
    std::string VersionText;  // as the file writes it
    std::string Page;         // where the newer version is described; may be empty
    // Why the fetch of the information file failed; None when it arrived.
    FetchError Error = FetchError::None;
    std::string Reason;  // more about a failed fetch (the TLS or certificate problem); may be empty
    int Status = -1;  // the HTTP status of a failed fetch's response; -1 when none arrived
};

// "1.12" gives 112; nothing for anything but digits, one optional point and
// at most two digits after it, or above 21474836.
std::optional<int> ParseVersionNumber(std::string_view text);

// What an update information file says for a program at currentVersion
// (times 100). A file without a readable version is NoUpdate.
TUpdateInfo ParseUpdateInfo(std::string_view fileText, int currentVersion);

// One attempt by default: a person or the start of the program is waiting.
FetchOptions UpdateFetchOptions();

// Fetches url and parses it. A fetch that fails before any response arrives
// (name, connection, timeout) is HostUnreachable; an HTTP error status (the
// file is missing) is NoUpdate. Either way Error and Status say why.
TUpdateInfo CheckForUpdate(std::string_view url, int currentVersion, const FetchOptions& options);

// Runs CheckForUpdate once on its own thread and hands the result to done
// on that thread, unless Terminate came first.
class TUpdateCheckThread final : public TWorkerThread {
public:
    TUpdateCheckThread(std::string url, int currentVersion, std::function<void(const TUpdateInfo&)> done);

protected:
    void Execute() override;

private:
    std::string m_url;
    int m_currentVersion;
    std::function<void(const TUpdateInfo&)> m_done;
};

}  // namespace sorvena
