#pragma once
// The job thread's window hooks for the desktop program: each call is handed to the main
// window on the user-interface thread, in the order the job thread made them.
#include <QPointer>
#include <atomic>

#include "context.h"

namespace orvex::gui {

class MainWindow;

class QtJobUi : public JobUi {
 public:
  void AttachWindow(MainWindow* window) { window_ = window; }

  void PathStarted() override;
  void ShowBusy(const std::string& status) override;
  void BringToFront() override;
  void LeaveMarquee() override;
  void SetProgressDone() override;
  void HighlightResults() override;
  void ShowIdle(const std::string& status) override;
  void PlayFinishSound() override;
  bool AutoCloseRunning() override { return autoClose_.load() != 0; }
  void StartAutoClose() override;
  void StopAutoClose() override;
  void OpenFolder(const std::string& folder) override;

  // The main window's side of the countdown flag: a countdown asked for and not yet stopped.
  // A stop that arrives before the window started the countdown cancels it.
  int AutoCloseTicket() const { return autoClose_.load(); }
  void AutoCloseEnded(int ticket);

 private:
  template <typename F>
  void Post(F&& f);

  QPointer<MainWindow> window_;
  std::atomic<int> autoClose_{0};  // 0: none; else the ticket of the countdown asked for
  std::atomic<int> nextTicket_{1};
};

}  // namespace orvex::gui
