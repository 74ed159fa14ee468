// Decodes arbitrary bytes and checks what the decoder promises: it returns,
// stays within the input, and a decoded "info" position lies inside it.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "metainfo/BDecode.h"

using namespace sorvena;

namespace {
void checkTree(const TObject* value, size_t inputSize)
{
    if (auto* dict = dynamic_cast<const TObjectHash*>(value)) {
        // Only a dictionary with "info" has positions we measured; elsewhere
        // these keys are the file's own.
        const bool hasInfo = dict->Contains("info");
        for (const auto& record : dict->Records()) {
            const TObject* item = dict->ValueAt(record.ItemIndex);
            if (hasInfo && (record.Key == "_info_start" || record.Key == "_info_length")) {
                auto* s = dynamic_cast<const TIntString*>(item);
                if (!s || s->Value < 0 || static_cast<uint64_t>(s->Value) > inputSize) std::abort();
            }
            checkTree(item, inputSize);
        }
    } else if (auto* list = dynamic_cast<const TObjectList*>(value)) {
        for (const auto& item : list->Items) checkTree(item.get(), inputSize);
    } else if (auto* s = dynamic_cast<const TIntString*>(value)) {
        if (s->Text.size() > inputSize) std::abort();
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TMemoryStream stream(std::string_view(reinterpret_cast<const char*>(data), size));
    TObjectPtr value = BencodeDecode(stream);
    if (stream.Position() > size) std::abort();
    checkTree(value.get(), size);
    return 0;
}
