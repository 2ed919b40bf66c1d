#include "erofs_test_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <regex>
#include <sstream>

namespace orvex::test::erofs {

namespace {

std::string Text(size_t n, uint32_t seed) {
  static const char* words[] = {"system", "vendor", "android", "lorem", "ipsum", "kernel", "binder", "zygote",
                                "surface", "flinger", "audio", "camera", "sensor", "radio", "wifi", "bluetooth"};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) {
    s += words[rng() % 16];
    s += (rng() % 9 == 0) ? '\n' : ' ';
  }
  s.resize(n);
  return s;
}

std::string Random(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i += 8) {
    uint64_t v = rng();
    std::memcpy(&s[i], &v, std::min<size_t>(8, n - i));
  }
  return s;
}

// Half compressible text, half noise, in 4 KiB steps: gives both compressed and stored clusters.
std::string Mixed(size_t n, uint32_t seed) {
  std::string s;
  uint32_t k = 0;
  while (s.size() < n) s += (k++ % 3 == 2) ? Random(4096, seed + k) : Text(4096, seed + k);
  s.resize(n);
  return s;
}

void Check(int rc, const std::string& what) {
  if (rc != 0) throw std::runtime_error(what + ": " + std::strerror(errno));
}

std::string CapValue(uint64_t permitted) {
  std::string v(20, '\0');
  const uint32_t words[5] = {0x02000001u, static_cast<uint32_t>(permitted), 0, static_cast<uint32_t>(permitted >> 32), 0};
  std::memcpy(v.data(), words, 20);
  return v;
}

void Label(const fs::path& p, const std::string& ctx) {
  Check(lsetxattr(p.c_str(), "security.selinux", ctx.data(), ctx.size(), 0), "label " + p.string());
}

}  // namespace

std::string DigestOf(const std::string& bytes) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return std::to_string(bytes.size()) + ":" + std::to_string(h);
}

