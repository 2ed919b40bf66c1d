// Image file access on Linux: the POSIX calls themselves.
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform_io.h"

namespace orvex::platform {

int OpenForRead(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }
int CreateForWrite(const std::string& path, bool noFollow) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | (noFollow ? O_NOFOLLOW : 0), 0644);
}
int CreateNewFile(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}
int OpenForUpdate(const std::string& path) { return ::open(path.c_str(), O_RDWR | O_CLOEXEC); }
int CloseFile(int fd) { return ::close(fd); }
bool SyncFile(int fd) { return ::fsync(fd) == 0; }

int64_t ReadAt(int fd, void* buf, size_t len, uint64_t offset) {
  return ::pread(fd, buf, len, static_cast<off_t>(offset));
}
int64_t WriteAt(int fd, const void* buf, size_t len, uint64_t offset) {
  return ::pwrite(fd, buf, len, static_cast<off_t>(offset));
}

bool IsRegularFile(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

int64_t SizeOfFile(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return -1;
  // A block device tells its size only through its end.
  if (S_ISBLK(st.st_mode)) return static_cast<int64_t>(::lseek(fd, 0, SEEK_END));
  return static_cast<int64_t>(st.st_size);
}
bool SetFileSize(int fd, uint64_t size) { return ::ftruncate(fd, static_cast<off_t>(size)) == 0; }

Region NextDataRegion(int fd, uint64_t offset, uint64_t* dataStart, uint64_t* dataEnd) {
  const off_t d = ::lseek(fd, static_cast<off_t>(offset), SEEK_DATA);
  if (d < 0) return errno == ENXIO ? Region::kOnlyHole : Region::kUnknown;
  const off_t h = ::lseek(fd, d, SEEK_HOLE);
  *dataStart = static_cast<uint64_t>(d);
  *dataEnd = h < 0 ? UINT64_MAX : static_cast<uint64_t>(h);
  return Region::kData;
}

int64_t CopyRange(int in, uint64_t inOffset, int out, uint64_t outOffset, uint64_t len) {
  loff_t i = static_cast<loff_t>(inOffset), o = static_cast<loff_t>(outOffset);
  return ::copy_file_range(in, &i, out, &o, static_cast<size_t>(len), 0);
}

PathKind KindOf(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return PathKind::kMissing;
  if (S_ISLNK(st.st_mode)) return PathKind::kLink;
  if (S_ISDIR(st.st_mode)) return PathKind::kFolder;
  return S_ISREG(st.st_mode) ? PathKind::kFile : PathKind::kOther;
}
bool RenameReplacing(const std::string& from, const std::string& to) { return ::rename(from.c_str(), to.c_str()) == 0; }
bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }
bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace orvex::platform
#endif
