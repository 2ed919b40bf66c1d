// AndImgTool on real images: Debian's mkbootimg output, the sample images and images laid out in
// the tests. Unedited round trips must be byte-identical; edited ones must read back with the
// edit, in Debian's unpack_bootimg and in the compressors' own tools.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <regex>

#include "bootimg_test_util.h"

using namespace orvex::test;

namespace {

std::string ConfigValue(const fs::path& folder, const std::string& key) {
  std::string cfg = ReadFile(folder / "config.ini");
  std::smatch m;
  if (!std::regex_search(cfg, m, std::regex("(^|\n)" + key + " = ([^\r\n]*)"))) return "<missing>";
  return m[2];
}

bool SameFiles(const fs::path& a, const fs::path& b) { return ReadFile(a) == ReadFile(b) && fs::exists(a); }

// A small ramdisk source: an executable, a prop file, a nested file, an empty folder, a link.
void MakeRamdiskSource(const fs::path& d) {
  WriteFile(d / "init", "#!init binary\n");
  chmod((d / "init").c_str(), 0750);
  WriteFile(d / "default.prop", "ro.debuggable=0\n");
  WriteFile(d / "etc/init/hw/init.rc", std::string(3000, 'r'));
  fs::create_directories(d / "data");
  fs::create_directories(d / "sbin");
  fs::create_symlink("../init", d / "sbin/ueventd");
  // cpio keeps the data of a hard link group with one of its names only.
  fs::create_hard_link(d / "default.prop", d / "etc/prop.hard");
}

// cpio of the folder in name order, through `compress` (a shell filter).
void MakeRamdisk(const fs::path& src, const fs::path& out, const std::string& compress) {
  auto r = RunCommand("cd " + ShQuote(src.string()) + " && find . | LC_ALL=C sort | cpio -o -H newc 2>/dev/null | " +
                      compress + " > " + ShQuote(out.string()));
  ASSERT_EQ(r.exit_code, 0) << r.output;
}

bool HaveTools() {
  for (const char* t : {"mkbootimg", "unpack_bootimg", "cpio", "gzip", "lz4", "xz", "bzip2", "zstd"})
    if (!HaveProgram(t)) return false;
  return fs::exists(BinDir() / "AndImgTool");
}

#define REQUIRE_TOOLS() \
  if (!HaveTools()) GTEST_SKIP() << "mkbootimg, cpio or a compressor is not installed"

CommandResult Unpack(const fs::path& img, const fs::path& folder) {
  return AndImgTool(ShQuote(img.string()) + " " + ShQuote(folder.string()));
}
CommandResult Pack(const fs::path& folder, const fs::path& img) {
  return AndImgTool(ShQuote(folder.string()) + " " + ShQuote(img.string()));
}

// Unpacks, checks the unpack reported no warning, packs unedited and compares.
void ExpectByteIdenticalRoundTrip(const fs::path& img, const fs::path& folder) {
  auto u = Unpack(img, folder);
  ASSERT_EQ(u.exit_code, 0) << u.output;
  EXPECT_EQ(u.output.find("warning"), std::string::npos) << u.output;
  fs::path again = folder.string() + ".repacked";
  auto p = Pack(folder, again);
  ASSERT_EQ(p.exit_code, 0) << p.output;
  EXPECT_TRUE(SameFiles(img, again)) << img;
}

}  // namespace