void MakeSourceTree(const fs::path& root, bool privileged, const std::string& partition) {
  fs::create_directories(root);
  for (const char* d : {"bin", "etc/init", "lib64", "app/Some App", "app/\xd0\x94\xd0\xb5\xd0\xbc\xd0\xbe",
                        "deep/a/b/c/d/e/f/g/h", "tmp", "private"})
    fs::create_directories(root / d);
  if (!partition.empty())
    WriteFile(root / "build.prop", "# build properties\nro." + partition + ".build.date=Mon Jan 1\nro." + partition +
                                       ".build.id=TEST.1\nro." + partition + ".build.type=user\n");
  WriteFile(root / "bin/sh", "#!/system/bin/sh\n" + Text(300, 1));
  WriteFile(root / "bin/su", Random(20000, 2));
  WriteFile(root / "etc/empty", "");
  WriteFile(root / "etc/text_5000", Text(5000, 3));
  WriteFile(root / "etc/exact_4096", Text(4096, 4));
  WriteFile(root / "etc/exact_4097", Text(4097, 5));
  WriteFile(root / "etc/zeros", std::string(1 << 20, '\0'));
  WriteFile(root / "etc/hosts", "127.0.0.1 localhost\n");
  WriteFile(root / "etc/init/big.bin", Mixed(3 * 1024 * 1024 + 123, 6));
  WriteFile(root / "etc/init/noise.bin", Random(200000, 7));
  WriteFile(root / "lib64/libc++.so", Mixed(70000, 8));
  WriteFile(root / "etc/a[1].(x)+y", "meta characters\n");
  WriteFile(root / "app/Some App/base.apk", Mixed(50000, 9));
  WriteFile(root / "app/\xd0\x94\xd0\xb5\xd0\xbc\xd0\xbe/\xd0\x94.apk", Mixed(30000, 10));  // Cyrillic names
  WriteFile(root / "deep/a/b/c/d/e/f/g/h/leaf", "deep\n");
  WriteFile(root / (std::string(250, 'n') + ".txt"), "long name\n");
  fs::create_hard_link(root / "etc/hosts", root / "etc/hosts.link");
  fs::create_hard_link(root / "etc/hosts", root / "bin/hosts.again");
  fs::create_symlink("sh", root / "bin/ash");
  fs::create_symlink("/system/etc/hosts", root / "etc/abs_link");
  fs::create_symlink(std::string(150, 'x') + "/" + std::string(150, 'y') + "/target", root / "etc/long_link");
  fs::create_symlink("../missing", root / "etc/dangling");
  Check(mkfifo((root / "etc/fifo").c_str(), 0640), "mkfifo");
  const std::string user_value = "hello";
  if (lsetxattr((root / "etc/hosts").c_str(), "user.note", user_value.data(), user_value.size(), 0) != 0)
    std::fprintf(stderr, "note: user.* attributes not supported here\n");

  fs::permissions(root / "bin/sh", fs::perms(0755));
  fs::permissions(root / "bin/su", fs::perms(0750));
  fs::permissions(root / "tmp", fs::perms(01777));
  fs::permissions(root / "private", fs::perms(0700));
  fs::permissions(root / "etc/hosts", fs::perms(0640));
  if (privileged) {
    Check(mknod((root / "etc/null").c_str(), S_IFCHR | 0666, makedev(1, 3)), "mknod");
    Check(mknod((root / "etc/loop").c_str(), S_IFBLK | 0600, makedev(7, 300)), "mknod");
    Check(chmod((root / "etc/null").c_str(), 0666), "chmod");
    Check(lchown((root / "bin/sh").c_str(), 0, 2000), "chown");
    Check(lchown((root / "bin/su").c_str(), 1000, 1000), "chown");
    Check(lchown((root / "app").c_str(), 1000, 1000), "chown");
    Check(lchown((root / "etc/abs_link").c_str(), 0, 2000), "chown");
    Check(lchown((root / "private").c_str(), 70000, 70001), "chown");  // needs an extended inode
    Check(chmod((root / "bin/su").c_str(), 04750), "chmod");
    const std::string caps = CapValue((1ull << 13) | (1ull << 23) | (1ull << 38));  // net_raw, sys_nice, perfmon
    Check(setxattr((root / "bin/sh").c_str(), "security.capability", caps.data(), caps.size(), 0), "setcap");
    Label(root, "u:object_r:vendor_file:s0");
    for (const auto& e : fs::recursive_directory_iterator(root)) {
      const std::string rel = e.path().lexically_relative(root).string();
      if (rel == "etc/empty" || rel == "deep/a/b/c") continue;  // a few entries stay unlabelled
      std::string ctx = "u:object_r:vendor_file:s0";
      if (rel.rfind("bin/", 0) == 0) ctx = "u:object_r:vendor_shell_exec:s0";
      if (rel == "lib64/libc++.so") ctx = "u:object_r:same_process_hal_file:s0";
      Label(e.path(), ctx);
    }
  }
  // Distinct times on every entry, children first so that folders keep theirs.
  std::vector<fs::path> all;
  for (const auto& e : fs::recursive_directory_iterator(root)) all.push_back(e.path());
  all.push_back(root);
  std::sort(all.begin(), all.end(), [](const fs::path& a, const fs::path& b) { return a.string() > b.string(); });
  int64_t t = 1600000000;
  for (const auto& p : all) {
    struct timespec ts[2] = {{t, 0}, {t, 0}};
    Check(utimensat(AT_FDCWD, p.c_str(), ts, AT_SYMLINK_NOFOLLOW), "utimensat");
    t += 3607;
  }
}

void MakeImage(const fs::path& tree, const fs::path& image, const std::string& options) {
  auto r = RunCommand("mkfs.erofs --quiet " + options + " " + ShQuote(image.string()) + " " + ShQuote(tree.string()));
  ASSERT_EQ(r.exit_code, 0) << "mkfs.erofs " << options << " failed:\n" << r.output;
}

