#pragma once
// The error trace: one line on stderr for an error that was caught and
// handled, formatted "%s:%u (%s) \"%s\"" (source file, line, routine, error
// text). It is for the developer, never for the user. Safe from any thread:
// each line is written with one call, so lines from different threads do not
// mix. Never throws.

#include <string_view>

namespace sorvena {

void TraceError(const char* file, unsigned line, const char* routine, std::string_view text) noexcept;

}  // namespace sorvena

// Writes errorText (anything convertible to std::string_view) as a trace line
// for the current source position and function.
#define SORVENA_TRACE(errorText) ::sorvena::TraceError(__FILE__, __LINE__, __func__, (errorText))