TEST(AndImgToolRoundTrip, DebianMkbootimgImagesAreRebuiltByteForByte) {
  REQUIRE_TOOLS();
  TempDir t;
  MakeRamdiskSource(t / "src");
  MakeRamdisk(t / "src", t / "rd.gz", "gzip -9n");
  MakeRamdisk(t / "src", t / "rd.lz4", "lz4 -l -9 -c");
  WriteFile(t / "kernel", std::string(10000, 'k') + "end");
  WriteFile(t / "second", "second stage");
  WriteFile(t / "dtb", "\xd0\x0d\xfe\xed device tree");
  int n = 0;
  for (int v : {0, 1, 2})
    for (bool second : {false, true})
      for (const char* rd : {"rd.gz", "rd.lz4"}) {
        std::string name = "v" + std::to_string(v) + (second ? "s" : "") + rd;
        SCOPED_TRACE(name);
        std::string args = "--kernel " + ShQuote((t / "kernel").string()) + " --ramdisk " + ShQuote((t / rd).string()) +
                           " --cmdline 'console=ttyMSM0 androidboot.hardware=qcom' --board orvex --os_version 12.1.0"
                           " --os_patch_level 2022-07 --pagesize 4096 --header_version " + std::to_string(v);
        if (second) args += " --second " + ShQuote((t / "second").string());
        if (v == 2) args += " --dtb " + ShQuote((t / "dtb").string());
        fs::path img = t / (name + ".img");
        auto mk = RunCommand("mkbootimg " + args + " -o " + ShQuote(img.string()));
        ASSERT_EQ(mk.exit_code, 0) << mk.output;
        fs::path out = t / name;
        ExpectByteIdenticalRoundTrip(img, out);
        // The Debian tool's id is the digest without a device-tree slot: found, not just kept.
        EXPECT_EQ(ConfigValue(out, "id_hash"), "sha1-without-dt");
        EXPECT_EQ(ConfigValue(out, "os_version"), "12.1.0");
        EXPECT_EQ(ConfigValue(out, "os_patch_level"), "2022-07");
        EXPECT_EQ(ConfigValue(out, "compression"), std::string(rd) == "rd.gz" ? "gzip" : "lz4-legacy");
        EXPECT_EQ(ReadFile(out / "ramdisk/etc/init/hw/init.rc"), std::string(3000, 'r'));
        EXPECT_TRUE(fs::is_directory(out / "ramdisk/data"));
        EXPECT_EQ(ReadFile(out / "ramdisk/etc/prop.hard"), "ro.debuggable=0\n");
        EXPECT_EQ(ReadFile(out / "ramdisk/default.prop"), "ro.debuggable=0\n");
        EXPECT_EQ(ReadFile(out / "second"), second ? "second stage" : "");
        std::string list = ReadFile(out / "ramdisk_entries.txt");
        EXPECT_NE(list.find("init\tf\t0750\t"), std::string::npos) << list;
        EXPECT_NE(list.find("sbin/ueventd\tl\t0777\t"), std::string::npos);
        EXPECT_NE(list.find("\t../init\n"), std::string::npos);
        // Links live in the list only: nothing in the folder points anywhere.
        EXPECT_FALSE(fs::exists(fs::symlink_status(out / "ramdisk/sbin/ueventd")));
        ++n;
      }
  EXPECT_EQ(n, 12);

  // Version 3 boot and vendor_boot from the same tool, with its older header sizes.
  fs::path v3 = t / "v3.img", vb = t / "vendor_boot_v3.img";
  auto mk = RunCommand("mkbootimg --header_version 3 --kernel " + ShQuote((t / "kernel").string()) + " --ramdisk " +
                       ShQuote((t / "rd.gz").string()) + " --cmdline 'a=b' --os_version 11.0.0 --os_patch_level 2021-03"
                       " -o " + ShQuote(v3.string()) + " --vendor_boot " + ShQuote(vb.string()) + " --vendor_ramdisk " +
                       ShQuote((t / "rd.lz4").string()) + " --dtb " + ShQuote((t / "dtb").string()) +
                       " --vendor_cmdline 'androidboot.vendor=1' --pagesize 2048");
  ASSERT_EQ(mk.exit_code, 0) << mk.output;
  ExpectByteIdenticalRoundTrip(v3, t / "v3");
  ExpectByteIdenticalRoundTrip(vb, t / "vendor_boot_v3");
  EXPECT_EQ(ConfigValue(t / "v3", "header_size"), "1596");
  EXPECT_EQ(ConfigValue(t / "vendor_boot_v3", "header_size"), "2108");
  EXPECT_EQ(ConfigValue(t / "vendor_boot_v3", "cmdline"), "androidboot.vendor=1");
  EXPECT_EQ(ReadFile(t / "vendor_boot_v3/vendor_ramdisk/etc/init/hw/init.rc"), std::string(3000, 'r'));
}

