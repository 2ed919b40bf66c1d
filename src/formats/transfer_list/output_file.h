#pragma once
// An output file that appears under its final name only when it is complete: the tool writes
// "{name}.part" and renames it at the end; anything else removes the partial file.
#include <cerrno>
#include <cstring>
#include <string>

#include "platform_io.h"

namespace orvex {

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile() { Abandon(); }

  bool Open(const std::string& final_path, std::string* error) {
    final_ = final_path;
    temp_ = final_path + ".part";
    if (platform::KindOf(temp_) == platform::PathKind::kFolder) {
      *error = "cannot create " + temp_ + ": a folder of that name is in the way";
      temp_.clear();
      return false;
    }
    platform::RemoveFile(temp_);
    // Never written through a link left at the temporary name; holes stay holes where the file
    // system keeps them.
    fd_ = platform::CreateForWrite(temp_, /*noFollow=*/true);
    if (fd_ < 0) {
      *error = "cannot create " + temp_ + ": " + std::strerror(errno);
      temp_.clear();
      return false;
    }
    return true;
  }
  int fd() const { return fd_; }

  // Closes the file and gives it its final name (replacing a file of that name).
  bool Commit(std::string* error) {
    if (fd_ < 0) return false;
    int fd = fd_;
    fd_ = -1;
    if (platform::CloseFile(fd) != 0) {
      *error = "cannot write " + temp_ + ": " + std::strerror(errno);
      Abandon();
      return false;
    }
    if (!platform::RenameReplacing(temp_, final_)) {
      *error = "cannot rename " + temp_ + " to " + final_ + ": " + std::strerror(errno);
      Abandon();
      return false;
    }
    temp_.clear();
    return true;
  }

  void Abandon() {
    if (fd_ >= 0) platform::CloseFile(fd_);
    fd_ = -1;
    if (!temp_.empty()) platform::RemoveFile(temp_);
    temp_.clear();
  }

 private:
  std::string final_, temp_;
  int fd_ = -1;
};

// True when both paths name the same existing file.
inline bool SameFile(const std::string& a, const std::string& b) { return platform::SameFile(a, b); }

}  // namespace orvex
