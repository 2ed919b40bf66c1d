#include "job_helpers.h"

#include <cstring>
#include <filesystem>
#include <fstream>

#include "text.h"

namespace orvex {

void LogOutcome(Context& ctx, bool ok) { ctx.log.LogLine(ctx.M(ok ? 135 : 136), false); }

bool CopyFile(const std::string& from, const std::string& to) {
  std::error_code ec;
  std::filesystem::copy_file(platform::ToPath(from), platform::ToPath(to), std::filesystem::copy_options::none, ec);
  return !ec;
}

void KeepOriginalOnce(Context& ctx, const std::string& image, const std::string& org, const std::string& shownFrom,
                      const std::string& shownTo) {
  if (FileSize(image) <= 0 || platform::Exists(org) || platform::IsLink(org) || ctx.settings.Int("No_Org") != 0) return;
  ctx.log.LogLine(ctx.M(148) + ": " + shownFrom + " => " + shownTo, false);
  bool ok = CopyFile(image, org);
  // A copy cut short is no copy of the original.
  if (!ok) DeleteFile(org);
  LogOutcome(ctx, ok);
}

bool MoveToBackup(Context& ctx, const std::string& image, const std::string& bak, const std::string& shownFrom,
                  const std::string& shownTo) {
  if (FileSize(image) <= 0) return true;
  ctx.log.LogLine(ctx.M(70) + " " + shownFrom + " " + ctx.M(87) + " " + shownTo, false);
  bool ok = false;
  {
    auto lock = BackupLock();
    if (!BackupsGivenBack()) {
      DeleteFile(bak);
      ok = RenameFile(image, bak);
    }
  }
  LogOutcome(ctx, ok);
  if (!ok) ++ctx.log.errorCount;
  return ok;
}

void RestoreBackup(Context& ctx, const std::string& bak, const std::string& image, const std::string& shownFrom,
                   const std::string& shownTo) {
  ctx.log.LogLine(ctx.M(70) + " " + shownFrom + " " + ctx.M(87) + " " + shownTo, false);
  bool ok = false;
  {
    auto lock = BackupLock();
    // Never delete the failed output unless the backup is there to take its place.
    if (!BackupsGivenBack() && FileSize(bak) > 0) {
      DeleteFile(image);
      ok = RenameFile(bak, image);
    }
  }
  LogOutcome(ctx, ok);
}

void DropBackup(Context& ctx, const std::string& bak) {
  if (ctx.settings.Int("No_Backup") != 1) return;
  auto lock = BackupLock();
  if (!BackupsGivenBack()) DeleteFile(bak);
}

namespace {

uint32_t Le32(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint16_t Le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

bool ReadAt(std::ifstream& f, uint64_t offset, unsigned char* buf, size_t n) {
  f.clear();
  f.seekg(static_cast<std::streamoff>(offset));
  f.read(reinterpret_cast<char*>(buf), static_cast<std::streamsize>(n));
  return static_cast<size_t>(f.gcount()) == n;
}

}  // namespace

bool PartitionImageLooksWhole(const std::string& path) {
  const int64_t size = FileSize(path);
  if (size <= 0) return false;
  std::ifstream f(platform::ToPath(path), std::ios::binary);
  if (!f) return false;
  const uint64_t fileSize = static_cast<uint64_t>(size);
  unsigned char h[1024];

  // Sparse: the chunk headers must add up within the file.
  if (ReadAt(f, 0, h, 28) && Le32(h) == 0xED26FF3Au) {
    const uint16_t fileHdr = Le16(h + 8), chunkHdr = Le16(h + 10);
    const uint32_t chunks = Le32(h + 20);
    if (fileHdr < 28 || chunkHdr < 12) return false;
    uint64_t pos = fileHdr;
    for (uint32_t i = 0; i < chunks; ++i) {
      unsigned char c[12];
      if (pos + chunkHdr > fileSize || !ReadAt(f, pos, c, 12)) return false;
      const uint32_t total = Le32(c + 8);
      if (total < chunkHdr) return false;
      pos += total;
    }
    return pos <= fileSize;
  }
  if (!ReadAt(f, 1024, h, sizeof h)) return false;
  // ext4: blocks count times block size.
  if (Le16(h + 0x38) == 0xEF53) {
    const uint32_t logBlock = Le32(h + 0x18);
    if (logBlock > 6) return false;
    uint64_t blocks = Le32(h + 0x04);
    if (Le32(h + 0x60) & 0x80) blocks |= uint64_t{Le32(h + 0x150)} << 32;
    const uint64_t blockSize = uint64_t{1024} << logBlock;
    return blocks <= fileSize / blockSize;
  }
  // EROFS: the block count and the block size bits.
  if (Le32(h) == 0xE0F5E1E2u) {
    const unsigned bits = h[12];
    if (bits < 9 || bits > 16) return false;
    return uint64_t{Le32(h + 36)} <= (fileSize >> bits);
  }
  return false;
}

bool RecoverInterruptedBackup(Context& ctx, const std::string& image, const std::string& bak,
                              const std::string& shownBak, const std::string& shownImage,
                              const std::function<bool(const std::string&)>& looksWhole) {
  if (FileSize(bak) <= 0) return false;
  if (FileSize(image) > 0 && looksWhole(image)) return false;
  ctx.log.LogLine(">< !!! " + ctx.M(70) + " " + shownBak + " " + ctx.M(87) + " " + shownImage, false);
  bool ok = false;
  {
    auto lock = BackupLock();
    if (!BackupsGivenBack()) {
      DeleteFile(image);
      ok = RenameFile(bak, image);
    }
  }
  LogOutcome(ctx, ok);
  return ok;
}

std::string ExistingWithSuffix(const std::string& base, const std::string& suffix) {
  if (platform::Exists(base + suffix)) return base + suffix;
  const JobNames n = DeriveNames(base);
  std::error_code ec;
  std::filesystem::directory_iterator it(platform::ToPath(n.dir.empty() ? "." : n.dir), ec);
  if (ec) return "";
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::string name = platform::FromPath(it->path().filename());
    if (name.size() == n.fileName.size() + suffix.size() && name.compare(0, n.fileName.size(), n.fileName) == 0 &&
        EqualsNoCase(std::string_view(name).substr(n.fileName.size()), suffix))
      return n.dir + name;
  }
  return "";
}

std::string ExistingNoCase(const std::string& base, const std::string& rel) {
  std::string cur = base;
  for (const std::string& part : Split(rel, platform::kSep)) {
    if (part.empty()) continue;
    std::string exact = JoinPath(cur, part);
    if (platform::Exists(exact)) {
      cur = exact;
      continue;
    }
    std::string found;
    std::error_code ec;
    std::filesystem::directory_iterator it(platform::ToPath(cur), ec);
    for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
      const std::string name = platform::FromPath(it->path().filename());
      if (EqualsNoCase(name, part)) {
        found = JoinPath(cur, name);
        break;
      }
    }
    if (found.empty()) return "";
    cur = found;
  }
  return cur;
}

