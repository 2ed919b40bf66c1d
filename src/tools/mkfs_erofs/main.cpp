// mkfs.erofs as the pack job starts it: takes the same arguments as the packaged mkfs.erofs.
// Before the build, the source tree gets the owners, modes and capabilities its attribute file
// (<partition>/config/<partition>_fs_config.txt beside the tree) records, so that the image
// carries them. As root the tree itself is changed; otherwise the attributes and the build run
// together under fakeroot, which keeps them for mkfs.erofs without touching the tree.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char* kReal = ORVEX_REAL_MKFS_EROFS;

// The source folder: the last argument that is not an option.
std::string SourceFolder(int argc, char** argv) {
  std::vector<std::string> plain;
  for (int i = 1; i < argc; ++i)
    if (argv[i][0] != '-') plain.push_back(argv[i]);
  return plain.size() >= 2 ? plain.back() : std::string();
}

struct Entry {
  std::string path;
  long uid = 0, gid = 0;
  unsigned mode = 0;
  uint64_t caps = 0;
  bool hasCaps = false;
};

// Parses "path uid gid mode [capabilities=0x...]", reading the numbers from the end so that a
// path may hold blanks.
bool ParseLine(std::string line, Entry& e) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  std::vector<std::string> words;
  std::istringstream in(line);
  std::string w;
  while (in >> w) words.push_back(w);
  if (words.size() < 4) return false;
  size_t n = words.size();
  if (words[n - 1].rfind("capabilities=", 0) == 0) {
    e.caps = std::strtoull(words[n - 1].c_str() + 13, nullptr, 0);
    e.hasCaps = true;
    --n;
  }
  if (n < 4) return false;
  char* end;
  e.mode = static_cast<unsigned>(std::strtoul(words[n - 1].c_str(), &end, 8));
  if (*end) return false;
  e.gid = std::strtol(words[n - 2].c_str(), &end, 10);
  if (*end) return false;
  e.uid = std::strtol(words[n - 3].c_str(), &end, 10);
  if (*end) return false;
  // The path is the line up to the uid word.
  size_t cut = 0;
  for (size_t k = 0; k < n - 3; ++k) cut = line.find(words[k], cut) + words[k].size();
  e.path = line.substr(0, cut);
  while (!e.path.empty() && e.path.front() == ' ') e.path.erase(0, 1);
  return !e.path.empty();
}

// Applies the attribute file to the tree. Returns the number of paths that could not be set.
int ApplyAttributes(const fs::path& tree, const fs::path& config) {
  std::ifstream in(config);
  const std::string top = tree.filename().string();
  std::string line;
  int failed = 0, applied = 0;
  while (std::getline(in, line)) {
    Entry e;
    if (!ParseLine(line, e)) continue;
    // Paths start with the tree's own name; anything that would leave the tree is ignored.
    std::string rel;
    if (e.path == top) rel = "";
    else if (e.path.rfind(top + "/", 0) == 0) rel = e.path.substr(top.size() + 1);
    else continue;
    if (rel.find("..") != std::string::npos && fs::path(rel).lexically_normal().string().rfind("..", 0) == 0) continue;
    fs::path p = rel.empty() ? tree : tree / rel;
    struct stat st {};
    if (lstat(p.c_str(), &st) != 0) continue;  // listed but no longer in the tree
    bool ok = lchown(p.c_str(), static_cast<uid_t>(e.uid), static_cast<gid_t>(e.gid)) == 0;
    if (!S_ISLNK(st.st_mode)) {
      ok = chmod(p.c_str(), e.mode & 07777) == 0 && ok;
      if (e.hasCaps && e.caps != 0 && S_ISREG(st.st_mode)) {
        // vfs_cap_data revision 2 with the effective flag, as Android sets file capabilities.
        uint32_t data[5] = {0x02000000u | 0x1u, static_cast<uint32_t>(e.caps), 0, static_cast<uint32_t>(e.caps >> 32), 0};
        ok = setxattr(p.c_str(), "security.capability", data, sizeof data, 0) == 0 && ok;
      }
    }
    if (ok) ++applied;
    else ++failed;
  }
  // Standard output is discarded by the pack job; this line belongs in its log.
  std::fprintf(stderr, "mkfs.erofs: attributes of %d paths applied from %s\n", applied, config.c_str());
  if (failed) std::fprintf(stderr, "mkfs.erofs: warning: attributes of %d paths could not be set\n", failed);
  return failed;
}

[[noreturn]] void ExecReal(int argc, char** argv) {
  std::vector<char*> args;
  args.push_back(const_cast<char*>(kReal));
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  execv(kReal, args.data());
  std::fprintf(stderr, "mkfs.erofs: error: cannot start %s: %s\n", kReal, std::strerror(errno));
  std::exit(127);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string source = SourceFolder(argc, argv);
  fs::path config;
  if (!source.empty()) {
    fs::path tree = fs::path(source).lexically_normal();
    fs::path owner = tree.parent_path();
    std::string name = owner.empty() ? "" : owner.filename().string();
    if (!name.empty()) config = owner / "config" / (name + "_fs_config.txt");
  }
  std::error_code ec;
  if (config.empty() || !fs::is_regular_file(config, ec) || !fs::is_directory(source, ec)) ExecReal(argc, argv);

  if (geteuid() == 0 || std::getenv("FAKEROOTKEY")) {
    ApplyAttributes(fs::path(source).lexically_normal(), config);
    ExecReal(argc, argv);
  }
  // Not root: run this same step again under fakeroot.
  std::vector<char*> args;
  char fakeroot[] = "fakeroot";
  char dashes[] = "--";
  args.push_back(fakeroot);
  args.push_back(dashes);
  std::string self = fs::read_symlink("/proc/self/exe", ec).string();
  args.push_back(self.data());
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  execvp("fakeroot", args.data());
  std::fprintf(stderr, "mkfs.erofs: warning: not root and fakeroot is missing: owners and capabilities of %s are those of the tree\n",
               source.c_str());
  ExecReal(argc, argv);
}
