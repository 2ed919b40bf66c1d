// mkfs.erofs as the pack job starts it: takes the same arguments as the packaged mkfs.erofs.
// Before the build, the source tree gets the owners, modes and capabilities its attribute file
// (<partition>/config/<partition>_fs_config.txt beside the tree) records, so that the image
// carries them. As root the tree itself is changed; otherwise the attributes and the build run
// together under fakeroot, which keeps them for mkfs.erofs without touching the tree.
// mkfs.erofs looks labels up by the path inside the image ("/bin/sh"), while the context file
// names paths under the mount point ("/vendor/bin/sh"); lines added after the unpack (for
// files the user added) get their in-image twin in a copy of the file that the build reads.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "front.h"

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

// The folder that holds `rel` inside the tree, opened one component at a time without following
// a link anywhere (a link in the middle of a path could point out of the tree); -1 when there is
// none. *leaf is the last component.
int OpenParent(int treefd, const std::string& rel, std::string* leaf) {
  int fd = dup(treefd);
  size_t start = 0;
  for (;;) {
    size_t slash = rel.find('/', start);
    if (slash == std::string::npos) {
      *leaf = rel.substr(start);
      return fd;
    }
    const std::string part = rel.substr(start, slash - start);
    start = slash + 1;
    if (part.empty() || part == ".") continue;
    int next = part == ".." ? -1 : openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(fd);
    if (next < 0) return -1;
    fd = next;
  }
}

// Owner, mode and capabilities of one path; links get their owner only. 1 when all were set, 0
// when something could not be (a link on the way counts here), -1 when the path is not there.
int ApplyOne(int treefd, const std::string& rel, const Entry& e) {
  const uid_t uid = static_cast<uid_t>(e.uid);
  const gid_t gid = static_cast<gid_t>(e.gid);
  if (rel.empty()) return fchown(treefd, uid, gid) == 0 && fchmod(treefd, e.mode & 07777) == 0 ? 1 : 0;
  std::string leaf;
  const int parent = OpenParent(treefd, rel, &leaf);
  if (parent < 0) return errno == ENOENT ? -1 : 0;
  struct stat st {};
  bool ok = false;
  if (leaf.empty() || leaf == ".." || fstatat(parent, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    const bool missing = errno == ENOENT;
    close(parent);
    return missing ? -1 : 0;
  }
  {
    ok = fchownat(parent, leaf.c_str(), uid, gid, AT_SYMLINK_NOFOLLOW) == 0;
    if (!S_ISLNK(st.st_mode)) {
      ok = fchmodat(parent, leaf.c_str(), e.mode & 07777, 0) == 0 && ok;
      if (e.hasCaps && e.caps != 0 && S_ISREG(st.st_mode)) {
        // vfs_cap_data revision 2 with the effective flag, as Android sets file capabilities.
        uint32_t data[5] = {0x02000000u | 0x1u, static_cast<uint32_t>(e.caps), 0, static_cast<uint32_t>(e.caps >> 32), 0};
        int fd = openat(parent, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        ok = fd >= 0 && fsetxattr(fd, "security.capability", data, sizeof data, 0) == 0 && ok;
        if (fd >= 0) close(fd);
      }
    }
  }
  close(parent);
  return ok ? 1 : 0;
}

// Applies the attribute file to the tree. Returns the number of paths that could not be set.
int ApplyAttributes(const fs::path& tree, const fs::path& config) {
  const int treefd = open(tree.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (treefd < 0) {
    std::fprintf(stderr, "mkfs.erofs: warning: cannot open %s: %s\n", tree.c_str(), std::strerror(errno));
    return 1;
  }
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
    const int done = ApplyOne(treefd, rel, e);
    if (done > 0) ++applied;
    else if (done == 0) ++failed;  // not there: listed but no longer in the tree
  }
  close(treefd);
  // Standard output is discarded by the pack job; this line belongs in its log.
  std::fprintf(stderr, "mkfs.erofs: attributes of %d paths applied from %s\n", applied, config.c_str());
  if (failed) std::fprintf(stderr, "mkfs.erofs: warning: attributes of %d paths could not be set\n", failed);
  return failed;
}

int RunReal(const std::vector<std::string>& argsIn) {
  std::vector<char*> args;
  args.push_back(const_cast<char*>(kReal));
  for (const auto& a : argsIn) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    execv(kReal, args.data());
    std::fprintf(stderr, "mkfs.erofs: error: cannot start %s: %s\n", kReal, std::strerror(errno));
    _exit(127);
  }
  if (pid < 0) return 127;
  int st = 0;
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// Applies the attributes, gives added labels their in-image form and runs the build.
int Build(int argc, char** argv, const fs::path& tree, const fs::path& config) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!config.empty()) ApplyAttributes(tree, config);
  std::string temp;
  if (!config.empty()) {
    std::string options = config.string();
    options.replace(options.rfind("_fs_config.txt"), 14, "_fs_options.txt");
    temp = PrepareContexts(args, options);
  }
  int code = RunReal(args);
  if (!temp.empty()) std::remove(temp.c_str());
  return code;
}

}  // namespace

int RunFront(int argc, char** argv) {
  const std::string source = SourceFolder(argc, argv);
  fs::path config;
  if (!source.empty()) {
    fs::path tree = fs::path(source).lexically_normal();
    fs::path owner = tree.parent_path();
    std::string name = owner.empty() ? "" : owner.filename().string();
    if (!name.empty()) config = owner / "config" / (name + "_fs_config.txt");
  }
  std::error_code ec;
  const fs::path tree = fs::path(source).lexically_normal();
  if (config.empty() || !fs::is_regular_file(config, ec) || !fs::is_directory(source, ec))
    return RunReal(std::vector<std::string>(argv + 1, argv + argc));

  if (geteuid() == 0 || std::getenv("FAKEROOTKEY")) return Build(argc, argv, tree, config);
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
  return Build(argc, argv, tree, fs::path());
}
