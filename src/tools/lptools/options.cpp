#include "options.h"

#include <algorithm>

#include "platform.h"

namespace orvex::lptools {

bool ParseNumber(const std::string& text, uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t d = uint64_t(c - '0');
    if (v > (UINT64_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  *value = v;
  return true;
}

bool SplitArgs(int argc, char** argv, const std::vector<std::string>& takes_value, std::vector<Option>* options,
               std::vector<std::string>* words, std::string* error) {
  bool only_words = false;
  // UTF-8 on both systems (Windows hands main() its arguments in the ANSI code page).
  const std::vector<std::string> args = platform::ProgramArguments(argc, argv);
  const size_t count = args.size();
  for (size_t i = 0; i < count; ++i) {
    const std::string& a = args[i];
    if (only_words || a.size() < 2 || a[0] != '-') {
      words->push_back(a);
      continue;
    }
    if (a == "--") {
      only_words = true;
      continue;
    }
    Option o;
    std::string body = a.substr(a[1] == '-' ? 2 : 1);
    const size_t eq = body.find('=');
    if (eq != std::string::npos) {
      o.name = body.substr(0, eq);
      o.value = body.substr(eq + 1);
      o.has_value = true;
    } else {
      o.name = body;
    }
    const bool wants = std::find(takes_value.begin(), takes_value.end(), o.name) != takes_value.end();
    if (wants && !o.has_value) {
      if (i + 1 >= count) {
        *error = "option " + a + " needs a value";
        return false;
      }
      o.value = args[++i];
      o.has_value = true;
    } else if (!wants && a[1] != '-' && body.size() > 1 && eq == std::string::npos) {
      // "-s1": a one-letter option with its value attached.
      const std::string letter = body.substr(0, 1);
      if (std::find(takes_value.begin(), takes_value.end(), letter) != takes_value.end()) {
        o.name = letter;
        o.value = body.substr(1);
        o.has_value = true;
      }
    }
    options->push_back(o);
  }
  return true;
}

bool ParseSlot(const std::string& text, uint32_t* slot) {
  std::string t = text;
  if (!t.empty() && t[0] == '_') t = t.substr(1);
  if (t == "a") {
    *slot = 0;
    return true;
  }
  if (t == "b") {
    *slot = 1;
    return true;
  }
  uint64_t v = 0;
  if (t.size() != text.size() || !ParseNumber(text, &v) || v > UINT32_MAX) return false;
  *slot = uint32_t(v);
  return true;
}

}  // namespace orvex::lptools
