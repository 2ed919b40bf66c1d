#include "activity_log.h"

namespace orvex {

void ActivityLog::LogLine(const std::string& text, bool blankLine) {
  if (text.empty()) return;
  std::lock_guard<std::mutex> lock(mu_);
  std::string piece;
  piece.reserve(pendingSilent_.size() + text.size() + 3);
  piece += pendingSilent_;
  pendingSilent_.clear();
  piece += text;
  piece += "\r\n";
  if (blankLine) piece += '\n';
  text_ += text;
  text_ += "\r\n";
  if (blankLine) text_ += '\n';
  Notify(piece, false);
}

void ActivityLog::AppendSilently(const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  text_ += text;
  pendingSilent_ += text;
}

void ActivityLog::AppendRaw(const std::string& text) {
  if (text.empty()) return;
  std::lock_guard<std::mutex> lock(mu_);
  std::string piece = pendingSilent_ + text;
  pendingSilent_.clear();
  text_ += text;
  Notify(piece, false);
}

std::string ActivityLog::Text() const {
  std::lock_guard<std::mutex> lock(mu_);
  return text_;
}

size_t ActivityLog::Size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return text_.size();
}

void ActivityLog::Replace(const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  text_ = text;
  pendingSilent_.clear();
  Notify(text_, true);
}

int ActivityLog::AddObserver(Observer obs) {
  std::lock_guard<std::mutex> lock(mu_);
  int id = nextId_++;
  observers_.emplace_back(id, std::move(obs));
  return id;
}

void ActivityLog::RemoveObserver(int id) {
  std::lock_guard<std::mutex> lock(mu_);
  std::erase_if(observers_, [id](const auto& p) { return p.first == id; });
}

void ActivityLog::Notify(const std::string& appended, bool replaced) {
  for (auto& [id, obs] : observers_) obs(appended, replaced);
}

}  // namespace orvex
