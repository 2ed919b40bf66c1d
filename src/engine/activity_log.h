#pragma once
// The activity log: one growing text, guarded by one lock, whose observers receive every
// appended piece in the order it was made.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace orvex {

class ActivityLog {
 public:
  // Called under the log's lock with the exact text appended (entries end in CR LF, plus one LF
  // for an entry with a blank line), or with `replaced` true when the whole text was replaced.
  using Observer = std::function<void(const std::string& appended, bool replaced)>;

  // Appends an entry; an empty text changes nothing.
  void LogLine(const std::string& text, bool blankLine = false);
  // Appends raw text without the entry end, and without notifying the view (the view shows it
  // with the next entry).
  void AppendSilently(const std::string& text);
  // Appends text exactly as given (no entry end) and notifies the observers (a paste).
  void AppendRaw(const std::string& text);
  std::string Text() const;
  size_t Size() const;
  void Replace(const std::string& text);  // clear (empty text) or paste from the view
  int AddObserver(Observer obs);
  void RemoveObserver(int id);

  // Failed steps of the current run; raised by StepResult.
  std::atomic<int32_t> errorCount{0};
  // Blocks make_ext4fs last reported it failed to allocate.
  std::atomic<int32_t> allocFailBlocks{0};

 private:
  void Notify(const std::string& appended, bool replaced);

  mutable std::mutex mu_;
  std::string text_;
  std::string pendingSilent_;
  std::vector<std::pair<int, Observer>> observers_;
  int nextId_ = 1;
};

}  // namespace orvex
