#include "ext4/file_contexts.h"

#include "context_path.h"

#ifdef ORVEX_EXT4_POSIX_REGEX
#include <regex.h>
#else
#include <regex>
#endif

#include <cctype>
#include <cstdio>
#include <cstring>

#include "ext4/mode_bits.h"
#include "ext4/text_file.h"

namespace orvex::ext4 {

namespace {

bool IsMeta(char c) {
  return strchr(".^$?*+|[](){}\\", c) != nullptr && c != 0;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "\xHH" at re[i]: the byte it stands for, or -1.
int HexEscape(std::string_view re, size_t i) {
  if (i + 4 > re.size() || re[i] != '\\' || re[i + 1] != 'x') return -1;
  const int hi = HexDigit(re[i + 2]), lo = HexDigit(re[i + 3]);
  return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

// Plain text of a rule that has no metacharacters once escapes are resolved; nullopt otherwise.
std::optional<std::string> PlainText(std::string_view re) {
  std::string out;
  for (size_t i = 0; i < re.size(); ++i) {
    char c = re[i];
    if (c == '\\') {
      if (int b = HexEscape(re, i); b >= 0) {
        out.push_back(static_cast<char>(b));
        i += 3;
        continue;
      }
      if (i + 1 >= re.size()) return std::nullopt;
      char n = re[i + 1];
      // \d, \w and friends are classes, not escaped characters.
      if (isalnum(static_cast<unsigned char>(n))) return std::nullopt;
      out.push_back(n);
      ++i;
      continue;
    }
    if (IsMeta(c)) return std::nullopt;
    out.push_back(c);
  }
  return out;
}

// Literal text every match must start with.
std::string LiteralPrefix(std::string_view re) {
  if (re.find('|') != std::string_view::npos) return {};
  std::string out;
  for (size_t i = 0; i < re.size(); ++i) {
    char c = re[i];
    size_t next = i + 1;
    char lit;
    if (int b = HexEscape(re, i); b >= 0) {
      lit = static_cast<char>(b);
      next = i + 4;
    } else if (c == '\\') {
      if (i + 1 >= re.size() || isalnum(static_cast<unsigned char>(re[i + 1]))) break;
      lit = re[i + 1];
      next = i + 2;
    } else if (IsMeta(c)) {
      break;
    } else {
      lit = c;
    }
    // A quantifier after this character makes it optional or repeatable.
    if (next < re.size() && strchr("?*+{", re[next])) break;
    out.push_back(lit);
    i = next - 1;
  }
  return out;
}

// PCRE spellings that AOSP files use, rewritten for POSIX extended regexes.
std::string ToPosix(std::string_view re) {
  std::string out;
  bool in_bracket = false;
  for (size_t i = 0; i < re.size(); ++i) {
    char c = re[i];
    if (in_bracket) {
      out.push_back(c);
      if (c == ']' && out.size() > 1) in_bracket = false;
      continue;
    }
    if (c == '[') {
      in_bracket = true;
      out.push_back(c);
      // A ']' right after '[' or '[^' is literal.
      if (i + 1 < re.size() && re[i + 1] == '^') out.push_back(re[++i]);
      if (i + 1 < re.size() && re[i + 1] == ']') out.push_back(re[++i]);
      continue;
    }
    if (int b = HexEscape(re, i); b >= 0) {
      if (IsMeta(static_cast<char>(b))) out.push_back('\\');
      out.push_back(static_cast<char>(b));
      i += 3;
      continue;
    }
    if (c == '\\' && i + 1 < re.size()) {
      char n = re[i + 1];
      if (n == 'd') out += "[0-9]";
      else if (n == 'D') out += "[^0-9]";
      else {
        out.push_back(c);
        out.push_back(n);
      }
      ++i;
      continue;
    }
    if (c == '(' && re.substr(i, 3) == "(?:") {
      out.push_back('(');
      i += 2;
      continue;
    }
    out.push_back(c);
  }
  return out;
}

uint32_t TypeFromFlag(std::string_view f) {
  if (f == "--") return kTypeFile;
  if (f == "-d") return kTypeDir;
  if (f == "-c") return kTypeChar;
  if (f == "-b") return kTypeBlock;
  if (f == "-s") return kTypeSocket;
  if (f == "-l") return kTypeLink;
  if (f == "-p") return kTypeFifo;
  return 0;
}

}  // namespace

std::string EscapeRegex(std::string_view path) { return android::EscapeContextPath(path); }

FileContexts::FileContexts() = default;

FileContexts::~FileContexts() = default;

// The C library's POSIX regex where there is one (the host's own rules for extended
// expressions); elsewhere the standard library's engine with the same POSIX extended grammar.
struct CompiledRegex {
#ifdef ORVEX_EXT4_POSIX_REGEX
  regex_t re;
#else
  std::regex re;
#endif
};

namespace {

void FreeRegex(CompiledRegex* r) {
#ifdef ORVEX_EXT4_POSIX_REGEX
  regfree(&r->re);
#endif
  delete r;
}

// Compiles an anchored expression; false with the reason.
bool CompileRegex(const std::string& anchored, std::unique_ptr<CompiledRegex, void (*)(CompiledRegex*)>* out,
                  std::string* why) {
#ifdef ORVEX_EXT4_POSIX_REGEX
  auto* r = new CompiledRegex;
  int rc = regcomp(&r->re, anchored.c_str(), REG_EXTENDED | REG_NOSUB);
  if (rc != 0) {
    char msg[256];
    regerror(rc, &r->re, msg, sizeof(msg));
    delete r;
    *why = msg;
    return false;
  }
  *out = {r, FreeRegex};
  return true;
#else
  try {
    auto* r = new CompiledRegex{std::regex(anchored, std::regex::extended | std::regex::nosubs)};
    *out = {r, FreeRegex};
    return true;
  } catch (const std::regex_error& e) {
    *why = e.what();
    return false;
  }
#endif
}

bool RegexMatches(const CompiledRegex& r, const std::string& text) {
#ifdef ORVEX_EXT4_POSIX_REGEX
  return regexec(&r.re, text.c_str(), 0, nullptr, 0) == 0;
#else
  try {
    return std::regex_match(text, r.re);
  } catch (const std::regex_error&) {
    return false;  // the engine gave up (too complex for this path): no match
  }
#endif
}

}  // namespace

namespace {

// A run of repetition operators ("a++++") costs the C library's regex compiler time and memory
// that double with each one, and large counts multiply the same way; no context file needs either
// ("(/.*)?" and a lazy "+?" stay allowed). The reason, or nullptr for an ordinary expression.
const char* CostlyRegex(std::string_view re) {
  int run = 0;
  for (size_t i = 0; i < re.size(); ++i) {
    const char c = re[i];
    if (c == '\\') {
      ++i;
      run = 0;
    } else if (c == '[') {
      // A bracket expression: its ']' right after '[' or "[^" is a member.
      size_t j = i + 1;
      if (j < re.size() && re[j] == '^') ++j;
      if (j < re.size() && re[j] == ']') ++j;
      while (j < re.size() && re[j] != ']') ++j;
      i = j;
      run = 0;
    } else if (c == '*' || c == '+' || c == '?' || c == '{') {
      if (c == '{') {
        size_t close = re.find('}', i);
        if (close == std::string_view::npos) return nullptr;  // regcomp says what is wrong
        for (size_t k = i + 1; k < close; ++k) {
          size_t start = k;
          while (k < close && re[k] >= '0' && re[k] <= '9') ++k;
          if (k - start > 3 || (k > start && std::stoi(std::string(re.substr(start, k - start))) > 255))
            return "a repetition count above 255";
        }
        i = close;
      }
      if (++run >= 4) return "a run of repetition operators";
    } else {
      run = 0;
    }
  }
  return nullptr;
}

}  // namespace

bool FileContexts::AddRule(std::string_view regex, std::string_view type,
                           std::string_view context, std::string* error) {
  Rule s;
  s.context = std::string(context);
  if (!type.empty()) {
    s.type = TypeFromFlag(type);
    if (!s.type) {
      *error = "unknown file type " + std::string(type);
      return false;
    }
  }
  const size_t index = rules_.size();
  if (auto plain = PlainText(regex)) {
    rules_.push_back(std::move(s));
    plain_[*plain].push_back(index);
    return true;
  }
  if (const char* why = CostlyRegex(regex)) {
    *error = "regex " + std::string(regex) + " refused: " + why;
    return false;
  }
  s.prefix = LiteralPrefix(regex);
  const std::string anchored = "^(" + ToPosix(regex) + ")$";
  std::string why;
  if (!CompileRegex(anchored, &s.re, &why)) {
    *error = "bad regex " + std::string(regex) + ": " + why;
    return false;
  }
  rules_.push_back(std::move(s));
  regex_.push_back(index);
  return true;
}

bool FileContexts::Load(const std::string& file, std::string* error) {
  LineReader r;
  if (!r.Open(file, error)) return false;
  std::string line;
  size_t lineno = 0;
  while (r.Next(&line)) {
    ++lineno;
    // Tokens from the right: context, then an optional file type; the rest is the regex.
    std::string_view v(line);
    while (!v.empty() && isspace(static_cast<unsigned char>(v.front()))) v.remove_prefix(1);
    while (!v.empty() && isspace(static_cast<unsigned char>(v.back()))) v.remove_suffix(1);
    if (v.empty() || v.front() == '#') continue;
    auto last_word = [](std::string_view& s) {
      size_t p = s.size();
      while (p > 0 && !isspace(static_cast<unsigned char>(s[p - 1]))) --p;
      std::string_view w = s.substr(p);
      s = s.substr(0, p);
      while (!s.empty() && isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
      return w;
    };
    std::string_view context = last_word(v);
    if (v.empty()) {
      *error = file + ":" + std::to_string(lineno) + ": ill-formed line: " + line;
      return false;
    }
    std::string_view rest = v;
    std::string_view type = last_word(rest);
    // A second-to-last word like "-d" is the file type (an unknown one is an error).
    if (!rest.empty() && type.size() == 2 && type[0] == '-') {
      v = rest;
    } else {
      type = {};
    }
    std::string err;
    if (!AddRule(v, type, context, &err)) {
      *error = file + ":" + std::to_string(lineno) + ": " + err;
      return false;
    }
  }
  if (!r.error().empty()) {
    *error = r.error();
    return false;
  }
  return true;
}

const FileContexts::Rule* FileContexts::Match(const std::vector<size_t>& candidates,
                                              std::string_view path, uint32_t type) const {
  std::string p;  // copy for the regex engine, made once
  for (auto it = candidates.rbegin(); it != candidates.rend(); ++it) {
    const Rule& s = rules_[*it];
    if (s.type && s.type != type) continue;
    if (s.re) {
      if (path.substr(0, s.prefix.size()) != s.prefix) continue;
      if (p.empty()) p.assign(path);
      if (!RegexMatches(*s.re, p)) continue;
    }
    return &s;
  }
  return nullptr;
}

std::optional<std::string> FileContexts::Lookup(std::string_view path, uint32_t mode) const {
  const uint32_t type = mode & kTypeMask;
  const Rule* hit = nullptr;
  auto it = plain_.find(std::string(path));
  if (it != plain_.end()) hit = Match(it->second, path, type);
  if (!hit) hit = Match(regex_, path, type);
  if (!hit || hit->context == "<<none>>") return std::nullopt;
  return hit->context;
}

}  // namespace orvex::ext4
