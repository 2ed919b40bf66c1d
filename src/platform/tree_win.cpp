// Trees on Windows. A folder descriptor is an entry of a table of open folders: the folder's full
// path (with the \\?\ prefix, so long paths work) and a handle on it, held without delete sharing
// so that the folder cannot be renamed or removed while it is open. Folder descriptors start far
// above the descriptors of the C runtime, so the two never collide; file descriptors are C
// runtime descriptors over Win32 handles, as in file_io_win.cpp, and platform_io's calls work on
// them. The last part of a name is never followed when it is a reparse point (a symbolic link or
// a junction), and names Windows cannot hold as they are (see WindowsNameStorable) are refused
// with EINVAL rather than reinterpreted: "a:b" would name a stream of "a", "nul" the null device.
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winioctl.h>
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "platform.h"
#include "platform_tree.h"
#include "win_errno.h"

namespace orvex::platform {

namespace {

constexpr int kFirstFolderDescriptor = 1 << 24;
// 100-ns intervals from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDifference = 116444736000000000LL;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct Folder {
  std::wstring path;  // \\?\C:\... without a trailing separator (except at a drive's root)
  HANDLE handle = INVALID_HANDLE_VALUE;
};

std::mutex gMutex;
std::map<int, Folder> gFolders;
int gNextFolder = kFirstFolderDescriptor;

void Fail() { detail::SetErrnoFromWin32(GetLastError()); }

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                                    nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Utf8(const wchar_t* w, size_t len) {
  if (len == 0) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(len), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(len), out.data(), n, nullptr, nullptr);
  return out;
}

bool FolderPathOf(int dirfd, std::wstring* path) {
  std::lock_guard<std::mutex> lock(gMutex);
  const auto it = gFolders.find(dirfd);
  if (it == gFolders.end()) {
    errno = EBADF;
    return false;
  }
  *path = it->second.path;
  return true;
}

// The length of the part of a \\?\ path that ".." never climbs above (\\?\C:\ or \\?\UNC\server\share\).
size_t RootLength(const std::wstring& p) {
  if (p.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    size_t server = p.find(L'\\', 8);
    if (server == std::wstring::npos) return p.size();
    size_t share = p.find(L'\\', server + 1);
    return share == std::wstring::npos ? p.size() : share + 1;
  }
  const size_t first = p.find(L'\\', 4);
  return first == std::wstring::npos ? p.size() : first + 1;
}

// The full path of name inside the folder dirfd. Parts are separated by '/' or '\'; "." stays,
// ".." goes up (never above the drive or share). Every other part must be a name Windows holds as
// it is.
bool PathAt(int dirfd, const std::string& name, std::wstring* out) {
  std::wstring path;
  if (!FolderPathOf(dirfd, &path)) return false;
  if (name.empty()) {
    errno = ENOENT;
    return false;
  }
  const size_t root = RootLength(path);
  size_t pos = 0;
  while (pos <= name.size()) {
    size_t end = name.find_first_of("/\\", pos);
    if (end == std::string::npos) end = name.size();
    const std::string part = name.substr(pos, end - pos);
    pos = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (path.size() > root) path.resize(std::max(path.find_last_of(L'\\'), root));
      continue;
    }
    if (!WindowsNameStorable(part)) {
      errno = EINVAL;
      return false;
    }
    if (path.back() != L'\\') path += L'\\';
    path += Wide(part);
  }
  *out = std::move(path);
  return true;
}

