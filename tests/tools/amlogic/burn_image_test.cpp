// AmlImagePack on burn images built here from the format's rules: unpack, pack back byte for
// byte, pack after edits, the vendor's item list, and hostile images.
#include <gtest/gtest.h>

#include "aml_common.h"
#include "aml_test_util.h"

using namespace orvex::test;

namespace {

std::string Bytes(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 7)) & 0xFF);
  return s;
}

// A minimal Android sparse image: header and one DONT_CARE chunk.
std::string SparseBytes() {
  std::string s(28 + 12, '\0');
  Put32At(s, 0, 0xED26FF3A);
  s[4] = 1;
  s[8] = 28;
  s[10] = 12;
  Put32At(s, 12, 4096);
  Put32At(s, 16, 256);
  Put32At(s, 20, 1);
  Put32At(s, 28, 0xCAC3);
  Put32At(s, 32, 256);
  Put32At(s, 36, 12);
  return s;
}

// The items of a typical box image; the order is the image's own, not the packer's default.
std::vector<TestItem> BoxItems() {
  std::vector<TestItem> v;
  v.push_back({"USB", "DDR", Bytes(3001, 1)});
  v.push_back({"USB", "UBOOT", "", false, 0});  // the same data as DDR.USB, stored once
  v.back().data = v[0].data;
  v.push_back({"PARTITION", "_aml_dtb", Bytes(2048 + 5, 2), true});
  v.push_back({"ini", "aml_sdc_burn", "[common]\nerase_bootloader = 1\n"});
  v.push_back({"PARTITION", "logo", Bytes(777, 3), true});
  v.push_back({"dtb", "meson1", "", false, 2});
  v.back().data = v[2].data;
  v.push_back({"conf", "platform", "Platform:0x0811\nDDRLoad:0xfffc0000\n"});
  v.push_back({"PARTITION", "system", SparseBytes(), true, -1, 0xFE});
  v.push_back({"PARTITION", "vendor", Bytes(4096, 4), true, -1, 0x2FE});  // a UBIFS item
  v.push_back({"PARTITION", "boot", Bytes(0, 5), true});                  // an empty partition
  return v;
}

struct Work {
  TempDir tmp;
  fs::path image = tmp / "fw.img";
  fs::path dir = tmp / "fw";
  CommandResult Unpack() const {
    return RunBinTool("AmlImagePack", "-d " + ShQuote(image.string()) + " " + ShQuote(dir.string()));
  }
  CommandResult Pack(const fs::path& out) const {
    return RunBinTool("AmlImagePack", "-r " + ShQuote((dir / "image.cfg").string()) + " " + ShQuote(dir.string()) +
                                           " " + ShQuote(out.string()));
  }
};

std::string Section(const std::string& cfg, const std::string& name) {
  size_t a = cfg.find("[" + name + "]");
  if (a == std::string::npos) return "";
  a = cfg.find('\n', a) + 1;
  size_t b = std::min(cfg.find("\n[", a), cfg.find("\n\n", a));  // a section ends at a blank line
  std::string s = cfg.substr(a, b == std::string::npos ? std::string::npos : b - a + 1);
  while (!s.empty() && (s.back() == '\n')) s.pop_back();
  return s + "\n";
}

// Checks an image the way a burning tool would: size, CRC, offsets inside the file, alignment,
// VERIFY hashes, shared data.
void ExpectValidImage(const std::string& img) {
  uint32_t version = 0, align = 0;
  auto t = ReadTable(img, &version, &align);
  ASSERT_GE(img.size(), 64u);
  EXPECT_EQ(Get32At(img, 12), img.size());
  EXPECT_EQ(Get32At(img, 0), AmlCrcOf(img, 4));
  const uint64_t tableEnd = 64 + t.size() * (version == 1 ? 128 : 576);
  for (size_t i = 0; i < t.size(); ++i) {
    SCOPED_TRACE(t[i].sub + "." + t[i].main);
    EXPECT_EQ(t[i].id, i);
    EXPECT_LE(t[i].offset + t[i].size, img.size());
    EXPECT_GE(t[i].offset, tableEnd);
    if (t[i].isBackup) {
      EXPECT_EQ(t[i].offset, t[t[i].backupId].offset);
    } else if (t[i].main != "VERIFY") {
      EXPECT_EQ((t[i].offset - tableEnd) % align, 0u);
    }
    if (t[i].verify == 1) {
      ASSERT_LT(i + 1, t.size());
      EXPECT_EQ(t[i + 1].main, "VERIFY");
      EXPECT_EQ(img.substr(t[i + 1].offset, 48), "sha1sum " + Sha1Hex(img.substr(t[i].offset, t[i].size)));
    }
  }
}

}  // namespace

