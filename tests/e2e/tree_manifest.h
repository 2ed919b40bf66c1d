#pragma once
// A description of every path of a tree: type, mode, owner, size, bytes digest, link target,
// SELinux context and capabilities, read with lstat and lgetxattr (links never followed).
#include <sys/stat.h>
#include <sys/xattr.h>

#include <map>
#include <string>

#include "test_support.h"

namespace orvex::test {

inline std::string XattrHex(const fs::path& p, const char* name) {
  char buf[512];
  ssize_t n = lgetxattr(p.c_str(), name, buf, sizeof buf);
  if (n <= 0) return "";
  std::string s(buf, static_cast<size_t>(n));
  while (!s.empty() && s.back() == '\0') s.pop_back();
  if (std::string(name) == "security.selinux") return s;
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out += hex[c >> 4];
    out += hex[c & 15];
  }
  return out;
}

inline std::string Digest(const fs::path& p) {
  // FNV-1a over the bytes: enough to tell files apart in a test.
  std::string b = ReadFile(p);
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : b) h = (h ^ c) * 1099511628211ull;
  return std::to_string(b.size()) + ":" + std::to_string(h);
}

// path relative to the root -> description; `withOwners` adds uid, gid and the xattrs.
inline std::map<std::string, std::string> Manifest(const fs::path& root, bool withOwners) {
  std::map<std::string, std::string> m;
  auto describe = [&](const fs::path& p) {
    struct stat st {};
    if (lstat(p.c_str(), &st) != 0) return std::string("?");
    std::string d;
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", st.st_mode & 07777);
    if (S_ISREG(st.st_mode)) d = "file " + Digest(p);
    else if (S_ISDIR(st.st_mode)) d = "dir";
    else if (S_ISLNK(st.st_mode)) d = "link " + fs::read_symlink(p).string();
    else d = "special";
    if (!S_ISLNK(st.st_mode)) d += std::string(" mode ") + mode;
    if (withOwners) {
      d += " uid " + std::to_string(st.st_uid) + " gid " + std::to_string(st.st_gid);
      d += " ctx " + XattrHex(p, "security.selinux");
      d += " cap " + XattrHex(p, "security.capability");
    }
    return d;
  };
  m["."] = describe(root);
  for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::none);
       it != fs::recursive_directory_iterator(); ++it) {
    if (it->path().filename() == "lost+found") {
      if (it->is_directory()) it.disable_recursion_pending();
      continue;
    }
    m[fs::relative(it->path(), root).string()] = describe(it->path());
  }
  return m;
}

}  // namespace orvex::test
