#pragma once
// The Torznab endpoints of the settings file: indexer proxies (Jackett,
// Prowlarr...) that Sorvena searches beside its catalogue.
//
//   [Torznab]
//   Jackett=http://127.0.0.1:9117/api/v2.0/indexers/all/results/torznab/api?apikey=KEY
//   Prowlarr=http://127.0.0.1:9696/1/api?apikey=KEY
//   [TorznabDisabled]
//   Prowlarr=1
//
// One key per endpoint in [Torznab]: the key is its display name, the value
// its API URL (with apikey= in the query when the endpoint needs one), in the
// order the list shows them. An endpoint whose name is also a key of
// [TorznabDisabled] with a true value is kept but not searched. Keys compare
// without regard to ASCII letter case, as every key of the file does.
// Pure functions over a TIniFile; the caller's thread.

#include <string>
#include <string_view>
#include <vector>

namespace sorvena {

class TIniFile;

inline constexpr std::string_view TorznabSection = "Torznab";
inline constexpr std::string_view TorznabDisabledSection = "TorznabDisabled";
inline constexpr size_t TorznabMaxEndpoints = 64;  // further keys are not read

struct TTorznabEndpoint {
    std::string Name;    // the display name: the key
    std::string ApiUrl;  // the value
    bool Enabled = true;
    bool operator==(const TTorznabEndpoint&) const = default;
};

// Every endpoint with a name and a URL, in file order, at most
// TorznabMaxEndpoints; a name given twice counts once (the first).
std::vector<TTorznabEndpoint> ReadTorznabEndpoints(const TIniFile& ini);
// Makes both sections hold exactly these endpoints: keys of endpoints not in
// the list are removed, the others written; every other section and line
// stays as it is.
void WriteTorznabEndpoints(TIniFile& ini, const std::vector<TTorznabEndpoint>& endpoints);
// A name the file can hold as a key: not empty, no "=", no surrounding
// blanks, no control bytes, not beginning with "[", ";" or "#".
bool IsValidEndpointName(std::string_view name);

}  // namespace sorvena
