// Hostile images and folders: every one gives a one-line error and a non-zero exit, and nothing
// is written outside the output folder.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <regex>

#include "bootimg/bootimg.h"
#include "bootimg_test_util.h"

using namespace orvex::test;

namespace {

// A boot v0 image by hand: header page, kernel, ramdisk.
std::string BootV0(uint32_t page, const std::string& kernel, const std::string& ramdisk) {
  std::string h(page, '\0');
  h.replace(0, 8, "ANDROID!");
  PutU32(h, 8, uint32_t(kernel.size()));
  PutU32(h, 16, uint32_t(ramdisk.size()));
  PutU32(h, 36, page);
  return h + PadTo(kernel, page) + PadTo(ramdisk, page);
}

std::string Gzip(const TempDir& t, const std::string& data) {
  WriteFile(t / "gz.in", data);
  RunCommand("gzip -9nc " + ShQuote((t / "gz.in").string()) + " > " + ShQuote((t / "gz.out").string()));
  return ReadFile(t / "gz.out");
}

struct Outcome {
  int code;
  std::string output;
};

// Unpacks `image` into t/work/out and reports; the tree under t/work afterwards must hold the
// image and the out folder only.
Outcome UnpackIn(const TempDir& t, const std::string& image, const std::string& extra = "") {
  fs::remove_all(t / "work");
  fs::create_directories(t / "work");
  WriteFile(t / "work/in.img", image);
  auto r = AndImgTool(extra + " " + ShQuote((t / "work/in.img").string()) + " " + ShQuote((t / "work/out").string()));
  for (const auto& e : fs::directory_iterator(t / "work")) {
    std::string n = e.path().filename().string();
    EXPECT_TRUE(n == "in.img" || n == "out") << "written outside the folder: " << n;
  }
  return {r.exit_code, r.output};
}

void ExpectRefused(const Outcome& o, const std::string& words) {
  EXPECT_EQ(o.code, 1) << o.output;
  EXPECT_TRUE(std::regex_search(o.output, std::regex("AndImgTool: error: .*" + words))) << o.output;
  EXPECT_EQ(o.output.find("Done"), std::string::npos);
}

}  // namespace

TEST(AndImgToolHostile, HeadersThatLieAboutSizesPagesAndTables) {
  if (!fs::exists(BinDir() / "AndImgTool")) GTEST_SKIP();
  TempDir t;
  std::string good = BootV0(2048, "kernel", "ramdisk");
  {
    std::string b = good;
    PutU32(b, 8, 1u << 30);  // kernel size far past the file
    ExpectRefused(UnpackIn(t, b), "describes .* bytes but the file has only");
  }
  for (uint32_t page : {0u, 3u, 1024u, 1u << 30, 0xFFFFFFFFu}) {
    SCOPED_TRACE(page);
    std::string b = good;
    PutU32(b, 36, page);
    ExpectRefused(UnpackIn(t, b), "invalid page size");
  }
  ExpectRefused(UnpackIn(t, good.substr(0, 100)), "cut short");
  ExpectRefused(UnpackIn(t, "ANDROID"), "too small");
  ExpectRefused(UnpackIn(t, std::string(4096, 'x')), "not an Android boot image");
  {
    // A v2 header whose dtb lies past the end, and a legacy device-tree size of 4 GiB.
    std::string b = good;
    PutU32(b, 40, 2);
    PutU32(b, 1648, 100000);
    ExpectRefused(UnpackIn(t, b), "describes");
    PutU32(b, 40, 0xFFFFFFF0u);
    ExpectRefused(UnpackIn(t, b), "describes");
  }

  std::string vb = VendorBootV4(2048, {{"aaaa", 1, "a"}, {"bbbb", 2, "b"}}, "dtb", "cfg", "");
  ASSERT_EQ(UnpackIn(t, vb).code, 0);
  {
    std::string b = vb;
    PutU32(b, 2116, 1000000);  // far more entries than the table holds
    ExpectRefused(UnpackIn(t, b), "vendor ramdisk table holds");
  }
  {
    std::string b = vb;
    PutU32(b, 2120, 0);  // entry size 0
    ExpectRefused(UnpackIn(t, b), "entry size");
  }
  {
    // The second entry points past the vendor ramdisk section.
    std::string b = vb;
    const size_t table = 2048 * 4;  // header, section, dtb pages
    PutU32(b, table + 108 + 4, 0xFFFFFFF0u);
    ExpectRefused(UnpackIn(t, b), "lies outside the vendor ramdisk section");
  }
  {
    std::string b = vb;
    PutU32(b, 2096, 0x7FFFFFFF);  // header size
    ExpectRefused(UnpackIn(t, b), "header size");
    PutU32(b, 2096, 2128);
    PutU32(b, 12, 0);
    ExpectRefused(UnpackIn(t, b), "invalid page size");
  }
}

