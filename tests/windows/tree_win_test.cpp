// The tree layer on Windows (under Wine): folder descriptors next to file descriptors, names in
// UTF-8, entries never followed when they are reparse points, what NTFS cannot hold refused with
// ENOTSUP, and the name rule.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform.h"
#include "platform_io.h"
#include "platform_tree.h"
#include "test_support.h"

using namespace orvex;
using namespace orvex::test;
namespace pf = orvex::platform;

namespace {

using Kind = pf::EntryInfo::Kind;

// An open folder descriptor of a fresh temporary folder.
class TreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = pf::OpenFolder(pf::FromPath(tmp.path()));
    ASSERT_GE(dir, 0) << std::strerror(errno);
  }
  void TearDown() override {
    if (dir >= 0) pf::CloseFolder(dir);
  }
  bool Put(int folder, const std::string& name, const std::string& bytes) {
    const int fd = pf::CreateFileAt(folder, name, 0644, true);
    if (fd < 0) return false;
    const bool ok = bytes.empty() || pf::WriteAllAt(fd, bytes.data(), bytes.size(), 0);
    return pf::CloseFile(fd) == 0 && ok;
  }
  std::string Get(int folder, const std::string& name) {
    const int fd = pf::OpenFileAt(folder, name);
    if (fd < 0) return "<cannot open: " + std::string(std::strerror(errno)) + ">";
    std::string s(static_cast<size_t>(pf::SizeOfFile(fd)), '\0');
    const bool ok = s.empty() || pf::ReadAllAt(fd, s.data(), s.size(), 0);
    pf::CloseFile(fd);
    return ok ? s : "<cannot read>";
  }
  std::vector<std::string> List(int folder) {
    std::vector<std::string> names;
    EXPECT_TRUE(pf::ListFolder(folder, &names)) << std::strerror(errno);
    std::sort(names.begin(), names.end());
    return names;
  }
  fs::path Native(const std::string& utf8) const { return tmp.path() / pf::ToPath(utf8); }

  TempDir tmp;
  int dir = -1;
};

// Symbolic links need a privilege on Windows, and Wine shows the ones it makes as the files they
// name rather than as reparse points.
bool CanMakeSymbolicLinks(const fs::path& at) {
  const fs::path target = at / "probe-target", probe = at / "probe-link";
  WriteFile(target, "x");
  const bool made = CreateSymbolicLinkW(probe.c_str(), target.c_str(), 0);
  const DWORD a = GetFileAttributesW(probe.c_str());
  if (made) DeleteFileW(probe.c_str());
  DeleteFileW(target.c_str());
  return made && a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT);
}

}  // namespace

TEST(TreeQuestions, WhatNtfsKeeps) {
  EXPECT_FALSE(pf::TreeKeepsLinks());
  EXPECT_FALSE(pf::TreeKeepsNodes());
  EXPECT_FALSE(pf::TreeKeepsOwners());
  EXPECT_TRUE(pf::TreeFoldsCase());
}

TEST(TreeQuestions, NamesWindowsHoldsAsTheyAre) {
  for (const char* ok : {"a", "build.prop", ".hidden", "файл", "文件.txt", "console", "nul-ish", "COM0",
                         "LPT10", "a b", "100%", "x.y.z", "~1", "com1x"})
    EXPECT_TRUE(pf::TreeNameStorable(ok)) << ok;
  for (const char* bad : {"", ".", "..", "a<b", "a>b", "a:b", "a\"b", "a/b", "a\\b", "a|b", "a?b", "a*b",
                          "tab\there", "line\n", "\x1f", "dot.", "blank ", "CON", "con", "Nul", "nul.txt", "con.d",
                          "NUL.tar.gz", "aux .c", "PRN", "COM1", "com9.log", "LPT3", "lpt\xC2\xB9",
                          "CONIN$", "conout$.x", "bad\xff", "\xC0\x80", "\xED\xA0\x80"})
    EXPECT_FALSE(pf::TreeNameStorable(bad)) << bad;
  // The rule is also there on every system for tools that prepare trees for Windows.
  EXPECT_FALSE(pf::WindowsNameStorable("aux"));
}

