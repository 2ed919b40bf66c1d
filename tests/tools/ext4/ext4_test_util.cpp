#include "ext4_test_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <set>

namespace orvex::test::ext4 {

std::string Prog(const std::string& name) {
  for (const char* dir : {"/usr/sbin", "/sbin", "/usr/bin", "/bin"}) {
    const std::string p = std::string(dir) + "/" + name;
    if (access(p.c_str(), X_OK) == 0) return p;
  }
  return HaveProgram(name) ? name : "";
}

std::string Tool(const std::string& name) { return ShQuote((BinDir() / name).string()); }

CommandResult Sh(const std::string& command) { return RunCommand(command); }

namespace {

// Owner first: changing the owner afterwards would clear set-id bits.
void Put(const fs::path& p, const std::string& bytes, mode_t mode, uid_t uid = 0, gid_t gid = 0) {
  WriteFile(p, bytes);
  if (IsRoot()) {
    ASSERT_EQ(lchown(p.c_str(), uid, gid), 0) << p;
  }
  ASSERT_EQ(chmod(p.c_str(), mode), 0) << p;
}

std::string Random(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

void Label(const fs::path& p, const std::string& context) {
  if (!IsRoot()) return;
  ASSERT_EQ(lsetxattr(p.c_str(), "security.selinux", context.data(), context.size(), 0), 0)
      << p << ": " << strerror(errno);
}

}  // namespace

void MakeTree(const fs::path& r) {
  fs::create_directories(r / "bin");
  fs::create_directories(r / "etc/init");
  fs::create_directories(r / "lib64");
  fs::create_directories(r / "app/Priv");
  fs::create_directories(r / "xbin");
  fs::create_directories(r / "data/empty_dir");
  fs::create_directories(r / "deep/a/b/c/d/e/f/g");

  Put(r / "bin/sh", "#!/bin/sh\necho sh\n" + Random(5000, 1), 0755, 0, 2000);
  Put(r / "bin/toybox", Random(100000, 2), 0755, 0, 2000);
  fs::create_hard_link(r / "bin/toybox", r / "bin/ls");
  fs::create_symlink("toybox", r / "bin/cat");
  fs::create_symlink("/system/bin/toybox", r / "bin/abs");
  fs::create_symlink(std::string(150, 'L') + "/target", r / "bin/slowlink");
  fs::create_symlink("../../../../../../etc/passwd", r / "bin/escape");
  Put(r / "etc/hosts", "127.0.0.1 localhost\n", 0644);
  Put(r / "etc/init/rc.conf", "service x /bin/x\n", 0640, 1000, 1000);
  Put(r / "lib64/libc++.so", Random(70000, 3), 0644);
  Put(r / "app/Priv/App.apk", Random(9000, 4), 0644);
  if (IsRoot()) {
    ASSERT_EQ(lchown((r / "app/Priv").c_str(), 1000, 1000), 0);
  }
  ASSERT_EQ(chmod((r / "app/Priv").c_str(), 0750), 0);
  Put(r / "xbin/su", Random(3000, 5), 04750, 0, 2000);
  Put(r / "empty", "", 0600, 1000, 1001);
  Put(r / "sp ace.txt", "blank in the name", 0644);
  Put(r / (std::string(255, 'n')), "long name", 0644);
  Put(r / "non\xff\xfeutf8.bin", "bytes", 0644);
  Put(r / "deep/a/b/c/d/e/f/g/leaf", "leaf", 0444);
  ASSERT_EQ(mkfifo((r / "fifo").c_str(), 0620), 0);
  ASSERT_EQ(chmod((r / "fifo").c_str(), 0620), 0);
  // Holes: 4 KiB of data, a gap, 4 KiB at 2 MiB, and a hole up to 3 MiB.
  {
    const fs::path p = r / "data/holey";
    int fd = open(p.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const std::string a = Random(4096, 6), b = Random(4096, 7);
    ASSERT_EQ(pwrite(fd, a.data(), a.size(), 0), 4096);
    ASSERT_EQ(pwrite(fd, b.data(), b.size(), 2 << 20), 4096);
    ASSERT_EQ(ftruncate(fd, 3 << 20), 0);
    close(fd);
  }
  if (IsRoot()) {
    ASSERT_EQ(mknod((r / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    ASSERT_EQ(chmod((r / "null").c_str(), 0666), 0);
    ASSERT_EQ(mknod((r / "block").c_str(), S_IFBLK | 0600, makedev(259, 300)), 0);
    ASSERT_EQ(Sh("setcap cap_net_raw,cap_sys_admin+ep " + ShQuote((r / "bin/sh").string()))
                  .exit_code,
              0);
    Label(r, "u:object_r:system_file:s0");
    Label(r / "bin", "u:object_r:system_file:s0");
    Label(r / "bin/sh", "u:object_r:shell_exec:s0");
    Label(r / "bin/toybox", "u:object_r:toolbox_exec:s0");
    Label(r / "bin/abs", "u:object_r:system_file:s0");
    Label(r / "lib64/libc++.so", "u:object_r:system_lib_file:s0");
    Label(r / "etc", "u:object_r:system_file:s0");
    Label(r / "etc/init/rc.conf", "u:object_r:init_conf:s0");
    Label(r / "non\xff\xfeutf8.bin", "u:object_r:odd_file:s0");
  }
}

void MakeImage(const fs::path& tree, const fs::path& image, const std::string& options,
               const std::string& size) {
  const std::string mke2fs = Prog("mke2fs");
  ASSERT_FALSE(mke2fs.empty()) << "mke2fs not installed";
  auto r = Sh(mke2fs + " -q -F -t ext4 -L system -M /system " + options + " -d " +
              ShQuote(tree.string()) + " " + ShQuote(image.string()) + " " + size);
  ASSERT_EQ(r.exit_code, 0) << r.output;
}

std::string XattrOf(const fs::path& p, const char* name) {
  char buf[256];
  ssize_t n = lgetxattr(p.c_str(), name, buf, sizeof(buf));
  if (n <= 0) return {};
  std::string v(buf, static_cast<size_t>(n));
  if (std::string(name) == "security.selinux" && !v.empty() && v.back() == '\0') v.pop_back();
  return v;
}

namespace {

std::string ReadLink(const fs::path& p) {
  std::error_code ec;
  return fs::read_symlink(p, ec).string();
}

void Walk(const fs::path& a, const fs::path& b, const std::string& rel, CompareFlags flags,
          const std::vector<std::string>& skip, std::vector<std::string>* diffs) {
  std::set<std::string> names_a, names_b;
  for (const auto& e : fs::directory_iterator(a)) names_a.insert(e.path().filename().string());
  for (const auto& e : fs::directory_iterator(b)) names_b.insert(e.path().filename().string());
  if (rel.empty()) {
    for (const auto& s : skip) {
      names_a.erase(s);
      names_b.erase(s);
    }
  }
  for (const auto& n : names_b)
    if (!names_a.count(n)) diffs->push_back("extra: " + rel + "/" + n);
  for (const auto& n : names_a) {
    const std::string r = rel + "/" + n;
    if (!names_b.count(n)) {
      diffs->push_back("missing: " + r);
      continue;
    }
    struct stat sa, sb;
    lstat((a / n).c_str(), &sa);
    lstat((b / n).c_str(), &sb);
    if ((sa.st_mode & S_IFMT) != (sb.st_mode & S_IFMT)) {
      diffs->push_back("type: " + r);
      continue;
    }
    if (flags.modes && !S_ISLNK(sa.st_mode) && (sa.st_mode & 07777) != (sb.st_mode & 07777))
      diffs->push_back("mode: " + r);
    if (flags.owners && (sa.st_uid != sb.st_uid || sa.st_gid != sb.st_gid))
      diffs->push_back("owner: " + r);
    if (flags.owners) {
      for (const char* x : {"security.selinux", "security.capability"})
        if (XattrOf(a / n, x) != XattrOf(b / n, x)) diffs->push_back(std::string(x) + ": " + r);
    }
    if (flags.times && !S_ISDIR(sa.st_mode) && sa.st_mtim.tv_sec != sb.st_mtim.tv_sec)
      diffs->push_back("mtime: " + r);
    if (S_ISREG(sa.st_mode)) {
      if (sa.st_size != sb.st_size || ReadFile(a / n) != ReadFile(b / n))
        diffs->push_back("content: " + r);
    } else if (S_ISLNK(sa.st_mode)) {
      if (ReadLink(a / n) != ReadLink(b / n)) diffs->push_back("link target: " + r);
    } else if (S_ISCHR(sa.st_mode) || S_ISBLK(sa.st_mode)) {
      if (sa.st_rdev != sb.st_rdev) diffs->push_back("device number: " + r);
    } else if (S_ISDIR(sa.st_mode)) {
      Walk(a / n, b / n, r, flags, skip, diffs);
    }
  }
}

}  // namespace

std::vector<std::string> CompareTrees(const fs::path& a, const fs::path& b, CompareFlags flags,
                                      const std::vector<std::string>& skip) {
  std::vector<std::string> diffs;
  Walk(a, b, "", flags, skip, &diffs);
  return diffs;
}

std::vector<std::string> Lines(const fs::path& file) {
  std::vector<std::string> out;
  std::ifstream f(file, std::ios::binary);
  std::string line;
  while (std::getline(f, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out.push_back(line);
  }
  return out;
}

std::map<std::string, std::string> KeyValues(const fs::path& file) {
  std::map<std::string, std::string> out;
  for (const auto& l : Lines(file)) {
    size_t c = l.find(':');
    if (c == std::string::npos) continue;
    auto trim = [](std::string s) {
      while (!s.empty() && isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
      size_t i = 0;
      while (i < s.size() && isspace(static_cast<unsigned char>(s[i]))) ++i;
      return s.substr(i);
    };
    out.emplace(trim(l.substr(0, c)), trim(l.substr(c + 1)));
  }
  return out;
}

std::map<std::string, std::string> FsConfigByPath(const fs::path& file) {
  std::map<std::string, std::string> out;
  for (const auto& l : Lines(file)) {
    // Path, then uid gid mode [capabilities]: the path is everything before the third number
    // from the end (or fourth with capabilities).
    std::vector<size_t> blanks;
    for (size_t i = 0; i < l.size(); ++i)
      if (l[i] == ' ') blanks.push_back(i);
    const size_t fields = l.find(" capabilities=") != std::string::npos ? 4 : 3;
    if (blanks.size() < fields) continue;
    const size_t cut = blanks[blanks.size() - fields];
    out[l.substr(0, cut)] = l.substr(cut + 1);
  }
  return out;
}

}  // namespace orvex::test::ext4