TEST(AmlCrc, MatchesTheFormatsCheckValue) {
  orvex::aml::AmlCrc c;
  c.Update("1234", 4);
  c.Update("56789", 5);
  EXPECT_EQ(c.Value(), 0x340BC6D9u);
}

class BurnRoundTrip : public ::testing::TestWithParam<std::pair<uint32_t, uint32_t>> {};

TEST_P(BurnRoundTrip, UnpacksIntoNamedItemsAndPacksBackByteIdentical) {
  const auto [version, align] = GetParam();
  Work w;
  const auto items = BoxItems();
  const std::string img = BuildBurnImage(version, align, items);
  WriteFile(w.image, img);

  auto r = w.Unpack();
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(ListFiles(w.dir),
            (std::vector<std::string>{"DDR.USB", "UBOOT.USB", "_aml_dtb.PARTITION", "aml_sdc_burn.ini", "boot.PARTITION",
                                      "image.cfg", "logo.PARTITION", "meson1.dtb", "platform.conf", "system.PARTITION",
                                      "vendor.PARTITION"}));
  for (const auto& it : items) EXPECT_EQ(ReadFile(w.dir / (it.sub + "." + it.main)), it.data) << it.sub;

  const std::string cfg = ReadFile(w.dir / "image.cfg");
  EXPECT_EQ(Section(cfg, "LIST_NORMAL"),
            "file=\"DDR.USB\"\t\tmain_type=\"USB\"\t\tsub_type=\"DDR\"\n"
            "file=\"UBOOT.USB\"\t\tmain_type=\"USB\"\t\tsub_type=\"UBOOT\"\n"
            "file=\"aml_sdc_burn.ini\"\t\tmain_type=\"ini\"\t\tsub_type=\"aml_sdc_burn\"\n"
            "file=\"meson1.dtb\"\t\tmain_type=\"dtb\"\t\tsub_type=\"meson1\"\n"
            "file=\"platform.conf\"\t\tmain_type=\"conf\"\t\tsub_type=\"platform\"\n");
  EXPECT_EQ(Section(cfg, "LIST_VERIFY"),
            "file=\"_aml_dtb.PARTITION\"\tmain_type=\"PARTITION\"\t\tsub_type=\"_aml_dtb\"\n"
            "file=\"logo.PARTITION\"\tmain_type=\"PARTITION\"\t\tsub_type=\"logo\"\n"
            "file=\"system.PARTITION\"\tmain_type=\"PARTITION\"\t\tsub_type=\"system\"\n"
            "file=\"vendor.PARTITION\"\tmain_type=\"PARTITION\"\t\tsub_type=\"vendor\"\t\tfile_type=\"ubifs\"\n"
            "file=\"boot.PARTITION\"\tmain_type=\"PARTITION\"\t\tsub_type=\"boot\"\n");

  r = w.Pack(w.tmp / "again.img");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const std::string again = ReadFile(w.tmp / "again.img");
  EXPECT_EQ(again.size(), img.size());
  EXPECT_TRUE(again == img) << "packed image differs from the original";
  EXPECT_FALSE(fs::exists(w.tmp / "again.img.part"));
}

INSTANTIATE_TEST_SUITE_P(Tables, BurnRoundTrip,
                         ::testing::Values(std::make_pair(1u, 4u), std::make_pair(2u, 4u), std::make_pair(2u, 8u)));

TEST(AmlImagePack, EditedItemsPackIntoAValidImageThatUnpacksToTheEdits) {
  Work w;
  WriteFile(w.image, BuildBurnImage(2, 8, BoxItems()));
  ASSERT_EQ(w.Unpack().exit_code, 0);
  const std::string bigger = Bytes(9999, 9);
  WriteFile(w.dir / "logo.PARTITION", bigger);  // a new logo of another size
  WriteFile(w.dir / "UBOOT.USB", "now different from DDR");

  auto r = w.Pack(w.image);  // over the old image, as the pack job does
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const std::string img = ReadFile(w.image);
  ExpectValidImage(img);
  auto t = ReadTable(img);
  ASSERT_EQ(t.size(), 15u);
  EXPECT_EQ(t[1].sub, "UBOOT");
  EXPECT_EQ(t[1].isBackup, 0);  // no longer shares the DDR data
  EXPECT_EQ(t[9].sub, "system");
  EXPECT_EQ(t[9].fileType, 0xFEu);  // sparse data stays marked sparse
  EXPECT_EQ(t[11].fileType, 0x2FEu);

  fs::remove_all(w.dir);
  ASSERT_EQ(w.Unpack().exit_code, 0);
  EXPECT_EQ(ReadFile(w.dir / "logo.PARTITION"), bigger);
  EXPECT_EQ(ReadFile(w.dir / "UBOOT.USB"), "now different from DDR");
}

