// An Amlogic burn image through orvex-cli with the real tools: unpacked with its partitions,
// packed back unchanged byte for byte, and after edits (a file added to system, the logo
// picture replaced) packed into an image that passes the format's checks and unpacks to the edits.
#include <gtest/gtest.h>

#include "cli_workspace.h"
#include "tree_manifest.h"

using namespace orvex::test;

namespace {

struct AmlCli : CliWorkspace {
  CommandResult Tool(const std::string& name, const std::string& args) const {
    return RunCommand(ShQuote((BinDir() / name).string()) + " " + args + " 2>&1");
  }
};

bool HaveAll(std::initializer_list<const char*> tools) {
  for (const char* t : tools)
    if (!HaveProgram(t)) return false;
  return true;
}

std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 37 + seed) ^ (i >> 9));
  return s;
}

std::string SmallBmp() {
  std::string s(54, '\0');
  s[0] = 'B';
  s[1] = 'M';
  s[2] = static_cast<char>(54 + 48);
  s[10] = 54;
  s[14] = 40;
  s[18] = 4;
  s[22] = 4;
  s[26] = 1;
  s[28] = 24;
  return s + std::string(48, '\x7f');
}

// The files of a box firmware and its item list as a vendor writes it (no layout section).
void MakeFirmwareSource(const fs::path& src, const fs::path& systemTree, const fs::path& vendorTree, int version) {
  const fs::path samples = SamplesDir();
  WriteFile(src / "DDR.USB", Pattern(20000, 1));
  WriteFile(src / "UBOOT.USB", Pattern(20000, 1));
  WriteFile(src / "aml_sdc_burn.ini", "[common]\nerase_bootloader = 1\nerase_flash = 0\n");
  WriteFile(src / "platform.conf", ReadFile(samples / "amlogic_burn_cfg/jethome_j100_platform.conf"));
  WriteFile(src / "_aml_dtb.PARTITION", ReadFile(samples / "amlogic_multidtb/jethome_j100_aml_dtb.PARTITION"));
  WriteFile(src / "logo.PARTITION", ReadFile(samples / "amlogic_logo/khadas_vim_logo.img"));
  WriteFile(src / "boot.PARTITION", Pattern(70000, 5));
  const fs::path raw = src / "system.raw";
  ASSERT_EQ(RunCommand("mke2fs -q -t ext4 -b 4096 -O ^has_journal -L system -d " + ShQuote(systemTree.string()) + " " +
                       ShQuote(raw.string()) + " 16M").exit_code, 0);
  ASSERT_EQ(RunCommand("img2simg " + ShQuote(raw.string()) + " " + ShQuote((src / "system.PARTITION").string())).exit_code, 0);
  fs::remove(raw);
  ASSERT_EQ(RunCommand("mkfs.erofs -T1700000000 " + ShQuote((src / "vendor.PARTITION").string()) + " " +
                       ShQuote(vendorTree.string())).exit_code, 0);
  std::string cfg =
      "[LIST_NORMAL]\n"
      "file=\"DDR.USB\"\t\tmain_type=\"USB\"\t\tsub_type=\"DDR\"\n"
      "file=\"UBOOT.USB\"\t\tmain_type=\"USB\"\t\tsub_type=\"UBOOT\"\n"
      "file=\"aml_sdc_burn.ini\"\t\tmain_type=\"ini\"\t\tsub_type=\"aml_sdc_burn\"\n"
      "file=\"_aml_dtb.PARTITION\"\t\tmain_type=\"dtb\"\t\tsub_type=\"meson1\"\n"
      "file=\"platform.conf\"\t\tmain_type=\"conf\"\t\tsub_type=\"platform\"\n"
      "\n[LIST_VERIFY]\n"
      "file=\"_aml_dtb.PARTITION\"\tmain_type=\"PARTITION\"\t\tsub_type=\"_aml_dtb\"\n"
      "file=\"boot.PARTITION\"\tmain_type=\"PARTITION\"\t\tsub_type=\"boot\"\n"
      "file=\"logo.PARTITION\"\tmain_type=\"PARTITION\"\t\tsub_type=\"logo\"\n"
      "file=\"system.PARTITION\"\tmain_type=\"PARTITION\"\t\tsub_type=\"system\"\n"
      "file=\"vendor.PARTITION\"\tmain_type=\"PARTITION\"\t\tsub_type=\"vendor\"\n";
  if (version == 1) cfg += "[PACK_LAYOUT]\nversion=1\nalign=4\n";
  WriteFile(src / "image.cfg", cfg);
}

std::map<std::string, std::string> Tree(const fs::path& p) { return Manifest(p, false); }

}  // namespace

class AmlogicRoundTrip : public ::testing::TestWithParam<int> {};

