// What both sides of the tree layer share: the Windows name rule.
#include <array>
#include <cstddef>
#include <string_view>

#include "platform_tree.h"

namespace orvex::platform {

namespace {

// Length of the UTF-8 sequence at s[i], or 0 when it is not a valid (shortest-form, non-surrogate)
// one.
size_t Utf8SequenceAt(std::string_view s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  if (c < 0x80) return 1;
  size_t n = 0;
  uint32_t cp = 0;
  if ((c & 0xE0) == 0xC0) n = 2, cp = c & 0x1F;
  else if ((c & 0xF0) == 0xE0) n = 3, cp = c & 0x0F;
  else if ((c & 0xF8) == 0xF0) n = 4, cp = c & 0x07;
  else return 0;
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  static constexpr std::array<uint32_t, 5> kMin{0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

bool EqualsAsciiNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

// CON, NUL, COM1, LPT³... The part before the first dot counts, its trailing blanks ignored.
bool IsDeviceName(std::string_view name) {
  std::string_view base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  for (std::string_view d : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
    if (EqualsAsciiNoCase(base, d)) return true;
  for (std::string_view d : {"COM", "LPT"}) {
    if (base.size() < 4 || !EqualsAsciiNoCase(base.substr(0, 3), d)) continue;
    const std::string_view digit = base.substr(3);
    if (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') return true;
    // The superscript digits count as well.
    if (digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3") return true;
  }
  return false;
}

}  // namespace

bool WindowsNameStorable(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (size_t i = 0; i < name.size();) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c < 0x20) return false;
    if (std::string_view("<>:\"/\\|?*").find(static_cast<char>(c)) != std::string_view::npos) return false;
    const size_t n = Utf8SequenceAt(name, i);
    if (n == 0) return false;  // no UTF-16 form: the name would come back different
    i += n;
  }
  if (name.back() == '.' || name.back() == ' ') return false;
  return !IsDeviceName(name);
}

}  // namespace orvex::platform
