#pragma once
// A complete job context over a temporary workspace: its own settings, the built-in messages,
// a log, a recent list and a window-hook recorder. Tests point the tool folder at fake tools.
#include <string>
#include <vector>

#include "context.h"
#include "dispatcher.h"
#include "test_support.h"

namespace orvex::test {

// Records the window hooks the job thread calls.
class RecordingUi : public JobUi {
 public:
  void PathStarted() override { events.push_back("PathStarted"); }
  void ShowBusy(const std::string& s) override { events.push_back("Busy:" + s); }
  void SetProgressDone() override { events.push_back("Done"); }
  void HighlightResults() override { events.push_back("Highlight"); }
  void StartAutoClose() override { events.push_back("AutoClose"); }
  void PlayFinishSound() override { events.push_back("Sound"); }
  void OpenFolder(const std::string& f) override { events.push_back("Open:" + f); }
  std::vector<std::string> events;
};

struct EngineEnv {
  TempDir tmp;
  Settings settings;
  MessageTable messages;
  ActivityLog log;
  RecentFiles recent;
  RecordingUi ui;
  Context ctx{"", settings, messages, log, recent, ui};

  EngineEnv() {
    messages.LoadBuiltIn();
    ctx.root = (tmp / "bin").string() + "/";
    fs::create_directories(tmp / "bin" / "config");
    recent.SetFile((tmp / "bin" / "config" / "recent.ini").string());
  }
  fs::path Bin() const { return tmp / "bin"; }
  fs::path Work() const {
    fs::create_directories(tmp / "work");
    return tmp / "work";
  }
  // Writes an executable shell script as a fake tool under bin/.
  void FakeTool(const std::string& relName, const std::string& body) const {
    fs::path p = tmp / "bin" / relName;
    WriteFile(p, "#!/bin/sh\n" + body);
    fs::permissions(p, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
  }
  // The log with CR LF shown as "|" line ends for readable comparisons.
  std::vector<std::string> Lines() const {
    std::vector<std::string> out;
    std::string t = log.Text(), cur;
    for (size_t i = 0; i < t.size(); ++i) {
      if (t[i] == '\r' && i + 1 < t.size() && t[i + 1] == '\n') {
        out.push_back(cur);
        cur.clear();
        ++i;
      } else if (t[i] == '\n') {
        out.push_back(cur);
        cur.clear();
      } else {
        cur += t[i];
      }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
  }
};

}  // namespace orvex::test
