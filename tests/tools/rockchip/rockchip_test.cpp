// The Rockchip repacker on the real resource, KRNL and parameter samples and on RKFW, RKAF and
// LOADER images built here from the format's rules.
#include <gtest/gtest.h>

#include <cstring>

#include "vendor_test_util.h"

using namespace orvex::test;

namespace {

const fs::path kResource = SamplesDir() / "rockchip_resource/tpm312_rk3399pro_resource_origin.img";
const fs::path kKrnl = SamplesDir() / "rockchip_krnl/chajk_rk3399_boot_KRNL.img";
const fs::path kParameter = SamplesDir() / "rockchip_parameter/chajk_rk3399_parameter.txt";
const fs::path kDtb = SamplesDir() / "dtb/tpm312_rk3399pro_rk-kernel_from_resource.dtb";

std::string Q(const fs::path& p) { return ShQuote(p.string()); }

std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 9)) & 0xFF);
  return s;
}

// The sample parameter with a small partition table that fits the test images.
std::string TestParameter(uint32_t bootSectors) {
  char cmd[512];
  std::snprintf(cmd, sizeof cmd,
                "FIRMWARE_VER:8.1\nMACHINE_MODEL:RK3399\nMACHINE_ID:007\nMANUFACTURER: RK3399\n"
                "CMDLINE: console=ttyFIQ0 mtdparts=rk29xxnand:0x00002000@0x00002000(uboot),"
                "0x%08X@0x00004000(boot),0x00000040@0x00010000(misc),-@0x00020000(userdata:grow)\n",
                bootSectors);
  return cmd;
}

std::vector<RkafFile> TestFiles(const std::string& boot) {
  return {{"package-file", "package-file", "package-file\tpackage-file\nparameter\tImage/parameter.txt\n"},
          {"parameter", "Image/parameter.txt", TestParameter(0x40), 0, 0x2000},
          {"bootloader", "Image/MiniLoaderAll.bin", Pattern(70000, 1)},
          {"uboot", "Image/uboot.img", Pattern(9000, 2), 0x2000, 0x2000},
          {"boot", "Image/boot.img", boot, 0x4000, 0x40},
          {"misc", "Image/misc.img", std::string(3000, '\0'), 0x10000, 0x40},
          {"backup", "RESERVED", ""},
          {"update-script", "update-script", "format system\n"}};
}

}  // namespace

TEST(RockchipResource, SampleUnpacksToTheKnownDtbAndPacksBackByteIdentical) {
  TempDir tmp;
  const fs::path img = tmp / "resource.img";
  fs::copy_file(kResource, img);
  auto r = Rk(Q(img));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(ListFiles(tmp / "resource.img.dump"),
            (std::vector<std::string>{"logo.bmp", "logo_kernel.bmp", "rk-kernel.dtb"}));
  EXPECT_EQ(ReadFile(tmp / "resource.img.dump/rk-kernel.dtb"), ReadFile(kDtb));
  EXPECT_EQ(ReadFile(tmp / "resource.img.dump/logo.bmp").size(), 730638u);
  EXPECT_TRUE(fs::exists(tmp / "resource.img.cfg"));
  fs::remove(img);
  r = Rk(Q(tmp / "resource.img.dump") + " " + Q(tmp / "resource.img.cfg"), "107");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(ReadFile(img), ReadFile(kResource));
}

