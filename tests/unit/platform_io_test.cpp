// The image file layer on both systems (under Wine for the Windows builds): offsets past 4 GiB,
// reads at and past the end, sizes and holes, UTF-8 names, replacing renames and what a path
// names without following links.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform.h"
#include "platform_io.h"
#include "test_support.h"

using namespace orvex;
using namespace orvex::test;
namespace pf = orvex::platform;

namespace {

std::string U(const fs::path& p) { return pf::FromPath(p); }

}  // namespace

TEST(PlatformIo, PositionedIoPastFourGiBAndTheEndOfTheFile) {
  TempDir t;
  // A Cyrillic name with a blank: the layer takes UTF-8 on both systems.
  const std::string path = U(t.path() / pf::ToPath("образ диска.img"));
  int fd = pf::CreateForWrite(path);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  const uint64_t far = (5ull << 30) + 3;  // past what a 32-bit offset holds
  ASSERT_TRUE(pf::WriteAllAt(fd, "tail", 4, far));
  ASSERT_TRUE(pf::WriteAllAt(fd, "head", 4, 0));
  EXPECT_EQ(pf::SizeOfFile(fd), int64_t(far + 4));
  EXPECT_TRUE(pf::IsRegularFile(fd));
  ASSERT_EQ(pf::CloseFile(fd), 0);

  fd = pf::OpenForRead(path);
  ASSERT_GE(fd, 0);
  char buf[8] = {};
  ASSERT_TRUE(pf::ReadAllAt(fd, buf, 4, far));
  EXPECT_EQ(std::string(buf, 4), "tail");
  // Between the two writes the file reads as zeros.
  ASSERT_TRUE(pf::ReadAllAt(fd, buf, 8, 1ull << 32));
  EXPECT_EQ(std::string(buf, 8), std::string(8, '\0'));
  // At the end a read gives 0; a whole-buffer read across the end fails instead of inventing bytes.
  EXPECT_EQ(pf::ReadAt(fd, buf, 8, far + 4), 0);
  EXPECT_FALSE(pf::ReadAllAt(fd, buf, 8, far));
  pf::CloseFile(fd);
}

TEST(PlatformIo, SizesHolesAndMissingFiles) {
  TempDir t;
  const std::string path = U(t / "sparse.img");
  int fd = pf::CreateForWrite(path);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(pf::SetFileSize(fd, 64ull << 20));
  ASSERT_TRUE(pf::WriteAllAt(fd, "data", 4, 32ull << 20));
  EXPECT_EQ(pf::SizeOfFile(fd), int64_t(64ull << 20));
  // Whatever the file system can tell, the data written is never inside a reported hole.
  uint64_t start = 0, end = 0;
  const pf::Region r = pf::NextDataRegion(fd, 0, &start, &end);
  if (r == pf::Region::kData) {
    EXPECT_LE(start, 32ull << 20);
    uint64_t pos = start, s = start, e = end;
    while (e <= (32ull << 20) && pf::NextDataRegion(fd, e, &s, &e) == pf::Region::kData) pos = s;
    EXPECT_LE(pos, 32ull << 20);
    EXPECT_GT(e, 32ull << 20);
  } else {
    EXPECT_EQ(r, pf::Region::kUnknown);  // a file with data is never "only a hole"
  }
  EXPECT_EQ(pf::NextDataRegion(fd, 64ull << 20, &start, &end), pf::Region::kOnlyHole);
  // Shrinking cuts the data off.
  ASSERT_TRUE(pf::SetFileSize(fd, 4096));
  EXPECT_EQ(pf::SizeOfFile(fd), 4096);
  pf::CloseFile(fd);

  EXPECT_LT(pf::OpenForRead(U(t / "missing.img")), 0);
  EXPECT_EQ(errno, ENOENT);
}

TEST(PlatformIo, NewFilesRenamesRemovalAndKinds) {
  TempDir t;
  const std::string a = U(t / "a.img"), b = U(t / "b.img");
  int fd = pf::CreateNewFile(a);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(pf::WriteAllAt(fd, "new", 3, 0));
  pf::CloseFile(fd);
  // A second exclusive creation fails and leaves the file alone.
  EXPECT_LT(pf::CreateNewFile(a), 0);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(ReadFile(t / "a.img"), "new");

  WriteFile(t / "b.img", "old contents");
  ASSERT_TRUE(pf::RenameReplacing(a, b));
  EXPECT_EQ(ReadFile(t / "b.img"), "new");
  EXPECT_EQ(pf::KindOf(a), pf::PathKind::kMissing);
  EXPECT_EQ(pf::KindOf(b), pf::PathKind::kFile);
  EXPECT_EQ(pf::KindOf(U(t.path())), pf::PathKind::kFolder);
  // A folder is never removed as a file.
  fs::create_directory(t / "dir");
  EXPECT_FALSE(pf::RemoveFile(U(t / "dir")));
  EXPECT_TRUE(fs::is_directory(t / "dir"));
  EXPECT_TRUE(pf::RemoveFile(b));
  EXPECT_FALSE(fs::exists(t / "b.img"));
}

TEST(PlatformIo, GrowingAFileKeepsItsDataAndReadsZerosPastIt) {
  TempDir t;
  const std::string path = U(t / "grown.img");
  int fd = pf::CreateForWrite(path);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(pf::WriteAllAt(fd, "abc", 3, 0));
  const uint64_t big = (6ull << 30) + 4096;  // past 4 GiB: 64-bit sizes on 32-bit Windows too
  ASSERT_TRUE(pf::SetFileSize(fd, big)) << std::strerror(errno);
  EXPECT_EQ(pf::SizeOfFile(fd), int64_t(big));
  pf::CloseFile(fd);
  fd = pf::OpenForRead(path);
  ASSERT_GE(fd, 0);
  char buf[8] = {1, 1, 1, 1, 1, 1, 1, 1};
  ASSERT_TRUE(pf::ReadAllAt(fd, buf, 3, 0));
  EXPECT_EQ(std::string(buf, 3), "abc");
  ASSERT_TRUE(pf::ReadAllAt(fd, buf, 8, big - 8));
  EXPECT_EQ(std::string(buf, 8), std::string(8, '\0'));
  pf::CloseFile(fd);
}

TEST(PlatformIo, SameFileKnowsOneFileByAnyPath) {
  TempDir t;
  WriteFile(t / "a.img", "a");
  WriteFile(t / "b.img", "a");
  fs::create_directory(t / "sub");
  const std::string a = U(t / "a.img");
  EXPECT_TRUE(pf::SameFile(a, a));
  EXPECT_TRUE(pf::SameFile(a, U(t / "sub" / ".." / "a.img")));
  EXPECT_FALSE(pf::SameFile(a, U(t / "b.img")));  // same bytes, another file
  EXPECT_FALSE(pf::SameFile(a, U(t / "missing.img")));
  EXPECT_FALSE(pf::SameFile(U(t / "missing.img"), U(t / "missing.img")));
  std::error_code ec;
  fs::create_hard_link(t / "a.img", t / "hard.img", ec);
  if (!ec) {
    EXPECT_TRUE(pf::SameFile(a, U(t / "hard.img")));
  }
}
