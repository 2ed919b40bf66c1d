// Rockchip, Allwinner and Spreadtrum containers through orvex-cli with the real tools: each is
// unpacked by the job the dispatcher picks, packed back unchanged byte for byte, and after an
// edit packed into a container that passes the format's own checks and unpacks to the edit.
#include <gtest/gtest.h>

#include "vendor_test_util.h"

using namespace orvex::test;

namespace {

struct Cli {
  TempDir tmp;
  fs::path exe;
  Cli() {
    exe = tmp / "orvex-cli";
    fs::copy_file(BuildDir() / "orvex-cli", exe);
    fs::create_directories(tmp / "bin/config");
    for (const auto& e : fs::directory_iterator(BinDir())) {
      const std::string n = e.path().filename().string();
      if (n == "config" || n == "framework") continue;
      fs::create_symlink(e.path(), tmp / "bin" / n);
    }
    fs::create_directories(tmp / "fw");
  }
  fs::path fw() const { return tmp / "fw"; }
  CommandResult Run(const fs::path& target) const {
    return RunCommand(ShQuote(exe.string()) + " --set Locale_ID=1033 " + ShQuote(target.string()) + " 2>&1");
  }
};

std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 29 + seed * 5) ^ (i >> 11));
  return s;
}

std::vector<RkafFile> Firmware(const std::string& boot) {
  const std::string param =
      "FIRMWARE_VER:8.1\nMACHINE_MODEL:RK3399\nMACHINE_ID:007\nMANUFACTURER: RK3399\n"
      "CMDLINE: console=ttyFIQ0 mtdparts=rk29xxnand:0x00002000@0x00002000(uboot),0x00000080@0x00004000(boot),"
      "-@0x00020000(userdata:grow)\n";
  return {{"package-file", "package-file", "package-file\tpackage-file\n"},
          {"parameter", "Image/parameter.txt", param, 0, 0x2000},
          {"bootloader", "Image/MiniLoaderAll.bin", "BOOT" + Pattern(9000, 1)},
          {"uboot", "Image/uboot.img", Pattern(12000, 2), 0x2000, 0x2000},
          {"boot", "Image/boot.img", boot, 0x4000, 0x80},
          {"backup", "RESERVED", ""}};
}

}  // namespace

TEST(VendorContainers, RockchipUpdateImageRoundTripsAndTakesAnEditedPartition) {
  Cli cli;
  const fs::path img = cli.fw() / "update.img";
  const std::string original = BuildRkfw("BOOT" + Pattern(4000, 3), BuildRkaf(Firmware(Pattern(30000, 4)), 0x08010000, "RK3399"));
  WriteFile(img, original);
  auto r = cli.Run(img);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const fs::path dump = cli.fw() / "update.img.dump";
  ASSERT_TRUE(fs::exists(dump / "image.cfg")) << r.output;
  EXPECT_EQ(ReadFile(dump / "Image/boot.img"), Pattern(30000, 4));

  r = cli.Run(dump);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(ReadFile(img) == original) << r.output;

  WriteFile(dump / "Image/boot.img", Pattern(60000, 5));
  r = cli.Run(dump);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const std::string rkaf = RkafOfRkfw(ReadFile(img));
  bool found = false;
  for (const RkafEntryView& e : ReadRkaf(rkaf))
    if (e.name == "boot") {
      found = true;
      EXPECT_EQ(rkaf.substr(e.pos, e.size), Pattern(60000, 5));
    }
  EXPECT_TRUE(found);
  r = cli.Run(img);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(ReadFile(dump / "Image/boot.img"), Pattern(60000, 5));

  // An image that outgrows its slot in the parameter: the build fails, the step line says so,
  // and the last good image stays.
  const std::string good = ReadFile(img);
  WriteFile(dump / "Image/boot.img", Pattern(70000, 6));
  r = cli.Run(dump);
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.output.find("partition boot does not fit"), std::string::npos) << r.output;
  EXPECT_TRUE(ReadFile(img) == good);
}

