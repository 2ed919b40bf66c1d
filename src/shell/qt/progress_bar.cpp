#include "progress_bar.h"

#include <QPainter>
#include <algorithm>

namespace orvex::gui {

ProgressBar::ProgressBar(QWidget* parent) : QWidget(parent) {
  marqueeTimer_.setInterval(30);
  connect(&marqueeTimer_, &QTimer::timeout, this, [this] {
    marqueeOffset_ = (marqueeOffset_ + 4) % std::max(1, width() + width() / 4);
    update();
  });
}

void ProgressBar::SetRange(int maximum) {
  maximum_ = std::max(0, maximum);
  value_ = std::clamp(value_, 0, maximum_);
  update();
}

void ProgressBar::SetValue(int value) {
  value_ = std::clamp(value, 0, maximum_);
  update();
}

void ProgressBar::SetState(State state) {
  state_ = state;
  update();
}

void ProgressBar::SetMarquee(bool on) {
  if (marquee_ == on) return;
  marquee_ = on;
  marqueeOffset_ = 0;
  if (on) marqueeTimer_.start();
  else marqueeTimer_.stop();
  update();
}

void ProgressBar::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), QColor(0xE6, 0xE6, 0xE6));
  QColor chunk = state_ == State::Error    ? QColor(0xDA, 0x26, 0x26)
                 : state_ == State::Paused ? QColor(0xDA, 0xCB, 0x26)
                                           : QColor(0x06, 0xB0, 0x25);
  if (marquee_) {
    const int block = std::max(8, width() / 4);
    p.fillRect(QRect(marqueeOffset_ - block, 0, block, height()), chunk);
    return;
  }
  if (maximum_ <= 0) return;
  const int filled = static_cast<int>(static_cast<long long>(width()) * value_ / maximum_);
  p.fillRect(QRect(0, 0, filled, height()), chunk);
}

}  // namespace orvex::gui