TEST(AndImgToolRoundTrip, SampleImagesAreRebuiltByteForByte) {
  fs::path s = SamplesDir() / "bootimg";
  if (!fs::exists(s) || !fs::exists(BinDir() / "AndImgTool")) GTEST_SKIP() << "samples or tool missing";
  TempDir t;
  for (const char* n : {"avbroot_boot_v0", "avbroot_boot_v1", "avbroot_boot_v2", "avbroot_boot_v3", "avbroot_boot_v4",
                        "avbroot_vendor_boot_v3", "avbroot_vendor_boot_v4"}) {
    SCOPED_TRACE(n);
    ExpectByteIdenticalRoundTrip(s / (std::string(n) + ".img"), t / n);
  }
  // What the samples say they hold.
  EXPECT_EQ(ConfigValue(t / "avbroot_boot_v0", "board_name"), "NameNameNameName");
  EXPECT_EQ(ConfigValue(t / "avbroot_boot_v0", "cmdline").size(), 1536u);  // both fields full
  EXPECT_EQ(ConfigValue(t / "avbroot_boot_v0", "cmdline_split"), "512");
  EXPECT_EQ(ReadFile(t / "avbroot_boot_v0/kernel").size(), 11u);
  EXPECT_EQ(ReadFile(t / "avbroot_boot_v0/second").size(), 11u);
  EXPECT_EQ(ReadFile(t / "avbroot_boot_v1/recovery_dtbo").size(), 18u);
  EXPECT_EQ(ReadFile(t / "avbroot_boot_v2/dtb").size(), 8u);
  EXPECT_EQ(ConfigValue(t / "avbroot_boot_v3", "cmdline").size(), 1536u);
  EXPECT_EQ(ConfigValue(t / "avbroot_vendor_boot_v3", "page_size"), "4096");
  EXPECT_EQ(ConfigValue(t / "avbroot_vendor_boot_v4", "page_size"), "2048");
  for (const char* r : {"vendor_ramdisk00", "vendor_ramdisk01", "vendor_ramdisk02", "vendor_ramdisk03"})
    EXPECT_EQ(ReadFile(t / "avbroot_vendor_boot_v4" / (std::string(r) + ".bin")).size(), 14u) << r;
  EXPECT_EQ(ReadFile(t / "avbroot_vendor_boot_v4/bootconfig").size(), 15u);
  std::string cfg = ReadFile(t / "avbroot_vendor_boot_v4/config.ini");
  for (const char* type : {"type = none", "type = platform", "type = recovery", "type = dlkm"})
    EXPECT_NE(cfg.find(type), std::string::npos) << type;
}

