#pragma once
// The Torznab API of indexer proxies (Jackett, Prowlarr and the like): the
// search query, the category numbers, and parsers for the two replies Sorvena
// reads, the search result feed (t=search) and the capabilities (t=caps).
//
// Both parsers stream the document through expat: memory grows with what is
// kept (at most TorznabMaxItems items, each text field at most
// TorznabMaxFieldBytes), not with the reply, and entity declarations are
// refused, so an entity expansion bomb stops at its DOCTYPE. Replies are
// untrusted: nothing here throws on what a server sends. Pure functions; any
// thread.
//
// Namespaces are honoured as the API uses them: the item attributes are
// <torznab:attr name value> or <newznab:attr name value>, matched by local
// name "attr" in any declared namespace, whatever prefix the reply binds.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sorvena {

inline constexpr size_t TorznabMaxItems = 1000;           // items kept from one reply; further ones are counted
inline constexpr size_t TorznabMaxFieldBytes = 64 * 1024;  // a longer text or attribute value is cut there
inline constexpr size_t TorznabMaxCategories = 2000;       // caps categories and subcategories kept
inline constexpr int TorznabMaxPages = 10;                 // pages one search asks one endpoint for
inline constexpr int TorznabDefaultLimit = 100;            // items per page when caps say nothing

// One <item> of a search reply.
struct TTorznabItem {
    std::string Title;
    std::string Guid;
    std::string Link;          // <link>
    std::string EnclosureUrl;  // <enclosure url>
    std::string MagnetUrl;     // attr magneturl
    std::string InfoHash;      // attr infohash, as given
    int64_t Size = -1;         // <size>, else attr size, else <enclosure length>; -1 when none
    int32_t Seeders = -1;      // attr seeders
    int32_t Peers = -1;        // attr peers: seeders plus leechers (Jackett)
    int32_t Leechers = -1;     // attr leechers (others)

    // The peers the endpoint reports: peers when given, else seeders plus
    // leechers (either alone when only one is given); -1 when none.
    int32_t PeerCount() const;
};

struct TTorznabReply {
    enum class Kind { Feed, Error, Malformed };
    Kind What = Kind::Malformed;
    // Kind::Error: the <error code description> root element.
    int ErrorCode = 0;
    std::string ErrorDescription;
    // Kind::Malformed: expat's message and the line, or what was missing.
    std::string Problem;
    std::vector<TTorznabItem> Items;  // in document order, at most TorznabMaxItems
    size_t ItemCount = 0;             // every <item> of the reply, kept or not
};

TTorznabReply ParseTorznabReply(std::string_view xml);

struct TTorznabCategory {
    int Id = 0;
    std::string Name;
    int ParentId = 0;  // 0 for a top-level category
};

struct TTorznabCaps {
    TTorznabReply::Kind What = TTorznabReply::Kind::Malformed;
    int ErrorCode = 0;
    std::string ErrorDescription;
    std::string Problem;
    int LimitMax = TorznabDefaultLimit;      // <limits max>
    int LimitDefault = TorznabDefaultLimit;  // <limits default>
    bool SearchAvailable = true;             // <searching><search available>
    std::vector<TTorznabCategory> Categories;  // top-level ones, each followed by its subcategories
};

TTorznabCaps ParseTorznabCaps(std::string_view xml);

// The Torznab category numbers of a category index 0..11 of the category box,
// comma-separated as the cat parameter takes them; "" for "All" and for every
// index outside 0..11 (no cat parameter is sent then).
std::string_view TorznabCategoryCodes(int category);

// The API URL followed by "?" (or "&" when it has a query already) and
// "t=search&q=<encoded keyword>[&cat=<codes>]&offset=<n>&limit=<m>&extended=1".
// encodedKeyword is form-encoded already (UrlEncode).
std::string TorznabSearchUrl(std::string_view apiUrl, std::string_view encodedKeyword, int category, int offset,
                             int limit);
// The API URL with "t=caps" added the same way.
std::string TorznabCapsUrl(std::string_view apiUrl);

// The failure text of an error reply: "wrong API key" for the codes 100 to
// 102, a request limit for 429 and 500, and the endpoint's own description.
std::string TorznabErrorText(int code, std::string_view description);

}  // namespace sorvena