std::string OneLine(std::string_view value) {
  static const char* hex = "0123456789abcdef";
  std::string out;
  out.reserve(value.size());
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

std::optional<int64_t> RecordedNumber(std::string_view text) {
  std::string t = Trim(text);
  if (t.empty() || t.size() > 19) return std::nullopt;
  int64_t v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return std::nullopt;
    if (v > (INT64_MAX - (c - '0')) / 10) return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return v;
}

bool SplitRecordedWords(std::string_view text, std::vector<std::string>& words, std::string* bad) {
  words.clear();
  std::string cur;
  bool inWord = false;
  // The refused word: from the blank before the offending byte to the blank after it.
  auto refuse = [&](size_t at) {
    if (bad) {
      size_t from = text.rfind(' ', at);
      from = from == std::string_view::npos ? 0 : from + 1;
      size_t to = text.find(' ', at);
      *bad = OneLine(text.substr(from, to == std::string_view::npos ? std::string_view::npos : to - from));
    }
    return false;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const auto u = static_cast<unsigned char>(c);
    if (c == ' ' || c == '\t') {
      if (inWord) words.push_back(cur);
      cur.clear();
      inWord = false;
      continue;
    }
    if (u < 0x20 || u == 0x7F) return refuse(i);
    inWord = true;
    if (c == '\'') {
      size_t end = text.find('\'', i + 1);
      if (end == std::string_view::npos) return refuse(i);
      for (size_t k = i + 1; k < end; ++k)
        if (static_cast<unsigned char>(text[k]) < 0x20 || text[k] == 0x7F) return refuse(k);
      cur.append(text.substr(i + 1, end - i - 1));
      i = end;
    } else if (c == '"') {
      size_t end = text.find('"', i + 1);
      if (end == std::string_view::npos) return refuse(i);
      for (size_t k = i + 1; k < end; ++k) {
        const auto d = static_cast<unsigned char>(text[k]);
        if (d < 0x20 || d == 0x7F || d == '$' || d == '`' || d == '\\') return refuse(k);
      }
      cur.append(text.substr(i + 1, end - i - 1));
      i = end;
    } else if (std::strchr("$`\\;|&<>(){}*?[]~#!", c)) {
      return refuse(i);
    } else {
      cur += c;
    }
  }
  if (inWord) words.push_back(cur);
  return true;
}

bool IsPlainFolderName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F || ch == '/' || ch == '\\') return false;
  }
  return true;
}

