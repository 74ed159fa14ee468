// Parses arbitrary bytes as a Torznab search reply and as a caps document and
// checks the limits the parsers promise: at most TorznabMaxItems items, no
// field longer than TorznabMaxFieldBytes, items only in a feed.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "search/Torznab.h"

using namespace sorvena;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view xml(reinterpret_cast<const char*>(data), size);
    const TTorznabReply reply = ParseTorznabReply(xml);
    if (reply.Items.size() > TorznabMaxItems || reply.Items.size() > reply.ItemCount) std::abort();
    if (reply.What != TTorznabReply::Kind::Feed && !reply.Items.empty()) std::abort();
    for (const TTorznabItem& item : reply.Items)
        for (const std::string* field : {&item.Title, &item.Guid, &item.Link, &item.EnclosureUrl, &item.MagnetUrl,
                                         &item.InfoHash})
            if (field->size() > TorznabMaxFieldBytes) std::abort();
    const TTorznabCaps caps = ParseTorznabCaps(xml);
    if (caps.Categories.size() > TorznabMaxCategories || caps.LimitMax <= 0 || caps.LimitDefault <= 0 ||
        caps.LimitDefault > caps.LimitMax)
        std::abort();
    return 0;
}
