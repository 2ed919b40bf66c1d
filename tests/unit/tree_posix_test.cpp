// The tree layer on Linux: links are never followed in the last part of a name, nodes, extended
// attributes of the user namespace (where the file system has them), times and listings.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform_io.h"
#include "platform_tree.h"
#include "test_support.h"

using namespace orvex::test;
namespace pf = orvex::platform;
using Kind = pf::EntryInfo::Kind;

namespace {

class PosixTree : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = pf::OpenFolder(tmp.str());
    ASSERT_GE(dir, 0) << std::strerror(errno);
  }
  void TearDown() override { pf::CloseFolder(dir); }
  bool Put(const std::string& name, const std::string& bytes) {
    const int fd = pf::CreateFileAt(dir, name, 0640, true);
    if (fd < 0) return false;
    const bool ok = bytes.empty() || pf::WriteAllAt(fd, bytes.data(), bytes.size(), 0);
    return pf::CloseFile(fd) == 0 && ok;
  }
  std::vector<std::string> List(int folder) {
    std::vector<std::string> names;
    EXPECT_TRUE(pf::ListFolder(folder, &names)) << std::strerror(errno);
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir tmp;
  int dir = -1;
};

}  // namespace

TEST(PosixTreeQuestions, LinuxKeepsEverything) {
  EXPECT_TRUE(pf::TreeKeepsLinks());
  EXPECT_TRUE(pf::TreeKeepsNodes());
  EXPECT_TRUE(pf::TreeKeepsOwners());
  EXPECT_FALSE(pf::TreeFoldsCase());
  for (const char* ok : {"CON", "a:b", "dot.", "tab\there", "\xff"}) EXPECT_TRUE(pf::TreeNameStorable(ok)) << ok;
  for (const char* bad : {"", ".", "..", "a/b"}) EXPECT_FALSE(pf::TreeNameStorable(bad)) << bad;
  // The Windows rule answers the same on Linux.
  EXPECT_FALSE(pf::WindowsNameStorable("CON"));
  EXPECT_FALSE(pf::WindowsNameStorable("a:b"));
  EXPECT_TRUE(pf::WindowsNameStorable("build.prop"));
}