Tree Snapshot(const fs::path& root) {
  Tree t;
  std::map<std::pair<dev_t, ino_t>, std::vector<std::string>> links;
  std::vector<fs::path> paths{root};
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
    paths.push_back(it->path());
  for (const auto& p : paths) {
    const std::string rel = p == root ? "" : p.lexically_relative(root).string();
    struct stat st {};
    if (lstat(p.c_str(), &st) != 0) continue;
    Node n;
    n.perms = st.st_mode & 07777;
    n.uid = st.st_uid;
    n.gid = st.st_gid;
    n.mtime = st.st_mtim.tv_sec;
    switch (st.st_mode & S_IFMT) {
      case S_IFREG: n.type = 'f'; n.size = static_cast<uint64_t>(st.st_size); n.digest = DigestOf(ReadFile(p)); break;
      case S_IFDIR: n.type = 'd'; break;
      case S_IFLNK: n.type = 'l'; n.link = fs::read_symlink(p).string(); break;
      case S_IFCHR: n.type = 'c'; n.rdev = st.st_rdev; break;
      case S_IFBLK: n.type = 'b'; n.rdev = st.st_rdev; break;
      case S_IFIFO: n.type = 'p'; break;
      case S_IFSOCK: n.type = 's'; break;
    }
    char buf[4096];
    ssize_t len = lgetxattr(p.c_str(), "security.selinux", buf, sizeof buf);
    if (len > 0) {
      n.selinux.assign(buf, static_cast<size_t>(len));
      while (!n.selinux.empty() && n.selinux.back() == '\0') n.selinux.pop_back();
    }
    len = lgetxattr(p.c_str(), "security.capability", buf, sizeof buf);
    if (len > 0) n.capability.assign(buf, static_cast<size_t>(len));
    len = lgetxattr(p.c_str(), "user.note", buf, sizeof buf);
    if (len > 0) n.user_xattrs = "user.note=" + std::string(buf, static_cast<size_t>(len));
    if (n.type != 'd' && st.st_nlink > 1) links[{st.st_dev, st.st_ino}].push_back(rel);
    t[rel] = n;
  }
  for (auto& [key, names] : links) {
    std::sort(names.begin(), names.end());
    std::string group;
    for (const auto& s : names) group += s + ";";
    for (const auto& s : names) t[s].hardlink_group = group;
  }
  return t;
}

int ExpectSameTree(const Tree& expected, const Tree& actual, const Compare& what, const std::string& label) {
  int diffs = 0;
  auto fail = [&](const std::string& path, const std::string& msg) {
    ADD_FAILURE() << label << ": /" << path << ": " << msg;
    ++diffs;
  };
  for (const auto& [path, e] : expected) {
    if (!what.specials && (e.type == 'c' || e.type == 'b' || e.type == 'p' || e.type == 's')) continue;
    auto it = actual.find(path);
    if (it == actual.end()) {
      fail(path, "missing");
      continue;
    }
    const Node& a = it->second;
    if (a.type != e.type) {
      fail(path, std::string("type ") + a.type + ", expected " + e.type);
      continue;
    }
    const bool is_root = path.empty();
    if (is_root && !what.root_entry) continue;
    if (a.type != 'l' && (a.perms & what.perm_mask) != (e.perms & what.perm_mask)) fail(path, "mode " + std::to_string(a.perms) + ", expected " + std::to_string(e.perms));
    if (a.digest != e.digest) fail(path, "content differs");
    if (a.link != e.link) fail(path, "link target " + a.link + ", expected " + e.link);
    if (a.rdev != e.rdev) fail(path, "device number differs");
    if (what.owners && (a.uid != e.uid || a.gid != e.gid))
      fail(path, "owner " + std::to_string(a.uid) + ":" + std::to_string(a.gid) + ", expected " + std::to_string(e.uid) +
                     ":" + std::to_string(e.gid));
    if (what.xattrs && a.selinux != e.selinux) fail(path, "SELinux label '" + a.selinux + "', expected '" + e.selinux + "'");
    if (what.xattrs && a.capability != e.capability) fail(path, "capability attribute differs");
    if (what.xattrs && a.user_xattrs != e.user_xattrs) fail(path, "user attributes '" + a.user_xattrs + "', expected '" + e.user_xattrs + "'");
    if (what.mtime && a.type != 'l' && a.mtime != e.mtime)
      fail(path, "mtime " + std::to_string(a.mtime) + ", expected " + std::to_string(e.mtime));
    if (what.hardlinks && a.hardlink_group != e.hardlink_group)
      fail(path, "hard links '" + a.hardlink_group + "', expected '" + e.hardlink_group + "'");
  }
  for (const auto& [path, a] : actual)
    if (!expected.count(path)) fail(path, "unexpected entry");
  return diffs;
}

