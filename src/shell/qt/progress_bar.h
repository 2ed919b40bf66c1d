#pragma once
// The thin progress bar under the log: a range from 0, a value, three states (normal green,
// error red, paused yellow) and a marquee mode that runs while a run lasts.
#include <QTimer>
#include <QWidget>

namespace orvex::gui {

class ProgressBar : public QWidget {
  Q_OBJECT
 public:
  enum class State { Normal, Error, Paused };

  explicit ProgressBar(QWidget* parent = nullptr);

  void SetRange(int maximum);  // the range is 0..maximum
  void SetValue(int value);    // clamped into the range
  void SetState(State state);
  void SetMarquee(bool on);

  int Maximum() const { return maximum_; }
  int Value() const { return value_; }
  State CurrentState() const { return state_; }
  bool Marquee() const { return marquee_; }

  QSize sizeHint() const override { return {100, 4}; }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  int maximum_ = 100;
  int value_ = 0;
  State state_ = State::Normal;
  bool marquee_ = false;
  int marqueeOffset_ = 0;
  QTimer marqueeTimer_;
};

}  // namespace orvex::gui