TEST_F(TreeTest, FolderAndFileDescriptorsOpenTogether) {
  ASSERT_EQ(pf::MakeFolderAt(dir, "sub", 0755), 0) << std::strerror(errno);
  EXPECT_EQ(pf::MakeFolderAt(dir, "sub", 0755), -1);
  EXPECT_EQ(errno, EEXIST);
  const int sub = pf::OpenFolderAt(dir, "sub");
  ASSERT_GE(sub, 0) << std::strerror(errno);
  EXPECT_NE(sub, dir);

  // Several files open at once, in both folders: every descriptor is distinct, and reads and
  // writes through each reach its own file.
  std::vector<int> fds;
  std::set<int> all{dir, sub};
  for (int i = 0; i < 6; ++i) {
    const int folder = i % 2 ? sub : dir;
    const int fd = pf::CreateFileAt(folder, "f" + std::to_string(i), 0644, true);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    EXPECT_TRUE(all.insert(fd).second) << "descriptor " << fd << " given twice";
    const std::string text = "file " + std::to_string(i);
    ASSERT_TRUE(pf::WriteAllAt(fd, text.data(), text.size(), 0));
    fds.push_back(fd);
  }
  // The C runtime's own descriptors never fall among the folder descriptors either.
  const int crt = _wopen(Native("crt.txt").c_str(), _O_CREAT | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
  ASSERT_GE(crt, 0);
  EXPECT_TRUE(all.insert(crt).second);
  _close(crt);
  for (int fd : fds) EXPECT_EQ(pf::CloseFile(fd), 0);

  EXPECT_EQ(Get(dir, "f0"), "file 0");
  EXPECT_EQ(Get(sub, "f1"), "file 1");
  EXPECT_EQ(Get(dir, "sub/f3"), "file 3");  // a path of several parts, '/' or '\'
  EXPECT_EQ(Get(dir, "sub\\f5"), "file 5");
  EXPECT_EQ(List(sub), (std::vector<std::string>{"f1", "f3", "f5"}));
  EXPECT_EQ(List(dir), (std::vector<std::string>{"crt.txt", "f0", "f2", "f4", "sub"}));

  // ".." goes back up.
  pf::EntryInfo top, up;
  ASSERT_TRUE(pf::InfoOf(dir, &top));
  const int parent = pf::OpenFolderAt(sub, "..");
  ASSERT_GE(parent, 0) << std::strerror(errno);
  ASSERT_TRUE(pf::InfoOf(parent, &up));
  EXPECT_EQ(up.inode, top.inode);
  EXPECT_EQ(pf::CloseFolder(parent), 0);

  // A file is no folder.
  EXPECT_EQ(pf::OpenFolderAt(dir, "f0"), -1);
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_EQ(pf::OpenFolder(pf::FromPath(Native("f0"))), -1);
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_EQ(pf::OpenFileAt(dir, "sub"), -1);
  EXPECT_EQ(errno, EISDIR);

  EXPECT_EQ(pf::CloseFolder(sub), 0);
  EXPECT_EQ(pf::CloseFolder(sub), -1);
  EXPECT_EQ(errno, EBADF);
  std::vector<std::string> names;
  EXPECT_FALSE(pf::ListFolder(sub, &names));
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(pf::OpenFileAt(sub, "f1"), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST_F(TreeTest, CyrillicAndCjkNames) {
  const std::string folder = "системный раздел";
  const std::string file = "设置文件 файл.prop";
  ASSERT_EQ(pf::MakeFolderAt(dir, folder, 0755), 0) << std::strerror(errno);
  const int sub = pf::OpenFolderAt(dir, folder);
  ASSERT_GE(sub, 0) << std::strerror(errno);
  ASSERT_TRUE(Put(sub, file, "значение=値"));
  EXPECT_EQ(List(sub), std::vector<std::string>{file});
  EXPECT_EQ(List(dir), std::vector<std::string>{folder});
  EXPECT_EQ(Get(sub, file), "значение=値");
  // The names are on disk as Windows sees them, not as bytes of a code page.
  EXPECT_TRUE(fs::exists(Native(folder) / pf::ToPath(file)));

  ASSERT_TRUE(pf::RenameAt(sub, file, dir, "日本語"));
  EXPECT_EQ(Get(dir, "日本語"), "значение=値");
  EXPECT_TRUE(List(sub).empty());
  pf::CloseFolder(sub);
}

TEST_F(TreeTest, CreatingFiles) {
  ASSERT_TRUE(Put(dir, "a", "old content"));
  // An exclusive create of an existing name fails and leaves the file alone.
  EXPECT_EQ(pf::CreateFileAt(dir, "a", 0644, true), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(Get(dir, "a"), "old content");
  // Otherwise the file is emptied.
  const int fd = pf::CreateFileAt(dir, "a", 0644, false);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  EXPECT_EQ(pf::SizeOfFile(fd), 0);
  ASSERT_TRUE(pf::WriteAllAt(fd, "new", 3, 0));
  pf::CloseFile(fd);
  EXPECT_EQ(Get(dir, "a"), "new");

  EXPECT_EQ(pf::OpenFileAt(dir, "missing"), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(pf::CreateFileAt(dir, "no-such-folder/x", 0644, true), -1);
  EXPECT_EQ(errno, ENOENT);
  // Names Windows would read as something else are refused, not reinterpreted: "a:s" would be a
  // stream of "a", "nul" the null device, "x." the name "x".
  for (const char* bad : {"a:s", "nul", "x.", "q?", ""}) {
    EXPECT_EQ(pf::CreateFileAt(dir, bad, 0644, false), -1) << bad;
    EXPECT_TRUE(errno == EINVAL || errno == ENOENT) << bad;
  }
  EXPECT_EQ(Get(dir, "a"), "new");
  EXPECT_EQ(List(dir), std::vector<std::string>{"a"});
}

TEST_F(TreeTest, FileBeyondFourGiBWrittenAtItsOffset) {
  if (sizeof(void*) != 8) GTEST_SKIP() << "the 32-bit build is not run under Wine here";
  const int fd = pf::CreateFileAt(dir, "big.img", 0644, true);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  const uint64_t offset = (5ull << 30) + 7;
  ASSERT_TRUE(pf::WriteAllAt(fd, "tail", 4, offset));
  ASSERT_TRUE(pf::WriteAllAt(fd, "head", 4, 0));
  EXPECT_EQ(pf::SizeOfFile(fd), int64_t(offset + 4));
  pf::EntryInfo info;
  ASSERT_TRUE(pf::InfoOf(fd, &info));
  EXPECT_EQ(info.size, offset + 4);
  pf::CloseFile(fd);

  const int in = pf::OpenFileAt(dir, "big.img");
  ASSERT_GE(in, 0);
  char buf[4];
  ASSERT_TRUE(pf::ReadAllAt(in, buf, 4, offset));
  EXPECT_EQ(std::string(buf, 4), "tail");
  ASSERT_TRUE(pf::ReadAllAt(in, buf, 4, 3ull << 30));
  EXPECT_EQ(std::string(buf, 4), std::string(4, '\0'));
  pf::CloseFile(in);
  EXPECT_TRUE(pf::RemoveAt(dir, "big.img", false));
}

TEST_F(TreeTest, WhatNtfsCannotHoldFailsWithEnotsup) {
  ASSERT_TRUE(Put(dir, "f", "x"));
  const int fd = pf::OpenFileAt(dir, "f");
  ASSERT_GE(fd, 0);
  std::string value;
  std::vector<std::string> keys;
  const std::vector<std::pair<const char*, std::function<bool()>>> calls = {
      {"MakeLinkAt", [&] { return pf::MakeLinkAt("/system/bin/sh", dir, "sh"); }},
      {"MakeNodeAt", [&] { return pf::MakeNodeAt(dir, "null", pf::NodeKind::kChar, 1, 3); }},
      {"SetOwnerAt", [&] { return pf::SetOwnerAt(dir, "f", 1000, 1000); }},
      {"SetMode", [&] { return pf::SetMode(fd, 0600); }},
      {"SetModeAt", [&] { return pf::SetModeAt(dir, "f", 0600); }},
      {"SetXattr", [&] { return pf::SetXattr(fd, "user.a", "1"); }},
      {"SetXattrAt", [&] { return pf::SetXattrAt(dir, "f", "security.selinux", "u:object_r:system_file:s0"); }},
      {"GetXattrAt", [&] { return pf::GetXattrAt(dir, "f", "user.a", &value); }},
      {"ListXattrsAt", [&] { return pf::ListXattrsAt(dir, "f", &keys); }},
  };
  for (const auto& [what, call] : calls) {
    errno = 0;
    EXPECT_FALSE(call()) << what;
    EXPECT_EQ(errno, ENOTSUP) << what;
  }
  pf::CloseFile(fd);
  // Nothing was made.
  EXPECT_EQ(List(dir), std::vector<std::string>{"f"});
  EXPECT_FALSE(pf::ReadLinkAt(dir, "f", &value));
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(TreeTest, InfoOfFilesFoldersAndHardLinks) {
  ASSERT_TRUE(Put(dir, "file", "12345"));
  ASSERT_EQ(pf::MakeFolderAt(dir, "folder", 0700), 0);
  pf::EntryInfo f, d;
  ASSERT_TRUE(pf::InfoAt(dir, "file", &f));
  EXPECT_EQ(f.kind, Kind::kFile);
  EXPECT_EQ(f.size, 5u);
  EXPECT_EQ(f.mode, 0644u);
  EXPECT_EQ(f.links, 1u);
  ASSERT_TRUE(pf::InfoAt(dir, "folder", &d));
  EXPECT_EQ(d.kind, Kind::kFolder);
  EXPECT_EQ(d.mode, 0755u);
  EXPECT_NE(d.inode, f.inode);
  EXPECT_FALSE(pf::InfoAt(dir, "missing", &d));
  EXPECT_EQ(errno, ENOENT);

  // A hard link names the same file: same device and index, two links.
  ASSERT_TRUE(pf::HardLinkAt(dir, "file", dir, "folder/second")) << std::strerror(errno);
  pf::EntryInfo h;
  ASSERT_TRUE(pf::InfoAt(dir, "folder/second", &h));
  EXPECT_EQ(h.device, f.device);
  EXPECT_EQ(h.inode, f.inode);
  EXPECT_EQ(h.links, 2u);
  EXPECT_FALSE(pf::HardLinkAt(dir, "file", dir, "folder/second"));
  EXPECT_EQ(errno, EEXIST);

  // The descriptor forms: a file descriptor and a folder descriptor.
  const int fd = pf::OpenFileAt(dir, "folder/second");
  ASSERT_GE(fd, 0);
  pf::EntryInfo viaFd;
  ASSERT_TRUE(pf::InfoOf(fd, &viaFd));
  EXPECT_EQ(viaFd.inode, f.inode);
  EXPECT_EQ(viaFd.size, 5u);
  pf::CloseFile(fd);
  const int sub = pf::OpenFolderAt(dir, "folder");
  ASSERT_GE(sub, 0);
  pf::EntryInfo viaDir;
  ASSERT_TRUE(pf::InfoOf(sub, &viaDir));
  EXPECT_EQ(viaDir.kind, Kind::kFolder);
  EXPECT_EQ(viaDir.inode, d.inode);
  pf::CloseFolder(sub);

  // A read-only file shows no write bits.
  ASSERT_TRUE(SetFileAttributesW(Native("file").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(pf::InfoAt(dir, "file", &f));
  EXPECT_EQ(f.mode, 0444u);
}

TEST_F(TreeTest, Times) {
  ASSERT_TRUE(Put(dir, "f", "x"));
  ASSERT_EQ(pf::MakeFolderAt(dir, "d", 0755), 0);
  pf::FileTimes t;
  t.atime = 1600000000;
  t.mtime = 1234567890;
  t.mtimeNsec = 123456700;  // Windows keeps 100 ns steps
  ASSERT_TRUE(pf::SetTimesAt(dir, "f", t)) << std::strerror(errno);
  pf::EntryInfo info;
  ASSERT_TRUE(pf::InfoAt(dir, "f", &info));
  EXPECT_EQ(info.mtime, 1234567890);
  EXPECT_EQ(info.mtimeNsec, 123456700u);

  // Folders too, by name and by descriptor; a time before 1970 is kept as well.
  t.mtime = -86400;
  t.mtimeNsec = 0;
  ASSERT_TRUE(pf::SetTimesAt(dir, "d", t)) << std::strerror(errno);
  ASSERT_TRUE(pf::InfoAt(dir, "d", &info));
  EXPECT_EQ(info.mtime, -86400);
  const int sub = pf::OpenFolderAt(dir, "d");
  ASSERT_GE(sub, 0);
  t.mtime = 1700000000;
  ASSERT_TRUE(pf::SetTimes(sub, t)) << std::strerror(errno);
  ASSERT_TRUE(pf::InfoOf(sub, &info));
  EXPECT_EQ(info.mtime, 1700000000);
  pf::CloseFolder(sub);

  const int fd = pf::CreateFileAt(dir, "g", 0644, true);
  ASSERT_GE(fd, 0);
  t.mtime = 1000000000;
  ASSERT_TRUE(pf::SetTimes(fd, t));
  pf::CloseFile(fd);
  ASSERT_TRUE(pf::InfoAt(dir, "g", &info));
  EXPECT_EQ(info.mtime, 1000000000);

  // Through a descriptor for reading as well, as on Linux.
  const int in = pf::OpenFileAt(dir, "f");
  ASSERT_GE(in, 0);
  t.mtime = 1500000000;
  EXPECT_TRUE(pf::SetTimes(in, t)) << std::strerror(errno);
  pf::CloseFile(in);
  ASSERT_TRUE(pf::InfoAt(dir, "f", &info));
  EXPECT_EQ(info.mtime, 1500000000);

  // Before 1601 Windows has no time: refused, the file unchanged.
  t.mtime = -12000000000LL;
  EXPECT_FALSE(pf::SetTimesAt(dir, "g", t));
  EXPECT_EQ(errno, EINVAL);
  ASSERT_TRUE(pf::InfoAt(dir, "g", &info));
  EXPECT_EQ(info.mtime, 1000000000);
}

TEST_F(TreeTest, RenamingAndRemoving) {
  ASSERT_TRUE(Put(dir, "a", "A"));
  ASSERT_TRUE(Put(dir, "b", "B"));
  ASSERT_TRUE(pf::RenameAt(dir, "a", dir, "b")) << std::strerror(errno);
  EXPECT_EQ(Get(dir, "b"), "A");
  EXPECT_EQ(List(dir), std::vector<std::string>{"b"});
  EXPECT_FALSE(pf::RenameAt(dir, "missing", dir, "c"));
  EXPECT_EQ(errno, ENOENT);

  ASSERT_EQ(pf::MakeFolderAt(dir, "d", 0755), 0);
  ASSERT_TRUE(Put(dir, "d/inner", ""));
  EXPECT_FALSE(pf::RemoveAt(dir, "d", true));
  EXPECT_EQ(errno, ENOTEMPTY);
  EXPECT_FALSE(pf::RemoveAt(dir, "d", false));
  EXPECT_EQ(errno, EISDIR);
  EXPECT_FALSE(pf::RemoveAt(dir, "b", true));
  EXPECT_EQ(errno, ENOTDIR);
  // A read-only file is removed as unlink removes it.
  ASSERT_TRUE(SetFileAttributesW(Native("d/inner").c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_TRUE(pf::RemoveAt(dir, "d/inner", false)) << std::strerror(errno);
  EXPECT_TRUE(pf::RemoveAt(dir, "d", true)) << std::strerror(errno);
  EXPECT_TRUE(pf::RemoveAt(dir, "b", false));
  EXPECT_TRUE(List(dir).empty());
  EXPECT_FALSE(pf::RemoveAt(dir, "b", false));
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(TreeTest, OpenFolderCannotBeRenamedAway) {
  ASSERT_EQ(pf::MakeFolderAt(dir, "held", 0755), 0);
  const int held = pf::OpenFolderAt(dir, "held");
  ASSERT_GE(held, 0);
  EXPECT_FALSE(pf::RenameAt(dir, "held", dir, "moved"));
  EXPECT_TRUE(Put(held, "still-here", "1"));
  EXPECT_EQ(List(dir), std::vector<std::string>{"held"});
  pf::CloseFolder(held);
  EXPECT_TRUE(pf::RenameAt(dir, "held", dir, "moved")) << std::strerror(errno);
}

TEST_F(TreeTest, ReparsePointsAreNeverFollowed) {
  if (!CanMakeSymbolicLinks(tmp.path())) GTEST_SKIP() << "no symbolic links here";
  ASSERT_EQ(pf::MakeFolderAt(dir, "real", 0755), 0);
  ASSERT_TRUE(Put(dir, "real/secret", "keep me"));
  ASSERT_TRUE(CreateSymbolicLinkW(Native("dirlink").c_str(), L"real", SYMBOLIC_LINK_FLAG_DIRECTORY));
  ASSERT_TRUE(CreateSymbolicLinkW(Native("filelink").c_str(), L"real\\secret", 0));

  EXPECT_EQ(pf::OpenFolderAt(dir, "dirlink"), -1);
  EXPECT_EQ(errno, ELOOP);
  EXPECT_EQ(pf::OpenFileAt(dir, "filelink"), -1);
  EXPECT_EQ(errno, ELOOP);
  EXPECT_EQ(pf::CreateFileAt(dir, "filelink", 0644, false), -1);
  EXPECT_EQ(errno, ELOOP);
  EXPECT_EQ(pf::CreateFileAt(dir, "filelink", 0644, true), -1);
  EXPECT_EQ(Get(dir, "real/secret"), "keep me");

  pf::EntryInfo info;
  ASSERT_TRUE(pf::InfoAt(dir, "filelink", &info));
  EXPECT_EQ(info.kind, Kind::kLink);
  ASSERT_TRUE(pf::InfoAt(dir, "dirlink", &info));
  EXPECT_EQ(info.kind, Kind::kLink);
  std::string target;
  ASSERT_TRUE(pf::ReadLinkAt(dir, "filelink", &target)) << std::strerror(errno);
  EXPECT_EQ(target, "real\\secret");

  // Removing a link removes the link only.
  EXPECT_TRUE(pf::RemoveAt(dir, "dirlink", false)) << std::strerror(errno);
  EXPECT_TRUE(pf::RemoveAt(dir, "filelink", false)) << std::strerror(errno);
  EXPECT_EQ(Get(dir, "real/secret"), "keep me");
  EXPECT_EQ(List(dir), std::vector<std::string>{"real"});
}
