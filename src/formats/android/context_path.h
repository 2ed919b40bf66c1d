#pragma once
// A path as it stands in a file_contexts line: a regular expression that matches exactly that
// path. Regex metacharacters get a backslash; blanks, control bytes and bytes from 0x7f up are
// written as \xHH, since libselinux reads ASCII lines only.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace orvex::android {

inline std::string EscapeContextPath(std::string_view path) {
  static const char* kMeta = ".^$*+?()[]{}|\\";
  std::string out;
  out.reserve(path.size() + 8);
  for (char c : path) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x21 || u >= 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", u);
      out += hex;
    } else {
      if (std::strchr(kMeta, c)) out += '\\';
      out += c;
    }
  }
  return out;
}

}  // namespace orvex::android
