#include "erofs_walk.h"

#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace orvex::erofs {

bool IsSafeName(std::string_view name, std::string* why) {
  const char* reason = nullptr;
  if (name.empty()) reason = "empty name";
  else if (name == "." || name == "..") reason = "name is a dot entry";
  else if (name.find('/') != std::string_view::npos) reason = "name contains '/'";
  else if (name.find('\0') != std::string_view::npos) reason = "name contains a NUL byte";
  if (reason && why) *why = reason;
  return reason == nullptr;
}

namespace {

class Walker {
 public:
  Walker(const Image& img, WalkVisitor& v, const WalkLimits& lim) : img_(img), v_(v), lim_(lim) {}

  void Run() {
    const Inode root = img_.ReadInode(img_.sb().root_nid);
    if (root.type != FileType::kDirectory) throw Error("the root inode is not a directory");
    const std::string path;
    dirs_.insert(root.nid);
    WalkEntry e{path, {}, root, 0, nullptr};
    v_.Visit(e);
    Descend(root, path, 0);
    v_.Leave(e);
  }

 private:
  void Descend(const Inode& dir, const std::string& path, int depth) {
    std::vector<DirEntry> entries = img_.ReadDir(dir);
    uint64_t held = 0;
    for (const auto& d : entries) held += d.name.size() + sizeof(DirEntry);
    pending_ += held;
    if (pending_ > lim_.max_pending_bytes) throw Error("directories too large to walk at /" + path);
    std::unordered_set<std::string_view> seen;
    seen.reserve(entries.size());
    bool dot = false, dotdot = false;
    for (const DirEntry& d : entries) {
      // The directory's own "." and ".." are not extracted; any further one is damage.
      if (d.name == "." && !dot) {
        dot = true;
        continue;
      }
      if (d.name == ".." && !dotdot) {
        dotdot = true;
        continue;
      }
      std::string why;
      if (!IsSafeName(d.name, &why)) {
        v_.Skip(path, d.name, why);
        continue;
      }
      if (!seen.insert(d.name).second) {
        v_.Skip(path, d.name, "the name appears twice in its directory");
        continue;
      }
      const std::string child = path.empty() ? d.name : path + "/" + d.name;
      const Inode ino = img_.ReadInode(d.nid);
      if (ino.type == FileType::kDirectory) {
        if (!dirs_.insert(ino.nid).second)
          throw Error("directory loop: /" + child + " refers to a directory met before (inode " +
                      std::to_string(ino.nid) + ")");
        if (depth + 1 > lim_.max_depth)
          throw Error("directories nested deeper than " + std::to_string(lim_.max_depth) + " levels at /" + child);
        WalkEntry e{child, d.name, ino, depth + 1, nullptr};
        v_.Visit(e);
        Descend(ino, child, depth + 1);
        v_.Leave(e);
      } else if (ino.nlink > 1) {
        auto [it, fresh] = links_.try_emplace(ino.nid, child);
        WalkEntry e{child, d.name, ino, depth + 1, fresh ? nullptr : &it->second};
        v_.Visit(e);
      } else {
        // An inode with one link met twice is damage: it would be written twice.
        if (!singles_.insert(ino.nid).second) {
          v_.Skip(path, d.name, "refers to a file met before (inode " + std::to_string(ino.nid) + ")");
          continue;
        }
        WalkEntry e{child, d.name, ino, depth + 1, nullptr};
        v_.Visit(e);
      }
    }
    pending_ -= held;
  }

  const Image& img_;
  WalkVisitor& v_;
  WalkLimits lim_;
  uint64_t pending_ = 0;
  std::unordered_set<uint64_t> dirs_;
  std::unordered_map<uint64_t, std::string> links_;  // first path of inodes with several links
  std::unordered_set<uint64_t> singles_;              // inodes with one link
};

}  // namespace

void WalkTree(const Image& img, WalkVisitor& visitor, const WalkLimits& limits) {
  Walker(img, visitor, limits).Run();
}

}  // namespace orvex::erofs
