#pragma once
// Magnet links (BEP 9): parsing one into what it names, and building one from
// a torrent's info hash, name and trackers. Pure functions; any thread.
//
// ParseMagnet takes "magnet:?" followed by key=value parameters joined by "&".
// It knows xt (the first "urn:btih:" value: 40 hexadecimal digits of either
// case, or 32 base32 characters of either case), dn, every tr, xl and every
// x.pe; the numbered forms of BEP 9 ("tr.1", "xt.2") count as the plain keys.
// Values are percent-decoded ("+" is a blank in dn, as form encoding writes
// it). Other keys (ws, as, xs, kt, so...) are skipped. The link is refused,
// with a reason in English, when it is longer than MagnetMaxBytes, does not
// begin with "magnet:?", has a broken percent escape, gives no BitTorrent v1
// info hash or two different ones, or has an xl that is no byte count or an
// x.pe that is no host:port.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sorvena {

class TTorrentEx;

inline constexpr size_t MagnetMaxBytes = 64 * 1024;  // a longer link is refused
inline constexpr size_t MagnetMaxTrackers = 200;     // further tr values are dropped
inline constexpr size_t MagnetMaxPeers = 200;        // further x.pe values are dropped

struct TMagnetLink {
    std::string InfoHashHex;            // 40 lowercase hexadecimal characters
    std::string InfoHashRaw;            // the same 20 bytes
    std::string DisplayName;            // dn, decoded; "" when not given
    std::vector<std::string> Trackers;  // every tr, decoded, in order, each once
    int64_t ExactLength = -1;           // xl; -1 when not given
    std::vector<std::string> Peers;     // every x.pe ("host:port", "[v6]:port"), in order, each once
};

// The link, or nothing with the reason in *reason (when given).
std::optional<TMagnetLink> ParseMagnet(std::string_view uri, std::string* reason = nullptr);

// "magnet:?xt=urn:btih:<hash>", then "&dn=<name>" when the name is not empty,
// then "&tr=<tracker>" for each tracker, each tracker once. Every byte other
// than the unreserved characters of RFC 3986 (letters, digits, "-._~") is
// percent-encoded. The hash is written in lower case as given (40 hex).
std::string BuildMagnetUri(std::string_view infoHashHex, std::string_view name,
                           const std::vector<std::string>& trackers);

// The magnet link of a listed entry: its MagnetUri when it came from one,
// otherwise one built from its info hash, name, announce URL and backup
// trackers.
std::string EntryMagnetUri(const TTorrentEx& entry);

// A magnet entry: the info hash, the name (dn, else fallbackName), the size
// (xl, else fallbackSize when at least 0), the trackers (the first is the
// announce URL, all of them the backup trackers) and the link itself in
// MagnetUri; no file list.
std::unique_ptr<TTorrentEx> MakeMagnetEntry(const TMagnetLink& link, std::string_view uri,
                                            std::string_view fallbackName = {}, int64_t fallbackSize = -1);

}  // namespace sorvena
