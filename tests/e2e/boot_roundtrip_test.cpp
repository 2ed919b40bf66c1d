// Boot images through orvex-cli with the real AndImgTool: unpack, pack unedited (byte-identical),
// edit and pack again (read back by Debian's unpack_bootimg), and a failed pack that keeps the
// user's image.
#include <gtest/gtest.h>

#include <regex>

#include "cli_workspace.h"
#include "test_support.h"

using namespace orvex::test;

namespace {

using BootCli = CliWorkspace;

bool Ready() { return fs::exists(BinDir() / "AndImgTool") && fs::exists(BuildDir() / "orvex-cli"); }

}  // namespace

TEST(BootImageRoundTrip, SamplesComeBackByteForByte) {
  fs::path s = SamplesDir() / "bootimg";
  if (!Ready() || !fs::exists(s)) GTEST_SKIP() << "tool or samples missing";
  BootCli cli;
  for (const char* n : {"avbroot_boot_v0", "avbroot_boot_v1", "avbroot_boot_v2", "avbroot_boot_v3", "avbroot_boot_v4",
                        "avbroot_vendor_boot_v3", "avbroot_vendor_boot_v4"}) {
    SCOPED_TRACE(n);
    fs::path image = cli.Fw() / (std::string(n) + ".PARTITION");
    fs::copy_file(s / (std::string(n) + ".img"), image);
    auto r = cli.Run(image);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find("Exit code AndImgTool: 0"), std::string::npos) << r.output;
    ASSERT_TRUE(fs::exists(cli.Fw() / n / "config.ini"));
    r = cli.Run(cli.Fw() / n);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(ReadFile(image) == ReadFile(s / (std::string(n) + ".img")));
    EXPECT_FALSE(fs::exists(image.string() + ".bak"));  // No_Backup is 1 by default
  }
}

TEST(BootImageRoundTrip, MkbootimgImageUneditedThenEdited) {
  if (!Ready() || !HaveProgram("mkbootimg") || !HaveProgram("unpack_bootimg") || !HaveProgram("cpio"))
    GTEST_SKIP() << "mkbootimg or cpio missing";
  BootCli cli;
  fs::path src = cli.tmp / "src";
  WriteFile(src / "init", "init");
  WriteFile(src / "init.rc", "on boot\n");
  fs::create_directories(src / "sbin");
  fs::path rd = cli.tmp / "rd.lz4";
  ASSERT_EQ(RunCommand("cd " + ShQuote(src.string()) + " && find . | LC_ALL=C sort | cpio -o -H newc 2>/dev/null | lz4 -l -c > " +
                       ShQuote(rd.string()))
                .exit_code,
            0);
  WriteFile(cli.tmp / "kernel", std::string(6000, 'k'));
  WriteFile(cli.tmp / "dtb", "dtb");
  fs::path image = cli.Fw() / "recovery.PARTITION";
  ASSERT_EQ(RunCommand("mkbootimg --header_version 2 --kernel " + ShQuote((cli.tmp / "kernel").string()) + " --ramdisk " +
                       ShQuote(rd.string()) + " --dtb " + ShQuote((cli.tmp / "dtb").string()) +
                       " --cmdline 'console=ttyS0' --os_version 10.0.0 --os_patch_level 2020-01 -o " +
                       ShQuote(image.string()))
                .exit_code,
            0);
  const std::string original = ReadFile(image);

  ASSERT_EQ(cli.Run(image).exit_code, 0);
  auto r = cli.Run(cli.Fw() / "recovery");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(ReadFile(image) == original);

  // Edit: a new script in the ramdisk and another command line.
  WriteFile(cli.Fw() / "recovery/ramdisk/sbin/extra.sh", "#!/bin/sh\necho edited\n");
  fs::path cfg = cli.Fw() / "recovery/config.ini";
  WriteFile(cfg, std::regex_replace(ReadFile(cfg), std::regex("\ncmdline = [^\r\n]*"), "\ncmdline = console=ttyS2 edited"));
  r = cli.Run(cli.Fw() / "recovery");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_FALSE(ReadFile(image) == original);
  auto ub = RunCommand("unpack_bootimg --boot_img " + ShQuote(image.string()) + " --out " + ShQuote((cli.tmp / "ub").string()));
  ASSERT_EQ(ub.exit_code, 0) << ub.output;
  EXPECT_NE(ub.output.find("command line args: console=ttyS2 edited\n"), std::string::npos) << ub.output;
  EXPECT_NE(ub.output.find("os version: 10.0.0"), std::string::npos);
  auto listing = RunCommand("lz4 -dc " + ShQuote((cli.tmp / "ub/ramdisk").string()) + " | cpio -it 2>/dev/null");
  EXPECT_NE(listing.output.find("sbin/extra.sh"), std::string::npos) << listing.output;

  // Unpacked again through the program, the edit is there.
  ASSERT_EQ(cli.Run(image).exit_code, 0);
  EXPECT_EQ(ReadFile(cli.Fw() / "recovery/ramdisk/sbin/extra.sh"), "#!/bin/sh\necho edited\n");
}

TEST(BootImageRoundTrip, FailedPackKeepsTheImage) {
  fs::path s = SamplesDir() / "bootimg";
  if (!Ready() || !fs::exists(s)) GTEST_SKIP() << "tool or samples missing";
  BootCli cli;
  fs::path image = cli.Fw() / "boot.PARTITION";
  fs::copy_file(s / "avbroot_boot_v2.img", image);
  ASSERT_EQ(cli.Run(image).exit_code, 0);
  fs::path cfg = cli.Fw() / "boot/config.ini";
  WriteFile(cfg, std::regex_replace(ReadFile(cfg), std::regex("\npage_size = [0-9]+"), "\npage_size = 12345"));
  auto r = cli.Run(cli.Fw() / "boot");
  EXPECT_EQ(r.exit_code, 1) << r.output;
  EXPECT_NE(r.output.find("page_size"), std::string::npos) << r.output;
  EXPECT_TRUE(ReadFile(image) == ReadFile(s / "avbroot_boot_v2.img"));
  EXPECT_FALSE(fs::exists(cli.Fw() / "boot.PARTITION.bak"));
}
