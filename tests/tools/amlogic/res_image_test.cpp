// imgpack on the real logo sample and on images checked against the format's layout rules.
#include <gtest/gtest.h>

#include "aml_test_util.h"

using namespace orvex::test;

namespace {

const fs::path kLogo = SamplesDir() / "amlogic_logo/khadas_vim_logo.img";

// A small BMP file of width x height at 24 bits.
std::string Bmp(uint32_t width, uint32_t height, char fill) {
  const uint32_t row = (width * 3 + 3) / 4 * 4, pixels = row * height;
  std::string s(54, '\0');
  s[0] = 'B';
  s[1] = 'M';
  Put32At(s, 2, 54 + pixels);
  Put32At(s, 10, 54);
  Put32At(s, 14, 40);
  Put32At(s, 18, width);
  Put32At(s, 22, height);
  s[26] = 1;
  s[28] = 24;
  s += std::string(pixels, fill);
  return s;
}

struct ResItemView {
  std::string name;
  uint32_t size, start, next;
  uint8_t index, nums;
};

// Reads an image by the format's rules and checks its size and CRC.
std::vector<ResItemView> ReadRes(const std::string& img, uint32_t* version) {
  std::vector<ResItemView> out;
  EXPECT_EQ(img.substr(8, 8), "AML_RES!");
  EXPECT_EQ(Get32At(img, 16), img.size());
  EXPECT_EQ(Get32At(img, 0), AmlCrcOf(img, 4));
  *version = Get32At(img, 4);
  const uint32_t n = Get32At(img, 20);
  size_t at = 64;
  for (uint32_t i = 0; i < n; ++i) {
    EXPECT_EQ(Get32At(img, at), 0x27051956u);
    ResItemView v{img.substr(at + 32, 32).c_str(), Get32At(img, at + 8), Get32At(img, at + 12), Get32At(img, at + 20),
                  static_cast<uint8_t>(img[at + 28]), static_cast<uint8_t>(img[at + 29])};
    out.push_back(v);
    at = *version == 2 ? at + 64 : v.next;
  }
  return out;
}

CommandResult Imgpack(const std::string& args) { return RunBinTool("imgpack", args); }

}  // namespace

TEST(Imgpack, LogoSampleUnpacksToItsPictureAndPacksBackByteIdentical) {
  TempDir tmp;
  auto r = Imgpack("-d " + ShQuote(kLogo.string()) + " " + ShQuote((tmp / "logo").string()));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(ListFiles(tmp / "logo"), (std::vector<std::string>{"bootup.bmp", "items.cfg"}));
  const std::string bmp = ReadFile(tmp / "logo/bootup.bmp");
  ASSERT_EQ(bmp.size(), 4147272u);
  EXPECT_EQ(bmp.substr(0, 2), "BM");
  EXPECT_EQ(Get32At(bmp, 18), 1920u);
  EXPECT_EQ(Get32At(bmp, 22), 1080u);

  r = Imgpack("-r " + ShQuote((tmp / "logo").string()) + " " + ShQuote((tmp / "logo.img").string()));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(ReadFile(tmp / "logo.img") == ReadFile(kLogo)) << "packed logo differs from the sample";
}

TEST(Imgpack, ReplacedAndAddedPicturesArePackedWithTheirOwnSizes) {
  TempDir tmp;
  ASSERT_EQ(Imgpack("-d " + ShQuote(kLogo.string()) + " " + ShQuote((tmp / "logo").string())).exit_code, 0);
  const std::string small = Bmp(33, 7, 'x'), added = Bmp(4, 4, 'y');
  WriteFile(tmp / "logo/bootup.bmp", small);
  WriteFile(tmp / "logo/upgrade_logo.bmp", added);
  WriteFile(tmp / "logo/a_raw_item", "not a picture");
  auto r = Imgpack("-r " + ShQuote((tmp / "logo").string()) + " " + ShQuote((tmp / "logo.img").string()));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const std::string img = ReadFile(tmp / "logo.img");
  uint32_t version = 0;
  auto items = ReadRes(img, &version);
  EXPECT_EQ(version, 2u);
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].name, "bootup");  // the recorded item first, the new files by name after it
  EXPECT_EQ(items[1].name, "a_raw_item");
  EXPECT_EQ(items[2].name, "upgrade_logo");
  EXPECT_EQ(items[0].size, small.size());
  EXPECT_EQ(items[0].start, 64u + 3 * 64);
  for (size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(items[i].index, i);
    EXPECT_EQ(items[i].nums, 3);
    EXPECT_EQ(items[i].next, i + 1 < items.size() ? 64 + 64 * (i + 1) : 0u);
    if (i > 0) EXPECT_EQ(items[i].start, items[i - 1].start + (items[i - 1].size & ~15u) + 16);
  }
  EXPECT_EQ(img.substr(items[0].start, small.size()), small);
  EXPECT_EQ(img.size(), items[2].start + (items[2].size & ~15u) + 16);

  ASSERT_EQ(Imgpack("-d " + ShQuote((tmp / "logo.img").string()) + " " + ShQuote((tmp / "again").string())).exit_code, 0);
  EXPECT_EQ(ReadFile(tmp / "again/bootup.bmp"), small);
  EXPECT_EQ(ReadFile(tmp / "again/upgrade_logo.bmp"), added);
  EXPECT_EQ(ReadFile(tmp / "again/a_raw_item"), "not a picture");
}

