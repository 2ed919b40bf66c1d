#pragma once
// The recent-files list kept in config/recent.ini.
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace orvex {

class RecentFiles {
 public:
  static constexpr size_t kMax = 10;
  void SetFile(const std::string& recentIniPath) { path_ = recentIniPath; }
  // Puts a path at the head (an empty path only reloads the list), rewrites the file and lets
  // the menu rebuild itself.
  void AddRecentFile(const std::string& path);
  // Deletes the file and empties the list.
  void Clear();
  std::vector<std::string> List() const;
  // Called after every change (the main window rebuilds its menu).
  void SetOnChange(std::function<void()> cb);

 private:
  mutable std::mutex mu_;
  std::string path_;
  std::vector<std::string> list_;
  std::function<void()> onChange_;
};

}  // namespace orvex
