// Image file access on Windows: descriptors of the C runtime over Win32 handles. Positioned I/O
// goes through ReadFile/WriteFile with an OVERLAPPED offset, which takes 64-bit offsets on 32-bit
// Windows too; paths are UTF-8 turned into UTF-16.
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winioctl.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform_io.h"
#include "platform.h"
#include "win_errno.h"

namespace orvex::platform {

namespace detail {

void SetErrnoFromWin32(unsigned long err) {
  switch (err) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME: errno = ENOENT; break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT: errno = EACCES; break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: errno = EEXIST; break;
    case ERROR_DIR_NOT_EMPTY: errno = ENOTEMPTY; break;
    case ERROR_DIRECTORY: errno = ENOTDIR; break;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_PARAMETER: errno = EINVAL; break;
    case ERROR_FILENAME_EXCED_RANGE: errno = ENAMETOOLONG; break;
    case ERROR_NOT_SAME_DEVICE: errno = EXDEV; break;
    case ERROR_TOO_MANY_LINKS: errno = EMLINK; break;
    case ERROR_TOO_MANY_OPEN_FILES: errno = EMFILE; break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: errno = ENOMEM; break;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION: errno = ENOTSUP; break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: errno = ENOSPC; break;
    case ERROR_INVALID_HANDLE: errno = EBADF; break;
    default: errno = EIO; break;
  }
}

}  // namespace detail

namespace {

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

void SetErrno(DWORD err) { detail::SetErrnoFromWin32(err); }

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED ov{};
  ov.Offset = static_cast<DWORD>(offset);
  ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return ov;
}

}  // namespace

int OpenForRead(const std::string& path) {
  return _wopen(ToPath(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

int CreateForWrite(const std::string& path, bool) {
  const int fd = _wopen(ToPath(path).c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
                        _S_IREAD | _S_IWRITE);
  if (fd >= 0) {
    // Unwritten ranges stay holes on NTFS; a file system without sparse files just refuses.
    DWORD done = 0;
    DeviceIoControl(HandleOf(fd), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &done, nullptr);
  }
  return fd;
}

int CreateNewFile(const std::string& path) {
  return _wopen(ToPath(path).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                _S_IREAD | _S_IWRITE);
}

int OpenForUpdate(const std::string& path) {
  return _wopen(ToPath(path).c_str(), _O_RDWR | _O_BINARY | _O_NOINHERIT);
}
int CloseFile(int fd) { return _close(fd); }
bool SyncFile(int fd) { return _commit(fd) == 0; }

int64_t ReadAt(int fd, void* buf, size_t len, uint64_t offset) {
  DWORD got = 0;
  OVERLAPPED ov = At(offset);
  const DWORD ask = static_cast<DWORD>(len > (1u << 30) ? (1u << 30) : len);
  if (!ReadFile(HandleOf(fd), buf, ask, &got, &ov)) {
    const DWORD err = GetLastError();
    if (err == ERROR_HANDLE_EOF) return 0;
    SetErrno(err);
    return -1;
  }
  return got;
}

int64_t WriteAt(int fd, const void* buf, size_t len, uint64_t offset) {
  DWORD put = 0;
  OVERLAPPED ov = At(offset);
  const DWORD ask = static_cast<DWORD>(len > (1u << 30) ? (1u << 30) : len);
  if (!WriteFile(HandleOf(fd), buf, ask, &put, &ov)) {
    SetErrno(GetLastError());
    return -1;
  }
  return put;
}

bool IsRegularFile(int fd) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileType(HandleOf(fd)) == FILE_TYPE_DISK && GetFileInformationByHandle(HandleOf(fd), &info) &&
         !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

int64_t SizeOfFile(int fd) { return _filelengthi64(fd); }

// The end of file is moved without writing: the C runtime's _chsize_s would write every byte of
// a growth as zeros, where a sparse file only needs its length.
bool SetFileSize(int fd, uint64_t size) {
  FILE_END_OF_FILE_INFO eof{};
  eof.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  if (SetFileInformationByHandle(HandleOf(fd), FileEndOfFileInfo, &eof, sizeof eof)) return true;
  SetErrno(GetLastError());
  return false;
}

Region NextDataRegion(int fd, uint64_t offset, uint64_t* dataStart, uint64_t* dataEnd) {
  const int64_t size = SizeOfFile(fd);
  if (size < 0) return Region::kUnknown;
  if (offset >= static_cast<uint64_t>(size)) return Region::kOnlyHole;
  FILE_ALLOCATED_RANGE_BUFFER ask{}, got{};
  ask.FileOffset.QuadPart = static_cast<LONGLONG>(offset);
  ask.Length.QuadPart = size - static_cast<LONGLONG>(offset);
  DWORD bytes = 0;
  // The first allocated range after offset; more data may follow it, which the next call finds.
  if (!DeviceIoControl(HandleOf(fd), FSCTL_QUERY_ALLOCATED_RANGES, &ask, sizeof ask, &got, sizeof got, &bytes,
                       nullptr) &&
      GetLastError() != ERROR_MORE_DATA)
    return Region::kUnknown;
  if (bytes < sizeof got) return Region::kOnlyHole;
  *dataStart = static_cast<uint64_t>(got.FileOffset.QuadPart);
  *dataEnd = *dataStart + static_cast<uint64_t>(got.Length.QuadPart);
  if (*dataStart < offset) *dataStart = offset;
  return Region::kData;
}

int64_t CopyRange(int, uint64_t, int, uint64_t, uint64_t) {
  errno = ENOSYS;
  return -1;
}

PathKind KindOf(const std::string& path) {
  const DWORD a = GetFileAttributesW(ToPath(path).c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return PathKind::kMissing;
  if (a & FILE_ATTRIBUTE_REPARSE_POINT) return PathKind::kLink;
  if (a & FILE_ATTRIBUTE_DIRECTORY) return PathKind::kFolder;
  return (a & FILE_ATTRIBUTE_DEVICE) ? PathKind::kOther : PathKind::kFile;
}

bool RenameReplacing(const std::string& from, const std::string& to) {
  if (MoveFileExW(ToPath(from).c_str(), ToPath(to).c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  SetErrno(GetLastError());
  return false;
}

bool RemoveFile(const std::string& path) {
  const std::wstring w = ToPath(path).wstring();
  if (DeleteFileW(w.c_str())) return true;
  // A link to a folder is removed as a folder; the folder it names is left alone.
  return KindOf(path) == PathKind::kLink && RemoveDirectoryW(w.c_str());
}

bool SameFile(const std::string& a, const std::string& b) {
  // The volume and the file index name one file, whatever path reaches it.
  auto identity = [](const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
    HANDLE h = CreateFileW(ToPath(path).c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileInformationByHandle(h, info);
    CloseHandle(h);
    return ok;
  };
  BY_HANDLE_FILE_INFORMATION ia, ib;
  return identity(a, &ia) && identity(b, &ib) && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

}  // namespace orvex::platform
#endif
