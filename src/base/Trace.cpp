#include "base/Trace.h"

#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace sorvena {

void TraceError(const char* file, unsigned line, const char* routine, std::string_view text) noexcept
{
    // The build passes absolute paths in __FILE__; the file name is enough to
    // find the line.
    const char* slash = std::strrchr(file, '/');
    const char* name = slash ? slash + 1 : file;
    const int length = text.size() > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(text.size());
    // One fprintf holds the stream's lock for the whole line.
    std::fprintf(stderr, "%s:%u (%s) \"%.*s\"\n", name, line, routine, length, text.data());
}

}  // namespace sorvena