TEST(RockchipResource, ReplacedDtbAndLogoGiveAValidImageThatUnpacksToThem) {
  TempDir tmp;
  const fs::path img = tmp / "resource.img";
  fs::copy_file(kResource, img);
  ASSERT_EQ(Rk(Q(img)).exit_code, 0);
  const std::string dtb = ReadFile(kDtb) + std::string(5000, 'x');  // grows by ten blocks
  const std::string logo = Pattern(1234, 9);                        // shrinks
  WriteFile(tmp / "resource.img.dump/rk-kernel.dtb", dtb);
  WriteFile(tmp / "resource.img.dump/logo_kernel.bmp", logo);
  WriteFile(tmp / "resource.img.dump/battery_1.bmp", "BM" + Pattern(700, 2));  // a new picture
  auto r = Rk(Q(tmp / "resource.img.dump") + " " + Q(tmp / "resource.img.cfg"));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  // The format's own checks: each entry's SHA-1 and its place inside the file, no overlaps.
  const std::string out = ReadFile(img);
  ASSERT_EQ(out.substr(0, 4), "RSCE");
  ASSERT_EQ(Get32At(out, 12), 4u);
  uint64_t end = 5;
  for (int i = 0; i < 4; ++i) {
    const size_t e = 512 * (1 + i);
    const uint32_t off = Get32At(out, e + 260), size = Get32At(out, e + 264);
    EXPECT_GE(off, end);
    ASSERT_LE(uint64_t(off) * 512 + size, out.size());
    EXPECT_EQ(out.substr(e + 224, 20), Sha1(out.substr(uint64_t(off) * 512, size)));
    end = off + (size + 511) / 512;
  }
  fs::remove_all(tmp / "resource.img.dump");
  ASSERT_EQ(Rk(Q(img)).exit_code, 0);
  EXPECT_EQ(ReadFile(tmp / "resource.img.dump/rk-kernel.dtb"), dtb);
  EXPECT_EQ(ReadFile(tmp / "resource.img.dump/logo_kernel.bmp"), logo);
  EXPECT_EQ(ReadFile(tmp / "resource.img.dump/logo.bmp").size(), 730638u);
  EXPECT_EQ(ReadFile(tmp / "resource.img.dump/battery_1.bmp"), "BM" + Pattern(700, 2));
}

TEST(RockchipWrapped, KrnlSampleAndWrappedParameterRoundTripWithTheirCrcs) {
  TempDir tmp;
  const fs::path boot = tmp / "boot.img";
  fs::copy_file(kKrnl, boot);
  auto r = Rk(Q(boot));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const std::string sample = ReadFile(kKrnl);
  EXPECT_EQ(ReadFile(tmp / "boot.img.dump/ramdisk.cpio.gz"), sample.substr(8, sample.size() - 12));
  EXPECT_TRUE(fs::exists(tmp / "boot.img.dump/ramdisk/init.rc"));
  fs::remove(boot);
  ASSERT_EQ(Rk(Q(tmp / "boot.img.dump") + " " + Q(tmp / "boot.img.cfg")).exit_code, 0);
  EXPECT_EQ(ReadFile(boot), sample);

  // An edit of the ramdisk tree is built into a new gzip cpio, wrapped with a valid CRC, and
  // unpacks again to the edit.
  WriteFile(tmp / "boot.img.dump/ramdisk/init.orvex.rc", "on boot\n");
  ASSERT_EQ(Rk(Q(tmp / "boot.img.dump") + " " + Q(tmp / "boot.img.cfg")).exit_code, 0);
  const std::string edited = ReadFile(boot);
  ASSERT_EQ(edited.substr(0, 4), "KRNL");
  ASSERT_EQ(Get32At(edited, 4) + 12u, edited.size());
  EXPECT_EQ(Get32At(edited, edited.size() - 4), RkCrcBitwise(edited.substr(8, edited.size() - 12)));
  fs::remove_all(tmp / "boot.img.dump");
  ASSERT_EQ(Rk(Q(boot)).exit_code, 0);
  EXPECT_EQ(ReadFile(tmp / "boot.img.dump/ramdisk/init.orvex.rc"), "on boot\n");

  // The same ramdisk as a bare gzip boot.img (the older form) round trips too.
  const fs::path gz = tmp / "old" / "boot.img";
  fs::create_directories(gz.parent_path());
  WriteFile(gz, sample.substr(8, sample.size() - 12));
  ASSERT_EQ(Rk(Q(gz)).exit_code, 0);
  EXPECT_TRUE(fs::exists(tmp / "old/boot.img.dump/ramdisk/init.rc"));
  fs::remove(gz);
  ASSERT_EQ(Rk(Q(tmp / "old/boot.img.dump") + " " + Q(tmp / "old/boot.img.cfg")).exit_code, 0);
  EXPECT_EQ(ReadFile(gz), sample.substr(8, sample.size() - 12));

  // The parameter sample, wrapped as PARM: unpacks to its text; an edit is wrapped with a new CRC.
  const fs::path parm = tmp / "parameter.img";
  WriteFile(parm, Wrap("PARM", ReadFile(kParameter)));
  ASSERT_EQ(Rk(Q(parm)).exit_code, 0);
  EXPECT_EQ(ReadFile(tmp / "parameter.img.dump/parameter.txt"), ReadFile(kParameter));
  WriteFile(tmp / "parameter.img.dump/parameter.txt", "FIRMWARE_VER:9.0\n");
  ASSERT_EQ(Rk(Q(tmp / "parameter.img.dump") + " " + Q(tmp / "parameter.img.cfg")).exit_code, 0);
  EXPECT_EQ(ReadFile(parm), Wrap("PARM", "FIRMWARE_VER:9.0\n"));

  // A flipped payload byte is a CRC mismatch: an error and no folder left behind.
  std::string bad = sample;
  bad[5000] ^= 1;
  WriteFile(tmp / "bad.img", bad);
  r = Rk(Q(tmp / "bad.img"));
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.output.find("CRC mismatch"), std::string::npos) << r.output;
  EXPECT_FALSE(fs::exists(tmp / "bad.img.dump"));
}

