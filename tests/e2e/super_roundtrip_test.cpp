// Super images through orvex-cli with the real tools: a super image made by our lpmake from an
// ext4 image (mke2fs) and an EROFS image (mkfs.erofs), A/B with an empty slot b, three groups and
// the virtual A/B flag, raw and sparse. Unpacked, packed with no edits, then edited and packed
// again; every rebuilt image is checked by lpdump, e2fsck and fsck.erofs.
#include <gtest/gtest.h>

#include <random>

#include "cli_workspace.h"
#include "test_support.h"

using namespace orvex::test;

namespace {

struct SuperCli : CliWorkspace {
  CommandResult Run(const fs::path& target, const std::string& settings = "") const {
    return CliWorkspace::Run(target, "--set No_Org=0 " + settings);
  }
  std::string Lp(const std::string& tool, const std::string& args) const {
    auto r = RunCommand(ShQuote((BinDir() / "makesuper" / tool).string()) + " " + args);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    return r.output;
  }
};

std::string Q(const fs::path& p) { return ShQuote(p.string()); }

// Metadata of slot 0 as lpdump prints it.
std::string Layout(const SuperCli& cli, const fs::path& image) { return cli.Lp("lpdump", "--slot=0 " + Q(image)); }

class SuperRoundTrip : public ::testing::TestWithParam<bool> {};

TEST_P(SuperRoundTrip, UnpackPackAndEdit) {
  for (const char* t : {"mke2fs", "e2fsck", "mkfs.erofs", "fsck.erofs", "simg2img", "img2simg"})
    if (!HaveProgram(t)) GTEST_SKIP() << t << " missing";
  const bool sparse = GetParam();
  SuperCli cli;
  const fs::path src = cli.tmp / "src";
  std::mt19937 rng(5);
  std::string blob(1500000, '\0');
  for (char& c : blob) c = char(rng());
  WriteFile(src / "etc" / "data.bin", blob);
  WriteFile(src / "etc" / "hosts", "127.0.0.1 localhost\n");
  WriteFile(src / "bin" / "tool", "#!/bin/sh\n");
  auto mk = RunCommand("cd " + Q(cli.tmp.path()) + " && mke2fs -q -t ext4 -b 4096 -L system -d src system.img 16M" +
                       " && mkfs.erofs --quiet -T1700000000 vendor.img src && img2simg system.img system_sparse.img");
  ASSERT_EQ(mk.exit_code, 0) << mk.output;

  const fs::path super = cli.Fw() / "super.img";
  cli.Lp("lpmake", "--metadata-size=65536 --super-name=super --metadata-slots=3 --device=super:100663296:1048576"
                   " --group=main_a:98566144 --group=main_b:98566144"
                   " --partition=system_a:readonly:0:main_a --image=system_a=" + Q(cli.tmp / "system_sparse.img") +
                   " --partition=system_b:readonly:0:main_b"
                   " --partition=vendor_a:readonly:0:main_a --image=vendor_a=" + Q(cli.tmp / "vendor.img") +
                   " --partition=vendor_b:readonly:0:main_b --virtual-ab" + (sparse ? " --sparse" : "") +
                   " --output=" + Q(super));
  const std::string sourceLayout = Layout(cli, super);
  const std::string sourceBytes = ReadFile(super);

  // Unpack: the partition images, the layout file and the unpacked partitions.
  auto r = cli.Run(super);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const fs::path folder = cli.Fw() / "super";
  EXPECT_TRUE(ReadFile(folder / "system_a.img") == ReadFile(cli.tmp / "system.img"));
  EXPECT_EQ(fs::file_size(folder / "system_b.img"), 0u);
  EXPECT_EQ(fs::file_size(folder / "vendor_b.img"), 0u);
  const std::string layoutFile = ReadFile(folder / "config" / "super_config.txt");
  EXPECT_EQ(layoutFile.substr(0, sourceLayout.size()), sourceLayout);
  EXPECT_NE(layoutFile.find(std::string("  FileType: ") + (sparse ? "Sparse" : "Raw") + "\r\n"), std::string::npos);
  EXPECT_FALSE(fs::exists(cli.Fw() / "super_raw.img"));
  EXPECT_EQ(ReadFile(folder / "system_a" / "system" / "etc" / "hosts"), "127.0.0.1 localhost\n");
  EXPECT_TRUE(ReadFile(folder / "vendor_a" / "vendor_a" / "etc" / "data.bin") == blob);

  // Packed with no edits (the partition folders left as they are): the same super image.
  r = cli.Run(folder, "--set Pack_System=0 --set Pack_Vendor=0");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(Layout(cli, super), sourceLayout);
  EXPECT_TRUE(ReadFile(super) == sourceBytes) << "the rebuilt super image differs from the source";
  EXPECT_TRUE(ReadFile(cli.Fw() / "super.org") == sourceBytes);

  // Edit: a 20 MiB file in system_a (more than its file system holds: the pack retries with
  // room and shrinks), a small file in vendor_a.
  std::string big(20 << 20, '\0');
  for (size_t i = 0; i < big.size(); i += 4096) big[i] = char(rng());
  WriteFile(folder / "system_a" / "system" / "etc" / "big.bin", big);
  WriteFile(folder / "vendor_a" / "vendor_a" / "etc" / "added.txt", "added\n");
  r = cli.Run(folder);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  // make_ext4fs ran out of blocks inside the super folder: one retry with room, then a shrink.
  EXPECT_NE(r.output.find(">< !!! Expand size partition"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("resize2fs"), std::string::npos) << r.output;
  const std::string edited = Layout(cli, super);
  EXPECT_NE(edited.find("Header flags: virtual_ab_device\n"), std::string::npos);
  EXPECT_NE(edited.find("  Name: main_b\n  Maximum size: 98566144 bytes\n"), std::string::npos);
  EXPECT_NE(edited.find("  Name: vendor_b\n  Group: main_b\n  Attributes: readonly\n  Extents:\n---"), std::string::npos);
  EXPECT_GT(fs::file_size(folder / "system_a.img"), 20u << 20);
  EXPECT_EQ(RunCommand("head -c 4 " + Q(super) + " | od -An -tx1").output.find("3a ff 26 ed") != std::string::npos, sparse);

  // The rebuilt super unpacks again; its partitions pass the file-system checkers.
  const fs::path check = cli.tmp / "check";
  fs::create_directories(check);
  cli.Lp("lpunpack", Q(super) + " " + Q(check));
  auto e2 = RunCommand("e2fsck -fn " + Q(check / "system_a.img"));
  EXPECT_EQ(e2.exit_code, 0) << e2.output;
  auto er = RunCommand("fsck.erofs " + Q(check / "vendor_a.img"));
  EXPECT_EQ(er.exit_code, 0) << er.output;
  r = cli.Run(super);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(ReadFile(folder / "system_a" / "system" / "etc" / "big.bin") == big);
  EXPECT_EQ(ReadFile(folder / "vendor_a" / "vendor_a" / "etc" / "added.txt"), "added\n");
}

INSTANTIATE_TEST_SUITE_P(Forms, SuperRoundTrip, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "Sparse" : "Raw"); });

}  // namespace
