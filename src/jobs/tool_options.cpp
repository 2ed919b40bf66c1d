#include "tool_options.h"

#include "text.h"

namespace orvex {

bool IsPlainOptionWord(const std::string& word) {
  if (word.empty()) return false;
  for (unsigned char c : word) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                       c == '_' || c == '.' || c == '=' || c == '+' || c == ',';
    if (!plain) return false;
  }
  return true;
}

std::string CheckedToolOptions(Context& ctx, const std::string& settingKey) {
  const std::string value = ctx.settings.Text(settingKey);
  std::string out;
  for (const std::string& w : Split(ReplaceAll(value, "\t", " "), ' ')) {
    if (w.empty()) continue;
    if (!IsPlainOptionWord(w)) {
      ++ctx.log.errorCount;
      ctx.log.LogLine(">< !!! " + settingKey + ": " + value + " <- " + ctx.M(136) + ", " + w, false);
      return "";
    }
    out += (out.empty() ? "" : " ") + w;
  }
  return out;
}

}  // namespace orvex
