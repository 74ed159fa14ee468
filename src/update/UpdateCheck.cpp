#include "update/UpdateCheck.h"

#include "settings/IniFile.h"

namespace sorvena {

std::optional<int> ParseVersionNumber(std::string_view text)
{
    constexpr int64_t Limit = 2147483647;
    int64_t whole = 0;
    size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        whole = whole * 10 + (text[i] - '0');
        if (whole * 100 > Limit) return std::nullopt;
    }
    if (i == 0) return std::nullopt;
    int64_t fraction = 0;
    if (i < text.size()) {
        if (text[i] != '.') return std::nullopt;
        const std::string_view digits = text.substr(i + 1);
        if (digits.empty() || digits.size() > 2) return std::nullopt;
        for (const char c : digits) {
            if (c < '0' || c > '9') return std::nullopt;
            fraction = fraction * 10 + (c - '0');
        }
        if (digits.size() == 1) fraction *= 10;
    }
    const int64_t version = whole * 100 + fraction;
    if (version > Limit) return std::nullopt;
    return static_cast<int>(version);
}

TUpdateInfo ParseUpdateInfo(std::string_view fileText, int currentVersion)
{
    TUpdateInfo info;
    TIniFile file;
    if (!file.Parse(fileText)) return info;
    info.VersionText = file.ReadString("Update", "Version", "");
    info.Page = file.ReadString("Update", "Page", "");
    const std::optional<int> version = ParseVersionNumber(info.VersionText);
    if (!version) return info;
    info.Version = *version;
    if (*version > currentVersion) info.Outcome = UpdateOutcome::NewerVersion;
    return info;
}

FetchOptions UpdateFetchOptions()
{
    FetchOptions options;
    options.attempts = -1;
    options.readTimeoutMs = 15000;
    return options;
}

TUpdateInfo CheckForUpdate(std::string_view url, int currentVersion, const FetchOptions& options)
{
    std::string body;
    const FetchResult result = GetHtml(url, options, body);
    if (result.ok) return ParseUpdateInfo(body, currentVersion);
    TUpdateInfo info;
    // A response of any kind means the server is there and the file is not.
    if (result.status < 0) info.Outcome = UpdateOutcome::HostUnreachable;
    info.Error = result.error;
    info.Status = result.status;
    info.Reason = result.reason;
    return info;
}

TUpdateCheckThread::TUpdateCheckThread(std::string url, int currentVersion,
                                       std::function<void(const TUpdateInfo&)> done)
    : m_url(std::move(url)), m_currentVersion(currentVersion), m_done(std::move(done))
{
}

void TUpdateCheckThread::Execute()
{
    FetchOptions options = UpdateFetchOptions();
    options.stop = StopToken();
    const TUpdateInfo info = CheckForUpdate(m_url, m_currentVersion, options);
    if (!Terminated() && m_done) m_done(info);
}

}  // namespace sorvena
