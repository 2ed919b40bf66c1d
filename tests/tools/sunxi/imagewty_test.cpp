// imgRePacker on IMAGEWTY images built from the format's rules (1024-byte image header, one
// 1024-byte item per file, data aligned to 1024, stored lengths rounded to 16), and both
// repackers on a real Android boot image handed to them as a sub-image.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "vendor_test_util.h"

using namespace orvex::test;

namespace {

std::string Blob(size_t n, int seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 13 + seed * 17 + (i >> 10));
  return s;
}

const std::vector<WtyFile> kFiles = {{"sys_config.fex", "COMMON", "SYS_CONFIG100000", "[product]\nversion = \"100\"\n"},
                                     {"boot0_sdcard.fex", "12345678", "1234567890BOOT_0", Blob(32768, 1)},
                                     {"boot.fex", "RFSFAT16", "BOOT_FEX00000000", Blob(70001, 2)},
                                     {"Vboot.fex", "RFSFAT16", "VBOOT_FEX0000000", "1234"}};

CommandResult Aw(const fs::path& dir, const std::string& args) {
  return RunCommand("cd " + ShQuote(dir.string()) + " && " + ShQuote((BinDir() / "imgRePacker").string()) + " " + args + " 2>&1");
}

}  // namespace

TEST(Imagewty, UnpacksWithItsFileListAndPacksBackByteIdentical) {
  TempDir tmp;
  const std::string img = BuildWty(kFiles);
  WriteFile(tmp / "fw.img", img);
  auto r = Aw(tmp.path(), "'fw.img'");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const std::string cfg = ReadFile(tmp / "fw.img.dump/image.cfg");
  // The firmware pack job recognises the vendor by the first known group: [FILELIST].
  EXPECT_NE(cfg.find("[FILELIST]\r\n\t{filename = \"sys_config.fex\", maintype = \"COMMON  \", subtype = "
                     "\"SYS_CONFIG100000\",},\r\n"),
            std::string::npos)
      << cfg;
  EXPECT_EQ(cfg.find("[rkfw]"), std::string::npos);
  EXPECT_NE(cfg.find("pid = 0x00001234"), std::string::npos);
  for (const WtyFile& f : kFiles) EXPECT_EQ(ReadFile(tmp / "fw.img.dump" / f.name), f.data) << f.name;
  fs::remove(tmp / "fw.img");
  r = Aw(tmp.path(), "'fw.img.dump'");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(ReadFile(tmp / "fw.img") == img);

  // A grown boot.fex moves the files after it; the image stays valid and unpacks to the edit.
  WriteFile(tmp / "fw.img.dump/boot.fex", Blob(200000, 3));
  ASSERT_EQ(Aw(tmp.path(), "'fw.img.dump'").exit_code, 0);
  const auto files = ReadWty(ReadFile(tmp / "fw.img"));
  ASSERT_EQ(files.size(), 4u);
  EXPECT_EQ(files[2].second, Blob(200000, 3));
  EXPECT_EQ(files[3].second, "1234");
  fs::remove_all(tmp / "fw.img.dump");
  ASSERT_EQ(Aw(tmp.path(), "'fw.img'").exit_code, 0);
  EXPECT_EQ(ReadFile(tmp / "fw.img.dump/boot.fex"), Blob(200000, 3));
}

TEST(Imagewty, EncryptedAndHostileImagesAreRefusedByName) {
  struct Case {
    const char* what;
    std::string bytes;
    const char* message;
  };
  std::vector<Case> cases;
  {
    std::string img = BuildWty(kFiles);
    for (size_t i = 0; i < 1024; ++i) img[i] = static_cast<char>(img[i] ^ 0x5A);  // header no longer in clear
    cases.push_back({"encrypted header", img, "encrypted"});
  }
  {
    std::string img = BuildWty(kFiles);
    std::memcpy(&img[2 * 1024 + 0x13C], "RC6", 3);
    cases.push_back({"encrypted item", img, "encrypted"});
  }
  {
    auto f = kFiles;
    f[1].name = "../../boot0.fex";
    cases.push_back({"dot-dot name", BuildWty(f), "unsafe"});
  }
  {
    std::string img = BuildWty(kFiles);
    Put32At(img, 0x3C, 0x7FFFFFFF);
    cases.push_back({"item count", img, "does not fit"});
  }
  {
    std::string img = BuildWty(kFiles);
    Put32At(img, 3 * 1024 + 0x134, 0x7FFFFC00);
    cases.push_back({"offset", img, "past the end"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir tmp;
    WriteFile(tmp / "fw.img", c.bytes);
    auto r = Aw(tmp.path(), "'fw.img'");
    EXPECT_NE(r.exit_code, 0);
    EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
    EXPECT_FALSE(fs::exists(tmp / "fw.img.dump"));
  }
}

// A real Android boot image handed to either repacker as a sub-image (full path, no working
// folder of its own): the boot image library unpacks it; the untouched folder packs back the same.
TEST(BootSubImage, BothRepackersRoundTripARealBootImage) {
  const fs::path sample = SamplesDir() / "bootimg/avbroot_boot_v2.img";
  for (const char* tool : {"imgRePacker", "imgRePackerRK106"}) {
    SCOPED_TRACE(tool);
    TempDir tmp;
    const fs::path img = tmp / (std::string(tool) == "imgRePacker" ? "boot.fex" : "boot.img");
    fs::copy_file(sample, img);
    const std::string bin = ShQuote((BinDir() / tool).string());
    auto r = RunCommand(bin + " " + ShQuote(img.string()) + " 2>&1");
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(fs::exists(img.string() + ".cfg"));
    EXPECT_TRUE(fs::exists(img.string() + ".dump/config.ini"));
    fs::remove(img);
    r = RunCommand(bin + " " + ShQuote(img.string() + ".dump") + " " + ShQuote(img.string() + ".cfg") + " 2>&1");
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(ReadFile(img) == ReadFile(sample));
  }
}
