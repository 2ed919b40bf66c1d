// Trees on Linux: the *at calls themselves.
#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform_tree.h"

namespace orvex::platform {

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The /proc path of an entry's link itself, for the calls that have no *at form without
// following links (extended attributes of a link).
std::string ProcPath(int dirfd, const std::string& name) {
  return "/proc/self/fd/" + std::to_string(dirfd) + "/" + name;
}

void Fill(const struct stat& st, EntryInfo* info) {
  using K = EntryInfo::Kind;
  if (S_ISREG(st.st_mode)) info->kind = K::kFile;
  else if (S_ISDIR(st.st_mode)) info->kind = K::kFolder;
  else if (S_ISLNK(st.st_mode)) info->kind = K::kLink;
  else if (S_ISCHR(st.st_mode)) info->kind = K::kChar;
  else if (S_ISBLK(st.st_mode)) info->kind = K::kBlock;
  else if (S_ISFIFO(st.st_mode)) info->kind = K::kFifo;
  else if (S_ISSOCK(st.st_mode)) info->kind = K::kSocket;
  else info->kind = K::kOther;
  info->mode = st.st_mode & 07777;
  info->uid = st.st_uid;
  info->gid = st.st_gid;
  info->size = static_cast<uint64_t>(st.st_size);
  info->mtime = st.st_mtim.tv_sec;
  info->mtimeNsec = static_cast<uint32_t>(st.st_mtim.tv_nsec);
  info->atime = st.st_atim.tv_sec;
  info->atimeNsec = static_cast<uint32_t>(st.st_atim.tv_nsec);
  info->allocated = static_cast<uint64_t>(st.st_blocks) * 512;
  info->device = st.st_dev;
  info->inode = st.st_ino;
  info->links = static_cast<uint32_t>(st.st_nlink);
  info->rdevMajor = major(st.st_rdev);
  info->rdevMinor = minor(st.st_rdev);
}

void ToTimespec(const FileTimes& t, struct timespec ts[2]) {
  ts[0].tv_sec = static_cast<time_t>(t.atime);
  ts[0].tv_nsec = t.atimeNsec;
  ts[1].tv_sec = static_cast<time_t>(t.mtime);
  ts[1].tv_nsec = t.mtimeNsec;
}

}  // namespace

bool TreeKeepsLinks() { return true; }
bool TreeKeepsNodes() { return true; }
bool TreeKeepsOwners() { return true; }
bool TreeFoldsCase() { return false; }
bool TreeNameStorable(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

int OpenFolder(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }
int OpenFolderAt(int dirfd, const std::string& name) {
  const int fd = ::openat(dirfd, name.c_str(), kFolderFlags);
  // With O_DIRECTORY a link reports ENOTDIR; callers are promised ELOOP for links.
  struct stat st;
  if (fd < 0 && errno == ENOTDIR && ::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(st.st_mode))
    errno = ELOOP;
  return fd;
}
int MakeFolderAt(int dirfd, const std::string& name, unsigned mode) {
  return ::mkdirat(dirfd, name.c_str(), static_cast<mode_t>(mode));
}
int CloseFolder(int dirfd) { return ::close(dirfd); }

bool ListFolder(int dirfd, std::vector<std::string>* names) {
  // fdopendir takes the descriptor over, so it gets one of its own.
  int fd = ::openat(dirfd, ".", kFolderFlags);
  if (fd < 0) return false;
  DIR* d = ::fdopendir(fd);
  if (!d) {
    ::close(fd);
    return false;
  }
  names->clear();
  errno = 0;
  while (dirent* de = ::readdir(d)) {
    std::string n = de->d_name;
    if (n != "." && n != "..") names->push_back(std::move(n));
    errno = 0;
  }
  const int err = errno;
  ::closedir(d);
  errno = err;
  return err == 0;
}

int CreateFileAt(int dirfd, const std::string& name, unsigned mode, bool exclusive) {
  const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC);
  return ::openat(dirfd, name.c_str(), flags, static_cast<mode_t>(mode));
}
int OpenFileAt(int dirfd, const std::string& name) {
  return ::openat(dirfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
}
bool RemoveAt(int dirfd, const std::string& name, bool folder) {
  return ::unlinkat(dirfd, name.c_str(), folder ? AT_REMOVEDIR : 0) == 0;
}
bool RenameAt(int fromDir, const std::string& from, int toDir, const std::string& to) {
  return ::renameat(fromDir, from.c_str(), toDir, to.c_str()) == 0;
}
bool HardLinkAt(int fromDir, const std::string& from, int toDir, const std::string& to) {
  return ::linkat(fromDir, from.c_str(), toDir, to.c_str(), 0) == 0;
}
bool MakeLinkAt(const std::string& target, int dirfd, const std::string& name) {
  return ::symlinkat(target.c_str(), dirfd, name.c_str()) == 0;
}
bool ReadLinkAt(int dirfd, const std::string& name, std::string* target) {
  std::string buf(256, '\0');
  for (;;) {
    const ssize_t n = ::readlinkat(dirfd, name.c_str(), buf.data(), buf.size());
    if (n < 0) return false;
    if (static_cast<size_t>(n) < buf.size()) {
      buf.resize(static_cast<size_t>(n));
      *target = std::move(buf);
      return true;
    }
    if (buf.size() >= (1u << 20)) {
      errno = ENAMETOOLONG;
      return false;
    }
    buf.resize(buf.size() * 4);
  }
}

bool MakeNodeAt(int dirfd, const std::string& name, NodeKind kind, uint32_t maj, uint32_t min) {
  mode_t type = S_IFCHR;
  switch (kind) {
    case NodeKind::kChar: type = S_IFCHR; break;
    case NodeKind::kBlock: type = S_IFBLK; break;
    case NodeKind::kFifo: type = S_IFIFO; break;
    case NodeKind::kSocket: type = S_IFSOCK; break;
  }
  const dev_t dev = (kind == NodeKind::kChar || kind == NodeKind::kBlock) ? makedev(maj, min) : 0;
  return ::mknodat(dirfd, name.c_str(), type | 0600, dev) == 0;
}

bool InfoAt(int dirfd, const std::string& name, EntryInfo* info) {
  struct stat st;
  if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  Fill(st, info);
  return true;
}
bool InfoOf(int fd, EntryInfo* info) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  Fill(st, info);
  return true;
}