TEST(AmlImagePack, ItemsAddedToTheListArePackedInTheVendorOrder) {
  Work w;
  WriteFile(w.image, BuildBurnImage(2, 4, BoxItems()));
  ASSERT_EQ(w.Unpack().exit_code, 0);
  WriteFile(w.dir / "extra" / "cache.img", Bytes(100, 7));
  std::string cfg = ReadFile(w.dir / "image.cfg");
  cfg.insert(cfg.find("[LIST_VERIFY]\n") + 14, "file= \"extra/cache.img\"  main_type = \"PARTITION\" sub_type=\"cache\"  # added\n");
  WriteFile(w.dir / "image.cfg", cfg);
  ASSERT_EQ(w.Pack(w.image).exit_code, 0);
  const std::string img = ReadFile(w.image);
  ExpectValidImage(img);
  std::vector<std::string> names;
  for (const auto& e : ReadTable(img)) names.push_back(e.sub + "." + e.main);
  EXPECT_EQ(names, (std::vector<std::string>{
                       "DDR.USB", "UBOOT.USB", "_aml_dtb.PARTITION", "_aml_dtb.VERIFY", "aml_sdc_burn.ini",
                       "boot.PARTITION", "boot.VERIFY", "cache.PARTITION", "cache.VERIFY", "logo.PARTITION",
                       "logo.VERIFY", "meson1.dtb", "platform.conf", "system.PARTITION", "system.VERIFY",
                       "vendor.PARTITION", "vendor.VERIFY"}));
}

TEST(AmlImagePack, VendorItemListPacksAndUnpacksToTheSameLists) {
  TempDir tmp;
  const fs::path src = tmp / "src";
  const std::string sample = ReadFile(SamplesDir() / "amlogic_burn_cfg/jethome_j100_image.cfg");
  ASSERT_FALSE(sample.empty());
  WriteFile(src / "image.cfg", sample);
  WriteFile(src / "platform.conf", ReadFile(SamplesDir() / "amlogic_burn_cfg/jethome_j100_platform.conf"));
  WriteFile(src / "_aml_dtb.PARTITION", ReadFile(SamplesDir() / "amlogic_multidtb/jethome_j100_aml_dtb.PARTITION"));
  WriteFile(src / "DDR.USB", Bytes(4000, 1));
  WriteFile(src / "UBOOT.USB", Bytes(5000, 2));
  unsigned seed = 3;
  for (const char* f : {"bootloader.PARTITION", "PART.1.boot", "PART.2.kernela", "PART.3.systema", "PART.4.kernelb",
                        "PART.5.systemb", "PART.6.bootinfo", "PART.7.overlay", "PART.8.data"})
    WriteFile(src / f, Bytes(1000 + seed * 37, seed)), ++seed;

  auto r = RunBinTool("AmlImagePack", "-r " + ShQuote((src / "image.cfg").string()) + " " + ShQuote(src.string()) + " " +
                                          ShQuote((tmp / "j100.img").string()));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const std::string img = ReadFile(tmp / "j100.img");
  ExpectValidImage(img);
  auto t = ReadTable(img);
  ASSERT_EQ(t.size(), 4u + 2 * 10u);
  EXPECT_EQ(t[0].sub, "DDR");
  EXPECT_EQ(t[1].sub, "UBOOT");
  // The dtb item and the _aml_dtb partition come from one file: stored once.
  size_t dtb = 0, part = 0;
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i].main == "dtb") dtb = i;
    if (t[i].sub == "_aml_dtb" && t[i].main == "PARTITION") part = i;
  }
  EXPECT_EQ(t[dtb].isBackup, 1);
  EXPECT_EQ(t[dtb].backupId, part);

  r = RunBinTool("AmlImagePack", "-d " + ShQuote((tmp / "j100.img").string()) + " " + ShQuote((tmp / "out").string()));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  // The same (main_type, sub_type) pairs in each list as the vendor's file.
  auto pairs = [](const std::string& section) {
    std::vector<std::string> out;
    size_t p = 0;
    while ((p = section.find("main_type=\"", p)) != std::string::npos) {
      size_t m = p + 11, me = section.find('"', m);
      size_t s = section.find("sub_type=\"", me) + 10, se = section.find('"', s);
      out.push_back(section.substr(m, me - m) + "/" + section.substr(s, se - s));
      p = se;
    }
    std::sort(out.begin(), out.end());
    return out;
  };
  const std::string cfg = ReadFile(tmp / "out" / "image.cfg");
  EXPECT_EQ(pairs(Section(cfg, "LIST_NORMAL")), pairs(Section(sample, "LIST_NORMAL")));
  EXPECT_EQ(pairs(Section(cfg, "LIST_VERIFY")), pairs(Section(sample, "LIST_VERIFY")));
  EXPECT_EQ(ReadFile(tmp / "out" / "systema.PARTITION"), ReadFile(src / "PART.3.systema"));
  EXPECT_EQ(ReadFile(tmp / "out" / "meson1.dtb"), ReadFile(src / "_aml_dtb.PARTITION"));
}

