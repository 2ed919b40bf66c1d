// The rest of what the erofs programs expect of a C library on Windows: UTF-8 arguments, POSIX
// regular expressions, wildcard matching and a few string helpers.
#define ORVEX_EROFS_COMPAT_IMPL
#include <windows.h>
#include <shellapi.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "entries_view.h"
#include "erofs_compat.h"
#include "fnmatch.h"
#include "regex.h"
#include "wide.h"

using orvex::erofs_compat::WideToUtf8;

extern "C" void erofs_msg(int level, const char* fmt, ...);

namespace {
int g_errors = 0;
bool g_failOnErrors = false;
}  // namespace

extern "C" void orvex_erofs_fail_on_errors(void) { g_failOnErrors = true; }

extern "C" void orvex_erofs_msg(int level, const char* fmt, ...) {
  if (level <= 0) ++g_errors;  // EROFS_ERR
  va_list ap;
  va_start(ap, fmt);
  char small[1024];
  va_list again;
  va_copy(again, ap);
  const int n = std::vsnprintf(small, sizeof small, fmt, ap);
  va_end(ap);
  if (n >= 0 && static_cast<size_t>(n) >= sizeof small) {
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), fmt, again);
    erofs_msg(level, "%s", big.c_str());
  } else if (n >= 0) {
    erofs_msg(level, "%s", small);
  }
  va_end(again);
}

int main() {
  int argc = 0;
  LPWSTR* wargv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!wargv) {
    std::fprintf(stderr, "cannot read the command line\n");
    return 1;
  }
  // Kept for the whole run: getopt and the programs hold pointers into them.
  static std::vector<std::string> args;
  static std::vector<char*> argv;
  static const std::string kEntries = "--entries-list=";
  for (int i = 0; i < argc; ++i) {
    std::string a = WideToUtf8(wargv[i]);
    // Ours, not the program's: the tree's entries list.
    if (i > 0 && a.compare(0, kEntries.size(), kEntries) == 0) {
      orvex::erofs_compat::TheEntriesView().SetListFile(a.substr(kEntries.size()));
      continue;
    }
    args.push_back(std::move(a));
  }
  argc = static_cast<int>(args.size());
  LocalFree(wargv);
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int rc = orvex_erofs_main(argc, argv.data());
  if (rc == 0 && g_failOnErrors && g_errors > 0) {
    std::fprintf(stderr, "<E> erofs: %d error(s) reported: the image is not sound\n", g_errors);
    rc = 1;
  }
  return rc;
}

