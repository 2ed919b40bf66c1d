#pragma once
// Image files by descriptor, the same on both systems: opening by UTF-8 path, positioned reads
// and writes with 64-bit offsets (also on 32-bit Windows), sizes, truncation and the holes of
// sparse files. Errors are reported through errno, as the C library does.
#include <cstddef>
#include <cstdint>
#include <string>

namespace orvex::platform {

// A descriptor for reading, or -1.
int OpenForRead(const std::string& path);
// Creates or empties a file for writing (mode 0644 here), or -1. Where the file system keeps
// holes, the file may have them (NTFS: the file is marked sparse). With noFollow a symbolic link
// in the path's last part is refused instead of written through (Linux; Windows makes no links).
int CreateForWrite(const std::string& path, bool noFollow = false);
// Creates a file that must not exist yet (no link is followed), or -1 (errno EEXIST when it does).
int CreateNewFile(const std::string& path);
// An existing file for reading and writing (an image a library lays out in place), or -1.
int OpenForUpdate(const std::string& path);
int CloseFile(int fd);
// Waits until the file's data has reached the disk (before a rename replaces an older file with
// it). True on success.
bool SyncFile(int fd);

// pread/pwrite: the number of bytes moved, 0 at the end of the file (reads), -1 on an error.
int64_t ReadAt(int fd, void* buf, size_t len, uint64_t offset);
int64_t WriteAt(int fd, const void* buf, size_t len, uint64_t offset);
// The whole buffer, retried after interruptions; false on an error or (reads) the end of the file.
bool ReadAllAt(int fd, void* buf, size_t len, uint64_t offset);
bool WriteAllAt(int fd, const void* buf, size_t len, uint64_t offset);

// True when the descriptor is a regular file (not a folder, device or pipe).
bool IsRegularFile(int fd);
// The size of an open file (of a block device too), or -1.
int64_t SizeOfFile(int fd);
// Sets the size; growing leaves a hole where the file system has them.
bool SetFileSize(int fd, uint64_t size);

// The data region at or after offset: kData with [*dataStart, *dataEnd), kOnlyHole when nothing
// but a hole follows, kUnknown when the file system cannot tell (then everything counts as data).
enum class Region { kData, kOnlyHole, kUnknown };
Region NextDataRegion(int fd, uint64_t offset, uint64_t* dataStart, uint64_t* dataEnd);

// Copies inside the kernel where the system can (copy_file_range): bytes copied, or -1 with errno
// ENOSYS/EXDEV/EINVAL/EOPNOTSUPP when the caller must copy through a buffer.
int64_t CopyRange(int in, uint64_t inOffset, int out, uint64_t outOffset, uint64_t len);

// What a path names, its last part never followed.
enum class PathKind { kMissing, kFile, kFolder, kLink, kOther };
PathKind KindOf(const std::string& path);
// Renames a file, replacing the file of the new name if there is one. True on success.
bool RenameReplacing(const std::string& from, const std::string& to);
// Removes a file or a link (not a folder). True on success.
bool RemoveFile(const std::string& path);
// True when both paths name one existing file (the same file through another name or a link).
bool SameFile(const std::string& a, const std::string& b);

}  // namespace orvex::platform
