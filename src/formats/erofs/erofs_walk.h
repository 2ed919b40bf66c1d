#pragma once
// Walks the directory tree of an EROFS image safely: every directory is entered at most once
// (loops and directory hard links are errors), nesting is limited, and entries whose names
// could escape an output folder (empty, "/" inside, NUL inside) or repeat within their
// directory are reported and left out.
#include <cstdint>
#include <string>
#include <string_view>

#include "erofs_image.h"

namespace orvex::erofs {

struct WalkLimits {
  int max_depth = 200;
  // Entries of the directories on the current path are held in memory; their total is bounded.
  uint64_t max_pending_bytes = 256u << 20;
};

struct WalkEntry {
  const std::string& path;  // relative to the root, "" for the root itself, "a/b/c"
  std::string_view name;    // last component, "" for the root
  const Inode& inode;
  int depth;                       // 0 for the root
  const std::string* link_target;  // for an inode met before (hard link): its first path
};

class WalkVisitor {
 public:
  virtual ~WalkVisitor() = default;
  // Called for every entry, a directory before its contents.
  virtual void Visit(const WalkEntry& e) = 0;
  // Called after the contents of a directory.
  virtual void Leave(const WalkEntry& dir) {}
  // An entry that is left out, with the reason.
  virtual void Skip(const std::string& dir_path, const std::string& name, const std::string& why) {}
};

// Throws Error for structural damage (unreadable inodes, loops, too deep nesting).
void WalkTree(const Image& img, WalkVisitor& visitor, const WalkLimits& limits = {});

// True when name may become a file name inside an output folder; otherwise why says the reason.
bool IsSafeName(std::string_view name, std::string* why);

}  // namespace orvex::erofs
