#pragma once
// The automatic close after a run without errors: a pause, then one line per second counting
// down from AutoExit_Time to 0 behind the log, then the close question.
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>

namespace orvex::gui {

class AutoCloseCountdown : public QObject {
  Q_OBJECT
 public:
  struct Hooks {
    std::function<void(int maximum)> start;           // progress bar paused with this range
    std::function<void(int n)> show;                  // countdown line n, progress bar n - 1
    std::function<void()> finish;                     // the countdown ran out
  };
  explicit AutoCloseCountdown(Hooks hooks, QObject* parent = nullptr);

  void Start(int seconds);
  void Stop();
  bool Running() const { return running_; }
  // The wait before the next step, in milliseconds (0 when not running).
  int NextDelay() const { return running_ ? timer_.interval() : 0; }
  // Takes the next step now instead of after its wait.
  void StepNow();

 private:
  void Step();

  Hooks hooks_;
  QTimer timer_;
  bool running_ = false;
  bool started_ = false;
  int seconds_ = 0;
  int n_ = 0;
};

}  // namespace orvex::gui