TEST(AndImgToolHostile, CpioEntriesThatWouldLeaveTheFolder) {
  if (!fs::exists(BinDir() / "AndImgTool") || !HaveProgram("gzip")) GTEST_SKIP();
  TempDir t;
  fs::create_directories(t / "outside");
  const std::string outside = (t / "outside").string();
  struct Case {
    const char* what;
    std::string cpio;
    const char* words;
  };
  const Case cases[] = {
      {"dot-dot", NewcEntry("../evil", 0100644, "x"), "leaves its folder"},
      {"nested dot-dot", NewcEntry("a", 040755) + NewcEntry("a/../../evil", 0100644, "x"), "leaves its folder"},
      {"absolute", NewcEntry("/evil", 0100644, "x"), "absolute name"},
      {"absolute link then a file through it",
       NewcEntry("lnk", 0120777, outside) + NewcEntry("lnk/evil", 0100644, "x"), "below a link"},
      {"relative link then a file through it",
       NewcEntry("up", 0120777, "../..") + NewcEntry("up/evil", 0100644, "x"), "below a link"},
      {"file then a file below it", NewcEntry("f", 0100644, "x") + NewcEntry("f/evil", 0100644, "x"), "below a link or file"},
      {"the same name twice", NewcEntry("a", 0100644, "1") + NewcEntry("a", 0100644, "2"), "appears twice"},
      {"no trailer", NewcEntry("a", 0100644, "1"), "unexpected end"},
      {"garbage after an entry", NewcEntry("a", 0100644, "1") + "070701zzzz", "cut short|end of data|hexadecimal"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string cpio = c.cpio;
    if (std::string(c.what) != "no trailer" && std::string(c.what) != "garbage after an entry") cpio += NewcTrailer();
    auto o = UnpackIn(t, BootV3V4(3, "kernel", Gzip(t, cpio), "", 0));
    ExpectRefused(o, c.words);
    EXPECT_TRUE(fs::is_empty(t / "outside"));
    EXPECT_FALSE(fs::exists(t / "evil"));
    EXPECT_FALSE(fs::exists(t / "work/out/config.ini"));  // not packable after a failed unpack
    EXPECT_FALSE(fs::exists(t / "work/out/ramdisk"));      // the partial tree is gone
  }
}

TEST(AndImgToolHostile, DeviceNodesAndLinksAreRecordedNotCreated) {
  if (!fs::exists(BinDir() / "AndImgTool") || !HaveProgram("gzip")) GTEST_SKIP();
  TempDir t;
  std::string cpio = NewcEntry("dev", 040755) + NewcEntry("dev/null", 020666, "", 2, 1, 3) +
                     NewcEntry("dev/sda", 060600, "", 3, 8, 0) + NewcEntry("fifo", 010644, "", 4) +
                     NewcEntry("etc", 040755) + NewcEntry("etc/passwd", 0120777, "/etc/passwd", 5) +
                     NewcEntry("etc/ok", 0100600, "fine", 6) + NewcTrailer();
  auto o = UnpackIn(t, BootV3V4(3, "kernel", Gzip(t, cpio), "", 0));
  ASSERT_EQ(o.code, 0) << o.output;
  EXPECT_EQ(ListTree(t / "work/out/ramdisk"), "dev d\netc d\netc/ok f fine\n");
  std::string list = ReadFile(t / "work/out/ramdisk_entries.txt");
  EXPECT_NE(list.find("dev/null\tc\t0666\t0\t0\t0\t1,3\n"), std::string::npos) << list;
  EXPECT_NE(list.find("dev/sda\tb\t0600\t0\t0\t0\t8,0\n"), std::string::npos);
  EXPECT_NE(list.find("fifo\tp\t0644\t"), std::string::npos);
  EXPECT_NE(list.find("etc/passwd\tl\t0777\t0\t0\t0\t/etc/passwd\n"), std::string::npos);
}

TEST(AndImgToolHostile, DecompressionBombIsStoppedAtTheBound) {
  if (!fs::exists(BinDir() / "AndImgTool") || !HaveProgram("zstd") || !HaveProgram("gzip")) GTEST_SKIP();
  TempDir t;
  // 64 MiB of zeros in one entry compresses to a few kilobytes.
  std::string cpio = NewcEntry("big", 0100644, std::string(64 << 20, '\0')) + NewcTrailer();
  WriteFile(t / "bomb.cpio", cpio);
  for (const char* form : {"zstd -19 -q -c", "gzip -9nc"}) {
    SCOPED_TRACE(form);
    ASSERT_EQ(RunCommand(std::string(form) + " " + ShQuote((t / "bomb.cpio").string()) + " > " +
                         ShQuote((t / "bomb.z").string()))
                  .exit_code,
              0);
    std::string z = ReadFile(t / "bomb.z");
    ASSERT_LT(z.size(), 200000u);
    auto o = UnpackIn(t, BootV3V4(3, "kernel", z, "", 0), "--max-ramdisk-size 1048576");
    ExpectRefused(o, "expands past 1048576 bytes");
    EXPECT_FALSE(fs::exists(t / "work/out/ramdisk"));
  }
}

TEST(AndImgToolHostile, FoldersThatPointOutsideOrBreakLimitsAreNotPacked) {
  if (!fs::exists(BinDir() / "AndImgTool")) GTEST_SKIP();
  TempDir t;
  WriteFile(t / "secret", "not for the image");
  WriteFile(t / "in.img", BootV3V4(4, "kernel", "ramdisk data", "cmd", 0, std::string(4096, 's')));
  ASSERT_EQ(AndImgTool(ShQuote((t / "in.img").string()) + " " + ShQuote((t / "f").string())).exit_code, 0);
  const std::string cfg = ReadFile(t / "f/config.ini");
  struct Case {
    const char* what;
    std::string from, to, words;
  };
  const Case cases[] = {
      {"part outside", "\nkernel = kernel", "\nkernel = ../secret", "plain file name"},
      {"absolute part", "\nkernel = kernel", "\nkernel = " + (t / "secret").string(), "plain file name"},
      {"ramdisk outside", "\nfile = ramdisk.bin", "\nfile = ..", "plain file name"},
      {"bad compression", "\ncompression = unknown", "\ncompression = rar", "unknown compression"},
      {"bad version", "\nheader_version = 4", "\nheader_version = 9", "not a valid number"},
      {"bad number", "\nheader_version = 4", "\nheader_version = 4x", "not a valid number"},
      {"too long cmdline", "\ncmdline = cmd", "\ncmdline = " + std::string(1600, 'c'), "longer than 1536"},
      {"v4 part in v3", "\nheader_version = 4", "\nheader_version = 3", "has no boot_signature"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NE(cfg.find(c.from), std::string::npos) << c.from;
    std::string edited = cfg;
    edited.replace(edited.find(c.from), c.from.size(), c.to);
    WriteFile(t / "f/config.ini", edited);
    WriteFile(t / "out.img", "the previous image");
    auto r = AndImgTool(ShQuote((t / "f").string()) + " " + ShQuote((t / "out.img").string()));
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_TRUE(std::regex_search(r.output, std::regex("AndImgTool: error: .*" + c.words))) << r.output;
    // A failed pack never touches the image of that name and leaves no temporary file.
    EXPECT_TRUE(ReadFile(t / "out.img") == "the previous image");
    EXPECT_FALSE(fs::exists(t / "out.img.andimg.tmp"));
  }
}

TEST(BootImageHeader, OsVersionPackingRoundTripsEveryWord) {
  using namespace orvex::bootimg;
  for (uint32_t w : {0u, 0x16000153u, 0x76543210u, 0xFFFFFFFFu, 0x00000800u}) {
    EXPECT_EQ(PackOsVersion(OsVersionText(w), OsPatchLevelText(w)), w) << std::hex << w;
  }
  EXPECT_EQ(OsVersionText(0x16000153u), "11.0.0");
  EXPECT_EQ(OsPatchLevelText(0x16000153u), "2021-03");
  EXPECT_THROW(PackOsVersion("11.0", "2021-03"), Error);
  EXPECT_THROW(PackOsVersion("128.0.0", "2021-03"), Error);
  EXPECT_THROW(PackOsVersion("11.0.0", "1999-01"), Error);
}

TEST(AndImgToolHostile, LinksLeftInAnEarlierFolderAreNotWrittenThrough) {
  if (!fs::exists(BinDir() / "AndImgTool") || !HaveProgram("gzip")) GTEST_SKIP();
  TempDir t;
  WriteFile(t / "victim.txt", "untouched");
  fs::create_directories(t / "victim_dir");
  fs::create_directories(t / "out");
  fs::create_symlink(t / "victim.txt", t / "out/kernel");
  fs::create_symlink(t / "victim_dir", t / "out/ramdisk");
  fs::create_symlink(t / "victim.txt", t / "out/ramdisk_entries.txt");
  std::string cpio = NewcEntry("init", 0100755, "init") + NewcTrailer();
  WriteFile(t / "in.img", BootV3V4(3, "new kernel", Gzip(t, cpio), "", 0));
  auto r = AndImgTool(ShQuote((t / "in.img").string()) + " " + ShQuote((t / "out").string()));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(ReadFile(t / "victim.txt"), "untouched");
  EXPECT_TRUE(fs::is_empty(t / "victim_dir"));
  EXPECT_EQ(ReadFile(t / "out/kernel"), "new kernel");
  EXPECT_EQ(ReadFile(t / "out/ramdisk/init"), "init");
}
