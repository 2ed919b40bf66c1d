// The entries list: stored names, the list file and its strict reader.
#include "entries_list.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform.h"
#include "platform_io.h"
#include "platform_tree.h"

namespace orvex::treelist {

namespace {

constexpr const char* kHex = "0123456789ABCDEF";

void AppendEscaped(std::string* out, unsigned char c) {
  *out += '%';
  *out += kHex[c >> 4];
  *out += kHex[c & 15];
}

// Length of a valid UTF-8 sequence at s[i] (shortest form, no surrogates), or 0.
size_t Utf8At(std::string_view s, size_t i, uint32_t* cp) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  if (c < 0x80) {
    *cp = c;
    return 1;
  }
  size_t n = 0;
  uint32_t v = 0;
  if ((c & 0xE0) == 0xC0) n = 2, v = c & 0x1F;
  else if ((c & 0xF0) == 0xE0) n = 3, v = c & 0x0F;
  else if ((c & 0xF8) == 0xF0) n = 4, v = c & 0x07;
  else return 0;
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    v = (v << 6) | (b(i + k) & 0x3F);
  }
  static constexpr uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (v < kMin[n] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return n;
}

void AppendUtf8(std::string* out, uint32_t cp) {
  if (cp < 0x80) {
    *out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out += static_cast<char>(0xC0 | (cp >> 6));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out += static_cast<char>(0xE0 | (cp >> 12));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (cp >> 18));
    *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool In(uint32_t cp, uint32_t lo, uint32_t hi) { return cp >= lo && cp <= hi; }

// Upper case of one code point, by ranges of the Unicode tables (pairs where the small letter
// follows the capital are folded by parity).
uint32_t Upper(uint32_t c) {
  if (In(c, 'a', 'z')) return c - 0x20;
  if (c < 0x80) return c;
  if (c == 0xB5) return 0x39C;  // micro sign: Greek mu
  if (In(c, 0xE0, 0xFE) && c != 0xF7) return c - 0x20;
  if (c == 0xFF) return 0x178;
  if (c == 0x130 || c == 0x131) return 'I';  // dotted capital and dotless small i
  if (c == 0x17F) return 'S';                // long s
  const auto oddToEven = [&](uint32_t lo, uint32_t hi) { return In(c, lo, hi) && (c & 1); };
  const auto evenToOdd = [&](uint32_t lo, uint32_t hi) { return In(c, lo, hi) && !(c & 1); };
  if (oddToEven(0x100, 0x137) || oddToEven(0x14A, 0x177)) return c - 1;
  if (evenToOdd(0x139, 0x148) || evenToOdd(0x179, 0x17E)) return c - 1;
  // Latin Extended-B: the regular runs and the three-form digraphs (DŽ Dž dž, LJ Lj lj, NJ Nj nj, DZ Dz dz).
  if (In(c, 0x1C4, 0x1CC)) return 0x1C4 + (c - 0x1C4) / 3 * 3;
  if (In(c, 0x1F1, 0x1F3)) return 0x1F1;
  if (evenToOdd(0x1CD, 0x1DC) || oddToEven(0x1DE, 0x1EF) || oddToEven(0x1F8, 0x21F) ||
      oddToEven(0x222, 0x233) || oddToEven(0x246, 0x24F))
    return c - 1;
  // Greek.
  if (In(c, 0x3B1, 0x3C1) || In(c, 0x3C3, 0x3CB)) return c - 0x20;
  if (c == 0x3C2) return 0x3A3;  // final sigma
  if (c == 0x3AC) return 0x386;
  if (In(c, 0x3AD, 0x3AF)) return c - 0x25;
  if (c == 0x3CC) return 0x38C;
  if (In(c, 0x3CD, 0x3CE)) return c - 0x3F;
  if (oddToEven(0x3D8, 0x3EF)) return c - 1;
  // Cyrillic.
  if (In(c, 0x430, 0x44F)) return c - 0x20;
  if (In(c, 0x450, 0x45F)) return c - 0x50;
  if (oddToEven(0x460, 0x481) || oddToEven(0x48A, 0x4BF) || evenToOdd(0x4C1, 0x4CE) || oddToEven(0x4D0, 0x52F))
    return c - 1;
  if (c == 0x4CF) return 0x4C0;
  // Armenian.
  if (In(c, 0x561, 0x586)) return c - 0x30;
  // Latin Extended Additional (Vietnamese and others).
  if (oddToEven(0x1E00, 0x1E95) || oddToEven(0x1EA0, 0x1EFF)) return c - 1;
  // Kelvin and Angstrom signs, Roman numerals, circled letters, full-width Latin.
  if (c == 0x212A) return 'K';
  if (c == 0x212B) return 0xC5;
  if (In(c, 0x2170, 0x217F)) return c - 0x10;
  if (In(c, 0x24D0, 0x24E9)) return c - 0x1A;
  if (In(c, 0xFF41, 0xFF5A)) return c - 0x20;
  return c;
}

// A field of the list that may hold anything: '%', control characters, DEL and bytes that are
// not UTF-8 as %XX.
std::string EncodeField(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    uint32_t cp = 0;
    const size_t n = Utf8At(s, i, &cp);
    if (n == 0 || cp < 0x20 || cp == 0x7F || cp == '%') {
      AppendEscaped(&out, static_cast<unsigned char>(s[i]));
      ++i;
      continue;
    }
    out.append(s.substr(i, n));
    i += n;
  }
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool DecodeField(std::string_view s, std::string* out) {
  out->clear();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      *out += s[i];
      continue;
    }
    const int hi = i + 1 < s.size() ? HexValue(s[i + 1]) : -1;
    const int lo = i + 2 < s.size() ? HexValue(s[i + 2]) : -1;
    if (hi < 0 || lo < 0) return false;
    *out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

// A relative path of the tree: parts separated by '/', none empty, "." or "..", no NUL, not
// starting at the root. A stored path starts at no drive or share either (an original path is an
// image's, where "c:x" is a name like any other).
const char* PathProblem(const std::string& p, bool stored = true) {
  if (p.empty()) return "empty";
  if (p.find('\0') != std::string::npos) return "a NUL byte";
  if (p[0] == '/' || (stored && (p[0] == '\\' || (p.size() >= 2 && p[1] == ':')))) return "absolute";
  size_t pos = 0;
  while (pos <= p.size()) {
    size_t end = p.find('/', pos);
    if (end == std::string::npos) end = p.size();
    const std::string_view part(p.data() + pos, end - pos);
    if (part.empty()) return "an empty part";
    if (part == "." || part == "..") return "a part \".\" or \"..\"";
    pos = end + 1;
  }
  return nullptr;
}

bool ParseNumber(std::string_view s, uint32_t* out) {
  if (s.empty() || s.size() > 10) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > 0xFFFFFFFFu) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

std::string Join(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
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

// The part of a name that "~N" goes in front of: from its last dot, unless the name starts there.
size_t ExtensionStart(const std::string& name) {
  const size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name.size() : dot;
}

// A name with the bytes Windows cannot hold (and '%') as %XX; a trailing dot or blank and the
// first letter of a device name as well. Only called for names the policy refuses as they are.
std::string EscapeName(const std::string& name, const NamePolicy& policy) {
  std::string out;
  for (size_t i = 0; i < name.size();) {
    uint32_t cp = 0;
    const size_t n = Utf8At(name, i, &cp);
    if (n == 0 || cp < 0x20 || std::string_view("<>:\"/\\|?*%").find(static_cast<char>(cp)) != std::string_view::npos) {
      AppendEscaped(&out, static_cast<unsigned char>(name[i]));
      ++i;
      continue;
    }
    out.append(name, i, n);
    i += n;
  }
  if (!out.empty() && (out.back() == '.' || out.back() == ' ')) {
    const unsigned char last = static_cast<unsigned char>(out.back());
    out.pop_back();
    AppendEscaped(&out, last);
  }
  // What is left is a device name ("nul", "COM1.txt") or "", "." and ".." turned into something
  // else: its first byte goes as well.
  if (!policy.storable(out) && !out.empty() && out[0] != '%') {
    const unsigned char first = static_cast<unsigned char>(out[0]);
    std::string rest = out.substr(1);
    out.clear();
    AppendEscaped(&out, first);
    out += rest;
  }
  return out;
}

}  // namespace

NamePolicy NamePolicy::ThisSystem() {
  return NamePolicy{[](const std::string& n) { return platform::TreeNameStorable(n); }, platform::TreeFoldsCase()};
}

NamePolicy NamePolicy::Windows() {
  return NamePolicy{[](const std::string& n) { return platform::WindowsNameStorable(n); }, true};
}

std::string FoldCase(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    uint32_t cp = 0;
    const size_t n = Utf8At(utf8, i, &cp);
    if (n == 0) {
      out += utf8[i++];
      continue;
    }
    AppendUtf8(&out, Upper(cp));
    i += n;
  }
  return out;
}

std::string EntriesListPath(const std::string& configFolder, const std::string& name) {
  std::string p = configFolder;
  if (!p.empty() && !platform::IsSeparator(p.back())) p += platform::kSep;
  return p + name + "_windows_entries.txt";
}

EntriesList::EntriesList() : policy_(NamePolicy::ThisSystem()) {}
EntriesList::EntriesList(NamePolicy policy) : policy_(std::move(policy)) {}

std::string EntriesList::StoredName(const std::string& storedFolder, const std::string& originalName,
                                    const std::string& originalPath) {
  std::set<std::string>& taken = taken_[storedFolder];
  const auto key = [&](const std::string& n) { return policy_.foldsCase ? FoldCase(n) : n; };
  std::string name = policy_.storable(originalName) ? originalName : EscapeName(originalName, policy_);
  if (taken.count(key(name))) {
    const size_t ext = ExtensionStart(name);
    for (unsigned n = 2;; ++n) {
      std::string candidate = name.substr(0, ext) + "~" + std::to_string(n) + name.substr(ext);
      if (!taken.count(key(candidate))) {
        name = std::move(candidate);
        break;
      }
    }
  }
  taken.insert(key(name));
  if (name != originalName) names_[Join(storedFolder, name)] = originalPath;
  return name;
}

void EntriesList::Keep(const std::string& storedPath, const KeptEntry& entry) { kept_[storedPath] = entry; }

bool EntriesList::ToText(std::string* out, std::string* error) const {
  std::string& text = *out;
  text.clear();
  const auto storedPath = [&](const std::string& p) -> bool {
    for (unsigned char c : p)
      if (c < 0x20 || c == 0x7F) {
        *error = "the stored path \"" + EncodeField(p) + "\" holds a control character";
        return false;
      }
    if (const char* problem = PathProblem(p)) {
      *error = std::string("bad stored path \"") + EncodeField(p) + "\": " + problem;
      return false;
    }
    text += p;
    return true;
  };
  for (const auto& [path, e] : kept_) {
    text += KindWord(e.kind);
    text += '\t';
    if (!storedPath(path)) return false;
    switch (e.kind) {
      case KeptEntry::Kind::kLink:
        if (e.target.empty()) {
          *error = "the link " + path + " has no target";
          return false;
        }
        text += '\t' + EncodeField(e.target);
        break;
      case KeptEntry::Kind::kChar:
      case KeptEntry::Kind::kBlock:
        text += '\t' + std::to_string(e.major) + '\t' + std::to_string(e.minor);
        break;
      case KeptEntry::Kind::kFifo:
      case KeptEntry::Kind::kSocket: break;
    }
    text += "\r\n";
  }
  for (const auto& [stored, original] : names_) {
    if (const char* problem = PathProblem(original, false)) {
      *error = "bad original path \"" + EncodeField(original) + "\": " + problem;
      return false;
    }
    text += "name\t";
    if (!storedPath(stored)) return false;
    text += '\t' + EncodeField(original) + "\r\n";
  }

  return true;
}

bool EntriesList::Write(const std::string& file, std::string* error) const {
  if (Empty()) {
    if (platform::KindOf(file) != platform::PathKind::kMissing && !platform::RemoveFile(file)) {
      *error = "cannot remove the old entries list " + file + ": " + std::strerror(errno);
      return false;
    }
    return true;
  }
  std::string text;
  if (!ToText(&text, error)) return false;

  // A new list replaces the old one whole, or not at all.
  const std::string part = file + ".part";
  std::FILE* f = platform::OpenFile(part, "wb");
  if (!f) {
    *error = "cannot write " + part + ": " + std::strerror(errno);
    return false;
  }
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = std::fflush(f) == 0 && ok;
  const int err = errno;
  ok = std::fclose(f) == 0 && ok;
  if (!ok) {
    *error = "cannot write " + part + ": " + std::strerror(err ? err : EIO);
    platform::RemoveFile(part);
    return false;
  }
  if (!platform::RenameReplacing(part, file)) {
    *error = "cannot replace " + file + ": " + std::strerror(errno);
    platform::RemoveFile(part);
    return false;
  }
  return true;
}

bool EntriesList::Read(const std::string& file, EntriesList* out, std::string* error) {
  const platform::PathKind kind = platform::KindOf(file);
  if (kind == platform::PathKind::kMissing) {
    *out = EntriesList(out->policy_);
    return true;
  }
  std::FILE* f = kind == platform::PathKind::kFile ? platform::OpenFile(file, "rb") : nullptr;
  if (!f) {
    *error = "cannot read " + file + ": " + (kind == platform::PathKind::kFile ? std::strerror(errno) : "not a file");
    return false;
  }
  std::string text;
  char buf[65536];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, got);
  const bool readError = std::ferror(f);
  std::fclose(f);
  if (readError) {
    *error = "cannot read " + file;
    return false;
  }
  return Parse(std::move(text), file, out, error);
}

