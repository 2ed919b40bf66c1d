#pragma once
// The attribute file (AOSP canned fs_config text): one "path uid gid mode [capabilities=0x..]"
// line per path, mode in octal. Paths carry the mount point folder as their first component
// ("system/bin/sh"); the root is the mount point folder itself ("system").
//
// Reading is done from the right so that a path containing blanks survives: the last tokens are
// optional key=value words, then mode, gid and uid; everything before them is the path.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace orvex::ext4 {

struct FsConfigEntry {
  std::string path;
  uint32_t uid = 0;
  uint32_t gid = 0;
  uint32_t mode = 0;  // permission bits only (07777)
  uint64_t capabilities = 0;
};

// Parses one line (without its line end). Returns nullopt for blank and comment lines; sets
// *error and returns nullopt for an ill-formed line.
std::optional<FsConfigEntry> ParseFsConfigLine(std::string_view line, std::string* error);

// "path uid gid mode[ capabilities=0x...]" with a four-digit octal mode; no line end.
std::string FormatFsConfigLine(const FsConfigEntry& e);

// Normalises a lookup path: no leading or trailing '/', "" for the root.
std::string NormaliseConfigPath(std::string_view p);

class FsConfigTable {
 public:
  // Reads the whole file; the last line of a path wins. False with *error when the file cannot be
  // read or holds an ill-formed line.
  bool Load(const std::string& file, std::string* error);
  void Add(FsConfigEntry e);
  const FsConfigEntry* Find(std::string_view path) const;
  size_t size() const { return by_path_.size(); }

 private:
  std::unordered_map<std::string, FsConfigEntry> by_path_;
};

// Android's usual owner, group and mode for a path that has no entry of its own (modelled on the
// AOSP built-in fs_config tables): directories 0755 root root, files 0644 root root, programs in
// bin and xbin folders 0755 root shell, and a few well-known special cases. path is as in the
// attribute file ("system/bin/sh").
FsConfigEntry AndroidDefaults(std::string_view path, bool is_dir);

inline constexpr uint32_t kAidRoot = 0;
inline constexpr uint32_t kAidShell = 2000;

// security.capability payload (struct vfs_cap_data) <-> 64-bit permitted mask.
std::string EncodeCapabilities(uint64_t permitted);
// Decodes revision 1, 2 and 3 payloads; false when the payload is malformed.
bool DecodeCapabilities(const void* data, size_t len, uint64_t* permitted);

}  // namespace orvex::ext4
