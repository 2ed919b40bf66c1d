#pragma once
// A ramdisk as an editable folder: the cpio archive's directories and regular files become a
// folder tree, and every entry's owner, mode and time, with the links, device nodes, fifos and
// sockets that a user cannot always create, go into a list file beside it. Packing reads both.
//
// List file: one line per entry in archive order, fields separated by tabs:
//   path  type  mode  uid  gid  mtime  extra
// type d (directory), f (file), l (symbolic link), c / b (character / block device), p (fifo),
// s (socket); mode in octal without the type bits; extra is the link target or "major,minor".
// Tabs, line breaks and backslashes in names are written as \t, \n, \r and \\.
//
// The list file always holds the archive's own names. A name the folder's file system cannot
// hold (Windows: forbidden characters, case twins) is stored changed in the folder, and the
// entries list beside it (NamesListPath) maps the stored names back; on Linux there is none.
#include <cstdint>
#include <string>
#include <vector>

#include "bootimg/io.h"

namespace orvex::bootimg {

struct ListEntry {
  std::string path;
  char type = 'f';
  uint32_t mode = 0644, uid = 0, gid = 0, mtime = 0;
  std::string target;  // l
  uint32_t rdev_major = 0, rdev_minor = 0;  // c, b
};

std::vector<ListEntry> ReadListFile(const std::string& path);
void WriteListFile(const std::string& path, const std::vector<ListEntry>& entries);

struct ExtractLimits {
  uint64_t max_entries = 1u << 20;
  // Store the names as Windows needs them also where this system could hold them as they are.
  bool windows_names = false;
};

struct ExtractStats {
  uint64_t entries = 0, files = 0, bytes = 0;
};

// Extracts a cpio stream into `folder` (created when missing) and writes the list file. Names
// that would leave the folder, and entries below a link or file of the archive, stop the
// extraction with an Error; nothing is ever written through a link.
ExtractStats ExtractCpio(Reader& cpio, const std::string& folder, const std::string& list_path,
                         const ExtractLimits& limits = {});

// Writes the cpio archive of `folder` with the metadata of the list file: listed entries in
// their order (those gone from the folder are left out; links and nodes come from the list),
// then entries new in the folder in name order with default owners and modes.
void BuildCpio(const std::string& folder, const std::string& list_path, Writer& out);

// The list of names the folder holds changed ("<parent>/<folder name>_windows_entries.txt"):
// names this system cannot store as they are (forbidden characters, names that differ only in
// case where the system folds case). Written only when a name needed it.
std::string NamesListPath(const std::string& folder);

// A digest of the folder's names, types and contents and of the list file: equal digests mean
// an untouched ramdisk.
std::string TreeDigest(const std::string& folder, const std::string& list_path);

}  // namespace orvex::bootimg
