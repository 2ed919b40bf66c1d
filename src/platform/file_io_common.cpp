// The retrying whole-buffer forms of the positioned reads and writes.
#include <cerrno>

#include "platform_io.h"

namespace orvex::platform {

bool ReadAllAt(int fd, void* buf, size_t len, uint64_t offset) {
  auto* p = static_cast<unsigned char*>(buf);
  while (len > 0) {
    const int64_t n = ReadAt(fd, p, len, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

bool WriteAllAt(int fd, const void* buf, size_t len, uint64_t offset) {
  auto* p = static_cast<const unsigned char*>(buf);
  while (len > 0) {
    const int64_t n = WriteAt(fd, p, len, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

}  // namespace orvex::platform
