#pragma once
// Small text routines of the search: cutting marked text out of a page,
// taking the host out of a URL, matching keywords and showing byte counts.
//
// Texts are byte strings; URLs and page bytes pass through unchanged and all
// comparisons are exact byte comparisons, except HasKeyword. Every routine is
// a pure function of its arguments and may be called from any thread.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sorvena {

// A byte count for people: above 1 GiB as "5.00 GB", above 1 MiB as "1.50 MB",
// above 1 KiB as "1.00 KB" (two decimals, the value divided in floating
// point), otherwise "1024 Byte" (zero and negative counts too). The caller
// passes the decimal separator of the user's locale; it may be several bytes
// (a UTF-8 character). The result does not depend on the C or C++ locale.
std::string SizeToText(int64_t size, std::string_view decimalSeparator = ".");

// True when one of the keywords occurs in text, ignoring letter case; false
// for an empty list. An empty keyword never matches. Case folding covers the
// ASCII letters and the Latin-1 letters U+00C0 to U+00DE written in UTF-8
// (so "É" matches "é"); other bytes compare exactly.
bool HasKeyword(std::string_view text, const std::vector<std::string>& keywords);

// Cuts the text between the first startMarker and the first endMarker after
// it. On a match returns that text (possibly empty) and shortens text so that
// it begins at the end marker, which is left in place: repeated calls walk a
// page from left to right, one match per call. Without a match (either marker
// missing or empty, or the end marker only before the start marker) returns
// "" and leaves text as it is. Errors (out of memory) are traced and give "".
std::string GetBetween(std::string& text, std::string_view startMarker, std::string_view endMarker);
// The same over a view: shortening moves the view, so walking a large page
// copies nothing but the results. The viewed bytes must outlive the view.
std::string GetBetween(std::string_view& text, std::string_view startMarker, std::string_view endMarker);

// The text between the first "://" and the next "/" of url: the host, with
// ":port" when the URL has one. "" when the URL has no "://" or no "/" after
// it ("http://example.org" gives "").
std::string GetUrlHost(std::string_view url);

}  // namespace sorvena