TEST(AndImgToolRoundTrip, V3V4AndVendorBootWithSeveralRamdisks) {
  REQUIRE_TOOLS();
  TempDir t;
  MakeRamdiskSource(t / "src");
  WriteFile(t / "src2/lib/modules/a.ko", std::string(5000, 'm'));
  WriteFile(t / "src3/first_stage_ramdisk/fstab", "/dev/block/by-name/system /system ext4 ro\n");
  MakeRamdisk(t / "src", t / "rd.gz", "gzip -9n");
  MakeRamdisk(t / "src", t / "rd.lz4", "lz4 -l -12 --favor-decSpeed -c");
  MakeRamdisk(t / "src2", t / "rd2.lz4", "lz4 -l -9 -c");
  MakeRamdisk(t / "src3", t / "rd3.zst", "zstd -19 -q -c");
  const uint32_t os = ((13u << 14 | 0u << 7 | 0u) << 11) | (23u << 4 | 5u);

  WriteFile(t / "v3.img", BootV3V4(3, "kernel v3", ReadFile(t / "rd.gz"), "console=ttyS0", os));
  WriteFile(t / "v4.img", BootV3V4(4, "kernel v4", ReadFile(t / "rd.lz4"), "", os, std::string(4096, 's')));
  WriteFile(t / "vb.img", VendorBootV4(4096,
                                       {{ReadFile(t / "rd.gz"), 1, "platform0"},
                                        {ReadFile(t / "rd2.lz4"), 3, "dlkm"},
                                        {ReadFile(t / "rd3.zst"), 2, "recovery"}},
                                       "dtb blob", "androidboot.hardware=x\n", "vendor cmdline"));
  for (const char* n : {"v3", "v4", "vb"}) {
    SCOPED_TRACE(n);
    ExpectByteIdenticalRoundTrip(t / (std::string(n) + ".img"), t / n);
  }
  EXPECT_EQ(ConfigValue(t / "v3", "os_version"), "13.0.0");
  EXPECT_EQ(ConfigValue(t / "v3", "os_patch_level"), "2023-05");
  EXPECT_EQ(ReadFile(t / "v4/boot_signature"), std::string(4096, 's'));
  EXPECT_EQ(ReadFile(t / "v4/ramdisk/default.prop"), "ro.debuggable=0\n");
  EXPECT_EQ(ReadFile(t / "vb/vendor_ramdisk01/lib/modules/a.ko"), std::string(5000, 'm'));
  EXPECT_EQ(ConfigValue(t / "vb", "compression"), "gzip");
  EXPECT_TRUE(fs::exists(t / "vb/vendor_ramdisk02.cpio.zst"));

  // Edit one vendor ramdisk: only it is rebuilt, the others and the table entries stay.
  WriteFile(t / "vb/vendor_ramdisk01/lib/modules/b.ko", "new module");
  ASSERT_EQ(Pack(t / "vb", t / "vb2.img").exit_code, 0);
  auto u = Unpack(t / "vb2.img", t / "vb2");
  ASSERT_EQ(u.exit_code, 0) << u.output;
  EXPECT_EQ(ReadFile(t / "vb2/vendor_ramdisk01/lib/modules/b.ko"), "new module");
  EXPECT_EQ(ReadFile(t / "vb2/vendor_ramdisk01/lib/modules/a.ko"), std::string(5000, 'm'));
  EXPECT_TRUE(SameFiles(t / "vb/vendor_ramdisk00.cpio.gz", t / "vb2/vendor_ramdisk00.cpio.gz"));
  EXPECT_TRUE(SameFiles(t / "vb/vendor_ramdisk02.cpio.zst", t / "vb2/vendor_ramdisk02.cpio.zst"));
  EXPECT_TRUE(SameFiles(t / "vb/bootconfig", t / "vb2/bootconfig"));
  std::string before = ReadFile(t / "vb/config.ini"), after = ReadFile(t / "vb2/config.ini");
  for (const char* line : {"type = dlkm", "name = dlkm", "type = recovery", "cmdline = vendor cmdline"})
    EXPECT_NE(after.find(line), std::string::npos) << line;
  // The table's second entry starts where the first ramdisk ends and has the new size.
  std::string img = ReadFile(t / "vb2.img");
  const size_t table = 4096 + (GetU32(img, 24) + 4095) / 4096 * 4096 + 4096;
  EXPECT_EQ(GetU32(img, table + 108 + 4), ReadFile(t / "rd.gz").size());
  EXPECT_EQ(GetU32(img, table + 108), fs::file_size(t / "vb2/vendor_ramdisk01.cpio.lz4"));
}