TEST(RockchipFirmware, RkfwUnpacksToItsFilesAndPacksBackByteIdentical) {
  TempDir tmp;
  const std::string loader = "BOOT" + Pattern(5000, 3);
  const auto files = TestFiles(Pattern(20000, 4));
  const std::string rkfw = BuildRkfw(loader, BuildRkaf(files, 0x08010000, "RK3399"));
  const fs::path img = tmp / "update.img";
  WriteFile(img, rkfw);
  // The firmware job's command line: the bare file name, run in the image's folder.
  auto r = RunCommand("cd " + Q(tmp.path()) + " && " + ShQuote((BinDir() / "imgRePackerRK106").string()) + " 'update.img' 2>&1");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const fs::path dump = tmp / "update.img.dump";
  const std::string cfg = ReadFile(dump / "image.cfg");
  EXPECT_EQ(cfg.rfind("[rkfw]\r\n", 0), 0u) << cfg;
  EXPECT_EQ(ReadFile(dump / "MiniLoaderAll.bin"), loader);
  for (const RkafFile& f : files)
    if (f.file != "RESERVED") EXPECT_EQ(ReadFile(dump / f.file), f.data) << f.file;
  fs::remove(img);
  r = RunCommand("cd " + Q(tmp.path()) + " && " + ShQuote((BinDir() / "imgRePackerRK107").string()) + " 'update.img.dump' 2>&1");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(ReadFile(img) == rkfw) << "the untouched folder must give the same bytes";
}

