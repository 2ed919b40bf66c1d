#pragma once
// The program's state and its start-up and close sequences, shared by the console and the
// windowed front ends.
#include <map>
#include <string>
#include <vector>

#include "activity_log.h"
#include "context.h"
#include "dispatcher.h"
#include "messages.h"
#include "recent_files.h"
#include "settings.h"

namespace orvex {

inline constexpr const char* kVersion = "4.3.0.3105";

// "4.3" for "4.3.0.3105"; the third field shows when it is not "0".
std::string ShortVersion(const std::string& version = kVersion);
std::string BuildNumber(const std::string& version = kVersion);
// The name of a Windows version number (60 "Windows XP" ... 120 "Windows 11"); "Unknown" else.
std::string OsVersionName(int number);
// The running system's name for titles and the saved log.
std::string HostSystemName();

class App {
 public:
  explicit App(JobUi& ui);

  // Program folder and Workspace root from the program's own file; a program started from the
  // temporary folder works from the current folder instead.
  void LocateFolders(const std::string& programFile);
  // Reads config/settings.ini, then applies overrides (kept out of the saved file).
  void LoadSettings(const std::map<std::string, std::string>& overrides = {});
  // Creates config/, loads the language and the recent list.
  void PrepareWorkspace();
  // Queues the command-line paths; "-total" ends the list unless ctrlDown.
  void QueueArguments(const std::vector<std::string>& args, bool ctrlDown);
  // Creates framework/ when missing and checks the program's own path.
  void FinishStartUp();
  // Writes config/lastAction.log and the settings.
  void Close(const WindowState& win);
  // Logs findings about characters and length of the program's path.
  void CheckProgramPath(const std::string& path);

  std::string ConfigPath(const std::string& file) const;
  std::string LanguageFolder() const;

  std::string programFile;
  std::string programFolder;  // with trailing separator
  Settings settings;
  MessageTable messages;
  ActivityLog log;
  RecentFiles recent;
  Context ctx;
  JobDispatcher dispatcher;

 private:
  std::map<std::string, std::string> overriddenFileValues_;
};

}  // namespace orvex