// \\?\ form of a path as the user wrote it (relative, with '/', a UNC share...).
std::wstring LongPath(const std::string& utf8) {
  const std::wstring w = Wide(utf8);
  if (w.rfind(L"\\\\?\\", 0) == 0) return w;
  const DWORD need = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
  if (need == 0) return {};
  std::wstring full(need, L'\0');
  const DWORD n = GetFullPathNameW(w.c_str(), need, full.data(), nullptr);
  if (n == 0 || n >= need) return {};
  full.resize(n);
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

HANDLE OpenHandle(const std::wstring& path, DWORD access, DWORD disposition, DWORD flags) {
  return CreateFileW(path.c_str(), access, kShareAll, nullptr, disposition, flags, nullptr);
}

// Registers an open folder handle as a descriptor (or closes it on failure).
int AddFolder(std::wstring path, HANDLE h) {
  BY_HANDLE_FILE_INFORMATION fi;
  if (!GetFileInformationByHandle(h, &fi)) {
    Fail();
    CloseHandle(h);
    return -1;
  }
  if (!(fi.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    CloseHandle(h);
    errno = ENOTDIR;
    return -1;
  }
  while (path.size() > RootLength(path) && path.back() == L'\\') path.pop_back();
  std::lock_guard<std::mutex> lock(gMutex);
  if (gNextFolder == INT32_MAX) {  // two thousand million folders later: find a free number
    gNextFolder = kFirstFolderDescriptor;
    while (gFolders.count(gNextFolder)) ++gNextFolder;
  }
  const int fd = gNextFolder++;
  gFolders[fd] = Folder{std::move(path), h};
  return fd;
}

// A folder handle: reading and setting its attributes (times), listing; no delete sharing, so the
// folder stays where it is while it is open. A folder where this user may not set attributes
// still opens, for reading.
HANDLE OpenFolderHandle(const std::wstring& path, DWORD extraFlags) {
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | extraFlags;
  HANDLE h = CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, share,
                         nullptr, OPEN_EXISTING, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
    h = CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING, flags,
                    nullptr);
  return h;
}

HANDLE HandleOfDescriptor(int fd) {
  {
    std::lock_guard<std::mutex> lock(gMutex);
    const auto it = gFolders.find(fd);
    if (it != gFolders.end()) return it->second.handle;
  }
  if (fd < 0 || fd >= kFirstFolderDescriptor) return INVALID_HANDLE_VALUE;
  return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

int64_t FromFileTime(const FILETIME& ft, uint32_t* nsec) {
  const int64_t t = static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) -
                    kEpochDifference;
  int64_t sec = t / 10000000, rest = t % 10000000;
  if (rest < 0) {
    rest += 10000000;
    --sec;
  }
  *nsec = static_cast<uint32_t>(rest * 100);
  return sec;
}

bool ToFileTime(int64_t sec, uint32_t nsec, FILETIME* ft) {
  // Windows counts from 1601; earlier times, and ones past what 64 bits of 100 ns hold, are refused.
  if (nsec >= 1000000000u || sec < -kEpochDifference / 10000000 || sec > (INT64_MAX - kEpochDifference) / 10000000 - 1) {
    errno = EINVAL;
    return false;
  }
  const uint64_t v = static_cast<uint64_t>(sec * 10000000 + kEpochDifference + nsec / 100);
  ft->dwLowDateTime = static_cast<DWORD>(v);
  ft->dwHighDateTime = static_cast<DWORD>(v >> 32);
  return true;
}

void Fill(const BY_HANDLE_FILE_INFORMATION& fi, EntryInfo* info) {
  using K = EntryInfo::Kind;
  const DWORD a = fi.dwFileAttributes;
  const bool folder = a & FILE_ATTRIBUTE_DIRECTORY;
  info->kind = (a & FILE_ATTRIBUTE_REPARSE_POINT) ? K::kLink : folder ? K::kFolder : K::kFile;
  // Windows has no modes: files read as 0644, folders as 0755, without the write bits when the
  // entry is read-only.
  info->mode = folder ? 0755 : 0644;
  if (a & FILE_ATTRIBUTE_READONLY) info->mode &= ~0222u;
  info->uid = info->gid = 0;
  info->size = folder ? 0 : (static_cast<uint64_t>(fi.nFileSizeHigh) << 32) | fi.nFileSizeLow;
  info->mtime = FromFileTime(fi.ftLastWriteTime, &info->mtimeNsec);
  info->atime = FromFileTime(fi.ftLastAccessTime, &info->atimeNsec);
  info->device = fi.dwVolumeSerialNumber;
  info->inode = (static_cast<uint64_t>(fi.nFileIndexHigh) << 32) | fi.nFileIndexLow;
  info->links = fi.nNumberOfLinks;
  info->rdevMajor = info->rdevMinor = 0;
}

// What the entry at path is, without following it: its attributes, or INVALID_FILE_ATTRIBUTES.
DWORD AttributesAt(const std::wstring& path) { return GetFileAttributesW(path.c_str()); }

bool NotSupported() {
  errno = ENOTSUP;
  return false;
}

// The C runtime descriptor of a file handle (the handle is closed when that fails). The handle is
// not inherited by child processes: CreateFileW made it so.
int Descriptor(HANDLE h, int flags) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY);
  if (fd < 0) {
    CloseHandle(h);
    errno = EMFILE;
  }
  return fd;
}

