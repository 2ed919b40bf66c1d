#include "auto_close.h"

namespace orvex::gui {

AutoCloseCountdown::AutoCloseCountdown(Hooks hooks, QObject* parent) : QObject(parent), hooks_(std::move(hooks)) {
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, this, &AutoCloseCountdown::Step);
}

void AutoCloseCountdown::Start(int seconds) {
  seconds_ = seconds < 0 ? 0 : seconds;
  running_ = true;
  started_ = false;
  timer_.start(1000);
}

void AutoCloseCountdown::Stop() {
  timer_.stop();
  running_ = false;
}

void AutoCloseCountdown::StepNow() {
  if (!running_) return;
  timer_.stop();
  Step();
}

void AutoCloseCountdown::Step() {
  if (!running_) return;
  if (!started_) {
    started_ = true;
    n_ = seconds_;
    if (hooks_.start) hooks_.start(seconds_);
  } else if (n_ < 0) {
    running_ = false;
    if (hooks_.finish) hooks_.finish();
    return;
  }
  if (hooks_.show) hooks_.show(n_);
  timer_.start(n_ > 0 ? 1000 : 300);
  --n_;
}

}  // namespace orvex::gui
