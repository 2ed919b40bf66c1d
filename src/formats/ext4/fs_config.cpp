#include "ext4/fs_config.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ext4/text_file.h"

namespace orvex::ext4 {

namespace {

bool ParseUnsigned(std::string_view s, int base, uint64_t max, uint64_t* out) {
  if (s.empty() || s.size() > 64) return false;
  std::string t(s);
  if (t[0] == '-' || t[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(t.c_str(), &end, base);
  if (errno || !end || *end != 0 || v > max) return false;
  *out = v;
  return true;
}

}  // namespace

std::string NormaliseConfigPath(std::string_view p) {
  while (!p.empty() && p.front() == '/') p.remove_prefix(1);
  while (!p.empty() && p.back() == '/') p.remove_suffix(1);
  return std::string(p);
}

std::optional<FsConfigEntry> ParseFsConfigLine(std::string_view line, std::string* error) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  // Split into tokens on blanks, remembering where each starts so the path keeps its blanks.
  struct Tok {
    size_t pos, len;
  };
  std::vector<Tok> toks;
  for (size_t i = 0; i < line.size();) {
    if (line[i] == ' ' || line[i] == '\t') {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < line.size() && line[j] != ' ' && line[j] != '\t') ++j;
    toks.push_back({i, j - i});
    i = j;
  }
  if (toks.empty()) return std::nullopt;
  if (line[toks[0].pos] == '#') return std::nullopt;
  auto tok = [&](size_t k) { return line.substr(toks[k].pos, toks[k].len); };

  FsConfigEntry e;
  // Trailing key=value words.
  size_t n = toks.size();
  while (n > 0 && tok(n - 1).find('=') != std::string_view::npos) {
    std::string_view kv = tok(n - 1);
    if (kv.substr(0, 13) == "capabilities=") {
      uint64_t caps;
      if (!ParseUnsigned(kv.substr(13), 0, UINT64_MAX, &caps)) {
        *error = "bad capabilities value in line: " + std::string(line);
        return std::nullopt;
      }
      e.capabilities = caps;
    }
    --n;
  }
  // "uid gid mode" with the root written as an empty path (" 0 0 0755") needs three tokens.
  if (n < 3) {
    *error = "ill-formed line: " + std::string(line);
    return std::nullopt;
  }
  uint64_t uid, gid, mode;
  if (!ParseUnsigned(tok(n - 3), 10, UINT32_MAX, &uid) ||
      !ParseUnsigned(tok(n - 2), 10, UINT32_MAX, &gid) ||
      !ParseUnsigned(tok(n - 1), 8, 07777, &mode)) {
    *error = "ill-formed line: " + std::string(line);
    return std::nullopt;
  }
  e.uid = static_cast<uint32_t>(uid);
  e.gid = static_cast<uint32_t>(gid);
  e.mode = static_cast<uint32_t>(mode);
  if (n > 3) {
    const size_t start = toks[0].pos;
    const size_t end = toks[n - 4].pos + toks[n - 4].len;
    e.path = NormaliseConfigPath(line.substr(start, end - start));
  }
  return e;
}

std::string FormatFsConfigLine(const FsConfigEntry& e) {
  char buf[96];
  snprintf(buf, sizeof(buf), " %u %u %04o", e.uid, e.gid, e.mode & 07777);
  std::string out = e.path + buf;
  if (e.capabilities) {
    snprintf(buf, sizeof(buf), " capabilities=0x%llx",
             static_cast<unsigned long long>(e.capabilities));
    out += buf;
  }
  return out;
}

bool FsConfigTable::Load(const std::string& file, std::string* error) {
  LineReader r;
  if (!r.Open(file, error)) return false;
  std::string line;
  size_t lineno = 0;
  while (r.Next(&line)) {
    ++lineno;
    std::string err;
    auto e = ParseFsConfigLine(line, &err);
    if (!err.empty()) {
      *error = file + ":" + std::to_string(lineno) + ": " + err;
      return false;
    }
    if (e) Add(std::move(*e));
  }
  if (!r.error().empty()) {
    *error = r.error();
    return false;
  }
  return true;
}

void FsConfigTable::Add(FsConfigEntry e) {
  std::string key = e.path;
  by_path_[key] = std::move(e);
}

const FsConfigEntry* FsConfigTable::Find(std::string_view path) const {
  auto it = by_path_.find(NormaliseConfigPath(path));
  return it == by_path_.end() ? nullptr : &it->second;
}

namespace {

// Shell wildcards as the rules below use them: '*' any run of bytes ('/' included), '?' one byte,
// everything else itself.
bool WildMatch(const char* pattern, const char* text) {
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*text) {
    if (*pattern == '*') {
      star = pattern++;
      resume = text;
    } else if (*pattern == '?' || *pattern == *text) {
      ++pattern;
      ++text;
    } else if (star) {
      pattern = star + 1;
      text = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == 0;
}

struct DefaultRule {
  uint32_t mode, uid, gid;
  const char* pattern;  // '*' crosses '/'
};

// First match wins; the most specific rules come first.
const DefaultRule kDirRules[] = {
    {0755, kAidRoot, kAidShell, "system/bin"},
    {0755, kAidRoot, kAidShell, "system/xbin"},
    {0755, kAidRoot, kAidShell, "system/vendor"},
    {0755, kAidRoot, kAidShell, "vendor"},
    {0755, kAidRoot, kAidShell, "*/bin"},
    {0755, kAidRoot, kAidShell, "*/xbin"},
    {0755, kAidRoot, kAidShell, "bin"},
    {0755, kAidRoot, kAidShell, "xbin"},
    {0700, kAidRoot, kAidRoot, "lost+found"},
    {0700, kAidRoot, kAidRoot, "*/lost+found"},
};

const DefaultRule kFileRules[] = {
    {0600, kAidRoot, kAidRoot, "default.prop"},
    {0600, kAidRoot, kAidRoot, "system/etc/prop.default"},
    {0444, kAidRoot, kAidRoot, "*/etc/fs_config_dirs"},
    {0444, kAidRoot, kAidRoot, "*/etc/fs_config_files"},
    {0555, kAidRoot, kAidRoot, "system/etc/ppp/*"},
    {0555, kAidRoot, kAidRoot, "system/etc/rc.*"},
    {0750, kAidRoot, kAidShell, "init*"},
    {0750, kAidRoot, kAidShell, "sbin/*"},
    {0640, kAidRoot, kAidShell, "fstab.*"},
    {0755, kAidRoot, kAidShell, "*/bin/*"},
    {0755, kAidRoot, kAidShell, "*/xbin/*"},
    {0755, kAidRoot, kAidShell, "bin/*"},
    {0755, kAidRoot, kAidShell, "xbin/*"},
};

}  // namespace

FsConfigEntry AndroidDefaults(std::string_view path, bool is_dir) {
  FsConfigEntry e;
  e.path = NormaliseConfigPath(path);
  e.uid = kAidRoot;
  e.gid = kAidRoot;
  e.mode = is_dir ? 0755 : 0644;
  if (is_dir) {
    for (const auto& r : kDirRules) {
      if (WildMatch(r.pattern, e.path.c_str())) {
        e.mode = r.mode, e.uid = r.uid, e.gid = r.gid;
        break;
      }
    }
  } else {
    for (const auto& r : kFileRules) {
      if (WildMatch(r.pattern, e.path.c_str())) {
        e.mode = r.mode, e.uid = r.uid, e.gid = r.gid;
        break;
      }
    }
  }
  return e;
}

// struct vfs_cap_data: magic_etc, then {permitted, inheritable} pairs of 32-bit words (one pair
// for revision 1, two for revisions 2 and 3), revision 3 adding a 32-bit root uid.
namespace {
constexpr uint32_t kCapRevisionMask = 0xFF000000u;
constexpr uint32_t kCapRevision1 = 0x01000000u;
constexpr uint32_t kCapRevision2 = 0x02000000u;
constexpr uint32_t kCapRevision3 = 0x03000000u;
constexpr uint32_t kCapFlagsEffective = 0x000001u;

uint32_t Le32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void PutLe32(unsigned char* p, uint32_t v) {
  p[0] = v & 0xFF, p[1] = (v >> 8) & 0xFF, p[2] = (v >> 16) & 0xFF, p[3] = (v >> 24) & 0xFF;
}
}  // namespace

std::string EncodeCapabilities(uint64_t permitted) {
  unsigned char b[20] = {};
  PutLe32(b, kCapRevision2 | (permitted ? kCapFlagsEffective : 0));
  PutLe32(b + 4, static_cast<uint32_t>(permitted));
  PutLe32(b + 12, static_cast<uint32_t>(permitted >> 32));
  return std::string(reinterpret_cast<char*>(b), sizeof(b));
}

bool DecodeCapabilities(const void* data, size_t len, uint64_t* permitted) {
  const auto* p = static_cast<const unsigned char*>(data);
  if (len < 4) return false;
  const uint32_t rev = Le32(p) & kCapRevisionMask;
  if (rev == kCapRevision1 && len == 12) {
    *permitted = Le32(p + 4);
    return true;
  }
  if ((rev == kCapRevision2 && len == 20) || (rev == kCapRevision3 && len == 24)) {
    *permitted = Le32(p + 4) | (static_cast<uint64_t>(Le32(p + 12)) << 32);
    return true;
  }
  return false;
}

}  // namespace orvex::ext4