TEST(RockchipFirmware, EditedPartitionGivesAValidImageAndTheParameterGuardsItsSlot) {
  TempDir tmp;
  const fs::path img = tmp / "update.img";
  WriteFile(img, BuildRkfw("BOOT" + Pattern(3000, 5), BuildRkaf(TestFiles(Pattern(20000, 4)), 0x08010000, "RK3399")));
  ASSERT_EQ(Rk(Q(img)).exit_code, 0);
  const fs::path dump = tmp / "update.img.dump";

  // A boot image larger than its 0x40 sectors (32 KiB) is refused with its name and sizes, and
  // the old image stays as it was.
  const std::string before = ReadFile(img);
  WriteFile(dump / "Image/boot.img", Pattern(40000, 6));
  auto r = Rk(Q(dump));
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.output.find("partition boot does not fit"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("40000"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("32768"), std::string::npos) << r.output;
  EXPECT_EQ(ReadFile(img), before);

  // With a larger slot in the parameter it packs; the new version and addresses come from there.
  std::string param = TestParameter(0x100);
  param.replace(param.find("8.1"), 3, "8.2");
  WriteFile(dump / "Image/parameter.txt", param);
  const std::string uboot = Pattern(30000, 7);
  WriteFile(dump / "Image/uboot.img", uboot);
  r = Rk(Q(dump));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const std::string out = ReadFile(img);
  const std::string rkaf = RkafOfRkfw(out);
  EXPECT_EQ(Get32At(out, 6), 0x08020000u);
  EXPECT_EQ(Get32At(rkaf, 0x84), 0x08020000u);
  bool sawBoot = false;
  for (const RkafEntryView& e : ReadRkaf(rkaf)) {
    if (e.name == "boot") {
      sawBoot = true;
      EXPECT_EQ(e.nandSize, 0x100u);
      EXPECT_EQ(e.size, 40000u);
      EXPECT_EQ(rkaf.substr(e.pos, e.size), Pattern(40000, 6));
    }
    if (e.name == "uboot") EXPECT_EQ(rkaf.substr(e.pos, e.size), uboot);
  }
  EXPECT_TRUE(sawBoot);
  // And it unpacks again to the edited files.
  fs::remove_all(dump);
  ASSERT_EQ(Rk(Q(img)).exit_code, 0);
  EXPECT_EQ(ReadFile(dump / "Image/boot.img"), Pattern(40000, 6));
  EXPECT_EQ(ReadFile(dump / "Image/parameter.txt"), param);
}

TEST(RockchipFirmware, RkafAloneWithSelfEntryRoundTrips) {
  TempDir tmp;
  auto files = TestFiles(Pattern(8192, 8));
  files.push_back({"update", "SELF", ""});
  const std::string rkaf = BuildRkaf(files, 0x01020003, "X");
  const fs::path img = tmp / "firmware.img";
  WriteFile(img, rkaf);
  ASSERT_EQ(Rk(Q(img)).exit_code, 0);
  EXPECT_TRUE(fs::exists(tmp / "firmware.img.cfg"));
  fs::remove(img);
  auto r = Rk(Q(tmp / "firmware.img.dump") + " " + Q(tmp / "firmware.img.cfg"));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(ReadFile(img) == rkaf);
  // A grown file moves the later parts; the SELF entry follows the new length.
  WriteFile(tmp / "firmware.img.dump/Image/uboot.img", Pattern(50000, 9));
  ASSERT_EQ(Rk(Q(tmp / "firmware.img.dump") + " " + Q(tmp / "firmware.img.cfg")).exit_code, 0);
  const std::string out = ReadFile(img);
  for (const RkafEntryView& e : ReadRkaf(out)) {
    if (e.file == "SELF") EXPECT_EQ(e.size, out.size());
    if (e.name == "uboot") EXPECT_EQ(out.substr(e.pos, e.size), Pattern(50000, 9));
    if (e.name == "update-script") EXPECT_EQ(out.substr(e.pos, e.size), "format system\n");
  }
}

TEST(RockchipLoader, FourCopiesRoundTripAndAnEditKeepsCrcAndHashValid) {
  TempDir tmp;
  const std::string loader = BuildLoader(Pattern(100001, 10), 0x00200000, 1 << 20, 4);
  const fs::path img = tmp / "uboot.img";
  WriteFile(img, loader);
  auto r = Rk(Q(img));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(ReadFile(tmp / "uboot.img.dump/uboot.bin"), Pattern(100001, 10) + std::string(3, '\0'));
  fs::remove(img);
  ASSERT_EQ(Rk(Q(tmp / "uboot.img.dump") + " " + Q(tmp / "uboot.img.cfg")).exit_code, 0);
  EXPECT_TRUE(ReadFile(img) == loader);
  WriteFile(tmp / "uboot.img.dump/uboot.bin", Pattern(200000, 11));
  ASSERT_EQ(Rk(Q(tmp / "uboot.img.dump") + " " + Q(tmp / "uboot.img.cfg")).exit_code, 0);
  EXPECT_TRUE(ReadFile(img) == BuildLoader(Pattern(200000, 11), 0x00200000, 1 << 20, 4));
  // A payload that no longer fits one copy is refused.
  WriteFile(tmp / "uboot.img.dump/uboot.bin", Pattern((1 << 20) - 100, 12));
  r = Rk(Q(tmp / "uboot.img.dump") + " " + Q(tmp / "uboot.img.cfg"));
  EXPECT_NE(r.exit_code, 0);
  EXPECT_TRUE(ReadFile(img) == BuildLoader(Pattern(200000, 11), 0x00200000, 1 << 20, 4));
}

// Hostile containers: each gives a one-line error, no crash and nothing outside the folder.
TEST(RockchipHostile, BrokenTablesNamesAndChecksumsAreRefused) {
  TempDir tmp;
  const auto files = TestFiles(Pattern(2000, 13));
  struct Case {
    const char* what;
    std::string bytes;
    const char* message;
  };
  std::vector<Case> cases;
  {
    std::string a = BuildRkaf(files, 1, "M");
    std::memcpy(&a[0x8C + 4 * 0x70 + 0x20], "../../escape.img\0", 17);
    cases.push_back({"dot-dot name", a, "unsafe"});
  }
  {
    std::string a = BuildRkaf(files, 1, "M");
    std::memcpy(&a[0x8C + 4 * 0x70 + 0x20], "/tmp/abs.img\0", 13);
    cases.push_back({"absolute name", a, "unsafe"});
  }
  {
    std::string a = BuildRkaf(files, 1, "M");
    Put32At(a, 0x88, 200);
    cases.push_back({"entry count", a, "at most 16"});
  }
  {
    std::string a = BuildRkaf(files, 1, "M");
    Put32At(a, 0x8C + 4 * 0x70 + 0x60, 0x7FFFF000);
    cases.push_back({"offset past the end", a, "outside"});
  }
  {
    std::string a = BuildRkaf(files, 1, "M");
    a[4096 + 10] ^= 0x55;
    cases.push_back({"RKAF CRC", a, "CRC mismatch"});
  }
  {
    std::string a = BuildRkfw("BOOT", BuildRkaf(files, 1, "M"));
    a[0x67] ^= 1;  // inside the loader, which only the MD5 covers
    cases.push_back({"RKFW MD5", a, "MD5 mismatch"});
  }
  {
    std::string a = BuildRkfw("BOOT", BuildRkaf(files, 1, "M"));
    Put32At(a, 0x25, 0x7FFFFFFF);
    cases.push_back({"RKFW image length", a, "past the file"});
  }
  {
    std::string res = ReadFile(kResource).substr(0, 4 * 512);
    std::memcpy(&res[512 + 4], "../x.dtb\0", 9);
    cases.push_back({"resource dot-dot", res, "unsafe"});
  }
  {
    std::string res = ReadFile(kResource);
    Put32At(res, 12, 0xFFFFFF);
    cases.push_back({"resource count", res, "does not fit"});
  }
  {
    std::string res = ReadFile(kResource);
    res[4 * 512 + 100] ^= 1;
    cases.push_back({"resource hash", res, "hash does not match"});
  }
  {
    std::string k = Wrap("KRNL", "abc");
    Put32At(k, 4, 0xFFFFFFF0);
    cases.push_back({"KRNL length", k, "runs past"});
  }
  {
    std::string l = BuildLoader("abcd", 0, 4096, 1);
    Put32At(l, 20, 0x10000000);
    cases.push_back({"LOADER size", l, "runs past"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path dir = tmp / "in";
    fs::remove_all(dir);
    fs::create_directories(dir);
    WriteFile(dir / "x.img", c.bytes);
    auto r = Rk(Q(dir / "x.img"));
    EXPECT_NE(r.exit_code, 0);
    EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
    EXPECT_EQ(ListFiles(tmp.path()), std::vector<std::string>{"in/x.img"});
  }
}

// The real parameter sample's partition table: an image packs with the flash address and size
// the table gives its partition, and an image larger than its slot (misc: 0x2000 sectors) is
// refused by name.
TEST(RockchipFirmware, RealParameterSampleGivesAddressesAndGuardsSlots) {
  TempDir tmp;
  const std::vector<RkafFile> files = {{"parameter", "Image/parameter.txt", ReadFile(kParameter), 0, 0x2000},
                                       {"boot", "Image/boot.img", Pattern(5000, 14)},
                                       {"misc", "Image/misc.img", std::string(1000, '\0')}};
  const fs::path img = tmp / "update.img";
  WriteFile(img, BuildRkfw("BOOT", BuildRkaf(files, 0x08010000, "RK3399")));
  ASSERT_EQ(Rk(Q(img)).exit_code, 0);
  EXPECT_EQ(ReadFile(tmp / "update.img.dump/Image/parameter.txt"), ReadFile(kParameter));
  auto r = Rk(Q(tmp / "update.img.dump"));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  for (const RkafEntryView& e : ReadRkaf(RkafOfRkfw(ReadFile(img)))) {
    if (e.name == "boot") {
      EXPECT_EQ(e.nandAddr, 0x1C000u);
      EXPECT_EQ(e.nandSize, 0x10000u);
    }
    if (e.name == "misc") EXPECT_EQ(e.nandAddr, 0x6000u);
  }
  WriteFile(tmp / "update.img.dump/Image/misc.img", std::string(0x2000 * 512 + 1, '\0'));
  r = Rk(Q(tmp / "update.img.dump"));
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.output.find("partition misc does not fit"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("4194304 bytes"), std::string::npos) << r.output;
}
