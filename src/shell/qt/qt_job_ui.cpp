#include "qt_job_ui.h"

#include "main_window.h"

namespace orvex::gui {

template <typename F>
void QtJobUi::Post(F&& f) {
  MainWindow* w = window_.data();
  if (!w) return;
  // Queued calls to one receiver are delivered in the order they were posted; the log's own
  // pending text is taken before each of them.
  QMetaObject::invokeMethod(
      w,
      [w, f = std::forward<F>(f)]() mutable {
        w->TakeLogNow();
        f(w);
      },
      Qt::QueuedConnection);
}

void QtJobUi::PathStarted() {
  Post([](MainWindow* w) { w->OnPathStarted(); });
}

void QtJobUi::ShowBusy(const std::string& status) {
  Post([s = QString::fromStdString(status)](MainWindow* w) { w->ShowStatus(s, true); });
}

void QtJobUi::BringToFront() {
  Post([](MainWindow* w) { w->BringToFront(); });
}

void QtJobUi::LeaveMarquee() {
  Post([](MainWindow* w) { w->LeaveMarquee(); });
}

void QtJobUi::SetProgressDone() {
  Post([](MainWindow* w) { w->SetProgressDone(); });
}

void QtJobUi::HighlightResults() {
  Post([](MainWindow* w) { w->HighlightResults(); });
}

void QtJobUi::ShowIdle(const std::string& status) {
  Post([s = QString::fromStdString(status)](MainWindow* w) { w->ShowStatus(s, false); });
}

void QtJobUi::PlayFinishSound() {
  Post([](MainWindow* w) { w->PlayFinishSound(); });
}

void QtJobUi::StartAutoClose() {
  int ticket = nextTicket_++;
  autoClose_ = ticket;
  Post([ticket](MainWindow* w) { w->StartAutoCloseTicket(ticket); });
}

void QtJobUi::StopAutoClose() {
  autoClose_ = 0;
  Post([](MainWindow* w) { w->StopAutoClose(); });
}

void QtJobUi::AutoCloseEnded(int ticket) {
  int expected = ticket;
  autoClose_.compare_exchange_strong(expected, 0);
}

void QtJobUi::OpenFolder(const std::string& folder) {
  Post([f = QString::fromStdString(folder)](MainWindow* w) { w->OpenExternal(f); });
}

}  // namespace orvex::gui
