// Files and folders for the Windows erofs programs: UTF-8 names, 64-bit offsets, and the source
// tree as it was in the image. A tree unpacked on Windows holds links as files with their target,
// device nodes, fifos and sockets as empty files, and some names stored in another spelling; the
// entries list (--entries-list=FILE, read once the source folder is known) says which.
// Every path under the source folder is taken with its original names, turned into the stored
// spelling for the file system, and its status reports the kept kind.
#define ORVEX_EROFS_COMPAT_IMPL
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/utime.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "entries_view.h"
#include "erofs_compat.h"
#include "wide.h"

using orvex::erofs_compat::EntriesView;
using orvex::erofs_compat::Utf8ToWide;
using orvex::erofs_compat::WideToUtf8;

namespace {

EntriesView& View() { return orvex::erofs_compat::TheEntriesView(); }

// The path to hand to Windows for a path the programs use.
std::wstring Native(const char* path, std::string* storedRel = nullptr, bool* inTree = nullptr) {
  std::string p = View().ToStored(path, storedRel, inTree);
  for (char& c : p)
    if (c == '/') c = '\\';
  // Long paths: absolute drive paths take the \\?\ form, which has no length limit.
  if (p.size() > 2 && p[1] == ':' && p[2] == '\\') return L"\\\\?\\" + Utf8ToWide(p);
  return Utf8ToWide(p);
}

void SetErrnoFromWin32(DWORD e) {
  switch (e) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
      errno = ENOENT;
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      errno = EACCES;
      break;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      errno = EEXIST;
      break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      errno = ENOSPC;
      break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      errno = ENOMEM;
      break;
    default:
      errno = EIO;
  }
}

long long FileTimeToUnix(const FILETIME& ft, long* nsec) {
  const unsigned long long t = (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  const long long sinceEpoch = static_cast<long long>(t) - 116444736000000000LL;  // 100 ns units
  long long sec = sinceEpoch / 10000000LL;
  long long rest = sinceEpoch % 10000000LL;
  if (rest < 0) {
    rest += 10000000LL;
    --sec;
  }
  if (nsec) *nsec = static_cast<long>(rest * 100);
  return sec;
}

int FillFromHandle(HANDLE h, struct orvex_stat* st) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) {
    SetErrnoFromWin32(GetLastError());
    return -1;
  }
  std::memset(st, 0, sizeof *st);
  st->st_dev = info.dwVolumeSerialNumber;
  st->st_ino = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  st->st_nlink = info.nNumberOfLinks;
  st->st_size = static_cast<long long>((static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
  st->st_mtime = FileTimeToUnix(info.ftLastWriteTime, &st->st_mtime_nsec);
  st->st_atime = FileTimeToUnix(info.ftLastAccessTime, nullptr);
  st->st_ctime = st->st_mtime;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    st->st_mode = S_IFDIR | 0755;
    st->st_size = 0;
  } else {
    st->st_mode = S_IFREG | 0644;
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) st->st_mode = S_IFLNK | 0777;
  return 0;
}

int StatPath(const char* path, struct orvex_stat* st) {
  std::string rel;
  bool inTree = false;
  const std::wstring native = Native(path, &rel, &inTree);
  HANDLE h = CreateFileW(native.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    SetErrnoFromWin32(GetLastError());
    return -1;
  }
  const int rc = FillFromHandle(h, st);
  CloseHandle(h);
  if (rc != 0) return rc;
  if (S_ISLNK(st->st_mode)) {
    // Trees keep links as files; a native link (made by hand) is not followed nor guessed at.
    std::fprintf(stderr,
                 "<E> erofs: %s is a Windows link: links in the tree are kept as files listed in the entries list\n",
                 path);
    errno = EINVAL;
    return -1;
  }
  if (!inTree) return 0;
  if (const auto* kept = View().Find(rel)) {
    if (S_ISDIR(st->st_mode)) return 0;  // a folder is never a kept entry
    switch (kept->kind) {
      case EntriesView::Kind::kLink:
        st->st_mode = S_IFLNK | 0777;
        st->st_size = static_cast<long long>(kept->target.size());
        break;
      case EntriesView::Kind::kChar:
      case EntriesView::Kind::kBlock:
        st->st_mode = (kept->kind == EntriesView::Kind::kChar ? S_IFCHR : S_IFBLK) | 0644;
        st->st_rdev = makedev(kept->major, kept->minor);
        st->st_size = 0;
        break;
      case EntriesView::Kind::kFifo:
        st->st_mode = S_IFIFO | 0644;
        st->st_size = 0;
        break;
      case EntriesView::Kind::kSocket:
        st->st_mode = S_IFSOCK | 0644;
        st->st_size = 0;
        break;
    }
  }
  return 0;
}

}  // namespace

