#pragma once
// A compact text form of a decoded bencode tree for test expectations:
// "abc" for a byte string, 12 for an integer, [a,b] for a list and
// {k:v,...} for a dictionary in insertion order; "none" for no value.

#include <string>

#include "metainfo/Hashes.h"

namespace sorvena::test {

inline std::string Dump(const TObject* value)
{
    if (!value) return "none";
    if (auto* s = dynamic_cast<const TIntString*>(value))
        return s->IsInteger ? std::to_string(s->Value) : "\"" + s->Text + "\"";
    std::string out;
    if (auto* list = dynamic_cast<const TObjectList*>(value)) {
        out = "[";
        for (size_t i = 0; i < list->Items.size(); ++i) out += (i ? "," : "") + Dump(list->Items[i].get());
        return out + "]";
    }
    auto* dict = dynamic_cast<const TObjectHash*>(value);
    out = "{";
    bool first = true;
    for (const auto& r : dict->Records()) {
        out += (first ? "" : ",") + r.Key + ":" + Dump(dict->ValueAt(r.ItemIndex));
        first = false;
    }
    return out + "}";
}

}  // namespace sorvena::test
