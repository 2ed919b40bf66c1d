#include "messages.h"

#include <fstream>
#include <sstream>

#include "platform.h"
#include "settings.h"
#include "text.h"

namespace orvex {

extern const char kBuiltInMessagesText[];  // generated from resources/messages_ru.txt

const std::string& BuiltInMessages() {
  static const std::string text = kBuiltInMessagesText;
  return text;
}

MessageTable::MessageTable() = default;

std::string MessageTable::Get(int n) const {
  if (n < 1 || n > kMessageCount) return {};
  std::lock_guard<std::mutex> lock(mu_);
  return slots_[n];
}

int MessageTable::LoadFromText(const std::string& raw) {
  std::string text = raw;
  if (StartsWith(text, "\xEF\xBB\xBF")) text.erase(0, 3);
  text = SanitizeUtf8(text);
  std::lock_guard<std::mutex> lock(mu_);
  int slot = 1;
  size_t pos = 0;
  while (pos <= text.size() && slot <= kMessageCount) {
    size_t end = text.find_first_of("\r\n", pos);
    std::string line = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    if (end == std::string::npos) pos = text.size() + 1;
    else pos = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
    if (line.empty() || line[0] == ';') continue;
    slots_[slot++] = line;
  }
  return slot - 1;
}

void MessageTable::LoadBuiltIn() {
  LoadFromText(BuiltInMessages());
  std::lock_guard<std::mutex> lock(mu_);
  language_ = 1049;
}

void MessageTable::LoadLanguage(int identifier, const std::string& languageFolder, Settings& settings) {
  if (identifier == 0) identifier = platform::UserUiLanguage();
  if (identifier == 1049) {
    LoadBuiltIn();
    return;
  }
  std::string path = languageFolder + std::to_string(identifier) + ".lng";
  std::ifstream f(platform::ToPath(path), std::ios::binary);
  std::string content;
  if (f) {
    std::stringstream ss;
    ss << f.rdbuf();
    content = ss.str();
  }
  if (!f || content.size() <= 1) {
    settings.SetInt("Locale_ID", 1049);
    LoadBuiltIn();
    return;
  }
  LoadFromText(content);
  std::lock_guard<std::mutex> lock(mu_);
  language_ = identifier;
}

int MessageTable::CurrentLanguage() const {
  std::lock_guard<std::mutex> lock(mu_);
  return language_;
}

}  // namespace orvex