// A reparse point refused as the last part of a name: ELOOP, as O_NOFOLLOW reports.
bool RefuseReparsePoint(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION fi;
  if (!GetFileInformationByHandle(h, &fi)) {
    Fail();
    CloseHandle(h);
    return true;
  }
  if (fi.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    CloseHandle(h);
    errno = ELOOP;
    return true;
  }
  if (fi.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    CloseHandle(h);
    errno = EISDIR;
    return true;
  }
  return false;
}

// The reparse data of symbolic links and junctions (the layout Windows documents for
// FSCTL_GET_REPARSE_POINT).
struct ReparseHeader {
  DWORD tag;
  WORD dataLength;
  WORD reserved;
  WORD substituteOffset, substituteLength, printOffset, printLength;
};

}  // namespace

bool TreeKeepsLinks() { return false; }
bool TreeKeepsNodes() { return false; }
bool TreeKeepsOwners() { return false; }
bool TreeFoldsCase() { return true; }
bool TreeNameStorable(const std::string& name) { return WindowsNameStorable(name); }

int OpenFolder(const std::string& path) {
  std::wstring full = LongPath(path);
  if (full.empty()) {
    errno = path.empty() ? ENOENT : EINVAL;
    return -1;
  }
  HANDLE h = OpenFolderHandle(full, 0);
  if (h == INVALID_HANDLE_VALUE) {
    Fail();
    return -1;
  }
  return AddFolder(std::move(full), h);
}

int OpenFolderAt(int dirfd, const std::string& name) {
  std::wstring full;
  if (!PathAt(dirfd, name, &full)) return -1;
  HANDLE h = OpenFolderHandle(full, FILE_FLAG_OPEN_REPARSE_POINT);
  if (h == INVALID_HANDLE_VALUE) {
    Fail();
    return -1;
  }
  BY_HANDLE_FILE_INFORMATION fi;
  if (GetFileInformationByHandle(h, &fi) && (fi.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    CloseHandle(h);
    errno = ELOOP;
    return -1;
  }
  return AddFolder(std::move(full), h);
}

int MakeFolderAt(int dirfd, const std::string& name, unsigned) {
  std::wstring full;
  if (!PathAt(dirfd, name, &full)) return -1;
  if (CreateDirectoryW(full.c_str(), nullptr)) return 0;
  Fail();
  return -1;
}

int CloseFolder(int dirfd) {
  HANDLE h = INVALID_HANDLE_VALUE;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    const auto it = gFolders.find(dirfd);
    if (it == gFolders.end()) {
      errno = EBADF;
      return -1;
    }
    h = it->second.handle;
    gFolders.erase(it);
  }
  return CloseHandle(h) ? 0 : (Fail(), -1);
}

bool ListFolder(int dirfd, std::vector<std::string>* names) {
  std::wstring path;
  if (!FolderPathOf(dirfd, &path)) return false;
  if (path.back() != L'\\') path += L'\\';
  path += L'*';
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileExW(path.c_str(), FindExInfoBasic, &fd, FindExSearchNameMatch, nullptr,
                                 FIND_FIRST_EX_LARGE_FETCH);
  names->clear();
  if (find == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return true;  // a drive's empty root has no "." either
    Fail();
    return false;
  }
  bool ok = true;
  do {
    const std::wstring_view n = fd.cFileName;
    if (n != L"." && n != L"..") names->push_back(Utf8(n.data(), n.size()));
    if (!FindNextFileW(find, &fd)) {
      if (GetLastError() != ERROR_NO_MORE_FILES) {
        Fail();
        ok = false;
      }
      break;
    }
  } while (true);
  const int err = errno;
  FindClose(find);
  errno = err;
  return ok;
}

