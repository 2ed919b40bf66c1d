#pragma once
// The fuzz input as a file: an anonymous memory file named by its /proc/self/fd path, for readers
// that open images and config files by name.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvex::fuzz {

class InputFile {
 public:
  InputFile(const uint8_t* data, size_t size) {
    fd_ = memfd_create("fuzz-input", 0);
    size_t done = 0;
    while (fd_ >= 0 && done < size) {
      ssize_t n = write(fd_, data + done, size - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
  }
  ~InputFile() {
    if (fd_ >= 0) close(fd_);
  }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

 private:
  int fd_ = -1;
};

}  // namespace orvex::fuzz