TEST(VendorContainers, RockchipSubImagesRoundTripThroughTheirJobs) {
  Cli cli;
  // The real resource image: its DTB comes out byte-exact, the untouched folder packs back the
  // same bytes, and a replaced logo gives a valid image that unpacks to the new logo.
  const fs::path res = cli.fw() / "resource.img";
  fs::copy_file(SamplesDir() / "rockchip_resource/tpm312_rk3399pro_resource_origin.img", res);
  const std::string resOriginal = ReadFile(res);
  auto r = cli.Run(res);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(ReadFile(cli.fw() / "resource.img.dump/rk-kernel.dtb"),
            ReadFile(SamplesDir() / "dtb/tpm312_rk3399pro_rk-kernel_from_resource.dtb"));
  r = cli.Run(cli.fw() / "resource.img.dump");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(ReadFile(res) == resOriginal);
  const std::string logo = "BM" + Pattern(5000, 7);
  WriteFile(cli.fw() / "resource.img.dump/logo.bmp", logo);
  ASSERT_EQ(cli.Run(cli.fw() / "resource.img.dump").exit_code, 0);
  fs::remove_all(cli.fw() / "resource.img.dump");
  ASSERT_EQ(cli.Run(res).exit_code, 0);
  EXPECT_EQ(ReadFile(cli.fw() / "resource.img.dump/logo.bmp"), logo);

  // A LOADER image.
  const fs::path uboot = cli.fw() / "uboot.img";
  const std::string loader = BuildLoader(Pattern(50000, 8), 0x00200000, 1 << 20, 2);
  WriteFile(uboot, loader);
  r = cli.Run(uboot);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  ASSERT_EQ(cli.Run(cli.fw() / "uboot.img.dump").exit_code, 0);
  EXPECT_TRUE(ReadFile(uboot) == loader);
  WriteFile(cli.fw() / "uboot.img.dump/uboot.bin", Pattern(80000, 9));
  ASSERT_EQ(cli.Run(cli.fw() / "uboot.img.dump").exit_code, 0);
  EXPECT_TRUE(ReadFile(uboot) == BuildLoader(Pattern(80000, 9), 0x00200000, 1 << 20, 2));
}

// The KRNL boot sample has no signature of its own: it reaches the Rockchip sub-image unpack as
// boot.img.lz4, by its partition name.
TEST(VendorContainers, KrnlBootImageReachesTheRepackerByItsName) {
  Cli cli;
  CommandResult r;
  if (!HaveProgram("lz4")) GTEST_SKIP() << "lz4 not installed";
  const fs::path krnl = SamplesDir() / "rockchip_krnl/chajk_rk3399_boot_KRNL.img";
  ASSERT_EQ(RunCommand("lz4 -q " + ShQuote(krnl.string()) + " " + ShQuote((cli.fw() / "boot.img.lz4").string())).exit_code, 0);
  r = cli.Run(cli.fw() / "boot.img.lz4");
  if (r.output.find("cannot unpack: boot.img.lz4") != std::string::npos)
    GTEST_SKIP() << "this build has no LZ4 image job yet";
  ASSERT_EQ(r.exit_code, 0) << r.output;
  ASSERT_TRUE(fs::exists(cli.fw() / "boot.img.dump/ramdisk.cpio.gz")) << r.output;
  r = cli.Run(cli.fw() / "boot.img.dump");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(ReadFile(cli.fw() / "boot.img") == ReadFile(krnl));
}

TEST(VendorContainers, AllwinnerImageRoundTripsAndTakesAnEditedFile) {
  Cli cli;
  const std::vector<WtyFile> files = {{"sys_config.fex", "COMMON", "SYS_CONFIG100000", "[product]\n"},
                                      {"boot.fex", "RFSFAT16", "BOOT_FEX00000000", Pattern(40000, 10)},
                                      {"env.fex", "RFSFAT16", "ENV_FEX000000000", Pattern(4096, 11)}};
  const fs::path img = cli.fw() / "fw.img";
  const std::string original = BuildWty(files);
  WriteFile(img, original);
  auto r = cli.Run(img);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const fs::path dump = cli.fw() / "fw.img.dump";
  EXPECT_EQ(ReadFile(dump / "env.fex"), Pattern(4096, 11));
  r = cli.Run(dump);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(ReadFile(img) == original);
  WriteFile(dump / "sys_config.fex", "[product]\nversion = \"200\"\n");
  ASSERT_EQ(cli.Run(dump).exit_code, 0);
  const auto back = ReadWty(ReadFile(img));
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(back[0].second, "[product]\nversion = \"200\"\n");
  EXPECT_EQ(back[2].second, Pattern(4096, 11));
}

TEST(VendorContainers, PacFileExtractsEveryFileThroughItsJob) {
  Cli cli;
  const std::vector<PacFile> files = {{u"FDL", u"fdl1.bin", Pattern(3000, 12)},
                                      {u"PhaseCheck", u"", ""},
                                      {u"system", u"system_raw.bin", Pattern(100000, 13)}};
  WriteFile(cli.fw() / "phone.pac", BuildPac(files));
  auto r = cli.Run(cli.fw() / "phone.pac");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(ReadFile(cli.fw() / "phone/fdl1.bin"), Pattern(3000, 12));
  EXPECT_EQ(ReadFile(cli.fw() / "phone/system_raw.bin"), Pattern(100000, 13));
  EXPECT_NE(r.output.find("Data CRC-16 ok"), std::string::npos) << r.output;
}