extern "C" {

int orvex_asprintf(char** out, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list again;
  va_copy(again, ap);
  const int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  if (n < 0) {
    va_end(again);
    return -1;
  }
  char* buf = static_cast<char*>(std::malloc(static_cast<size_t>(n) + 1));
  if (!buf) {
    va_end(again);
    return -1;
  }
  std::vsnprintf(buf, static_cast<size_t>(n) + 1, fmt, again);
  va_end(again);
  *out = buf;
  return n;
}

char* orvex_strndup(const char* s, size_t n) {
  const size_t len = strnlen(s, n);
  char* out = static_cast<char*>(std::malloc(len + 1));
  if (!out) return nullptr;
  std::memcpy(out, s, len);
  out[len] = '\0';
  return out;
}

char* orvex_ctime(const time_t* t) {
  static char buf[64];
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const struct tm* tm = localtime(t);
  if (!tm || tm->tm_wday < 0 || tm->tm_wday > 6 || tm->tm_mon < 0 || tm->tm_mon > 11) return nullptr;
  std::snprintf(buf, sizeof buf, "%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", kDays[tm->tm_wday], kMonths[tm->tm_mon],
                tm->tm_mday, tm->tm_hour, tm->tm_min, tm->tm_sec, 1900 + tm->tm_year);
  return buf;
}

// Nobody is root on Windows: fsck.erofs does not try to give extracted files their owners.
unsigned orvex_geteuid(void) { return 1000; }

// ---- regular expressions ----

int regcomp(regex_t* preg, const char* pattern, int cflags) {
  auto flags = (cflags & REG_EXTENDED) ? std::regex::extended : std::regex::basic;
  if (cflags & REG_ICASE) flags |= std::regex::icase;
  if (cflags & REG_NOSUB) flags |= std::regex::nosubs;
  try {
    auto* re = new std::regex(pattern, flags);
    preg->impl = re;
    preg->re_nsub = re->mark_count();
    return 0;
  } catch (const std::regex_error&) {
    preg->impl = nullptr;
    return REG_BADPAT;
  } catch (const std::bad_alloc&) {
    preg->impl = nullptr;
    return REG_ESPACE;
  }
}

int regexec(const regex_t* preg, const char* string, size_t nmatch, regmatch_t pmatch[], int) {
  if (!preg->impl) return REG_BADPAT;
  const auto& re = *static_cast<const std::regex*>(preg->impl);
  try {
    std::cmatch m;
    if (!std::regex_search(string, m, re)) return REG_NOMATCH;
    for (size_t i = 0; pmatch && i < nmatch; ++i) {
      if (i < m.size() && m[i].matched) {
        pmatch[i].rm_so = static_cast<regoff_t>(m.position(i));
        pmatch[i].rm_eo = static_cast<regoff_t>(m.position(i) + m.length(i));
      } else {
        pmatch[i].rm_so = pmatch[i].rm_eo = -1;
      }
    }
    return 0;
  } catch (const std::regex_error&) {
    return REG_ESPACE;  // too complex for the matcher
  }
}

size_t regerror(int errcode, const regex_t*, char* errbuf, size_t errbuf_size) {
  const char* text = errcode == REG_NOMATCH ? "no match"
                     : errcode == REG_BADPAT ? "invalid regular expression"
                     : errcode == REG_ESPACE ? "out of memory or expression too complex"
                                             : "regular expression error";
  if (errbuf && errbuf_size) {
    std::strncpy(errbuf, text, errbuf_size - 1);
    errbuf[errbuf_size - 1] = '\0';
  }
  return std::strlen(text) + 1;
}

void regfree(regex_t* preg) {
  delete static_cast<std::regex*>(preg->impl);
  preg->impl = nullptr;
}

// ---- wildcards ----

namespace {

// One bracket set at p (just after '['); *end gets the position after ']'. -1: not a set.
int MatchSet(const char* p, unsigned char c, const char** end) {
  bool negate = false;
  if (*p == '!' || *p == '^') {
    negate = true;
    ++p;
  }
  bool found = false;
  bool first = true;
  while (*p && (first || *p != ']')) {
    first = false;
    unsigned char lo = static_cast<unsigned char>(*p++);
    unsigned char hi = lo;
    if (*p == '-' && p[1] && p[1] != ']') {
      hi = static_cast<unsigned char>(p[1]);
      p += 2;
    }
    if (c >= lo && c <= hi) found = true;
  }
  if (*p != ']') return -1;
  *end = p + 1;
  return found != negate;
}

bool Match(const char* p, const char* s, int flags) {
  while (*p) {
    switch (*p) {
      case '?':
        if (!*s || ((flags & FNM_PATHNAME) && *s == '/')) return false;
        ++p;
        ++s;
        break;
      case '*': {
        while (*p == '*') ++p;
        if (!*p) return !(flags & FNM_PATHNAME) || !std::strchr(s, '/');
        for (const char* t = s;; ++t) {
          if (Match(p, t, flags)) return true;
          if (!*t || ((flags & FNM_PATHNAME) && *t == '/')) return false;
        }
      }
      case '[': {
        const char* end = nullptr;
        const int r = *s ? MatchSet(p + 1, static_cast<unsigned char>(*s), &end) : 0;
        if (r < 0) {  // a lone '[' is itself
          if (*s != '[') return false;
          ++p;
          ++s;
          break;
        }
        if (!r || ((flags & FNM_PATHNAME) && *s == '/')) return false;
        p = end;
        ++s;
        break;
      }
      case '\\':
        if (!(flags & FNM_NOESCAPE) && p[1]) ++p;
        [[fallthrough]];
      default:
        if (*p != *s) return false;
        ++p;
        ++s;
    }
  }
  return *s == '\0';
}

}  // namespace

int fnmatch(const char* pattern, const char* string, int flags) {
  return Match(pattern, string, flags) ? 0 : FNM_NOMATCH;
}

// Lines of any length, for the config file readers.
long getline(char** line, size_t* cap, FILE* f) {
  if (!*line || *cap == 0) {
    *cap = 256;
    *line = static_cast<char*>(std::realloc(*line, *cap));
    if (!*line) return -1;
  }
  size_t n = 0;
  for (;;) {
    const int c = std::fgetc(f);
    if (c == EOF) break;
    if (n + 2 > *cap) {
      char* bigger = static_cast<char*>(std::realloc(*line, *cap * 2));
      if (!bigger) return -1;
      *line = bigger;
      *cap *= 2;
    }
    (*line)[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  (*line)[n] = '\0';
  return n == 0 ? -1 : static_cast<long>(n);
}

}  // extern "C"