int CreateFileAt(int dirfd, const std::string& name, unsigned, bool exclusive) {
  std::wstring full;
  if (!PathAt(dirfd, name, &full)) return -1;
  // An existing entry is opened as itself (never through a reparse point) and checked before it
  // is emptied.
  HANDLE h = OpenHandle(full, GENERIC_READ | GENERIC_WRITE, exclusive ? CREATE_NEW : OPEN_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    const DWORD a = AttributesAt(full);
    if (err == ERROR_ACCESS_DENIED && a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY))
      errno = (a & FILE_ATTRIBUTE_REPARSE_POINT) ? ELOOP : EISDIR;
    else
      detail::SetErrnoFromWin32(err);
    return -1;
  }
  if (RefuseReparsePoint(h)) return -1;
  if (!exclusive) {
    FILE_END_OF_FILE_INFO eof{};
    if (!SetFileInformationByHandle(h, FileEndOfFileInfo, &eof, sizeof eof)) {
      Fail();
      CloseHandle(h);
      return -1;
    }
  }
  // Unwritten ranges stay holes on NTFS; a file system without sparse files just refuses.
  DWORD done = 0;
  DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &done, nullptr);
  return Descriptor(h, 0);
}

int OpenFileAt(int dirfd, const std::string& name) {
  std::wstring full;
  if (!PathAt(dirfd, name, &full)) return -1;
  // Times can be set through it, as through a descriptor for reading on Linux, where the user may.
  HANDLE h = OpenHandle(full, GENERIC_READ | FILE_WRITE_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
  if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
    h = OpenHandle(full, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    const DWORD a = AttributesAt(full);
    if (err == ERROR_ACCESS_DENIED && a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY))
      errno = (a & FILE_ATTRIBUTE_REPARSE_POINT) ? ELOOP : EISDIR;
    else
      detail::SetErrnoFromWin32(err);
    return -1;
  }
  if (RefuseReparsePoint(h)) return -1;
  return Descriptor(h, _O_RDONLY);
}

