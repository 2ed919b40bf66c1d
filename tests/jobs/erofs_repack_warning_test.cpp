// The EROFS pack shows, once and before the build, what the installed mkfs.erofs cannot keep of
// the unpacked image (recorded by extract.erofs as "Repack warning").
#include <gtest/gtest.h>

#include <algorithm>

#include "fake_tools.h"
#include "jobs.h"

using namespace orvex;
using namespace orvex::test;

namespace {

void MakeErofsFolder(const fs::path& w, const std::string& options) {
  WriteFile(w / "vendor/vendor/etc/a", "a");
  WriteFile(w / "vendor/config/vendor_fs_config.txt", "vendor 0 0 0755\r\n");
  WriteFile(w / "vendor/config/vendor_fs_options.txt", options);
}

long IndexOf(const std::vector<std::string>& lines, const std::string& prefix) {
  auto it = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
  return it == lines.end() ? -1 : static_cast<long>(it - lines.begin());
}

TEST(PackErofsRepackWarning, ShownOnceBeforeTheBuildOnlyWhenRecorded) {
  EngineEnv env;
  env.FakeTool("fspatch", "");
  env.FakeTool("erofs/mkfs.erofs", "head -c 8192 /dev/zero > \"$2\"\n");
  const fs::path w = env.Work();
  const std::string warning =
      "the installed mkfs.erofs cannot write LZMA compression; the image comes back as LZ4HC with 65536-byte "
      "clusters, with the same files";
  MakeErofsFolder(w, "Type: Raw\r\nExpansion: img\r\nCompression: lzma\r\nRepack warning: " + warning +
                         "\r\nmkfs.erofs options: -zlz4hc -C65536 vendor.img vendor/vendor");
  PackPartitionImage(env.ctx, (w / "vendor").string());
  auto lines = env.Lines();
  const long warn = IndexOf(lines, ">< !!! " + warning);
  const long step = IndexOf(lines, "Код выхода mkfs.erofs: 0");
  ASSERT_GE(warn, 0) << env.log.Text();
  ASSERT_GE(step, 0) << env.log.Text();
  EXPECT_LT(warn, step);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind(">< !!! ", 0) == 0; }), 1);

  // An image the installed mkfs.erofs writes as it was: no warning line at all.
  EngineEnv plain;
  plain.FakeTool("fspatch", "");
  plain.FakeTool("erofs/mkfs.erofs", "head -c 8192 /dev/zero > \"$2\"\n");
  MakeErofsFolder(plain.Work(), "Type: Raw\r\nExpansion: img\r\nmkfs.erofs options: -zlz4hc vendor.img vendor/vendor");
  PackPartitionImage(plain.ctx, (plain.Work() / "vendor").string());
  EXPECT_EQ(plain.log.Text().find(">< !!! "), std::string::npos) << plain.log.Text();
  EXPECT_NE(plain.log.Text().find("Код выхода mkfs.erofs: 0"), std::string::npos);
}

}  // namespace
