#include "settings.h"

#include <climits>
#include <fstream>
#include <sstream>

#include "platform.h"
#include "text.h"

namespace orvex {

namespace {

constexpr int kAny = INT_MIN;
constexpr int kAnyMax = INT_MAX;

#define INT_KEY(k, d, lo, hi) SettingDef{k, false, d, "", lo, hi}
#define FLAG_KEY(k, d) SettingDef{k, false, d, "", 0, 1}
#define TEXT_KEY(k, d) SettingDef{k, true, 0, d, 0, 0}

const std::vector<SettingDef> kKeys = {
    INT_KEY("Desktop_Width", kNoValue, kAny, kAnyMax),
    INT_KEY("Desktop_Height", kNoValue, kAny, kAnyMax),
    INT_KEY("Main_X", 0, kAny, kAnyMax),
    INT_KEY("Main_Y", 0, kAny, kAnyMax),
    INT_KEY("Main_Width", 473, kAny, kAnyMax),
    INT_KEY("Main_Height", 266, kAny, kAnyMax),
    FLAG_KEY("Main_Maximize", 0),
    FLAG_KEY("Main_Top", 0),
    FLAG_KEY("Open_Settings", 0),
    INT_KEY("Setting_X", kNoValue, kAny, kAnyMax),
    INT_KEY("Setting_Y", kNoValue, kAny, kAnyMax),
    INT_KEY("Setting_Width", 395, kAny, kAnyMax),
    INT_KEY("Setting_Height", 383, kAny, kAnyMax),
    INT_KEY("Setting_Stage", 0, 0, 6),
    INT_KEY("Window_Transparency", 245, 100, 255),
    INT_KEY("Editor_BackColor", 3618615, 0, 0xFFFFFF),
    TEXT_KEY("Editor_FontName", ""),
    INT_KEY("Editor_FontSize", 14, 1, 200),
    INT_KEY("Editor_FontColor", 11842740, 0, 0xFFFFFF),
    INT_KEY("Editor_FontStyle", 0, 0, 0xFFFF),
    FLAG_KEY("Unpack_Super", 1),
    FLAG_KEY("Unpack_System", 1),
    FLAG_KEY("Unpack_Vendor", 1),
    FLAG_KEY("Unpack_Product", 1),
    FLAG_KEY("Unpack_Odm", 1),
    FLAG_KEY("Open_Folder", 1),
    TEXT_KEY("Ver", "106"),
    FLAG_KEY("Pack_Super", 1),
    FLAG_KEY("Pack_System", 1),
    FLAG_KEY("Pack_Vendor", 1),
    FLAG_KEY("Pack_Product", 1),
    FLAG_KEY("Pack_Odm", 1),
    FLAG_KEY("Index_Add", 0),
    FLAG_KEY("Open_UsbTool", 0),
    FLAG_KEY("Framework", 0),
    FLAG_KEY("SignatureApk", 1),
    FLAG_KEY("Alignment", 1),
    INT_KEY("Locale_ID", 0, 0, 0xFFFF),
    FLAG_KEY("Not_Delete", 0),
    FLAG_KEY("Transfer", 0),
    TEXT_KEY("Decompress", "--verbose"),
    TEXT_KEY("Compress", "--force --quality 7 --verbose"),
    TEXT_KEY("Compress_Level", "0"),
    FLAG_KEY("Signature", 1),
    INT_KEY("Toolbar_Set", 1, 0, 2),
    INT_KEY("Free_Space", 100, 0, kAnyMax),
    FLAG_KEY("Expand_Size", 1),
    FLAG_KEY("Resize", 1),
    FLAG_KEY("No_Backup", 1),
    FLAG_KEY("No_Org", 1),
    FLAG_KEY("Get_Hash", 0),
    FLAG_KEY("Seven_Pack", 0),
    FLAG_KEY("Delete_Archive", 0),
    FLAG_KEY("Seven_UnPack", 0),
    FLAG_KEY("Subfolder", 1),
    TEXT_KEY("Seven_Level", "0"),
    TEXT_KEY("Size_Part", ""),
    FLAG_KEY("Delete_Image", 0),
    FLAG_KEY("Auto_Exit", 1),
    INT_KEY("AutoExit_Time", 10, 0, 10),
    TEXT_KEY("Path_UsbTool", ""),
    FLAG_KEY("Finish_Sound", 1),
    INT_KEY("Volume_Level", 20, 0, 100),
    TEXT_KEY("Pack_Folder", ""),
    TEXT_KEY("Unpack_Folder", ""),
};

// The keys written after the geometry, in the file's order.
const char* const kWriteOrder[] = {
    "Window_Transparency", "Open_Settings", "Editor_BackColor", "Editor_FontName", "Editor_FontSize",
    "Editor_FontColor", "Editor_FontStyle", "Unpack_Super", "Unpack_System", "Unpack_Vendor",
    "Unpack_Product", "Unpack_Odm", "Open_Folder", "Ver", "Pack_System", "Pack_Vendor", "Pack_Product",
    "Pack_Odm", "Pack_Super", "Index_Add", "Open_UsbTool", "Framework", "SignatureApk", "Alignment",
    "Locale_ID", "Not_Delete", "Transfer", "Decompress", "Compress", "Compress_Level", "Signature",
    "Toolbar_Set", "Free_Space", "Expand_Size", "Resize", "No_Backup", "No_Org", "Get_Hash", "Seven_Pack",
    "Seven_UnPack", "Subfolder", "Delete_Archive", "Seven_Level", "Size_Part", "Delete_Image", "Auto_Exit",
    "AutoExit_Time", "Path_UsbTool", "Finish_Sound", "Volume_Level", "Pack_Folder", "Unpack_Folder",
};

// Texts that must stay one of a few values.
bool TextValueValid(std::string_view key, const std::string& v) {
  if (key == "Ver") return v == "106" || v == "107";
  if (key == "Compress_Level" || key == "Seven_Level")
    return v == "0" || v == "1" || v == "3" || v == "5" || v == "7" || v == "9";
  if (key == "Size_Part") {
    for (char c : v)
      if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

Settings::Settings() { ResetToDefaults(); }

const std::vector<SettingDef>& Settings::Keys() { return kKeys; }

const SettingDef* Settings::Find(std::string_view key) {
  for (const auto& d : kKeys)
    if (EqualsNoCase(d.key, key)) return &d;
  return nullptr;
}

std::string Settings::Canon(std::string_view key) {
  const SettingDef* d = Find(key);
  return d ? d->key : std::string(key);
}

void Settings::ResetToDefaults() {
  std::lock_guard<std::mutex> lock(mu_);
  ints_.clear();
  texts_.clear();
  for (const auto& d : kKeys) {
    if (d.isText) texts_[d.key] = d.textDefault;
    else ints_[d.key] = d.intDefault;
  }
}

int Settings::Int(std::string_view key) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = ints_.find(Canon(key));
  return it == ints_.end() ? 0 : it->second;
}

std::string Settings::Text(std::string_view key) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = texts_.find(Canon(key));
  return it == texts_.end() ? std::string() : it->second;
}

void Settings::SetInt(std::string_view key, int value) {
  std::lock_guard<std::mutex> lock(mu_);
  ints_[Canon(key)] = value;
}

void Settings::SetText(std::string_view key, const std::string& value) {
  std::lock_guard<std::mutex> lock(mu_);
  texts_[Canon(key)] = value;
}

bool Settings::SetFromText(std::string_view key, const std::string& value) {
  const SettingDef* d = Find(key);
  if (!d) return false;
  if (d->isText) {
    std::string v = SanitizeUtf8(value);
    if (!TextValueValid(d->key, v)) return false;
    SetText(d->key, v);
    return true;
  }
  int32_t n;
  if (!ParseInt32(value, n) || n < d->minValue || n > d->maxValue) return false;
  SetInt(d->key, n);
  return true;
}

void Settings::Load(const std::string& iniPath) {
  ResetToDefaults();
  std::ifstream f(platform::ToPath(iniPath), std::ios::binary);
  if (!f) return;
  std::stringstream ss;
  ss << f.rdbuf();
  std::string all = ss.str();
  if (StartsWith(all, "\xEF\xBB\xBF")) all.erase(0, 3);
  all = SanitizeUtf8(all);

  // The first value of each key inside the group wins; later duplicates are ignored.
  std::map<std::string, std::string> found;
  bool inGroup = false;
  for (std::string line : Split(all, '\n')) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '#') continue;
    if (t.front() == '[') {
      inGroup = EqualsNoCase(t, "[Settings]");
      continue;
    }
    if (!inGroup) continue;
    auto eq = t.find('=');
    if (eq == std::string::npos) continue;
    const SettingDef* d = Find(Trim(t.substr(0, eq)));
    if (!d || found.count(d->key)) continue;
    found[d->key] = Trim(t.substr(eq + 1));
  }
  // A value that cannot be read for its key keeps the default.
  for (const auto& [key, value] : found) SetFromText(key, value);
}

