#pragma once
// fspatch: completes the attribute file of an unpacked tree. Every path of the tree that has no
// line gets one with Android's usual owner, group and mode; existing lines stay as they are and
// where they are, new lines are appended with the file's own line end. When a context file sits
// beside the attribute file (same name with "file_contexts" for "fs_config"), every added path
// also gets the context of its nearest labelled parent there. Both files are replaced atomically.
#include <iosfwd>
#include <string>

namespace orvex::ext4 {

// The context file that belongs to an attribute file: the last "fs_config" in the file name
// replaced by "file_contexts" ("system_fs_config.txt" -> "system_file_contexts.txt").
std::string ContextsFileFor(const std::string& fs_config_path);

// Returns the process exit code.
int PatchFsConfig(const std::string& tree, const std::string& fs_config, std::ostream& out,
                  std::ostream& err);

}  // namespace orvex::ext4
