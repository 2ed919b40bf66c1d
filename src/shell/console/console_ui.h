#pragma once
#include <atomic>
#include <cstdio>

#include "context.h"

namespace orvex {

// The console front end's window hooks: nothing to show; it only remembers whether the run
// ended with failed steps, for the exit status.
class ConsoleUi : public JobUi {
 public:
  void HighlightResults() override { failed = true; }
  std::atomic<bool> failed{false};
};

// Prints each log entry to a stream as it is appended (CR LF shown as LF).
void PrintLogPiece(std::FILE* out, const std::string& piece);

}  // namespace orvex