std::vector<std::string> ToolRun::ErrorLines() const {
  std::vector<std::string> lines;
  std::istringstream in(err);
  std::string l;
  while (std::getline(in, l))
    if (l.rfind("extract.erofs: error:", 0) == 0) lines.push_back(l);
  return lines;
}

ToolRun RunExtractRaw(const std::string& args, const fs::path& cwd) {
  ToolRun r;
  TempDir logs;
  const std::string tool = (BinDir() / "erofs" / "extract.erofs").string();
  auto c = RunCommand("(cd " + ShQuote(cwd.string()) + " && " + ShQuote(tool) + " " + args + " >" +
                      ShQuote((logs / "out").string()) + " 2>" + ShQuote((logs / "err").string()) + ")");
  r.exit_code = c.exit_code;
  r.out = ReadFile(logs / "out");
  r.err = ReadFile(logs / "err");
  return r;
}

ToolRun RunExtract(const fs::path& image, const std::string& extra) {
  const std::string file = image.filename().string();
  const std::string name = image.stem().string();
  return RunExtractRaw("-i \"" + file + "\" -x -f -o \"" + name + "\" " + extra, image.parent_path());
}

std::map<std::string, std::string> ReadFsConfig(const fs::path& file) {
  std::map<std::string, std::string> m;
  std::istringstream in(ReadFile(file));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // The path may hold blanks: uid, gid, mode and capabilities are the last fields.
    int fields = line.find(" capabilities=") != std::string::npos ? 4 : 3;
    size_t sp = line.size();
    while (fields-- > 0 && sp != std::string::npos) sp = sp == 0 ? std::string::npos : line.rfind(' ', sp - 1);
    if (sp == std::string::npos) continue;
    m[line.substr(0, sp)] = line.substr(sp + 1);
  }
  return m;
}

std::map<std::string, std::string> ReadContexts(const fs::path& file) {
  std::map<std::string, std::string> m;
  std::istringstream in(ReadFile(file));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const size_t sp = line.rfind(' ');
    if (sp == std::string::npos) continue;
    m[line.substr(0, sp)] = line.substr(sp + 1);
  }
  return m;
}

std::string ReadKey(const fs::path& file, const std::string& key) {
  std::istringstream in(ReadFile(file));
  std::string line;
  auto trim = [](std::string s) {
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return std::string();
    const auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
  };
  auto lower = [](std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  while (std::getline(in, line)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    if (lower(trim(line.substr(0, colon))) == lower(key)) return trim(line.substr(colon + 1));
  }
  return "";
}

void ApplyUnpackJobRules(const fs::path& out_folder, const std::string& name, const std::string& ext) {
  const fs::path cfg = out_folder / "config";
  for (const char* kind : {"_file_contexts", "_fs_config", "_fs_options"})
    fs::rename(cfg / (name + kind), cfg / (name + kind + ".txt"));
  std::string text = ReadFile(cfg / (name + "_fs_options.txt"));
  text = std::regex_replace(text, std::regex("_repack", std::regex::icase), "");
  auto replace_all = [&](const std::string& from, const std::string& to) {
    std::string out;
    size_t pos = 0, hit;
    while ((hit = text.find(from, pos)) != std::string::npos) {
      out += text.substr(pos, hit - pos) + to;
      pos = hit + from.size();
    }
    text = out + text.substr(pos);
  };
  replace_all(".img", "." + ext);
  replace_all("_file_contexts", "_file_contexts.txt");
  replace_all("_fs_config", "_fs_config.txt");
  replace_all("_fs_options", "_fs_options.txt");
  WriteFile(cfg / (name + "_fs_options.txt"), "Type: Raw\r\nExpansion: " + ext + "\r\n" + text);
}

CommandResult RunRecordedMkfs(const fs::path& image_dir, const fs::path& options_txt) {
  const std::string options = ReadKey(options_txt, "mkfs.erofs options");
  if (options.empty()) return {1, "no mkfs.erofs options line"};
  return RunCommand("cd " + ShQuote(image_dir.string()) + " && mkfs.erofs " + options + " > /dev/null");
}

}  // namespace orvex::test::erofs
