#pragma once
// The naming rules every job shares and the small file and folder operations they call.
#include <cstdint>
#include <istream>
#include <string>

#include "context.h"

namespace orvex {

// Derived names of a path: for /fw/system.img Dir "/fw/", FileName "system.img", Name "system",
// Ext "img" (lower-cased), Folder "/fw/system", LName "system".
struct JobNames {
  std::string path;      // trailing separators removed
  std::string dir;       // with its trailing separator; empty for a bare name
  std::string fileName;  // file part with extension
  std::string name;      // file part without its last extension
  std::string ext;       // last extension, lower-cased, without the dot
  std::string rawExt;    // last extension as spelled in the file name
  std::string folder;    // dir + name
  std::string lname;     // name lower-cased
};
JobNames DeriveNames(const std::string& path);
// Removes trailing separators (a path made only of separators keeps one).
std::string StripTrailingSeparators(const std::string& path);
// a + separator + b, without doubling a separator that a already ends in.
std::string JoinPath(const std::string& a, const std::string& b);

// Removes the unpack folder that belongs to path (path without its last extension) when it
// holds entries, logging the step; with recreate the folder exists afterwards. Always 0.
int RemoveFolder(Context& ctx, const std::string& path, bool recreate);
// -1 when the folder cannot be listed, 1 when it holds no entry, 0 otherwise.
int IsFolderEmpty(const std::string& folder);
// Total size of all files under folder; links and junctions are never followed.
int64_t FolderSize(const std::string& folder);
// "512 bytes", "1.50 KB", "1023 KB", "10.00 GB", "-2.00 KB".
std::string FormatSize(int64_t bytes);
// Reads "key: value" lines; see the file formats of the unpack folder. Leaves the stream at
// its start.
std::string ReadKeyValue(std::istream& file, const std::string& key, const std::string& defaultValue = "",
                         int occurrence = 1, const std::string& section = "", const std::string& stopKey = "");
// The same on a file by path; the default when it cannot be opened.
std::string ReadKeyValueFile(const std::string& path, const std::string& key, const std::string& defaultValue = "");
// 1 when the path went to the recycle bin (trash), 0 otherwise.
int RecycleDelete(const std::string& path);
// name + "(n)" suffix + ".img" free in folder when Index_Add is 1; without the folder.
std::string UniqueImageName(Context& ctx, const std::string& folder, const std::string& name);
// 1 on a 64-bit host.
int Is64BitWindows();
// Packs every non-empty partition folder of the enabled Pack_* groups. Always 0.
int PackPartitionFolders(Context& ctx, const std::string& folder);

// Size of a file in bytes; -1 missing, -2 folder.
int64_t FileSize(const std::string& path);
bool FileExists(const std::string& path);
// Deletes a file (also when read-only); false when it was not there or could not go.
bool DeleteFile(const std::string& path);
bool RenameFile(const std::string& from, const std::string& to);
bool CreateFolder(const std::string& path);  // with parents; an existing folder is no error
std::string ReadWholeFile(const std::string& path, bool* ok = nullptr);
bool WriteWholeFile(const std::string& path, const std::string& bytes);

}  // namespace orvex