bool RemoveAt(int dirfd, const std::string& name, bool folder) {
  std::wstring full;
  if (!PathAt(dirfd, name, &full)) return false;
  const DWORD a = AttributesAt(full);
  if (a == INVALID_FILE_ATTRIBUTES) {
    Fail();
    return false;
  }
  const bool link = a & FILE_ATTRIBUTE_REPARSE_POINT;
  const bool isFolder = (a & FILE_ATTRIBUTE_DIRECTORY) && !link;
  if (folder != isFolder) {
    errno = folder ? ENOTDIR : EISDIR;
    return false;
  }
  // A read-only entry goes as well, as unlink does with a file without write permission.
  if (a & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(full.c_str(), a & ~DWORD(FILE_ATTRIBUTE_READONLY));
  // A link to a folder is removed as a folder (the link only, never what it names).
  const bool ok = (a & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(full.c_str()) : DeleteFileW(full.c_str());
  if (ok) return true;
  Fail();
  if (a & FILE_ATTRIBUTE_READONLY) {
    const int err = errno;
    SetFileAttributesW(full.c_str(), a);
    errno = err;
  }
  return false;
}

bool RenameAt(int fromDir, const std::string& from, int toDir, const std::string& to) {
  std::wstring f, t;
  if (!PathAt(fromDir, from, &f) || !PathAt(toDir, to, &t)) return false;
  if (MoveFileExW(f.c_str(), t.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  Fail();
  return false;
}

bool HardLinkAt(int fromDir, const std::string& from, int toDir, const std::string& to) {
  std::wstring f, t;
  if (!PathAt(fromDir, from, &f) || !PathAt(toDir, to, &t)) return false;
  if (CreateHardLinkW(t.c_str(), f.c_str(), nullptr)) return true;
  Fail();
  return false;
}

bool MakeLinkAt(const std::string&, int, const std::string&) { return NotSupported(); }

bool ReadLinkAt(int dirfd, const std::string& name, std::string* target) {
  std::wstring full;
  if (!PathAt(dirfd, name, &full)) return false;
  HANDLE h = OpenHandle(full, FILE_READ_ATTRIBUTES, OPEN_EXISTING,
                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
  if (h == INVALID_HANDLE_VALUE) {
    Fail();
    return false;
  }
  std::vector<char> buf(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
  DWORD got = 0;
  const bool ok =
      DeviceIoControl(h, FSCTL_GET_REPARSE_POINT, nullptr, 0, buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr);
  const DWORD err = GetLastError();
  CloseHandle(h);
  if (!ok) {
    if (err == ERROR_NOT_A_REPARSE_POINT) errno = EINVAL;
    else detail::SetErrnoFromWin32(err);
    return false;
  }
  ReparseHeader head;
  if (got < sizeof head) {
    errno = EINVAL;
    return false;
  }
  std::memcpy(&head, buf.data(), sizeof head);
  // Symbolic links carry a flags word before the names; junctions do not.
  size_t names = sizeof head;
  if (head.tag == IO_REPARSE_TAG_SYMLINK) names += sizeof(ULONG);
  else if (head.tag != IO_REPARSE_TAG_MOUNT_POINT) {
    errno = EINVAL;  // some other kind of reparse point (deduplicated or cloud file...)
    return false;
  }
  // The name shown to users; the substitute name (with \??\) when there is none.
  WORD off = head.printOffset, len = head.printLength;
  if (len == 0) off = head.substituteOffset, len = head.substituteLength;
  if (names + off + len > got || len % 2) {
    errno = EIO;
    return false;
  }
  std::wstring w(len / 2, L'\0');
  std::memcpy(w.data(), buf.data() + names + off, len);
  *target = Utf8(w.data(), w.size());
  return true;
}

bool MakeNodeAt(int, const std::string&, NodeKind, uint32_t, uint32_t) { return NotSupported(); }

bool InfoAt(int dirfd, const std::string& name, EntryInfo* info) {
  std::wstring full;
  if (!PathAt(dirfd, name, &full)) return false;
  HANDLE h = OpenHandle(full, FILE_READ_ATTRIBUTES, OPEN_EXISTING,
                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
  if (h == INVALID_HANDLE_VALUE) {
    Fail();
    return false;
  }
  BY_HANDLE_FILE_INFORMATION fi;
  const bool ok = GetFileInformationByHandle(h, &fi);
  if (!ok) Fail();
  const int err = errno;
  CloseHandle(h);
  errno = err;
  if (ok) Fill(fi, info);
  return ok;
}

bool InfoOf(int fd, EntryInfo* info) {
  const HANDLE h = HandleOfDescriptor(fd);
  if (h == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return false;
  }
  BY_HANDLE_FILE_INFORMATION fi;
  if (!GetFileInformationByHandle(h, &fi)) {
    Fail();
    return false;
  }
  Fill(fi, info);
  return true;
}

bool SetOwnerAt(int, const std::string&, uint32_t, uint32_t) { return NotSupported(); }
bool SetMode(int, uint32_t) { return NotSupported(); }
bool SetModeAt(int, const std::string&, uint32_t) { return NotSupported(); }
bool SetXattr(int, const std::string&, const std::string&) { return NotSupported(); }
bool SetXattrAt(int, const std::string&, const std::string&, const std::string&) { return NotSupported(); }
bool GetXattrAt(int, const std::string&, const std::string&, std::string*) { return NotSupported(); }
bool ListXattrsAt(int, const std::string&, std::vector<std::string>*) { return NotSupported(); }

bool SetTimes(int fd, const FileTimes& t) {
  FILETIME a, m;
  if (!ToFileTime(t.atime, t.atimeNsec, &a) || !ToFileTime(t.mtime, t.mtimeNsec, &m)) return false;
  const HANDLE h = HandleOfDescriptor(fd);
  if (h == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return false;
  }
  if (SetFileTime(h, nullptr, &a, &m)) return true;
  Fail();
  return false;
}

bool SetTimesAt(int dirfd, const std::string& name, const FileTimes& t) {
  FILETIME a, m;
  if (!ToFileTime(t.atime, t.atimeNsec, &a) || !ToFileTime(t.mtime, t.mtimeNsec, &m)) return false;
  std::wstring full;
  if (!PathAt(dirfd, name, &full)) return false;
  HANDLE h = OpenHandle(full, FILE_WRITE_ATTRIBUTES, OPEN_EXISTING,
                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
  if (h == INVALID_HANDLE_VALUE) {
    Fail();
    return false;
  }
  const bool ok = SetFileTime(h, nullptr, &a, &m);
  if (!ok) Fail();
  const int err = errno;
  CloseHandle(h);
  errno = err;
  return ok;
}

}  // namespace orvex::platform
#endif
