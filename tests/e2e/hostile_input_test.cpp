// Crafted images and file names through orvex-cli with the real tools: nothing they hold may run
// as a command, and the pack leaves a valid image under the real name.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "cli_workspace.h"
#include "tree_manifest.h"

using namespace orvex::test;

namespace {

struct HostileCli : CliWorkspace {
  CommandResult Run(const fs::path& target) const {
    // From inside fw/, so that a relative "touch pwned" would land where the test looks.
    return RunCommand("cd " + ShQuote(Fw().string()) + " && " + ShQuote(exe.string()) + " --set Locale_ID=1033 " +
                      ShQuote(target.string()));
  }
  bool Pwned() const {
    for (const auto& e : fs::recursive_directory_iterator(tmp.path()))
      if (e.path().filename() == "pwned") return true;
    return false;
  }
};

bool Have(std::initializer_list<const char*> tools) {
  for (const char* t : tools)
    if (!HaveProgram(t)) return false;
  return true;
}

void SmallTree(const fs::path& t) {
  WriteFile(t / "etc/hosts", "127.0.0.1 localhost\n");
  WriteFile(t / "bin/tool", "tool");
}

}  // namespace

TEST(HostileInput, LastMountedFieldCannotAddAnOptionsLine) {
  if (!Have({"mke2fs", "e2fsck"})) GTEST_SKIP() << "e2fsprogs missing";
  HostileCli cli;
  SmallTree(cli.tmp / "src");
  const fs::path image = cli.Fw() / "system.img";
  ASSERT_EQ(RunCommand("mke2fs -q -t ext4 -O ^metadata_csum -b 4096 -d " + ShQuote((cli.tmp / "src").string()) + " " +
                       ShQuote(image.string()) + " 16M")
                .exit_code,
            0);
  // The superblock's last-mounted field (64 bytes at 0x88) with a line of its own choosing.
  std::string bytes = ReadFile(image);
  const std::string field = std::string("/system\r\nmkfs.erofs options: ;touch pwned; x.img y", 50);
  bytes.replace(1024 + 0x88, field.size(), field);
  WriteFile(image, bytes);

  auto r = cli.Run(image);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const std::string options = ReadFile(cli.Fw() / "system/config/system_fs_options.txt");
  EXPECT_NE(options.find("Mount point: /system\\x0d\\x0amkfs.erofs options: ;touch pwned;"), std::string::npos) << options;
  r = cli.Run(cli.Fw() / "system");
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_FALSE(cli.Pwned());
  auto fsck = RunCommand("e2fsck -fn " + ShQuote(image.string()));
  EXPECT_EQ(fsck.exit_code, 0) << fsck.output;
}

TEST(HostileInput, FileNamesWithALineBreakRunNothing) {
  if (!Have({"mke2fs", "e2fsck", "mkfs.erofs", "fsck.erofs"})) GTEST_SKIP() << "e2fsprogs or erofs-utils missing";
  HostileCli cli;
  SmallTree(cli.tmp / "src");
  const std::string src = ShQuote((cli.tmp / "src").string());
  const fs::path erofs = cli.Fw() / "a\nmkfs.erofs options: ;touch pwned;.img";
  const fs::path ext4 = cli.Fw() / "b\nSize: 1;touch pwned;.img";
  ASSERT_EQ(RunCommand("mkfs.erofs -zlz4 " + ShQuote(erofs.string()) + " " + src).exit_code, 0);
  ASSERT_EQ(RunCommand("mke2fs -q -t ext4 -d " + src + " " + ShQuote(ext4.string()) + " 16M").exit_code, 0);
  const std::string erofsBefore = ReadFile(erofs);

  for (const fs::path& image : {erofs, ext4}) {
    SCOPED_TRACE(image.filename().string());
    auto r = cli.Run(image);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    fs::path folder = image;
    folder.replace_extension();
    r = cli.Run(folder);
    EXPECT_FALSE(cli.Pwned()) << r.output;
    ASSERT_TRUE(fs::exists(image));
  }
  // The EROFS pack cannot name such an image on the mkfs.erofs line and says so; the image stays.
  EXPECT_EQ(ReadFile(erofs), erofsBefore);
  EXPECT_EQ(RunCommand("fsck.erofs " + ShQuote(erofs.string())).exit_code, 0);
  auto fsck = RunCommand("e2fsck -fn " + ShQuote(ext4.string()));
  EXPECT_EQ(fsck.exit_code, 0) << fsck.output;
}

TEST(HostileInput, SlotImageKeepsTheLabelOfAnAddedFile) {
  if (!Have({"mkfs.erofs", "fsck.erofs", "setfattr"})) GTEST_SKIP() << "erofs-utils or attr missing";
  if (!IsRoot()) GTEST_SKIP() << "labels need root to be set on the source tree";
  HostileCli cli;
  const fs::path src = cli.tmp / "src";
  SmallTree(src);
  // ro.vendor.build keys make the tree folder "vendor", whatever the image is called.
  WriteFile(src / "build.prop", "ro.vendor.build.version.sdk=34\nro.vendor.build.type=user\n");
  RunCommand("find " + ShQuote(src.string()) + " -exec setfattr -h -n security.selinux -v u:object_r:vendor_file:s0 {} \\;");
  const fs::path image = cli.Fw() / "vendor_a.img";
  ASSERT_EQ(RunCommand("mkfs.erofs -zlz4 " + ShQuote(image.string()) + " " + ShQuote(src.string())).exit_code, 0);
  auto r = cli.Run(image);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const fs::path tree = cli.Fw() / "vendor_a/vendor";
  ASSERT_TRUE(fs::is_directory(tree)) << r.output;
  WriteFile(tree / "bin/added", "added");

  r = cli.Run(cli.Fw() / "vendor_a");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(r.output.find("cannot open folder"), std::string::npos) << r.output;
  EXPECT_EQ(RunCommand("fsck.erofs " + ShQuote(image.string())).exit_code, 0);
  ASSERT_EQ(cli.Run(image).exit_code, 0);
  EXPECT_EQ(XattrHex(tree / "bin/added", "security.selinux"), "u:object_r:vendor_file:s0");
}

TEST(HostileInput, AttributeFileCannotReachThroughALinkInThePath) {
  if (!Have({"mkfs.erofs"})) GTEST_SKIP() << "erofs-utils missing";
  if (!IsRoot()) GTEST_SKIP() << "the attributes are set on the tree itself only as root";
  TempDir tmp;
  const fs::path outside = tmp / "outside/secret";
  WriteFile(outside, "secret");
  chmod(outside.c_str(), 0600);
  const fs::path tree = tmp / "vendor/vendor";
  WriteFile(tree / "etc/hosts", "hosts");
  fs::create_symlink(tmp / "outside", tree / "etc/away");
  // The middle of this path is a link out of the tree; the last line is an ordinary path.
  WriteFile(tmp / "vendor/config/vendor_fs_config.txt",
            "vendor 0 0 0755\r\nvendor/etc/away/secret 0 0 4777\r\nvendor/etc/hosts 0 0 0640\r\n");
  auto r = RunCommand("cd " + ShQuote(tmp.str()) + " && " + ShQuote((BinDir() / "erofs/mkfs.erofs").string()) +
                      " -zlz4 vendor.img vendor/vendor");
  EXPECT_EQ(r.exit_code, 0) << r.output;
  struct stat st {};
  ASSERT_EQ(stat(outside.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  ASSERT_EQ(stat((tree / "etc/hosts").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_NE(r.output.find("attributes of 1 paths could not be set"), std::string::npos) << r.output;
}
