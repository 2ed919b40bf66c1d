#include "app.h"

#include <filesystem>
#include <fstream>

#include "platform.h"
#include "text.h"
#include "workspace.h"

namespace orvex {

std::string ShortVersion(const std::string& version) {
  auto f = Split(version, '.');
  while (f.size() < 4) f.push_back("0");
  std::string s = f[0] + "." + f[1];
  if (f[2] != "0") s += "." + f[2];
  return s;
}

std::string BuildNumber(const std::string& version) {
  auto f = Split(version, '.');
  return f.size() >= 4 ? f[3] : "";
}

std::string OsVersionName(int number) {
  switch (number) {
    case 60: return "Windows XP";
    case 65: return "Windows Server 2003";
    case 70: return "Windows Vista";
    case 75: return "Windows Server 2008";
    case 80: return "Windows 7";
    case 85: return "Windows Server 2008 R2";
    case 90: return "Windows 8";
    case 95: return "Windows Server 2012";
    case 100: return "Windows 8.1";
    case 105: return "Windows Server 2012 R2";
    case 110: return "Windows 10";
    case 120: return "Windows 11";
    case 200: return "Windows Future";
    default: return "Unknown";
  }
}

std::string HostSystemName() { return platform::GetHostFacts().systemName; }

App::App(JobUi& ui) : ctx{"", settings, messages, log, recent, ui}, dispatcher(ctx) {}

void App::LocateFolders(const std::string& file) {
  programFile = file;
  std::string folder = platform::FromPath(platform::ToPath(file).parent_path());
  if (folder.empty() || folder == platform::TempFolder()) folder = platform::CurrentFolder();
  programFolder = JoinPath(folder, "");  // with its trailing separator
  ctx.root = programFolder + "bin" + platform::kSep;
  ctx.configRoot.clear();
  ctx.frameworkRoot.clear();
  bool installed = false;
  if (!platform::IsDirectory(ctx.root)) {
    // An installed program: <prefix>/bin/orvex-cli with its tool folder in <prefix>/lib/orvex.
    std::string libRoot = platform::FromPath(platform::ToPath(folder).parent_path() / "lib" / "orvex");
    if (platform::IsDirectory(libRoot)) {
      ctx.root = JoinPath(libRoot, "");
      installed = true;
    }
  }
  // The writable state follows the user when the tool folder is not the user's to write.
  if (installed || (platform::IsDirectory(ctx.root) && !platform::IsWritableFolder(ctx.root))) {
    const std::string config = platform::UserConfigFolder();
    const std::string data = platform::UserDataFolder();
    if (!config.empty() && !data.empty()) {
      ctx.configRoot = JoinPath(config, "");
      ctx.frameworkRoot = JoinPath(JoinPath(data, "framework"), "");
    }
  }
}

std::string App::ConfigPath(const std::string& file) const { return ctx.ConfigFolder() + file; }
std::string App::LanguageFolder() const { return ctx.root + "language" + platform::kSep; }

void App::LoadSettings(const std::map<std::string, std::string>& overrides) {
  settings.Load(ConfigPath("settings.ini"));
  for (const auto& [key, value] : overrides) {
    const SettingDef* d = Settings::Find(key);
    if (!d) continue;
    if (!overriddenFileValues_.count(d->key))
      overriddenFileValues_[d->key] = d->isText ? settings.Text(d->key) : std::to_string(settings.Int(d->key));
    settings.SetFromText(d->key, value);
  }
}

void App::PrepareWorkspace() {
  CreateFolder(ctx.ConfigFolder());
  messages.LoadLanguage(settings.Int("Locale_ID"), LanguageFolder(), settings);
  recent.SetFile(ConfigPath("recent.ini"));
  recent.AddRecentFile("");
}

void App::QueueArguments(const std::vector<std::string>& args, bool ctrlDown) {
  for (const auto& a : args) {
    if (a == "-total") {
      if (ctrlDown) continue;
      break;
    }
    dispatcher.QueueJobPath(a);
  }
}

void App::CheckProgramPath(const std::string& path) {
  std::string findings;
  for (char32_t cp : CodePoints(path)) {
    if (cp == U' ') findings += " space ";
    else if (cp == U'&' || cp == U'(' || cp == U')' || cp == U'=' || cp == U';' || cp == U'^')
      findings += static_cast<char>(cp);
    else if (cp > 127) {
      std::string s;
      if (cp < 0x800) {
        s += static_cast<char>(0xC0 | (cp >> 6));
        s += static_cast<char>(0x80 | (cp & 0x3F));
      } else if (cp < 0x10000) {
        s += static_cast<char>(0xE0 | (cp >> 12));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
      } else {
        s += static_cast<char>(0xF0 | (cp >> 18));
        s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
      }
      findings += s;
    }
  }
  std::string text;
  if (!findings.empty()) text = messages.Get(151) + ": " + findings;
  size_t length = Utf16Length(path);
  if (length > 120) {
    if (!text.empty()) text += "\r\n";
    text += messages.Get(152) + ": " + std::to_string(length) + " " + messages.Get(153);
  }
  if (!text.empty()) log.LogLine(messages.Get(154) + ": " + path + "\r\n" + text, true);
}

void App::FinishStartUp() {
  std::string fw = ctx.FrameworkFolder();
  if (!platform::IsDirectory(fw)) CreateFolder(fw);
  CheckProgramPath(programFile);
}

void App::Close(const WindowState& win) {
  WriteWholeFile(ConfigPath("lastAction.log"), log.Text());
  // Values given for this run only go back to what the file held.
  for (const auto& [key, value] : overriddenFileValues_) settings.SetFromText(key, value);
  settings.Save(ConfigPath("settings.ini"), win);
}

}  // namespace orvex
