#pragma once
// Trees of files, the same on both systems: folders are opened as descriptors and their entries
// are reached relative to them, the last part of a name never followed when it is a link, so a
// tree writer cannot be led outside its folder by a link in the tree. Errors are reported
// through errno, as the C library does.
//
// What the file system cannot hold differs: Linux keeps links, device nodes, owners, modes and
// extended attributes; NTFS keeps none of them, folds the case of names and forbids some
// characters. The Tree* questions tell a tree writer what it has to keep elsewhere (the entries
// list of the unpacked folder's config files); the calls for what the system cannot hold fail
// with ENOTSUP there.
#include <cstdint>
#include <string>
#include <vector>

namespace orvex::platform {

// What entries of a tree this system's file systems keep.
bool TreeKeepsLinks();   // symbolic links
bool TreeKeepsNodes();   // character and block devices, fifos, sockets
bool TreeKeepsOwners();  // owners, all mode bits, extended attributes
bool TreeFoldsCase();    // names that differ only in case name one entry
// True when the name can be one entry of a folder as it is (Windows: no forbidden character, no
// trailing dot or blank, no device name such as CON or NUL). "", "." and ".." never are.
bool TreeNameStorable(const std::string& name);
// The Windows rule of TreeNameStorable, on every system (so that Linux can prepare and check
// trees for Windows): valid UTF-8, no < > : " / \ | ? * or control character, no trailing dot or
// blank, not a device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$, also with an
// extension such as "nul.txt").
bool WindowsNameStorable(const std::string& name);

// A folder by path (links in the path are followed), or -1.
int OpenFolder(const std::string& path);
// A folder inside an open folder, or -1 (ENOTDIR when the entry is not a folder, ELOOP when it
// is a link).
int OpenFolderAt(int dirfd, const std::string& name);
// Creates a folder: 0, or -1 with errno (EEXIST when the name is taken).
int MakeFolderAt(int dirfd, const std::string& name, unsigned mode);
int CloseFolder(int dirfd);
// The names in a folder, without "." and "..", in the order the file system gives them.
bool ListFolder(int dirfd, std::vector<std::string>* names);

// A file for writing (mode used where the system keeps modes): with exclusive the name must not
// exist yet, otherwise an existing file is emptied. A link is never written through. -1 on errors.
int CreateFileAt(int dirfd, const std::string& name, unsigned mode, bool exclusive);
// A file for reading, never through a link, or -1.
int OpenFileAt(int dirfd, const std::string& name);
// Removes a file, link or (folder = true) empty folder.
bool RemoveAt(int dirfd, const std::string& name, bool folder);
// Renames an entry, replacing a file of the new name.
bool RenameAt(int fromDir, const std::string& from, int toDir, const std::string& to);
// A second name for a file.
bool HardLinkAt(int fromDir, const std::string& from, int toDir, const std::string& to);
// A symbolic link holding target (ENOTSUP where TreeKeepsLinks() is false).
bool MakeLinkAt(const std::string& target, int dirfd, const std::string& name);
// The target of a symbolic link (EINVAL when the entry is not a link).
bool ReadLinkAt(int dirfd, const std::string& name, std::string* target);

// Device nodes, fifos and sockets (ENOTSUP where TreeKeepsNodes() is false).
enum class NodeKind { kChar, kBlock, kFifo, kSocket };
bool MakeNodeAt(int dirfd, const std::string& name, NodeKind kind, uint32_t major, uint32_t minor);

// What an entry is, its last part never followed.
struct EntryInfo {
  enum class Kind { kFile, kFolder, kLink, kChar, kBlock, kFifo, kSocket, kOther };
  Kind kind = Kind::kOther;
  uint32_t mode = 0;  // permission bits with set-id and sticky (07777)
  uint32_t uid = 0, gid = 0;
  uint64_t size = 0;
  int64_t mtime = 0;  // seconds since 1970
  uint32_t mtimeNsec = 0;
  int64_t atime = 0;  // last access, seconds since 1970
  uint32_t atimeNsec = 0;
  uint64_t allocated = UINT64_MAX;  // bytes a file takes on disk (less than size with holes); MAX unknown
  uint64_t device = 0, inode = 0;  // together they name one file (hard links share them)
  uint32_t links = 1;
  uint32_t rdevMajor = 0, rdevMinor = 0;
};
bool InfoAt(int dirfd, const std::string& name, EntryInfo* info);
// The same for an open file or folder descriptor.
bool InfoOf(int fd, EntryInfo* info);

// Owners, modes and extended attributes (ENOTSUP where TreeKeepsOwners() is false). The ...At
// forms act on the entry itself, also when it is a link (modes of links are not set anywhere).
bool SetOwnerAt(int dirfd, const std::string& name, uint32_t uid, uint32_t gid);
bool SetMode(int fd, uint32_t mode);
bool SetModeAt(int dirfd, const std::string& name, uint32_t mode);
bool SetXattr(int fd, const std::string& key, const std::string& value);
bool SetXattrAt(int dirfd, const std::string& name, const std::string& key, const std::string& value);
// false with ENODATA when the entry has no such attribute.
bool GetXattrAt(int dirfd, const std::string& name, const std::string& key, std::string* value);
bool ListXattrsAt(int dirfd, const std::string& name, std::vector<std::string>* keys);

// Access and modification times (both systems keep them). The ...At form does not follow a link.
struct FileTimes {
  int64_t atime = 0, mtime = 0;  // seconds since 1970
  uint32_t atimeNsec = 0, mtimeNsec = 0;
};
bool SetTimes(int fd, const FileTimes& t);
bool SetTimesAt(int dirfd, const std::string& name, const FileTimes& t);

}  // namespace orvex::platform
