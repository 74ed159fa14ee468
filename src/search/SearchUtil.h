#pragma once
// Keyword handling of the search. Pure functions; any thread.

#include <string>
#include <string_view>
#include <vector>

namespace sorvena {

// Splits text at every space (byte 32; tabs do not split). Consecutive spaces
// and a leading space give empty items; one trailing space gives no empty last
// item; "" gives an empty list. HasKeyword never matches an empty item.
std::vector<std::string> GetKeywordList(std::string_view text);

// Form encoding of a byte string for a query value: ASCII letters and digits,
// "@" and ! $ ' ( ) * - . _ stay as they are, a space becomes "+", every other
// byte (control bytes and bytes above 127 too) becomes "%" and two upper-case
// hexadecimal digits.
std::string UrlEncode(std::string_view text);

// The category box entries, index 0 to 11.
inline constexpr int CategoryCount = 12;
inline constexpr const char* CategoryNames[CategoryCount] = {
    "All", "Adult", "Anime", "Application", "Game", "Linux",
    "Macintosh", "Misc", "Movies", "Music", "Series & TV", "Other"};

// The codes three sites give a category (index 0 to 11); "" where the site
// has none, and for every index outside 0 to 11.
std::string_view CategoryCodeCid(int category);      // TorrentReactor, part of a parameter name
std::string_view CategoryCodeCat(int category);      // The Pirate Bay
std::string_view CategoryCodeMaincat(int category);  // TorrentSpy

}  // namespace sorvena
