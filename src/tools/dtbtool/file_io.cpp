#include "file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace orvex::multidtb {

bool ReadSmallFile(const std::string& path, uint64_t limit, std::string* data, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    *error = path + ": not a regular file";
    return false;
  }
  if (static_cast<uint64_t>(st.st_size) > limit) {
    close(fd);
    *error = path + ": " + std::to_string(st.st_size) + " bytes is more than a device-tree image holds";
    return false;
  }
  data->resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < data->size()) {
    ssize_t n = pread(fd, data->data() + done, data->size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = path + ": read error";
      close(fd);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  close(fd);
  return true;
}

static bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool WriteNewFile(const std::string& path, const std::string& data, std::string* error) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode) || unlink(path.c_str()) != 0) {
      *error = path + ": cannot replace the entry already there";
      return false;
    }
  }
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
  if (fd < 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  bool ok = WriteAll(fd, data);
  ok = close(fd) == 0 && ok;
  if (!ok) {
    unlink(path.c_str());
    *error = path + ": write error (disk full?)";
  }
  return ok;
}

bool ReplaceFile(const std::string& path, const std::string& data, std::string* error) {
  const std::string tmp = path + ".part";
  if (!WriteNewFile(tmp, data, error)) return false;
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    *error = path + ": " + std::strerror(errno);
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace orvex::multidtb