bool EntriesList::Parse(std::string text, const std::string& file, EntriesList* out, std::string* error) {
  EntriesList list(out->policy_);
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);  // a byte order mark from an editor

  size_t pos = 0;
  for (unsigned lineNo = 1; pos < text.size(); ++lineNo) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto fail = [&](const std::string& what) {
      *error = file + ":" + std::to_string(lineNo) + ": " + what;
      return false;
    };
    if (line.empty()) continue;
    std::vector<std::string> fields;
    for (size_t p = 0;;) {
      const size_t tab = line.find('\t', p);
      fields.push_back(line.substr(p, tab == std::string::npos ? std::string::npos : tab - p));
      if (tab == std::string::npos) break;
      p = tab + 1;
    }
    const std::string& word = fields[0];
    size_t want = 0;
    KeptEntry e;
    if (word == "link") want = 3, e.kind = KeptEntry::Kind::kLink;
    else if (word == "char") want = 4, e.kind = KeptEntry::Kind::kChar;
    else if (word == "block") want = 4, e.kind = KeptEntry::Kind::kBlock;
    else if (word == "fifo") want = 2, e.kind = KeptEntry::Kind::kFifo;
    else if (word == "socket") want = 2, e.kind = KeptEntry::Kind::kSocket;
    else if (word == "name") want = 3;
    else return fail("unknown kind of entry \"" + EncodeField(word) + "\"");
    if (fields.size() != want)
      return fail("\"" + word + "\" needs " + std::to_string(want) + " fields, the line has " +
                  std::to_string(fields.size()));
    const std::string& stored = fields[1];
    for (unsigned char c : stored)
      if (c < 0x20 || c == 0x7F) return fail("a control character in the stored path");
    if (const char* problem = PathProblem(stored)) return fail(std::string("bad stored path: ") + problem);
    // One entry may have a kind line and a name line (a link whose name was changed), never two of one.
    if (word == "name" ? list.names_.count(stored) != 0 : list.kept_.count(stored) != 0)
      return fail("a second line for " + stored);

    if (word == "name") {
      std::string original;
      if (!DecodeField(fields[2], &original)) return fail("a bad %XX escape in the original path");
      if (const char* problem = PathProblem(original, false)) return fail(std::string("bad original path: ") + problem);
      list.names_[stored] = original;
      continue;
    }
    if (e.kind == KeptEntry::Kind::kLink) {
      if (!DecodeField(fields[2], &e.target)) return fail("a bad %XX escape in the link target");
      if (e.target.empty()) return fail("a link without a target");
      if (e.target.find('\0') != std::string::npos) return fail("a NUL byte in the link target");
    } else if (want == 4) {
      if (!ParseNumber(fields[2], &e.major) || !ParseNumber(fields[3], &e.minor))
        return fail("device numbers must be decimal numbers below 2^32");
    }
    list.kept_[stored] = e;
  }
  *out = std::move(list);
  return true;
}

const KeptEntry* EntriesList::Find(const std::string& storedPath) const {
  const auto it = kept_.find(storedPath);
  return it == kept_.end() ? nullptr : &it->second;
}

std::string EntriesList::OriginalName(const std::string& storedFolder, const std::string& storedName) const {
  const auto it = names_.find(Join(storedFolder, storedName));
  if (it == names_.end()) return storedName;
  const size_t slash = it->second.rfind('/');
  return slash == std::string::npos ? it->second : it->second.substr(slash + 1);
}

}  // namespace orvex::treelist
