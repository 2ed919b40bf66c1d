#include "file_io.h"

#include <cerrno>
#include <cstring>

#include "platform_io.h"

namespace orvex::multidtb {

namespace platform = orvex::platform;

bool ReadSmallFile(const std::string& path, uint64_t limit, std::string* data, std::string* error) {
  int fd = platform::OpenForRead(path);
  if (fd < 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  const int64_t size = platform::IsRegularFile(fd) ? platform::SizeOfFile(fd) : -1;
  if (size < 0) {
    platform::CloseFile(fd);
    *error = path + ": not a regular file";
    return false;
  }
  if (static_cast<uint64_t>(size) > limit) {
    platform::CloseFile(fd);
    *error = path + ": " + std::to_string(size) + " bytes is more than a device-tree image holds";
    return false;
  }
  data->resize(static_cast<size_t>(size));
  const bool ok = platform::ReadAllAt(fd, data->data(), data->size(), 0);
  platform::CloseFile(fd);
  if (!ok) *error = path + ": read error";
  return ok;
}

bool WriteNewFile(const std::string& path, const std::string& data, std::string* error) {
  const platform::PathKind kind = platform::KindOf(path);
  if (kind != platform::PathKind::kMissing) {
    if (kind == platform::PathKind::kFolder || !platform::RemoveFile(path)) {
      *error = path + ": cannot replace the entry already there";
      return false;
    }
  }
  int fd = platform::CreateNewFile(path);
  if (fd < 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  bool ok = platform::WriteAllAt(fd, data.data(), data.size(), 0);
  ok = platform::CloseFile(fd) == 0 && ok;
  if (!ok) {
    platform::RemoveFile(path);
    *error = path + ": write error (disk full?)";
  }
  return ok;
}

bool ReplaceFile(const std::string& path, const std::string& data, std::string* error) {
  const std::string tmp = path + ".part";
  if (!WriteNewFile(tmp, data, error)) return false;
  if (!platform::RenameReplacing(tmp, path)) {
    *error = path + ": " + std::strerror(errno);
    platform::RemoveFile(tmp);
    return false;
  }
  return true;
}

}  // namespace orvex::multidtb
