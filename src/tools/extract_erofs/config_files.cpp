#include "config_files.h"

#include "context_path.h"

#include <cstdio>
#include <cstring>

namespace orvex::extract_erofs {
namespace {
uint32_t Le32(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return uint32_t{u[0]} | (uint32_t{u[1]} << 8) | (uint32_t{u[2]} << 16) | (uint32_t{u[3]} << 24);
}
}  // namespace

std::optional<uint64_t> DecodeCapabilities(std::string_view v) {
  if (v.size() < 4) return std::nullopt;
  const uint32_t magic = Le32(v.data());
  const uint32_t revision = magic & 0xFF000000u;
  if (revision == 0x01000000u) {
    if (v.size() < 12) return std::nullopt;
    return uint64_t{Le32(v.data() + 4)};
  }
  if (revision == 0x02000000u || revision == 0x03000000u) {
    if (v.size() < 20) return std::nullopt;
    return uint64_t{Le32(v.data() + 4)} | (uint64_t{Le32(v.data() + 12)} << 32);
  }
  return std::nullopt;
}

std::string FsConfigLine(std::string_view path, uint32_t uid, uint32_t gid, uint32_t permissions, uint64_t caps) {
  char buf[96];
  std::snprintf(buf, sizeof buf, " %u %u %04o", uid, gid, permissions & 07777);
  std::string line(path);
  line += buf;
  if (caps) {
    std::snprintf(buf, sizeof buf, " capabilities=0x%llx", static_cast<unsigned long long>(caps));
    line += buf;
  }
  return line;
}

std::string EscapeContextPath(std::string_view path) { return android::EscapeContextPath(path); }

std::string CleanContext(std::string_view value) {
  while (!value.empty() && value.back() == '\0') value.remove_suffix(1);
  for (char c : value) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f) return "";
  }
  return std::string(value);
}

std::string RuntimePath(std::string_view mount_point, std::string_view rel) {
  std::string mp(mount_point);
  while (mp.size() > 1 && mp.back() == '/') mp.pop_back();
  if (mp.empty()) mp = "/";
  if (rel.empty()) return mp;
  if (mp == "/") return "/" + std::string(rel);
  return mp + "/" + std::string(rel);
}

std::string OneLineValue(std::string_view value) {
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (char ch : value) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

std::string QuoteForOptions(std::string_view path) {
  if (path.find_first_of("$`\"\\") == std::string_view::npos) return "\"" + std::string(path) + "\"";
  std::string out = "'";
  for (char c : path) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  out += "'";
  return out;
}

}  // namespace orvex::extract_erofs