TEST(AndImgToolEdits, EditedImageReadsBackAndMatchesDebianMkbootimg) {
  REQUIRE_TOOLS();
  TempDir t;
  MakeRamdiskSource(t / "src");
  MakeRamdisk(t / "src", t / "rd.gz", "gzip -9n");
  WriteFile(t / "kernel", "kernel bytes");
  WriteFile(t / "dtb", "dtb bytes");
  const std::string common = " --base 0x40000000 --board edit --os_version 11.0.0 --os_patch_level 2021-03 --header_version 2"
                             " --kernel " + ShQuote((t / "kernel").string()) + " --dtb " + ShQuote((t / "dtb").string());
  ASSERT_EQ(RunCommand("mkbootimg" + common + " --cmdline 'console=ttyS0' --ramdisk " + ShQuote((t / "rd.gz").string()) +
                       " -o " + ShQuote((t / "boot.img").string()))
                .exit_code,
            0);
  ASSERT_EQ(Unpack(t / "boot.img", t / "boot").exit_code, 0);

  // A file added, a mode and an owner changed, a device node added, a longer command line.
  WriteFile(t / "boot/ramdisk/etc/init/orvex.rc", "service orvex /system/bin/sh\n");
  std::string list = ReadFile(t / "boot/ramdisk_entries.txt");
  list = std::regex_replace(list, std::regex("\ninit\tf\t0750\t0\t0\t"), "\ninit\tf\t0700\t0\t2000\t");
  list += "dev\td\t0755\t0\t0\t0\ndev/console\tc\t0600\t0\t0\t0\t5,1\n";
  WriteFile(t / "boot/ramdisk_entries.txt", list);
  std::string cmdline;
  while (cmdline.size() < 700) cmdline += "androidboot.opt" + std::to_string(cmdline.size()) + "=1 ";
  cmdline.pop_back();
  std::string cfg = std::regex_replace(ReadFile(t / "boot/config.ini"), std::regex("\ncmdline = [^\r\n]*"),
                                       "\ncmdline = " + cmdline);
  WriteFile(t / "boot/config.ini", cfg);
  auto p = Pack(t / "boot", t / "edited.img");
  ASSERT_EQ(p.exit_code, 0) << p.output;

  // Debian's unpack_bootimg reads every field back.
  auto ub = RunCommand("unpack_bootimg --boot_img " + ShQuote((t / "edited.img").string()) + " --out " +
                       ShQuote((t / "ub").string()));
  ASSERT_EQ(ub.exit_code, 0) << ub.output;
  EXPECT_NE(ub.output.find("command line args: " + cmdline.substr(0, 512) + "\n"), std::string::npos) << ub.output;
  EXPECT_NE(ub.output.find("additional command line args: " + cmdline.substr(512) + "\n"), std::string::npos);
  EXPECT_NE(ub.output.find("os version: 11.0.0"), std::string::npos);
  EXPECT_NE(ub.output.find("os patch level: 2021-03"), std::string::npos);
  EXPECT_NE(ub.output.find("product name: edit"), std::string::npos);
  EXPECT_NE(ub.output.find("boot image header version: 2"), std::string::npos);
  EXPECT_EQ(ReadFile(t / "ub/kernel"), "kernel bytes");
  EXPECT_EQ(ReadFile(t / "ub/dtb"), "dtb bytes");
  auto listing = RunCommand("gzip -dc " + ShQuote((t / "ub/ramdisk").string()) + " | cpio -itv 2>/dev/null");
  EXPECT_NE(listing.output.find("etc/init/orvex.rc"), std::string::npos) << listing.output;
  EXPECT_TRUE(std::regex_search(listing.output, std::regex("crw------- +1 root +root +5, +1 .* dev/console")))
      << listing.output;
  EXPECT_TRUE(std::regex_search(listing.output, std::regex("-rwx------ +1 root +2000 .* init\n"))) << listing.output;
  EXPECT_TRUE(std::regex_search(listing.output, std::regex("lrwxrwxrwx .* sbin/ueventd -> ../init"))) << listing.output;

  // Header, layout, command-line split and id all agree with mkbootimg given the same parts.
  ASSERT_EQ(RunCommand("mkbootimg" + common + " --cmdline " + ShQuote(cmdline) + " --ramdisk " +
                       ShQuote((t / "ub/ramdisk").string()) + " -o " + ShQuote((t / "oracle.img").string()))
                .exit_code,
            0);
  EXPECT_TRUE(SameFiles(t / "oracle.img", t / "edited.img"));

  // And our own unpack of the edited image shows the edit.
  ASSERT_EQ(Unpack(t / "edited.img", t / "again").exit_code, 0);
  EXPECT_EQ(ReadFile(t / "again/ramdisk/etc/init/orvex.rc"), "service orvex /system/bin/sh\n");
  EXPECT_EQ(ConfigValue(t / "again", "cmdline"), cmdline);
  EXPECT_NE(ReadFile(t / "again/ramdisk_entries.txt").find("dev/console\tc\t0600\t0\t0\t0\t5,1"), std::string::npos);
  // Both names of the hard link keep the content through the rebuilt archive.
  EXPECT_EQ(ReadFile(t / "again/ramdisk/etc/prop.hard"), "ro.debuggable=0\n");
  EXPECT_EQ(ReadFile(t / "again/ramdisk/default.prop"), "ro.debuggable=0\n");
}

