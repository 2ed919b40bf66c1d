#include "treelist/entries_list.h"

#include <cerrno>
#include <cstring>

#include "platform_io.h"
#include "platform_tree.h"

namespace orvex::treelist {

namespace {

// Decodes one UTF-8 sequence at s[*i] (a stray byte stands for itself) and advances *i.
uint32_t NextCodePoint(const std::string& s, size_t* i) {
  const unsigned char c = static_cast<unsigned char>(s[*i]);
  int extra = c >= 0xF0 && c < 0xF8 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
  if (c < 0x80 || extra == 0 || *i + extra >= s.size()) {
    ++*i;
    return c;
  }
  uint32_t cp = c & (0x3F >> extra);
  for (int k = 1; k <= extra; ++k) {
    const unsigned char d = static_cast<unsigned char>(s[*i + k]);
    if ((d & 0xC0) != 0x80) {
      ++*i;
      return c;
    }
    cp = (cp << 6) | (d & 0x3F);
  }
  *i += extra + 1;
  return cp;
}

void AppendUtf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// The name as a case-folding file system compares it: Latin, Latin-1, Greek and Cyrillic
// capitals folded to small letters.
std::string Folded(const std::string& name) {
  std::string out;
  for (size_t i = 0; i < name.size();) {
    const size_t at = i;
    uint32_t cp = NextCodePoint(name, &i);
    if (i - at == 1 && static_cast<unsigned char>(name[at]) >= 0x80) {
      out.push_back(name[at]);  // not UTF-8: kept as it is
      continue;
    }
    if ((cp >= 'A' && cp <= 'Z') || (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) ||
        (cp >= 0x391 && cp <= 0x3AB) || (cp >= 0x410 && cp <= 0x42F))
      cp += 0x20;
    else if (cp >= 0x400 && cp <= 0x40F)
      cp += 0x50;
    AppendUtf8(cp, &out);
  }
  return out;
}

bool Forbidden(unsigned char c) {
  return c < 0x20 || c == 0x7F || strchr("<>:\"|?*\\/", c) != nullptr;
}

std::string Hex(unsigned char c) {
  static const char kDigits[] = "0123456789ABCDEF";
  return std::string("%") + kDigits[c >> 4] + kDigits[c & 15];
}

// Every forbidden byte and '%' as %XX; then a trailing dot or blank, and the first letter of a
// device name, the same way, until the system can hold the name.
std::string Escaped(const std::string& name) {
  std::string out;
  for (unsigned char c : name) out += (Forbidden(c) || c == '%') ? Hex(c) : std::string(1, static_cast<char>(c));
  if (!out.empty() && (out.back() == '.' || out.back() == ' ')) {
    const unsigned char last = static_cast<unsigned char>(out.back());
    out.pop_back();
    out += Hex(last);
  }
  if (!out.empty() && !platform::TreeNameStorable(out)) out = Hex(static_cast<unsigned char>(out[0])) + out.substr(1);
  return out;
}

std::string Last(const std::string& path) {
  const size_t s = path.rfind('/');
  return s == std::string::npos ? path : path.substr(s + 1);
}

const char* KindWord(KeptEntry::Kind k) {
  switch (k) {
    case KeptEntry::Kind::kLink: return "link";
    case KeptEntry::Kind::kChar: return "char";
    case KeptEntry::Kind::kBlock: return "block";
    case KeptEntry::Kind::kFifo: return "fifo";
    case KeptEntry::Kind::kSocket: return "socket";
  }
  return "?";
}

std::vector<std::string> SplitTabs(const std::string& line, size_t max_fields) {
  std::vector<std::string> f;
  size_t start = 0;
  while (f.size() + 1 < max_fields) {
    const size_t t = line.find('\t', start);
    if (t == std::string::npos) break;
    f.push_back(line.substr(start, t - start));
    start = t + 1;
  }
  f.push_back(line.substr(start));
  return f;
}

bool ParseNumber(const std::string& s, uint32_t* out) {
  if (s.empty() || s.size() > 10) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > 0xFFFFFFFFull) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

std::string EntriesListPath(const std::string& configFolder, const std::string& name) {
  return configFolder + "/" + name + "_windows_entries.txt";
}

std::string EntriesList::StoredName(const std::string& storedFolder, const std::string& originalName,
                                    const std::string& originalPath) {
  std::string stored = platform::TreeNameStorable(originalName) ? originalName : Escaped(originalName);
  if (platform::TreeFoldsCase()) {
    auto& taken = taken_[storedFolder];
    if (taken.count(Folded(stored))) {
      const size_t dot = stored.rfind('.');
      const bool ext = dot != std::string::npos && dot > 0;
      const std::string stem = ext ? stored.substr(0, dot) : stored;
      const std::string tail = ext ? stored.substr(dot) : std::string();
      for (int n = 2;; ++n) {
        const std::string candidate = stem + "~" + std::to_string(n) + tail;
        if (!taken.count(Folded(candidate))) {
          stored = candidate;
          break;
        }
      }
    }
    taken.insert(Folded(stored));
  }
  if (stored != originalName)
    names_[storedFolder.empty() ? stored : storedFolder + "/" + stored] = originalPath;
  return stored;
}

void EntriesList::Keep(const std::string& storedPath, const KeptEntry& entry) { kept_[storedPath] = entry; }

bool EntriesList::Write(const std::string& file, std::string* error) const {
  if (Empty()) {
    if (!platform::RemoveFile(file) && errno != ENOENT) {
      *error = "cannot remove " + file + ": " + strerror(errno);
      return false;
    }
    return true;
  }
  std::string text;
  for (const auto& [stored, original] : names_) text += "name\t" + stored + "\t" + original + "\r\n";
  for (const auto& [path, e] : kept_) {
    text += std::string(KindWord(e.kind)) + "\t" + path;
    if (e.kind == KeptEntry::Kind::kLink) text += "\t" + e.target;
    if (e.kind == KeptEntry::Kind::kChar || e.kind == KeptEntry::Kind::kBlock)
      text += "\t" + std::to_string(e.major) + "\t" + std::to_string(e.minor);
    text += "\r\n";
  }
  const int fd = platform::CreateForWrite(file);
  if (fd < 0) {
    *error = "cannot create " + file + ": " + strerror(errno);
    return false;
  }
  const bool ok = platform::WriteAllAt(fd, text.data(), text.size(), 0);
  const int e = errno;
  if (platform::CloseFile(fd) != 0 || !ok) {
    *error = "cannot write " + file + ": " + strerror(ok ? errno : e);
    return false;
  }
  return true;
}

bool EntriesList::Read(const std::string& file, EntriesList* out, std::string* error) {
  *out = EntriesList();
  const int fd = platform::OpenForRead(file);
  if (fd < 0) {
    if (errno == ENOENT) return true;
    *error = "cannot open " + file + ": " + strerror(errno);
    return false;
  }
  std::string text;
  char buf[65536];
  uint64_t off = 0;
  for (;;) {
    const int64_t n = platform::ReadAt(fd, buf, sizeof buf, off);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = "cannot read " + file + ": " + strerror(errno);
      platform::CloseFile(fd);
      return false;
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
    off += static_cast<uint64_t>(n);
  }
  platform::CloseFile(fd);
  size_t pos = 0;
  int lineno = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(pos, nl - pos);
    pos = nl + 1;
    ++lineno;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    auto bad = [&](const char* why) {
      *error = file + ":" + std::to_string(lineno) + ": " + why;
      return false;
    };
    const size_t tab = line.find('\t');
    const std::string kind = line.substr(0, tab);
    KeptEntry e;
    if (kind == "name") {
      const auto f = SplitTabs(line, 3);
      if (f.size() != 3 || f[1].empty() || f[2].empty()) return bad("a name line needs a stored and an original path");
      out->names_[f[1]] = f[2];
    } else if (kind == "link") {
      const auto f = SplitTabs(line, 3);
      if (f.size() != 3 || f[1].empty() || f[2].empty()) return bad("a link line needs a path and a target");
      e.kind = KeptEntry::Kind::kLink;
      e.target = f[2];
      out->kept_[f[1]] = e;
    } else if (kind == "char" || kind == "block") {
      const auto f = SplitTabs(line, 4);
      if (f.size() != 4 || f[1].empty() || !ParseNumber(f[2], &e.major) || !ParseNumber(f[3], &e.minor))
        return bad("a device line needs a path and two numbers");
      e.kind = kind == "char" ? KeptEntry::Kind::kChar : KeptEntry::Kind::kBlock;
      out->kept_[f[1]] = e;
    } else if (kind == "fifo" || kind == "socket") {
      const auto f = SplitTabs(line, 2);
      if (f.size() != 2 || f[1].empty() || f[1].find('\t') != std::string::npos)
        return bad("a fifo or socket line needs a path");
      e.kind = kind == "fifo" ? KeptEntry::Kind::kFifo : KeptEntry::Kind::kSocket;
      out->kept_[f[1]] = e;
    } else {
      return bad("unknown entry kind");
    }
  }
  return true;
}

const KeptEntry* EntriesList::Find(const std::string& storedPath) const {
  auto it = kept_.find(storedPath);
  return it == kept_.end() ? nullptr : &it->second;
}

std::string EntriesList::OriginalName(const std::string& storedFolder, const std::string& storedName) const {
  auto it = names_.find(storedFolder.empty() ? storedName : storedFolder + "/" + storedName);
  return it == names_.end() ? storedName : Last(it->second);
}

}  // namespace orvex::treelist
