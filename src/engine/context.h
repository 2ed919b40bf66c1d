#pragma once
// The one object a job is handed: settings, messages, the log, the tool folder, the recent list
// and the window hooks, so that a test can run any job against its own workspace.
#include <functional>
#include <string>
#include <utility>

#include "activity_log.h"
#include "messages.h"
#include "recent_files.h"
#include "settings.h"

namespace orvex {

// What the job thread asks of the main window. Every call may come from the job thread; a
// front end with windows forwards it to its user-interface thread. The console front end
// ignores them all.
class JobUi {
 public:
  virtual ~JobUi() = default;
  virtual void PathStarted() {}                        // progress bar normal, marquee
  virtual void ShowBusy(const std::string& status) {}  // status bar: busy icon and text
  virtual void BringToFront() {}
  virtual void LeaveMarquee() {}
  virtual void SetProgressDone() {}  // progress bar at 100
  virtual void HighlightResults() {}
  virtual void ShowIdle(const std::string& status) {}
  virtual void PlayFinishSound() {}
  virtual bool AutoCloseRunning() { return false; }
  virtual void StartAutoClose() {}
  virtual void StopAutoClose() {}
  virtual void OpenFolder(const std::string& folder) {}  // a result folder (Open_Folder)
};

struct Context {
  Context(std::string workspaceRoot, Settings& s, MessageTable& m, ActivityLog& l, RecentFiles& r, JobUi& u)
      : root(std::move(workspaceRoot)), settings(s), messages(m), log(l), recent(r), ui(u) {}

  std::string root;  // the Workspace root (the tool folder) with its trailing separator
  Settings& settings;
  MessageTable& messages;
  ActivityLog& log;
  RecentFiles& recent;
  JobUi& ui;
  // Where the writable state lives, each with its trailing separator: settings, recent list and
  // log mirror, and the framework package of the APK jobs. Empty means the Workspace root's
  // "config" and "framework" folders (a program run from its own folder); an installed program
  // uses the user's XDG folders instead.
  std::string configRoot;
  std::string frameworkRoot;

  // Queues a path for the running job thread, after the paths already queued (set by the
  // dispatcher; jobs run without one queue nothing).
  std::function<void(const std::string&)> queuePath;

  std::string ConfigFolder() const;     // with its trailing separator
  std::string FrameworkFolder() const;  // with its trailing separator
  // Message n of the current language.
  std::string M(int n) const { return messages.Get(n); }
  // A tool of the tool folder by its name ("simg2img", "erofs/extract.erofs"), as the job
  // passes it to RunTool.
  std::string Tool(const std::string& relName) const;
};

}  // namespace orvex
