#pragma once
// A console progress line that rewrites itself with carriage returns: "name: 42%".
#include <cstdint>
#include <cstdio>
#include <string>

namespace orvex {

class ProgressLine {
 public:
  explicit ProgressLine(std::string name, bool enabled = true) : name_(std::move(name)), enabled_(enabled) {}
  void Update(uint64_t done, uint64_t total) {
    if (!enabled_ || total == 0) return;
    const int pct = static_cast<int>(done >= total ? 100 : done * 100 / total);
    if (pct == last_) return;
    last_ = pct;
    std::printf("\r%s: %3d%%", name_.c_str(), pct);
    std::fflush(stdout);
  }
  // Ends the line when anything was shown.
  void Finish() {
    if (last_ >= 0) std::printf("\n");
    last_ = -1;
    std::fflush(stdout);
  }

 private:
  std::string name_;
  bool enabled_;
  int last_ = -1;
};

}  // namespace orvex
