// imgRePacker on IMAGEWTY images built from the format's rules (1024-byte image header, one
// 1024-byte item per file, data aligned to 1024, stored lengths rounded to 16), and both
// repackers on a real Android boot image handed to them as a sub-image.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "test_support.h"

using namespace orvex::test;

namespace {

void Put32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}
uint32_t Get32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s[at + i]);
  return v;
}

struct WtyFile {
  std::string name, main, sub, data;
};

std::string BuildWty(const std::vector<WtyFile>& files) {
  std::string img(1024 * (files.size() + 1), '\0');
  std::memcpy(&img[0], "IMAGEWTY", 8);
  Put32(img, 0x08, 0x0300);
  Put32(img, 0x0C, 0x60);
  Put32(img, 0x10, 0x04D00000);
  Put32(img, 0x14, 0x100234);
  Put32(img, 0x20, 1024);
  Put32(img, 0x24, 0x1234);
  Put32(img, 0x28, 0x8743);
  Put32(img, 0x2C, 0x100);
  Put32(img, 0x30, 0x100);
  Put32(img, 0x34, 1);
  Put32(img, 0x38, 1024);
  Put32(img, 0x3C, static_cast<uint32_t>(files.size()));
  Put32(img, 0x40, 1024);
  for (size_t i = 0; i < files.size(); ++i) {
    const size_t e = 1024 * (i + 1);
    Put32(img, e, 0x100);
    Put32(img, e + 4, 1024);
    std::string m = files[i].main, s = files[i].sub;
    m.resize(8, ' ');
    s.resize(16, ' ');
    std::memcpy(&img[e + 0x08], m.data(), 8);
    std::memcpy(&img[e + 0x10], s.data(), 16);
    std::memcpy(&img[e + 0x24], files[i].name.data(), files[i].name.size());
    Put32(img, e + 0x124, static_cast<uint32_t>((files[i].data.size() + 15) / 16 * 16));
    Put32(img, e + 0x12C, static_cast<uint32_t>(files[i].data.size()));
    Put32(img, e + 0x134, static_cast<uint32_t>(img.size()));
    img += files[i].data;
    img.resize((img.size() + 1023) / 1024 * 1024, '\0');
  }
  Put32(img, 0x18, static_cast<uint32_t>(img.size()));
  return img;
}

// Checks an image by the format's rules and returns each file's bytes by name.
std::vector<std::pair<std::string, std::string>> ReadWty(const std::string& img) {
  std::vector<std::pair<std::string, std::string>> out;
  EXPECT_EQ(img.substr(0, 8), "IMAGEWTY");
  EXPECT_EQ(Get32(img, 0x18), img.size());
  const uint32_t n = Get32(img, 0x3C);
  for (uint32_t i = 0; i < n; ++i) {
    const size_t e = 1024 * (i + 1);
    const uint32_t len = Get32(img, e + 0x12C), off = Get32(img, e + 0x134);
    EXPECT_EQ(off % 1024, 0u);
    EXPECT_GE(Get32(img, e + 0x124), len);
    EXPECT_LE(uint64_t(off) + len, img.size());
    out.emplace_back(img.substr(e + 0x24, 256).c_str(), img.substr(off, len));
  }
  return out;
}

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
    Put32(img, 0x3C, 0x7FFFFFFF);
    cases.push_back({"item count", img, "does not fit"});
  }
  {
    std::string img = BuildWty(kFiles);
    Put32(img, 3 * 1024 + 0x134, 0x7FFFFC00);
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
