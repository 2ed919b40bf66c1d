#pragma once
// Small text helpers: UTF-8 throughout, with the case and length rules the program shows.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvex {

// Lower-cases ASCII letters and the Cyrillic alphabet (the letters file names here carry).
std::string ToLower(std::string_view s);
std::string ToUpperAscii(std::string_view s);
bool EqualsNoCase(std::string_view a, std::string_view b);
// Position of needle in hay without regard to case (ASCII and Cyrillic), or npos.
size_t FindNoCase(std::string_view hay, std::string_view needle, size_t from = 0);
std::string Trim(std::string_view s);
// Replaces every occurrence of `from` by `to`; with ignoreCase the search ignores letter case.
std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to, bool ignoreCase = false);
std::vector<std::string> Split(std::string_view s, char sep);
bool StartsWith(std::string_view s, std::string_view prefix);
bool EndsWith(std::string_view s, std::string_view suffix);
// The code points of a UTF-8 text (invalid bytes count as U+FFFD).
std::vector<char32_t> CodePoints(std::string_view s);
// Length in UTF-16 code units, as character counts shown to the user are.
size_t Utf16Length(std::string_view s);
// Reads the leading decimal digits (an optional sign first); anything else reads as 0.
int64_t LeadingInt(std::string_view s);
// Strict integer parse of a whole (trimmed) text into a signed 32-bit value.
bool ParseInt32(std::string_view s, int32_t& out);
// Makes a text valid UTF-8 (invalid bytes become U+FFFD).
std::string SanitizeUtf8(std::string_view s);

}  // namespace orvex
