// Reads arbitrary bytes as a results file with small limits. The reader may
// refuse the bytes (EResultsFileError) but must not crash, throw anything
// else, or return more than the limits allow.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "results/ResultsFile.h"

using namespace sorvena;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TResultsFileLimits limits;
    limits.MaxMemberBytes = 1 << 20;
    limits.MaxTotalBytes = 4 << 20;
    limits.MaxMembers = 1000;
    try {
        const TResultsFile file = ReadResultsArchive(std::string_view(reinterpret_cast<const char*>(data), size), limits);
        if (file.Entries.size() > limits.MaxMembers) std::abort();
    } catch (const EResultsFileError&) {
    }
    return 0;
}
