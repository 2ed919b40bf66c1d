#include "recent_files.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform.h"
#include "text.h"

namespace orvex {

void RecentFiles::AddRecentFile(const std::string& path) {
  std::function<void()> cb;
  {
    std::lock_guard<std::mutex> lock(mu_);
    const auto file = platform::ToPath(path_);
    std::error_code ec;
    auto size = std::filesystem::file_size(file, ec);
    if (!ec && size > 0) {
      std::ifstream in(file, std::ios::binary);
      std::stringstream ss;
      ss << in.rdbuf();
      list_.clear();
      if (!path.empty()) list_.push_back(path);
      for (std::string line : Split(SanitizeUtf8(ss.str()), '\n')) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line == path) continue;
        // Equal entries left by hand in the file are kept once.
        if (std::find(list_.begin(), list_.end(), line) != list_.end()) continue;
        if (list_.size() >= kMax) break;
        list_.push_back(line);
      }
      std::ofstream out(file, std::ios::binary | std::ios::trunc);
      for (const auto& e : list_) out << e << "\r\n";
    } else if (!path.empty()) {
      std::ofstream out(file, std::ios::binary | std::ios::trunc);
      out << path << "\r\n";
      list_.erase(std::remove(list_.begin(), list_.end(), path), list_.end());
      list_.insert(list_.begin(), path);
      if (list_.size() > kMax) list_.resize(kMax);
    }
    cb = onChange_;
  }
  if (cb) cb();
}

void RecentFiles::Clear() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    std::error_code ec;
    std::filesystem::remove(platform::ToPath(path_), ec);
    list_.clear();
  }
  AddRecentFile("");
}

std::vector<std::string> RecentFiles::List() const {
  std::lock_guard<std::mutex> lock(mu_);
  return list_;
}

void RecentFiles::SetOnChange(std::function<void()> cb) {
  std::lock_guard<std::mutex> lock(mu_);
  onChange_ = std::move(cb);
}

}  // namespace orvex