TEST(Imgpack, VersionOneKeepsEachHeaderBeforeItsData) {
  TempDir tmp;
  WriteFile(tmp / "logo/items.cfg", "version=1\r\nalign=16\r\nitem=\"second\"\tfile=\"b.bmp\"\r\nitem=\"first\"\tfile=\"a.bmp\"\r\n");
  WriteFile(tmp / "logo/a.bmp", Bmp(2, 2, 'a'));
  WriteFile(tmp / "logo/b.bmp", std::string(32, 'b'));  // already a multiple of 16: a whole unit more
  ASSERT_EQ(Imgpack("-r " + ShQuote((tmp / "logo").string()) + " " + ShQuote((tmp / "v1.img").string())).exit_code, 0);
  const std::string img = ReadFile(tmp / "v1.img");
  uint32_t version = 0;
  auto items = ReadRes(img, &version);
  EXPECT_EQ(version, 1u);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].name, "second");
  EXPECT_EQ(items[0].start, 128u);
  EXPECT_EQ(items[0].next, 128u + 48);
  EXPECT_EQ(items[1].start, 128u + 48 + 64);
  EXPECT_EQ(items[1].next, 0u);

  ASSERT_EQ(Imgpack("-d " + ShQuote((tmp / "v1.img").string()) + " " + ShQuote((tmp / "out").string())).exit_code, 0);
  EXPECT_EQ(ListFiles(tmp / "out"), (std::vector<std::string>{"first.bmp", "items.cfg", "second"}));
  ASSERT_EQ(Imgpack("-r " + ShQuote((tmp / "out").string()) + " " + ShQuote((tmp / "v1b.img").string())).exit_code, 0);
  EXPECT_TRUE(ReadFile(tmp / "v1b.img") == img);
}

TEST(Imgpack, HostileImagesGiveOneErrorAndLeaveNothing) {
  const std::string good = ReadFile(kLogo);
  ASSERT_FALSE(good.empty());
  struct Case {
    const char* what;
    std::function<void(std::string&)> spoil;
    bool fixCrc;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"truncated", [](std::string& s) { s.resize(s.size() - 100); }, false, "differs from the file size"},
      {"huge count", [](std::string& s) { Put32At(s, 20, 100000); }, true, "item count"},
      {"start past end", [](std::string& s) { Put32At(s, 64 + 12, 0xFFFFFF00); }, true, "outside the file"},
      {"size past end", [](std::string& s) { Put32At(s, 64 + 8, static_cast<uint32_t>(s.size())); }, true, "outside the file"},
      {"dot-dot name", [](std::string& s) { s.replace(96, 6, "../../"); }, true, "unsafe item name"},
      {"name without end", [](std::string& s) { s.replace(96, 32, std::string(32, 'n')); }, true, "without an end"},
      {"bad item magic", [](std::string& s) { Put32At(s, 64, 1); }, true, "item magic"},
      {"crc mismatch", [](std::string& s) { s[5000] ^= 1; }, false, "CRC mismatch"},
      {"bad alignment", [](std::string& s) { Put32At(s, 24, 3); }, true, "alignment"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir tmp;
    std::string bad = good;
    c.spoil(bad);
    if (c.fixCrc) Put32At(bad, 0, AmlCrcOf(bad, 4));
    WriteFile(tmp / "logo.img", bad);
    auto r = Imgpack("-d " + ShQuote((tmp / "logo.img").string()) + " " + ShQuote((tmp / "logo").string()));
    EXPECT_NE(r.exit_code, 0);
    EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
    EXPECT_EQ(ListFiles(tmp.path()), std::vector<std::string>{"logo.img"});
  }
}

TEST(Imgpack, PackFailuresKeepThePreviousImage) {
  TempDir tmp;
  WriteFile(tmp / "logo.img", "previous");
  fs::create_directories(tmp / "empty");
  EXPECT_NE(Imgpack("-r " + ShQuote((tmp / "empty").string()) + " " + ShQuote((tmp / "logo.img").string())).exit_code, 0);
  WriteFile(tmp / "long" / (std::string(40, 'n') + ".bmp"), Bmp(1, 1, 'z'));
  auto r = Imgpack("-r " + ShQuote((tmp / "long").string()) + " " + ShQuote((tmp / "logo.img").string()));
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.output.find("unusable item name"), std::string::npos) << r.output;
  WriteFile(tmp / "gone/items.cfg", "item=\"bootup\"\tfile=\"bootup.bmp\"\n");
  EXPECT_NE(Imgpack("-r " + ShQuote((tmp / "gone").string()) + " " + ShQuote((tmp / "logo.img").string())).exit_code, 0);
  EXPECT_EQ(ReadFile(tmp / "logo.img"), "previous");
  EXPECT_FALSE(fs::exists(tmp / "logo.img.part"));
}