TEST(AmlImagePack, HostileImagesGiveOneErrorAndLeaveNothing) {
  const std::string good = BuildBurnImage(2, 4, BoxItems());
  const size_t e0 = 64, es = 576;  // entry 0 and the entry size
  struct Case {
    const char* what;
    std::function<void(std::string&)> spoil;
    bool fixCrc;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"truncated", [](std::string& s) { s.resize(s.size() - 10); }, false, "differs from the file size"},
      {"huge count", [](std::string& s) { Put32At(s, 24, 0xFFFFFFFF); }, true, "item count"},
      {"table past end", [](std::string& s) { Put32At(s, 24, 4000); }, true, "runs past the end"},
      {"offset past end", [&](std::string& s) { Put64At(s, e0 + 16, 1ull << 40); }, true, "runs past the end"},
      {"size past end", [&](std::string& s) { Put64At(s, e0 + 24, s.size()); }, true, "runs past the end"},
      {"dot-dot name", [&](std::string& s) { s.replace(e0 + 32 + 256, 6, "../../"); }, true, "unsafe item name"},
      {"slash name", [&](std::string& s) { s.replace(e0 + 32, 4, std::string("a/b\0", 4)); }, true, "unsafe item name"},
      {"name without end", [&](std::string& s) { s.replace(e0 + 32, 256, std::string(256, 'A')); }, true, "without an end"},
      {"crc mismatch", [](std::string& s) { s[s.size() - 1] ^= 1; }, false, "CRC mismatch"},
      {"sha1 mismatch", [&](std::string& s) { s[Get32At(s, e0 + 2 * es + 16)] ^= 0x55; }, true, "SHA-1 mismatch"},
      {"verify missing", [&](std::string& s) { Put32At(s, e0 + 32 + 512, 1); }, true, "VERIFY item is missing"},
      {"backup of later", [&](std::string& s) { s[e0 + es + 32 + 512 + 6] = 9; }, true, "backup of a later item"},
      {"version 3", [](std::string& s) { Put32At(s, 4, 3); }, true, "version"},
      {"not an image", [](std::string& s) { Put32At(s, 8, 0); }, true, "magic"},
      {"item named image.cfg", [&](std::string& s) {
         s.replace(e0 + 32, 4, std::string("cfg\0", 4));
         s.replace(e0 + 32 + 256, 4, "imag");
         s.replace(e0 + 32 + 256 + 4, 2, std::string("e\0", 2));
       }, true, "image.cfg"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Work w;
    std::string bad = good;
    c.spoil(bad);
    if (c.fixCrc) FixBurnCrc(bad);
    WriteFile(w.image, bad);
    auto r = w.Unpack();
    EXPECT_NE(r.exit_code, 0);
    EXPECT_NE(r.output.find("AmlImagePack: "), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
    EXPECT_EQ(ListFiles(w.dir), std::vector<std::string>{});
    EXPECT_EQ(ListFiles(w.tmp.path()), std::vector<std::string>{"fw.img"});
  }
}

TEST(AmlImagePack, BadItemListsFailAndKeepThePreviousImage) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"[LIST_NORMAL]\nfile=\"../outside.bin\" main_type=\"USB\" sub_type=\"DDR\"\n", "inside the folder"},
      {"[LIST_NORMAL]\nfile=\"/etc/hostname\" main_type=\"USB\" sub_type=\"DDR\"\n", "inside the folder"},
      {"[LIST_NORMAL]\nfile=\"missing.bin\" main_type=\"USB\" sub_type=\"DDR\"\n", "missing.bin"},
      {"[LIST_NORMAL]\nfile=\"a.bin\" main_type=\"USB\" sub_type=\"DDR\"\nfile=\"a.bin\" main_type=\"USB\" "
       "sub_type=\"DDR\"\n",
       "listed twice"},
      {"[LIST_NORMAL]\nfile=\"a.bin\" main_type=\"USB\" sub_type=\"" + std::string(40, 'x') +
           "\"\n[PACK_LAYOUT]\nversion=1\n",
       "longer than the table holds"},
      {"[LIST_NORMAL]\nfile=\"a.bin\" main_type=\"USB\"\n", "needs file, main_type and sub_type"},
      {"[LIST_NORMAL]\n# nothing\n", "lists no item"},
      {"[LIST_NORMAL]\nfile=\"a.bin\" main_type=\"USB\" sub_type=\"DDR\" file_type=\"fancy\"\n", "unknown file_type"},
  };
  for (const auto& [cfg, message] : cases) {
    SCOPED_TRACE(cfg);
    TempDir tmp;
    WriteFile(tmp / "in/image.cfg", cfg);
    WriteFile(tmp / "in/a.bin", "data");
    WriteFile(tmp / "fw.img", "previous image");
    auto r = RunBinTool("AmlImagePack", "-r " + ShQuote((tmp / "in/image.cfg").string()) + " " +
                                            ShQuote((tmp / "in").string()) + " " + ShQuote((tmp / "fw.img").string()));
    EXPECT_NE(r.exit_code, 0);
    EXPECT_NE(r.output.find(message), std::string::npos) << r.output;
    EXPECT_EQ(ReadFile(tmp / "fw.img"), "previous image");
    EXPECT_FALSE(fs::exists(tmp / "fw.img.part"));
  }
}

