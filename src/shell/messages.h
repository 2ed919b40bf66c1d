#pragma once
// The numbered message table: the built-in Russian texts, or a language file.
#include <array>
#include <mutex>
#include <string>

namespace orvex {

class Settings;

inline constexpr int kMessageCount = 186;

class MessageTable {
 public:
  MessageTable();
  // Message n (1..186); empty for a slot nobody filled.
  std::string Get(int n) const;
  // Fills the table for a language identifier (0: the user's interface language). A missing or
  // too short file falls back to the built-in table and sets Locale_ID to 1049.
  void LoadLanguage(int identifier, const std::string& languageFolder, Settings& settings);
  // Loads the built-in Russian table.
  void LoadBuiltIn();
  // Fills slots 1.. from a language file's text; returns the number of messages read.
  int LoadFromText(const std::string& text);
  int CurrentLanguage() const;

 private:
  mutable std::mutex mu_;
  std::array<std::string, kMessageCount + 1> slots_;
  int language_ = 1049;
};

// The built-in Russian table, 186 lines separated by CR LF.
const std::string& BuiltInMessages();

}  // namespace orvex