struct orvex_dir {
  std::vector<std::pair<std::string, unsigned char>> entries;
  size_t next = 0;
  orvex_dirent current{};
};

extern "C" {

char* orvex_realpath(const char* path, char* resolved) {
  const std::wstring in = Utf8ToWide(path);
  DWORD n = GetFullPathNameW(in.c_str(), 0, nullptr, nullptr);
  if (n == 0) {
    SetErrnoFromWin32(GetLastError());
    return nullptr;
  }
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(in.c_str(), n, full.data(), nullptr);
  full.resize(n);
  while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
  if (GetFileAttributesW(full.c_str()) == INVALID_FILE_ATTRIBUTES) {
    SetErrnoFromWin32(GetLastError());
    return nullptr;
  }
  std::string out = WideToUtf8(full);
  for (char& c : out)
    if (c == '\\') c = '/';
  // mkfs.erofs resolves its source folder once: that is the tree the entries list describes.
  if (!View().HasRoot()) {
    std::string error;
    if (!View().Start(out, &error)) {
      std::fprintf(stderr, "<E> erofs: %s\n", error.c_str());
      errno = EINVAL;
      return nullptr;
    }
  }
  if (resolved) {
    if (out.size() >= PATH_MAX) {
      errno = ENAMETOOLONG;
      return nullptr;
    }
    std::memcpy(resolved, out.c_str(), out.size() + 1);
    return resolved;
  }
  return strdup(out.c_str());
}

int orvex_lstat(const char* path, struct orvex_stat* st) { return StatPath(path, st); }

int orvex_stat(const char* path, struct orvex_stat* st) { return StatPath(path, st); }

int orvex_fstat(int fd, struct orvex_stat* st) {
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (h == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return -1;
  }
  if (GetFileType(h) != FILE_TYPE_DISK) {
    std::memset(st, 0, sizeof *st);
    st->st_mode = S_IFCHR | 0666;
    return 0;
  }
  return FillFromHandle(h, st);
}

orvex_DIR* orvex_opendir(const char* path) {
  std::string rel;
  bool inTree = false;
  std::wstring native = Native(path, &rel, &inTree);
  native += L"\\*";
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(native.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) {
    SetErrnoFromWin32(GetLastError());
    return nullptr;
  }
  auto* dir = new orvex_dir;
  do {
    const std::wstring name = fd.cFileName;
    if (name == L"." || name == L"..") continue;
    std::string stored = WideToUtf8(name);
    const bool isDir = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                       !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    std::string shown = inTree ? View().OriginalName(rel, stored) : stored;
    dir->entries.emplace_back(std::move(shown), isDir ? DT_DIR : DT_UNKNOWN);
  } while (FindNextFileW(h, &fd));
  const DWORD last = GetLastError();
  FindClose(h);
  if (last != ERROR_NO_MORE_FILES) {
    delete dir;
    SetErrnoFromWin32(last);
    return nullptr;
  }
  return dir;
}

struct orvex_dirent* orvex_readdir(orvex_DIR* dir) {
  if (dir->next >= dir->entries.size()) return nullptr;  // the end: errno untouched
  const auto& e = dir->entries[dir->next++];
  if (e.first.size() >= sizeof dir->current.d_name) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  std::memcpy(dir->current.d_name, e.first.c_str(), e.first.size() + 1);
  dir->current.d_type = e.second;
  dir->current.d_ino = dir->next;
  return &dir->current;
}

int orvex_closedir(orvex_DIR* dir) {
  delete dir;
  return 0;
}

int orvex_open(const char* path, int flags, ...) {
  int mode = 0;
  if (flags & O_CREAT) {
    va_list ap;
    va_start(ap, flags);
    mode = va_arg(ap, int);
    va_end(ap);
  }
  const std::wstring native = Native(path);
  return _wopen(native.c_str(), flags | O_BINARY | O_NOINHERIT, (mode & 0200) ? (_S_IREAD | _S_IWRITE) : _S_IREAD);
}

FILE* orvex_fopen(const char* path, const char* mode) {
  std::string m = mode;
  if (m.find('b') == std::string::npos) m += 'b';
  return _wfopen(Native(path).c_str(), Utf8ToWide(m).c_str());
}

long orvex_readlink(const char* path, char* buf, size_t size) {
  std::string rel;
  bool inTree = false;
  Native(path, &rel, &inTree);
  const auto* kept = inTree ? View().Find(rel) : nullptr;
  if (!kept || kept->kind != EntriesView::Kind::kLink) {
    errno = EINVAL;
    return -1;
  }
  const size_t n = kept->target.size() < size ? kept->target.size() : size;
  std::memcpy(buf, kept->target.data(), n);
  return static_cast<long>(n);
}

// Positioned reads and writes that, as on Linux, leave the descriptor's own position alone.
long orvex_pread64(int fd, void* buf, size_t len, long long offset) {
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (h == INVALID_HANDLE_VALUE || offset < 0) {
    errno = h == INVALID_HANDLE_VALUE ? EBADF : EINVAL;
    return -1;
  }
  LARGE_INTEGER zero{}, was{};
  SetFilePointerEx(h, zero, &was, FILE_CURRENT);
  if (len > 0x40000000) len = 0x40000000;
  OVERLAPPED ov{};
  ov.Offset = static_cast<DWORD>(offset);
  ov.OffsetHigh = static_cast<DWORD>(static_cast<unsigned long long>(offset) >> 32);
  DWORD got = 0;
  const BOOL ok = ReadFile(h, buf, static_cast<DWORD>(len), &got, &ov);
  const DWORD err = GetLastError();
  SetFilePointerEx(h, was, nullptr, FILE_BEGIN);
  if (!ok) {
    if (err == ERROR_HANDLE_EOF) return 0;
    SetErrnoFromWin32(err);
    return -1;
  }
  return static_cast<long>(got);
}

long orvex_pwrite64(int fd, const void* buf, size_t len, long long offset) {
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (h == INVALID_HANDLE_VALUE || offset < 0) {
    errno = h == INVALID_HANDLE_VALUE ? EBADF : EINVAL;
    return -1;
  }
  LARGE_INTEGER zero{}, was{};
  SetFilePointerEx(h, zero, &was, FILE_CURRENT);
  if (len > 0x40000000) len = 0x40000000;
  OVERLAPPED ov{};
  ov.Offset = static_cast<DWORD>(offset);
  ov.OffsetHigh = static_cast<DWORD>(static_cast<unsigned long long>(offset) >> 32);
  DWORD put = 0;
  const BOOL ok = WriteFile(h, buf, static_cast<DWORD>(len), &put, &ov);
  const DWORD err = GetLastError();
  SetFilePointerEx(h, was, nullptr, FILE_BEGIN);
  if (!ok) {
    SetErrnoFromWin32(err);
    return -1;
  }
  return static_cast<long>(put);
}

int orvex_ftruncate(int fd, long long length) {
  const errno_t e = _chsize_s(fd, length);
  if (e != 0) {
    errno = e;
    return -1;
  }
  return 0;
}

int orvex_fsync(int fd) { return _commit(fd); }

int orvex_ioctl(int, unsigned long, ...) {
  errno = ENOTTY;
  return -1;
}

int orvex_mkdir(const char* path, int) { return _wmkdir(Native(path).c_str()); }

int orvex_chmod(const char* path, int mode) {
  return _wchmod(Native(path).c_str(), (mode & 0200) ? (_S_IREAD | _S_IWRITE) : _S_IREAD);
}

// What an NTFS folder cannot hold is refused, so that an extraction says what it left out.
int orvex_lchown(const char*, unsigned, unsigned) {
  errno = EPERM;
  return -1;
}

int orvex_symlink(const char*, const char*) {
  errno = EPERM;
  return -1;
}

int orvex_mknod(const char*, unsigned, unsigned long long) {
  errno = EPERM;
  return -1;
}

int orvex_utime(const char* path, const struct utimbuf* times) {
  struct __utimbuf64 t;
  t.actime = times->actime;
  t.modtime = times->modtime;
  return _wutime64(Native(path).c_str(), &t);
}

}  // extern "C"