TEST_F(PosixTree, LinksAreNeverFollowed) {
  ASSERT_EQ(pf::MakeFolderAt(dir, "real", 0755), 0);
  ASSERT_TRUE(Put("real/secret", "keep me"));
  ASSERT_TRUE(pf::MakeLinkAt("real", dir, "dirlink"));
  ASSERT_TRUE(pf::MakeLinkAt("real/secret", dir, "filelink"));
  ASSERT_TRUE(pf::MakeLinkAt("/nowhere/at/all", dir, "dangling"));

  EXPECT_EQ(pf::OpenFolderAt(dir, "dirlink"), -1);
  EXPECT_EQ(errno, ELOOP);
  EXPECT_EQ(pf::OpenFileAt(dir, "filelink"), -1);
  EXPECT_EQ(errno, ELOOP);
  EXPECT_EQ(pf::CreateFileAt(dir, "filelink", 0644, false), -1);
  EXPECT_EQ(errno, ELOOP);
  // A dangling link is not created through either.
  EXPECT_EQ(pf::CreateFileAt(dir, "dangling", 0644, false), -1);
  EXPECT_EQ(pf::CreateFileAt(dir, "dangling", 0644, true), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(ReadFile(tmp / "real/secret"), "keep me");

  pf::EntryInfo info;
  ASSERT_TRUE(pf::InfoAt(dir, "filelink", &info));
  EXPECT_EQ(info.kind, Kind::kLink);
  EXPECT_EQ(info.size, std::string("real/secret").size());
  std::string target;
  ASSERT_TRUE(pf::ReadLinkAt(dir, "dangling", &target));
  EXPECT_EQ(target, "/nowhere/at/all");
  // Targets longer than the first guess of the buffer.
  const std::string longTarget = std::string(300, 'x') + "/" + std::string(900, 'y');
  ASSERT_TRUE(pf::MakeLinkAt(longTarget, dir, "long"));
  ASSERT_TRUE(pf::ReadLinkAt(dir, "long", &target));
  EXPECT_EQ(target, longTarget);
  EXPECT_FALSE(pf::ReadLinkAt(dir, "real/secret", &target));
  EXPECT_EQ(errno, EINVAL);
  EXPECT_FALSE(pf::MakeLinkAt("x", dir, "long"));
  EXPECT_EQ(errno, EEXIST);

  // Removing a link leaves what it names.
  EXPECT_TRUE(pf::RemoveAt(dir, "dirlink", false));
  EXPECT_TRUE(pf::RemoveAt(dir, "filelink", false));
  EXPECT_EQ(ReadFile(tmp / "real/secret"), "keep me");
  EXPECT_EQ(List(dir), (std::vector<std::string>{"dangling", "long", "real"}));
}

TEST_F(PosixTree, Nodes) {
  ASSERT_TRUE(pf::MakeNodeAt(dir, "pipe", pf::NodeKind::kFifo, 0, 0)) << std::strerror(errno);
  ASSERT_TRUE(pf::MakeNodeAt(dir, "sock", pf::NodeKind::kSocket, 0, 0)) << std::strerror(errno);
  pf::EntryInfo info;
  ASSERT_TRUE(pf::InfoAt(dir, "pipe", &info));
  EXPECT_EQ(info.kind, Kind::kFifo);
  ASSERT_TRUE(pf::InfoAt(dir, "sock", &info));
  EXPECT_EQ(info.kind, Kind::kSocket);
  // Device nodes need root (or a container that allows them).
  if (pf::MakeNodeAt(dir, "blk", pf::NodeKind::kBlock, 259, 70000)) {
    ASSERT_TRUE(pf::InfoAt(dir, "blk", &info));
    EXPECT_EQ(info.kind, Kind::kBlock);
    EXPECT_EQ(info.rdevMajor, 259u);
    EXPECT_EQ(info.rdevMinor, 70000u);  // beyond the 8 bits of the old numbers
  } else {
    EXPECT_TRUE(errno == EPERM || errno == EACCES) << std::strerror(errno);
  }
  if (pf::MakeNodeAt(dir, "null", pf::NodeKind::kChar, 1, 3)) {
    ASSERT_TRUE(pf::InfoAt(dir, "null", &info));
    EXPECT_EQ(info.kind, Kind::kChar);
    EXPECT_EQ(info.rdevMajor, 1u);
    EXPECT_EQ(info.rdevMinor, 3u);
  }
  EXPECT_FALSE(pf::MakeNodeAt(dir, "pipe", pf::NodeKind::kFifo, 0, 0));
  EXPECT_EQ(errno, EEXIST);
}

TEST_F(PosixTree, UserAttributes) {
  ASSERT_TRUE(Put("f", "x"));
  const int fd = pf::OpenFileAt(dir, "f");
  ASSERT_GE(fd, 0);
  if (!pf::SetXattr(fd, "user.first", "1")) {
    pf::CloseFile(fd);
    if (errno == ENOTSUP) GTEST_SKIP() << "no user attributes on this file system";
    FAIL() << std::strerror(errno);
  }
  pf::CloseFile(fd);
  ASSERT_EQ(pf::MakeFolderAt(dir, "sub", 0755), 0);
  ASSERT_TRUE(Put("sub/g", ""));
  const std::string big(3000, '\x01');  // binary, larger than a first guess
  ASSERT_TRUE(pf::SetXattrAt(dir, "sub/g", "user.big", big)) << std::strerror(errno);
  ASSERT_TRUE(pf::SetXattrAt(dir, "f", "user.second", std::string("a\0b", 3)));

  std::string value;
  ASSERT_TRUE(pf::GetXattrAt(dir, "f", "user.first", &value));
  EXPECT_EQ(value, "1");
  ASSERT_TRUE(pf::GetXattrAt(dir, "f", "user.second", &value));
  EXPECT_EQ(value, std::string("a\0b", 3));
  ASSERT_TRUE(pf::GetXattrAt(dir, "sub/g", "user.big", &value));
  EXPECT_EQ(value, big);
  EXPECT_FALSE(pf::GetXattrAt(dir, "f", "user.none", &value));
  EXPECT_EQ(errno, ENODATA);

  std::vector<std::string> keys;
  ASSERT_TRUE(pf::ListXattrsAt(dir, "f", &keys));
  std::vector<std::string> user;
  for (const auto& k : keys)
    if (k.rfind("user.", 0) == 0) user.push_back(k);
  std::sort(user.begin(), user.end());
  EXPECT_EQ(user, (std::vector<std::string>{"user.first", "user.second"}));
  ASSERT_TRUE(pf::ListXattrsAt(dir, "sub", &keys));
  EXPECT_TRUE(std::none_of(keys.begin(), keys.end(), [](const std::string& k) { return k.rfind("user.", 0) == 0; }));
}

TEST_F(PosixTree, ModesAndTimes) {
  ASSERT_TRUE(Put("f", "x"));
  ASSERT_TRUE(pf::MakeLinkAt("f", dir, "link"));
  ASSERT_TRUE(pf::SetModeAt(dir, "f", 04751));
  pf::EntryInfo info;
  ASSERT_TRUE(pf::InfoAt(dir, "f", &info));
  EXPECT_EQ(info.mode, 04751u);
  EXPECT_EQ(info.kind, Kind::kFile);

  pf::FileTimes t;
  t.atime = 1600000000;
  t.mtime = 1234567890;
  t.mtimeNsec = 123456789;
  ASSERT_TRUE(pf::SetTimesAt(dir, "f", t));
  ASSERT_TRUE(pf::InfoAt(dir, "f", &info));
  EXPECT_EQ(info.mtime, 1234567890);
  EXPECT_EQ(info.mtimeNsec, 123456789u);
  // On a link the link's own times change, not the file's.
  t.mtime = 1000000000;
  t.mtimeNsec = 0;
  ASSERT_TRUE(pf::SetTimesAt(dir, "link", t));
  ASSERT_TRUE(pf::InfoAt(dir, "link", &info));
  EXPECT_EQ(info.mtime, 1000000000);
  ASSERT_TRUE(pf::InfoAt(dir, "f", &info));
  EXPECT_EQ(info.mtime, 1234567890);

  const int fd = pf::OpenFileAt(dir, "f");
  ASSERT_GE(fd, 0);
  t.mtime = -86400;  // before 1970
  ASSERT_TRUE(pf::SetTimes(fd, t));
  ASSERT_TRUE(pf::InfoOf(fd, &info));
  EXPECT_EQ(info.mtime, -86400);
  pf::CloseFile(fd);
}

TEST_F(PosixTree, FoldersFilesAndHardLinks) {
  ASSERT_EQ(pf::MakeFolderAt(dir, "sub", 0750), 0);
  EXPECT_EQ(pf::MakeFolderAt(dir, "sub", 0750), -1);
  EXPECT_EQ(errno, EEXIST);
  const int sub = pf::OpenFolderAt(dir, "sub");
  ASSERT_GE(sub, 0);
  for (const char* n : {"b", "a", "файл", "with\nnewline"}) {
    const int fd = pf::CreateFileAt(sub, n, 0600, true);
    ASSERT_GE(fd, 0) << n;
    pf::CloseFile(fd);
  }
  EXPECT_EQ(pf::CreateFileAt(sub, "a", 0600, true), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(List(sub), (std::vector<std::string>{"a", "b", "with\nnewline", "файл"}));
  EXPECT_EQ(List(dir), std::vector<std::string>{"sub"});

  ASSERT_TRUE(pf::HardLinkAt(sub, "a", dir, "a2"));
  pf::EntryInfo a, a2;
  ASSERT_TRUE(pf::InfoAt(sub, "a", &a));
  ASSERT_TRUE(pf::InfoAt(dir, "a2", &a2));
  EXPECT_EQ(a.inode, a2.inode);
  EXPECT_EQ(a.device, a2.device);
  EXPECT_EQ(a2.links, 2u);
  EXPECT_EQ(a.mode, 0600u);

  EXPECT_FALSE(pf::RemoveAt(dir, "sub", true));
  EXPECT_EQ(errno, ENOTEMPTY);
  ASSERT_TRUE(pf::RenameAt(dir, "a2", sub, "b"));  // replaces b
  EXPECT_EQ(List(sub), (std::vector<std::string>{"a", "b", "with\nnewline", "файл"}));
  ASSERT_TRUE(pf::InfoAt(sub, "b", &a2));
  EXPECT_EQ(a2.inode, a.inode);
  EXPECT_EQ(pf::OpenFolderAt(sub, "a"), -1);
  EXPECT_EQ(errno, ENOTDIR);
  pf::CloseFolder(sub);
}