bool SafeRelativePath(std::string_view path) {
  if (path.empty() || path[0] == '-' || path[0] == '/' || path[0] == '\\') return false;
  if (path.find(':') != std::string_view::npos) return false;  // a drive or a stream name
  size_t start = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size()) {
      const auto c = static_cast<unsigned char>(path[i]);
      if (c < 0x20 || c == 0x7F) return false;
      if (c != '/' && c != '\\') continue;
    }
    if (path.substr(start, i - start) == "..") return false;
    start = i + 1;
  }
  return true;
}

bool CheckOptionWords(const std::vector<std::string>& words, const std::vector<OptionRule>& rules, size_t maxPaths,
                      std::string* args, std::string* bad, std::vector<std::string>* paths) {
  std::string out;
  size_t pathCount = 0;
  if (paths) paths->clear();
  for (const std::string& w : words) {
    std::string piece;
    if (!w.empty() && w[0] == '-') {
      const OptionRule* best = nullptr;
      for (const auto& r : rules) {
        if (w.compare(0, r.name.size(), r.name) != 0) continue;
        const std::string_view rest = std::string_view(w).substr(r.name.size());
        const bool fits = r.path ? SafeRelativePath(rest) : r.value ? !rest.empty() && r.value(rest) : rest.empty();
        if (fits && (!best || r.name.size() > best->name.size())) best = &r;
      }
      if (!best) {
        if (bad) *bad = w;
        return false;
      }
      piece = best->path ? best->name + Q(w.substr(best->name.size())) : w;
    } else {
      if (++pathCount > maxPaths || !SafeRelativePath(w)) {
        if (bad) *bad = w;
        return false;
      }
      if (paths) paths->push_back(w);
      piece = Q(w);
    }
    out += (out.empty() ? "" : " ") + piece;
  }
  if (args) *args = out;
  return true;
}

namespace {

bool Digits(std::string_view s) {
  if (s.empty() || s.size() > 19) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

bool InList(std::string_view word, std::initializer_list<std::string_view> list) {
  for (auto w : list)
    if (w == word) return true;
  return false;
}

// "lz4hc,9" or "lz4:lzma,6": known compressor names, each with an optional level.
bool Compressors(std::string_view s) {
  for (const std::string& one : Split(s, ':')) {
    std::string_view name = one;
    size_t comma = name.find(',');
    if (comma != std::string_view::npos) {
      if (!Digits(name.substr(comma + 1)) || name.size() - comma > 4) return false;
      name = name.substr(0, comma);
    }
    if (!InList(name, {"lz4", "lz4hc", "lzma", "deflate", "libdeflate", "zstd"})) return false;
  }
  return true;
}

bool ExtendedOptions(std::string_view s) {
  for (const std::string& one : Split(s, ','))
    if (!InList(one, {"legacy-compress", "ztailpacking", "nosbcrc", "noinline_data", "force-inode-extended",
                      "force-inode-compact", "force-chunk-indexes", "fragments", "all-fragments", "dedupe"}))
      return false;
  return true;
}

bool Uuid(std::string_view s) {
  if (s.size() != 36) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool CheckMkfsErofsOptions(std::string_view recorded, const std::string& imageName, std::string* args,
                           std::string* tree, std::string* bad) {
  std::vector<std::string> words;
  if (!SplitRecordedWords(recorded, words, bad)) return false;
  static const std::vector<OptionRule> rules = {
      {"-z", Compressors},
      {"-E", ExtendedOptions},
      {"-C", Digits},
      {"-b", Digits},
      {"--chunksize=", Digits},
      {"-T", Digits},
      {"-U", Uuid},
      {"-x", [](std::string_view v) { return v == "-1" || Digits(v); }},
      {"--all-root", {}},
      {"--force-uid=", Digits},
      {"--force-gid=", Digits},
      {"--file-contexts=", {}, true},
  };
  std::vector<std::string> paths;
  if (!CheckOptionWords(words, rules, 2, nullptr, bad, &paths)) return false;
  if (paths.size() != 2 || !EqualsNoCase(paths[0], imageName)) {
    if (bad) *bad = paths.empty() ? std::string(recorded) : paths[0];
    return false;
  }
  // The output is the image beside the folder, spelled as it is on disk.
  for (auto& w : words)
    if (w == paths[0]) {
      w = imageName;
      break;
    }
  if (!CheckOptionWords(words, rules, 2, args, bad)) return false;
  if (tree) *tree = paths[1];
  return true;
}

void LogRecordRefused(Context& ctx, const std::string& file, const std::string& key, const std::string& value) {
  ctx.log.LogLine(">< !!! " + ctx.M(136) + ": " + file + ": " + key + ": " + OneLine(value), true);
  ++ctx.log.errorCount;
}

}  // namespace orvex
