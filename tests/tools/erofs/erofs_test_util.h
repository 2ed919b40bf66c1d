#pragma once
// Helpers for the EROFS tests: a staging tree with the metadata Android images carry, images
// made from it by the installed mkfs.erofs, snapshots of extracted trees, the config files, and
// the unpack job's renaming rules.
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace orvex::test::erofs {

namespace fs = std::filesystem;

// Builds a staging tree under root. With `privileged` (root only) it also sets owners,
// capabilities, SELinux labels and creates device nodes. `partition` decides the build.prop
// keys written at the root ("" for none).
void MakeSourceTree(const fs::path& root, bool privileged, const std::string& partition = "vendor");

// Runs the installed mkfs.erofs; fails the test on a non-zero exit.
void MakeImage(const fs::path& tree, const fs::path& image, const std::string& options);

struct Node {
  char type = '?';  // f d l c b p s
  uint32_t perms = 0;
  uint32_t uid = 0, gid = 0;
  uint64_t size = 0;
  std::string digest;  // content digest of regular files
  std::string link;    // symlink target
  uint64_t rdev = 0;
  std::string selinux, capability, user_xattrs;
  int64_t mtime = 0;
  std::string hardlink_group;  // sorted names of all paths sharing the inode ("" if single)
};
using Tree = std::map<std::string, Node>;  // relative path -> node ("" is the root)

Tree Snapshot(const fs::path& root);

struct Compare {
  bool owners = true;
  bool xattrs = true;
  bool mtime = true;
  bool hardlinks = true;
  bool specials = true;  // fifos, sockets and device nodes
  bool root_entry = true;
  uint32_t perm_mask = 07777;
};
// Adds a gtest failure for every difference; returns the number of differences.
int ExpectSameTree(const Tree& expected, const Tree& actual, const Compare& what, const std::string& label);

// Runs extract.erofs with the job's command line from the image's folder:
//   extract.erofs -i "<image file>" -x -f -o "<name>" [extra]
// and captures stdout and stderr separately.
struct ToolRun {
  int exit_code = -1;
  std::string out, err;
  std::vector<std::string> ErrorLines() const;  // stderr lines that begin "extract.erofs: error:"
};
ToolRun RunExtract(const fs::path& image, const std::string& extra = "");
ToolRun RunExtractRaw(const std::string& args, const fs::path& cwd);

// Attribute file: path -> "uid gid mode [capabilities=...]".
std::map<std::string, std::string> ReadFsConfig(const fs::path& file);
// Context file: path regex -> context, for every line that is not a comment.
std::map<std::string, std::string> ReadContexts(const fs::path& file);
// First value of a key (text before the first colon, trimmed, any case), as the job reads it.
std::string ReadKey(const fs::path& file, const std::string& key);

// What the unpack job does after a successful extraction: renames the three files to .txt and
// rewrites the options file with its replacements (Type, Expansion, _repack, .img -> .ext, ...).
void ApplyUnpackJobRules(const fs::path& out_folder, const std::string& name, const std::string& ext);
// What the pack job does: runs mkfs.erofs with the recorded options from the image's folder.
CommandResult RunRecordedMkfs(const fs::path& image_dir, const fs::path& options_txt);

std::string DigestOf(const std::string& bytes);

}  // namespace orvex::test::erofs