TEST(AmlImagePack, CheckModeAndUsage) {
  Work w;
  WriteFile(w.image, BuildBurnImage(1, 4, BoxItems()));
  auto r = RunBinTool("AmlImagePack", "-c " + ShQuote(w.image.string()));
  EXPECT_EQ(r.exit_code, 0) << r.output;
  std::string bad = ReadFile(w.image);
  bad[bad.size() / 2] ^= 1;
  WriteFile(w.image, bad);
  EXPECT_NE(RunBinTool("AmlImagePack", "-c " + ShQuote(w.image.string())).exit_code, 0);
  EXPECT_EQ(RunBinTool("AmlImagePack", "-d only-one-argument").exit_code, 2);
  r = RunBinTool("AmlImagePack", "--help");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.output.find("-r CFG DIR OUT"), std::string::npos);
}

// The check unpacks into a scratch folder of the temporary folder (TMPDIR, whatever its name
// holds) and removes it again, whether the image passes or not.
TEST(AmlImagePack, CheckLeavesNothingInTheTemporaryFolder) {
  Work w;
  const fs::path scratch = w.tmp / "it's temp";
  fs::create_directories(scratch);
  WriteFile(w.image, BuildBurnImage(2, 4, BoxItems()));
  const std::string env = "TMPDIR=" + ShQuote(scratch.string()) + " ";
  auto r = RunCommand(env + ShQuote((BinDir() / "AmlImagePack").string()) + " -c " + ShQuote(w.image.string()) + " 2>&1");
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find(": OK"), std::string::npos) << r.output;
  EXPECT_TRUE(fs::is_empty(scratch)) << "left behind: " << ::testing::PrintToString(ListFiles(scratch));
  std::string bad = ReadFile(w.image);
  bad[bad.size() - 3] ^= 1;
  WriteFile(w.image, bad);
  r = RunCommand(env + ShQuote((BinDir() / "AmlImagePack").string()) + " -c " + ShQuote(w.image.string()) + " 2>&1");
  EXPECT_EQ(r.exit_code, 1) << r.output;
  EXPECT_TRUE(fs::is_empty(scratch)) << "left behind: " << ::testing::PrintToString(ListFiles(scratch));
}
