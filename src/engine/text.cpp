#include "text.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>


namespace orvex {

namespace {

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) out += static_cast<char>(cp);
  else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

char32_t LowerCp(char32_t c) {
  if (c >= 'A' && c <= 'Z') return c + 32;
  if (c >= 0x410 && c <= 0x42F) return c + 32;   // А..Я
  if (c >= 0x400 && c <= 0x40F) return c + 80;   // Ѐ..Џ (Ё, Є, І, Ї, Ў ...)
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;  // Latin-1 letters
  return c;
}

}  // namespace

std::vector<char32_t> CodePoints(std::string_view s) {
  std::vector<char32_t> out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80 ? 1 : (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3 : (c >= 0xF0 && c <= 0xF4) ? 4 : 0;
    if (len == 0 || i + len > s.size()) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    bool ok = true;
    for (size_t k = 1; k < len; ++k) {
      unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (!ok) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    out.push_back(cp);
    i += len;
  }
  return out;
}

std::string ToLower(std::string_view s) {
  bool ascii = true;
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) ascii = false;
  std::string out;
  out.reserve(s.size());
  if (ascii) {
    for (char c : s) out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    return out;
  }
  for (char32_t cp : CodePoints(s)) AppendUtf8(out, LowerCp(cp));
  return out;
}

std::string ToUpperAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) { return ToLower(a) == ToLower(b); }

size_t FindNoCase(std::string_view hay, std::string_view needle, size_t from) {
  bool asciiNeedle = true;
  for (char c : needle)
    if (static_cast<unsigned char>(c) >= 0x80) asciiNeedle = false;
  if (asciiNeedle) {
    // An ASCII needle can only match ASCII bytes: compare in place without copying the text.
    if (from > hay.size()) return std::string::npos;
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    auto it = std::search(hay.begin() + static_cast<std::ptrdiff_t>(from), hay.end(), needle.begin(), needle.end(),
                          [&](char a, char b) { return lower(a) == lower(b); });
    return it == hay.end() && !needle.empty() ? std::string::npos : static_cast<size_t>(it - hay.begin());
  }
  // Lower-casing keeps byte lengths for the letters handled, so positions carry over.
  std::string h = ToLower(hay), n = ToLower(needle);
  if (h.size() != hay.size() || n.size() != needle.size()) return std::string::npos;
  return h.find(n, from);
}

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r' || s[b] == '\n')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n')) --e;
  return std::string(s.substr(b, e - b));
}

std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to, bool ignoreCase) {
  if (from.empty()) return std::string(s);
  std::string out;
  size_t pos = 0;
  for (;;) {
    size_t hit = ignoreCase ? FindNoCase(s, from, pos) : s.find(from, pos);
    if (hit == std::string::npos) break;
    out.append(s.substr(pos, hit - pos));
    out.append(to);
    pos = hit + from.size();
  }
  out.append(s.substr(pos));
  return out;
}

std::vector<std::string> Split(std::string_view s, char sep) {
  std::vector<std::string> out;
  size_t pos = 0;
  for (;;) {
    size_t hit = s.find(sep, pos);
    if (hit == std::string::npos) {
      out.emplace_back(s.substr(pos));
      return out;
    }
    out.emplace_back(s.substr(pos, hit - pos));
    pos = hit + 1;
  }
}

bool StartsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }
bool EndsWith(std::string_view s, std::string_view p) { return s.size() >= p.size() && s.substr(s.size() - p.size()) == p; }

size_t Utf16Length(std::string_view s) {
  size_t n = 0;
  for (char32_t cp : CodePoints(s)) n += cp >= 0x10000 ? 2 : 1;
  return n;
}

int64_t LeadingInt(std::string_view s) {
  size_t i = 0;
  bool neg = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
  int64_t v = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
    if (v > (INT64_MAX - 9) / 10) break;
    v = v * 10 + (s[i++] - '0');
  }
  return neg ? -v : v;
}

bool ParseInt32(std::string_view s, int32_t& out) {
  std::string t = Trim(s);
  if (t.empty()) return false;
  const char* b = t.data();
  if (*b == '+') ++b;
  int32_t v = 0;
  auto [p, ec] = std::from_chars(b, t.data() + t.size(), v);
  if (ec != std::errc() || p != t.data() + t.size()) return false;
  out = v;
  return true;
}

std::string SanitizeUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char32_t cp : CodePoints(s)) AppendUtf8(out, cp);
  return out;
}

}  // namespace orvex