bool SetOwnerAt(int dirfd, const std::string& name, uint32_t uid, uint32_t gid) {
  return ::fchownat(dirfd, name.c_str(), uid, gid, AT_SYMLINK_NOFOLLOW) == 0;
}
bool SetMode(int fd, uint32_t mode) { return ::fchmod(fd, static_cast<mode_t>(mode & 07777)) == 0; }
bool SetModeAt(int dirfd, const std::string& name, uint32_t mode) {
  return ::fchmodat(dirfd, name.c_str(), static_cast<mode_t>(mode & 07777), 0) == 0;
}
bool SetXattr(int fd, const std::string& key, const std::string& value) {
  return ::fsetxattr(fd, key.c_str(), value.data(), value.size(), 0) == 0;
}
bool SetXattrAt(int dirfd, const std::string& name, const std::string& key, const std::string& value) {
  return ::lsetxattr(ProcPath(dirfd, name).c_str(), key.c_str(), value.data(), value.size(), 0) == 0;
}
bool GetXattrAt(int dirfd, const std::string& name, const std::string& key, std::string* value) {
  const std::string p = ProcPath(dirfd, name);
  for (;;) {
    const ssize_t n = ::lgetxattr(p.c_str(), key.c_str(), nullptr, 0);
    if (n < 0) return false;
    value->assign(static_cast<size_t>(n), '\0');
    const ssize_t got = ::lgetxattr(p.c_str(), key.c_str(), value->data(), value->size());
    if (got >= 0) {
      value->resize(static_cast<size_t>(got));
      return true;
    }
    if (errno != ERANGE) return false;  // it grew between the two calls: ask again
  }
}
bool ListXattrsAt(int dirfd, const std::string& name, std::vector<std::string>* keys) {
  const std::string p = ProcPath(dirfd, name);
  std::string buf;
  for (;;) {
    const ssize_t n = ::llistxattr(p.c_str(), nullptr, 0);
    if (n < 0) return false;
    buf.assign(static_cast<size_t>(n), '\0');
    const ssize_t got = ::llistxattr(p.c_str(), buf.data(), buf.size());
    if (got >= 0) {
      buf.resize(static_cast<size_t>(got));
      break;
    }
    if (errno != ERANGE) return false;
  }
  keys->clear();
  for (size_t pos = 0; pos < buf.size();) {
    const size_t end = buf.find('\0', pos);
    const size_t stop = end == std::string::npos ? buf.size() : end;
    if (stop > pos) keys->push_back(buf.substr(pos, stop - pos));
    pos = stop + 1;
  }
  return true;
}

bool SetTimes(int fd, const FileTimes& t) {
  struct timespec ts[2];
  ToTimespec(t, ts);
  return ::futimens(fd, ts) == 0;
}
bool SetTimesAt(int dirfd, const std::string& name, const FileTimes& t) {
  struct timespec ts[2];
  ToTimespec(t, ts);
  return ::utimensat(dirfd, name.c_str(), ts, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace orvex::platform
#endif
