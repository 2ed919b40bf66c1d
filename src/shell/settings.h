#pragma once
// The settings record: every key of config/settings.ini with its type and default, read at
// start-up and written back at close.
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvex {

inline constexpr int kNoValue = -65535;

struct SettingDef {
  const char* key;
  bool isText;
  int intDefault;
  const char* textDefault;
  int minValue;  // accepted range of an integer setting; values outside it read as the default
  int maxValue;
};

// What SaveSettings needs from the windows at close.
struct WindowState {
  int screenWidth = kNoValue;
  int screenHeight = kNoValue;
  std::optional<bool> mainMaximized;  // unset: keep the value read at start-up
  bool settingsWindowOpen = false;
  int settingsStage = 0, settingsX = 0, settingsY = 0, settingsWidth = 0, settingsHeight = 0;
};

class Settings {
 public:
  Settings();
  // Every key in the order LoadSettings reads them.
  static const std::vector<SettingDef>& Keys();
  static const SettingDef* Find(std::string_view key);  // without regard to case

  int Int(std::string_view key) const;
  std::string Text(std::string_view key) const;
  void SetInt(std::string_view key, int value);
  void SetText(std::string_view key, const std::string& value);
  // Sets a key from its text form (for overrides given on the command line). False when the key
  // is unknown or the value is not valid for it.
  bool SetFromText(std::string_view key, const std::string& value);
  void ResetToDefaults();

  // Reads the file; every missing or unreadable value takes its default.
  void Load(const std::string& iniPath);
  // Writes the file anew in the write order; false when it cannot be created.
  bool Save(const std::string& iniPath, const WindowState& win) const;

 private:
  static std::string Canon(std::string_view key);
  mutable std::mutex mu_;
  std::map<std::string, int> ints_;
  std::map<std::string, std::string> texts_;
};

}  // namespace orvex