bool Settings::Save(const std::string& iniPath, const WindowState& win) const {
  std::ofstream f(platform::ToPath(iniPath), std::ios::binary | std::ios::trunc);
  if (!f) return false;
  std::string out = "\xEF\xBB\xBF\r\n[Settings]\r\n";
  auto put = [&](const char* key) {
    const SettingDef* d = Find(key);
    out += key;
    out += " = ";
    out += d->isText ? Text(key) : std::to_string(Int(key));
    out += "\r\n";
  };
  auto putInt = [&](const char* key, int v) { out += std::string(key) + " = " + std::to_string(v) + "\r\n"; };

  if (Int("Main_X") > 0 && Int("Main_Y") >= 1 && Int("Main_Width") >= 1 && Int("Main_Height") >= 1) {
    putInt("Desktop_Width", win.screenWidth != kNoValue ? win.screenWidth : Int("Desktop_Width"));
    putInt("Desktop_Height", win.screenHeight != kNoValue ? win.screenHeight : Int("Desktop_Height"));
    put("Main_X");
    put("Main_Y");
    put("Main_Width");
    put("Main_Height");
  }
  putInt("Main_Maximize", win.mainMaximized.has_value() ? (*win.mainMaximized ? 1 : 0) : Int("Main_Maximize"));
  put("Main_Top");
  int stage = Int("Setting_Stage"), sx = Int("Setting_X"), sy = Int("Setting_Y"), sw = Int("Setting_Width"),
      sh = Int("Setting_Height");
  if (win.settingsWindowOpen) {
    stage = win.settingsStage, sx = win.settingsX, sy = win.settingsY, sw = win.settingsWidth, sh = win.settingsHeight;
  }
  if (sw > 0 && sh >= 1) {
    putInt("Setting_Stage", stage);
    putInt("Setting_Width", sw);
    putInt("Setting_Height", sh);
    putInt("Setting_X", sx);
    putInt("Setting_Y", sy);
  }
  for (const char* key : kWriteOrder) put(key);
  f.write(out.data(), static_cast<std::streamsize>(out.size()));
  return static_cast<bool>(f);
}

}  // namespace orvex
