#pragma once
// Helpers for the ext4 tool tests: a source tree with the awkward cases, images made from it by
// mke2fs, tree comparison and config file reading.
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace orvex::test::ext4 {

// Full path of a system program (looked up in PATH and the sbin folders), or "" when missing.
std::string Prog(const std::string& name);
// The built tool under bin/, quoted for the shell.
std::string Tool(const std::string& name);
// Runs a command; the result's output holds stdout and stderr.
CommandResult Sh(const std::string& command);

// Fills root with the test tree. Ownership, capabilities, SELinux labels and device nodes need
// root and are left out otherwise.
void MakeTree(const fs::path& root);

// The capability mask that MakeTree gives bin/sh (cap_net_raw and cap_sys_admin).
inline constexpr unsigned long long kShCaps = (1ull << 13) | (1ull << 21);

// mke2fs -t ext4 -d tree with extra options (for example "-O ^has_journal" or "-b 1024").
// Fails the current test when mke2fs fails.
void MakeImage(const fs::path& tree, const fs::path& image, const std::string& options,
               const std::string& size = "24M");

// Compares two trees entry by entry: types, permission bits, bytes, link targets and, when
// owners is set, owners and the security.* attributes. times compares modification times;
// modes can be switched off for readers that do not restore them.
// Returns the differences, empty when the trees match. Top-level names in skip are ignored.
struct CompareFlags {
  bool owners = false;
  bool times = false;
  bool modes = true;
};
std::vector<std::string> CompareTrees(const fs::path& a, const fs::path& b, CompareFlags flags,
                                      const std::vector<std::string>& skip = {"lost+found"});

// Lines of a text file without their line ends.
std::vector<std::string> Lines(const fs::path& file);
// "key: value" lines of a text file; the first line of a key wins.
std::map<std::string, std::string> KeyValues(const fs::path& file);
// Attribute file lines keyed by path.
std::map<std::string, std::string> FsConfigByPath(const fs::path& file);

// The value of the security.selinux / security.capability attribute of a path (no follow).
std::string XattrOf(const fs::path& p, const char* name);

}  // namespace orvex::test::ext4
