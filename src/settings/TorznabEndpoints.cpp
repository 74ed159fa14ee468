#include "settings/TorznabEndpoints.h"

#include <algorithm>

#include "base/AsciiCase.h"
#include "settings/IniFile.h"

namespace sorvena {

std::vector<TTorznabEndpoint> ReadTorznabEndpoints(const TIniFile& ini)
{
    std::vector<TTorznabEndpoint> endpoints;
    for (const std::string& key : ini.Keys(TorznabSection)) {
        if (endpoints.size() >= TorznabMaxEndpoints) break;
        if (std::any_of(endpoints.begin(), endpoints.end(),
                        [&](const TTorznabEndpoint& e) { return AsciiEqualsNoCase(e.Name, key); }))
            continue;
        TTorznabEndpoint endpoint;
        endpoint.Name = key;
        endpoint.ApiUrl = ini.ReadString(TorznabSection, key, "");
        if (endpoint.ApiUrl.empty()) continue;
        endpoint.Enabled = !ini.ReadBool(TorznabDisabledSection, key, false);
        endpoints.push_back(std::move(endpoint));
    }
    return endpoints;
}

void WriteTorznabEndpoints(TIniFile& ini, const std::vector<TTorznabEndpoint>& endpoints)
{
    auto listed = [&](std::string_view key) {
        return std::any_of(endpoints.begin(), endpoints.end(),
                           [&](const TTorznabEndpoint& e) { return AsciiEqualsNoCase(e.Name, key); });
    };
    for (const std::string& key : ini.Keys(TorznabSection))
        if (!listed(key)) ini.DeleteKey(TorznabSection, key);
    for (const std::string& key : ini.Keys(TorznabDisabledSection))
        if (!listed(key)) ini.DeleteKey(TorznabDisabledSection, key);
    // Rewritten in list order: a key kept keeps its place, a new one goes last.
    for (const TTorznabEndpoint& endpoint : endpoints) {
        if (!IsValidEndpointName(endpoint.Name)) continue;
        ini.WriteString(TorznabSection, endpoint.Name, endpoint.ApiUrl);
        if (endpoint.Enabled)
            ini.DeleteKey(TorznabDisabledSection, endpoint.Name);
        else
            ini.WriteBool(TorznabDisabledSection, endpoint.Name, true);
    }
}

bool IsValidEndpointName(std::string_view name)
{
    if (name.empty() || name.front() == ' ' || name.back() == ' ' || name.front() == '\t' || name.back() == '\t')
        return false;
    if (name.front() == '[' || name.front() == ';' || name.front() == '#') return false;
    return std::none_of(name.begin(), name.end(),
                        [](char c) { return c == '=' || static_cast<unsigned char>(c) < 32 || c == 127; });
}

}  // namespace sorvena
