#pragma once
// An output file that appears under its final name only when it is complete: the tool writes
// "{name}.part" and renames it at the end; anything else removes the partial file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

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
    unlink(temp_.c_str());
    fd_ = open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd_ < 0) {
      *error = "cannot create " + temp_ + ": " + strerror(errno);
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
    if (close(fd) != 0) {
      *error = "cannot write " + temp_ + ": " + strerror(errno);
      unlink(temp_.c_str());
      return false;
    }
    if (rename(temp_.c_str(), final_.c_str()) != 0) {
      *error = "cannot rename " + temp_ + " to " + final_ + ": " + strerror(errno);
      unlink(temp_.c_str());
      return false;
    }
    temp_.clear();
    return true;
  }

  void Abandon() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    if (!temp_.empty()) unlink(temp_.c_str());
    temp_.clear();
  }

 private:
  std::string final_, temp_;
  int fd_ = -1;
};

// True when both paths name the same existing file.
inline bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace orvex