TEST_P(AmlogicRoundTrip, UnpackPackUnchangedAndEdited) {
  if (!HaveAll({"mke2fs", "img2simg", "mkfs.erofs", "fsck.erofs", "e2fsck", "simg2img"}))
    GTEST_SKIP() << "e2fsprogs, sparse tools or erofs-utils missing";
  AmlCli cli;
  const fs::path systemTree = cli.tmp / "trees/system", vendorTree = cli.tmp / "trees/vendor";
  WriteFile(systemTree / "build.prop", "ro.product.model=box\n");
  WriteFile(systemTree / "app/Settings/Settings.apk", Pattern(90000, 7));
  WriteFile(vendorTree / "etc/init/hw.rc", "on boot\n");
  WriteFile(vendorTree / "lib/libhw.so", Pattern(30000, 9));
  const fs::path src = cli.tmp / "src";
  MakeFirmwareSource(src, systemTree, vendorTree, GetParam());
  const fs::path fw = cli.tmp / "fw";
  fs::create_directories(fw);
  const fs::path image = fw / "box.img";
  auto r = cli.Tool("AmlImagePack", "-r " + ShQuote((src / "image.cfg").string()) + " " + ShQuote(src.string()) + " " +
                                        ShQuote(image.string()));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const std::string original = ReadFile(image);
  EXPECT_EQ(original.substr(4, 1), std::string(1, static_cast<char>(GetParam())));

  // Unpack: the items, the list, and the partitions by the settings.
  r = cli.Run(image);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const fs::path box = fw / "box";
  for (const char* item : {"DDR.USB", "UBOOT.USB", "aml_sdc_burn.ini", "meson1.dtb", "platform.conf",
                           "_aml_dtb.PARTITION", "boot.PARTITION", "logo.PARTITION", "system.PARTITION",
                           "vendor.PARTITION", "image.cfg"})
    EXPECT_TRUE(fs::exists(box / item)) << item;
  EXPECT_EQ(ReadFile(box / "system.PARTITION"), ReadFile(src / "system.PARTITION"));  // stays sparse
  EXPECT_EQ(Tree(box / "system/system").count("build.prop"), 1u);
  auto vendorBefore = Tree(vendorTree);
  auto vendorAfter = Tree(box / "vendor/vendor");
  for (const auto& [path, desc] : vendorBefore)
    if (path != ".") EXPECT_EQ(vendorAfter[path], desc) << path;
  EXPECT_EQ(ReadFile(box / "system/system/app/Settings/Settings.apk"), Pattern(90000, 7));

  // Packed with no edit (partition folders left as they are): the same bytes.
  r = cli.Run(box, "--set Pack_System=0 --set Pack_Vendor=0");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(ReadFile(image) == original) << "the unedited image changed";

  // Edits: a file added to system and a new logo picture.
  WriteFile(box / "system/system/etc/added.txt", "added by the user\n");
  r = cli.Run(box / "logo.PARTITION");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  ASSERT_TRUE(fs::exists(box / "logo/bootup.bmp"));
  WriteFile(box / "logo/bootup.bmp", SmallBmp());
  r = cli.Run(box / "logo");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  fs::remove_all(box / "logo");  // only the image goes into the firmware
  r = cli.Run(box);
  ASSERT_EQ(r.exit_code, 0) << r.output;

  const std::string edited = ReadFile(image);
  EXPECT_NE(edited, original);
  r = cli.Tool("AmlImagePack", "-c " + ShQuote(image.string()));
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(edited.substr(4, 1), std::string(1, static_cast<char>(GetParam())));

  // Unpacked again elsewhere: the edits are there, and the rebuilt partitions pass their checks.
  const fs::path again = cli.tmp / "again";
  fs::create_directories(again);
  fs::copy_file(image, again / "box.img");
  r = cli.Run(again / "box.img");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(ReadFile(again / "box/system/system/etc/added.txt"), "added by the user\n");
  EXPECT_EQ(ReadFile(again / "box/system/system/build.prop"), "ro.product.model=box\n");
  EXPECT_EQ(ReadFile(again / "box/vendor/vendor/etc/init/hw.rc"), "on boot\n");
  const fs::path check = cli.tmp / "system.raw";
  ASSERT_EQ(RunCommand("simg2img " + ShQuote((again / "box/system.PARTITION").string()) + " " + ShQuote(check.string())).exit_code, 0);
  auto fsck = RunCommand("e2fsck -fn " + ShQuote(check.string()));
  EXPECT_EQ(fsck.exit_code, 0) << fsck.output;
  fsck = RunCommand("fsck.erofs " + ShQuote((again / "box/vendor.PARTITION").string()));
  EXPECT_EQ(fsck.exit_code, 0) << fsck.output;
  r = cli.Tool("imgpack", "-d " + ShQuote((again / "box/logo.PARTITION").string()) + " " + ShQuote((cli.tmp / "logo").string()));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(ReadFile(cli.tmp / "logo/bootup.bmp"), SmallBmp());
  EXPECT_EQ(ReadFile(again / "box/DDR.USB"), Pattern(20000, 1));
}

INSTANTIATE_TEST_SUITE_P(Tables, AmlogicRoundTrip, ::testing::Values(1, 2),
                         [](const auto& info) { return "V" + std::to_string(info.param); });

TEST(AmlogicLogo, SampleThroughTheJobsIsByteIdentical) {
  AmlCli cli;
  const fs::path fw = cli.tmp / "fw";
  fs::create_directories(fw);
  fs::copy_file(SamplesDir() / "amlogic_logo/khadas_vim_logo.img", fw / "logo.img");
  auto r = cli.Run(fw / "logo.img");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  ASSERT_TRUE(fs::exists(fw / "logo/bootup.bmp"));
  r = cli.Run(fw / "logo", "--set No_Backup=0");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(ReadFile(fw / "logo.img") == ReadFile(SamplesDir() / "amlogic_logo/khadas_vim_logo.img"));
  EXPECT_TRUE(ReadFile(fw / "logo.bak") == ReadFile(SamplesDir() / "amlogic_logo/khadas_vim_logo.img"));
}