TEST(AndImgToolCompressions, EveryFormIsDetectedAndWrittenBackInKind) {
  REQUIRE_TOOLS();
  struct Form {
    const char* name;
    const char* compress;
    const char* decompress;
  };
  const Form forms[] = {
      {"gzip", "gzip -9n", "gzip -dc"},          {"lz4-legacy", "lz4 -l -9 -c", "lz4 -dc"},
      {"lz4", "lz4 -9 -c", "lz4 -dc"},            {"xz", "xz --check=crc32 -c", "xz -dc"},
      {"lzma", "xz --format=lzma -c", "xz -dc"},  {"bzip2", "bzip2 -9 -c", "bzip2 -dc"},
      {"zstd", "zstd -19 -q -c", "zstd -dc"},     {"none", "cat", "cat"},
  };
  TempDir t;
  MakeRamdiskSource(t / "src");
  WriteFile(t / "kernel", "k");
  for (const Form& f : forms) {
    SCOPED_TRACE(f.name);
    std::string n = f.name;
    MakeRamdisk(t / "src", t / ("rd." + n), f.compress);
    fs::path img = t / (n + ".img");
    ASSERT_EQ(RunCommand("mkbootimg --kernel " + ShQuote((t / "kernel").string()) + " --ramdisk " +
                         ShQuote((t / ("rd." + n)).string()) + " -o " + ShQuote(img.string()))
                  .exit_code,
              0);
    ExpectByteIdenticalRoundTrip(img, t / n);
    EXPECT_EQ(ConfigValue(t / n, "compression"), n);
    EXPECT_EQ(ReadFile(t / n / "ramdisk/init"), "#!init binary\n");

    WriteFile(t / n / "ramdisk/added.txt", "added to " + n);
    fs::remove_all(t / n / "ramdisk/data");
    auto p = Pack(t / n, t / (n + ".edited.img"));
    ASSERT_EQ(p.exit_code, 0) << p.output;
    ASSERT_EQ(RunCommand("unpack_bootimg --boot_img " + ShQuote((t / (n + ".edited.img")).string()) + " --out " +
                         ShQuote((t / (n + ".ub")).string()))
                  .exit_code,
              0);
    // The compressor's own tool reads what we wrote.
    auto listing = RunCommand(std::string(f.decompress) + " " + ShQuote((t / (n + ".ub/ramdisk")).string()) +
                              " | cpio -it 2>/dev/null");
    EXPECT_NE(listing.output.find("added.txt"), std::string::npos) << listing.output;
    EXPECT_EQ(listing.output.find("data\n"), std::string::npos) << listing.output;
    EXPECT_NE(listing.output.find("etc/init/hw/init.rc"), std::string::npos);
  }
}

TEST(AndImgToolEdits, ReplacedCompressedFileIsTakenAsItIs) {
  REQUIRE_TOOLS();
  TempDir t;
  MakeRamdiskSource(t / "src");
  MakeRamdisk(t / "src", t / "rd.gz", "gzip -9n");
  WriteFile(t / "kernel", "k");
  ASSERT_EQ(RunCommand("mkbootimg --kernel " + ShQuote((t / "kernel").string()) + " --ramdisk " +
                       ShQuote((t / "rd.gz").string()) + " -o " + ShQuote((t / "b.img").string()))
                .exit_code,
            0);
  ASSERT_EQ(Unpack(t / "b.img", t / "b").exit_code, 0);
  // A user who drops in another ramdisk file (same form) without touching the folder gets it.
  WriteFile(t / "src/extra", "x");
  MakeRamdisk(t / "src", t / "b/ramdisk.cpio.gz", "gzip -1n");
  ASSERT_EQ(Pack(t / "b", t / "b2.img").exit_code, 0);
  ASSERT_EQ(Unpack(t / "b2.img", t / "b2").exit_code, 0);
  EXPECT_EQ(ReadFile(t / "b2/ramdisk/extra"), "x");
  EXPECT_TRUE(SameFiles(t / "b/ramdisk.cpio.gz", t / "b2/ramdisk.cpio.gz"));
}
