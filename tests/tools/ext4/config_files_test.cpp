// The attribute and context file rules that imgextractor, make_ext4fs and fspatch share.
#include <gtest/gtest.h>

#include <string>

#include "ext4/builder.h"
#include "ext4/extractor.h"
#include "ext4/file_contexts.h"
#include "ext4/fs_config.h"
#include "ext4/mode_bits.h"
#include "ext4/superblock_info.h"
#include "test_support.h"

namespace {

using namespace orvex::ext4;
using orvex::test::TempDir;
using orvex::test::WriteFile;

FileContexts LoadContexts(const std::string& text) {
  TempDir t;
  WriteFile(t / "fc", text);
  FileContexts fc;
  std::string err;
  EXPECT_TRUE(fc.Load((t / "fc").string(), &err)) << err;
  return fc;
}

std::string Label(const FileContexts& fc, const std::string& path, uint32_t mode = orvex::ext4::kTypeFile) {
  return fc.Lookup(path, mode).value_or("<none>");
}

TEST(FileContexts, PlainPathsBeatRegexesAndTheLastMatchingRegexWins) {
  const FileContexts fc = LoadContexts(
      "# comment\r\n"
      "/system/bin/sh u:object_r:shell_exec:s0\r\n"
      "/system(/.*)?        u:object_r:system_file:s0\n"
      "/system/bin(/.*)?    u:object_r:system_bin:s0\n"
      "/system/bin/app_process\\d\\d u:object_r:zygote_exec:s0\n"
      "/system/lib(64)?/libc\\+\\+\\.so u:object_r:libcxx:s0\n"
      "/system/lib(64)?(/.*)? u:object_r:system_lib_file:s0\n"
      "/system/etc(/.*)? -d u:object_r:etc_dir:s0\n"
      "/system/etc(/.*)? -- u:object_r:etc_file:s0\n"
      "/system/hidden(/.*)? <<none>>\n"
      "/(vendor|odm)/bin/.* u:object_r:vendor_bin:s0\n"
      "/vendor/bin/(?:hw|x)/.* u:object_r:vendor_hal:s0\n");
  // A plain path listed before the patterns still wins over them.
  EXPECT_EQ(Label(fc, "/system/bin/sh"), "u:object_r:shell_exec:s0");
  EXPECT_EQ(Label(fc, "/system/bin/ls"), "u:object_r:system_bin:s0");
  EXPECT_EQ(Label(fc, "/system/bin"), "u:object_r:system_bin:s0");
  EXPECT_EQ(Label(fc, "/system/build.prop"), "u:object_r:system_file:s0");
  EXPECT_EQ(Label(fc, "/system"), "u:object_r:system_file:s0");
  EXPECT_EQ(Label(fc, "/systemx"), "<none>");
  // \d is translated for the POSIX matcher; a later generic rule beats an earlier specific one.
  EXPECT_EQ(Label(fc, "/system/bin/app_process64"), "u:object_r:zygote_exec:s0");
  EXPECT_EQ(Label(fc, "/system/lib64/libc++.so"), "u:object_r:system_lib_file:s0");
  EXPECT_EQ(Label(fc, "/system/lib/libcxxso"), "u:object_r:system_lib_file:s0");
  // File types restrict a rule to one kind of entry.
  EXPECT_EQ(Label(fc, "/system/etc/init", orvex::ext4::kTypeDir), "u:object_r:etc_dir:s0");
  EXPECT_EQ(Label(fc, "/system/etc/hosts", orvex::ext4::kTypeFile), "u:object_r:etc_file:s0");
  EXPECT_EQ(Label(fc, "/system/etc/link", orvex::ext4::kTypeLink), "u:object_r:system_file:s0");
  EXPECT_EQ(Label(fc, "/system/hidden/x"), "<none>");
  // Alternation and non-capturing groups.
  EXPECT_EQ(Label(fc, "/odm/bin/tool"), "u:object_r:vendor_bin:s0");
  EXPECT_EQ(Label(fc, "/vendor/bin/hw/svc"), "u:object_r:vendor_hal:s0");
  EXPECT_EQ(Label(fc, "/product/bin/tool"), "<none>");
}

TEST(FileContexts, EscapedPathsMatchExactlyThemselves) {
  const std::string names[] = {"/system/lib/libc++.so", "/system/a.b", "/system/x[1](2){3}",
                               "/system/we ird$^|?*", "/system/back\\slash", "/system/ab",
                               "/system/\xd0\x9f\xd1\x80\xd0\xb8", "/system/bad\xff\x01"};
  std::string text;
  int i = 0;
  for (const auto& n : names) text += EscapeRegex(n) + " u:object_r:l" + std::to_string(i++) + ":s0\n";
  const FileContexts fc = LoadContexts(text);
  i = 0;
  for (const auto& n : names) EXPECT_EQ(Label(fc, n), "u:object_r:l" + std::to_string(i++) + ":s0") << n;
  // Escaping keeps '.' literal: "/system/aXb" must not match "/system/a\.b".
  EXPECT_EQ(Label(fc, "/system/aXb"), "<none>");
  EXPECT_EQ(Label(fc, "/system/libXc++.so"), "<none>");
  EXPECT_EQ(EscapeRegex("/system/lost+found"), "/system/lost\\+found");
  EXPECT_EQ(EscapeRegex("/system/a b\xff"), "/system/a\\x20b\\xff");
  // \xHH inside a regex is the byte too.
  const FileContexts rx = LoadContexts("/system/caf\\xc3\\xa9(/.*)? u:object_r:cafe:s0\n");
  EXPECT_EQ(Label(rx, "/system/caf\xc3\xa9/menu"), "u:object_r:cafe:s0");
  EXPECT_EQ(Label(rx, "/system/cafe/menu"), "<none>");
}

TEST(FileContexts, OrdinaryRepetitionsStayAllowed) {
  const FileContexts fc = LoadContexts("/system(/.*)? u:object_r:system_file:s0\n/system/lib[0-9]*/a+?\\.so u:object_r:lib:s0\n"
                                       "/system/x{2,3} u:object_r:x:s0\n");
  EXPECT_EQ(Label(fc, "/system/bin/sh"), "u:object_r:system_file:s0");
  EXPECT_EQ(Label(fc, "/system/xxx"), "u:object_r:x:s0");
}

TEST(FileContexts, RejectsBrokenLines) {
  TempDir t;
  std::string err;
  // The last two would take the regex compiler seconds and gigabytes (a fuzzing find).
  for (const char* bad : {"/system/(unclosed u:object_r:x:s0\n", "just_one_word\n",
                          "/system -q u:object_r:x:s0\n", "/system/E++++++++++++++++++++++++++++++++ u:object_r:x:s0\n",
                          "/system/(a{1000}){1000} u:object_r:x:s0\n"}) {
    WriteFile(t / "fc", bad);
    FileContexts fc;
    EXPECT_FALSE(fc.Load((t / "fc").string(), &err)) << bad;
  }
}

TEST(FsConfig, ParsesLinesFromTheRight) {
  std::string err;
  auto e = ParseFsConfigLine("system/bin/run-as 0 2000 0750 capabilities=0xc0\r", &err);
  ASSERT_TRUE(e) << err;
  EXPECT_EQ(e->path, "system/bin/run-as");
  EXPECT_EQ(e->uid, 0u);
  EXPECT_EQ(e->gid, 2000u);
  EXPECT_EQ(e->mode, 0750u);
  EXPECT_EQ(e->capabilities, 0xc0u);
  // Blanks inside a path survive; the root may be written empty or as "/".
  e = ParseFsConfigLine("system/my file.txt 1000 1001 644", &err);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->path, "system/my file.txt");
  EXPECT_EQ(e->mode, 0644u);
  e = ParseFsConfigLine(" 0 0 0755", &err);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->path, "");
  e = ParseFsConfigLine("/ 0 0 0755 selabel=u:object_r:x:s0", &err);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->path, "");
  EXPECT_FALSE(ParseFsConfigLine("# comment", &err));
  EXPECT_FALSE(ParseFsConfigLine("", &err));
  for (const char* bad : {"system/x 0 0", "system/x 0 0 0999", "system/x a 0 0644",
                          "system/x 0 0 0644 capabilities=zz"}) {
    err.clear();
    EXPECT_FALSE(ParseFsConfigLine(bad, &err)) << bad;
    EXPECT_FALSE(err.empty()) << bad;
  }
}

TEST(FsConfig, FormatsWhatItParsesAndTheLastLineWins) {
  FsConfigEntry e{"system/bin/ping", 0, 3003, 04755, (1ull << 13) | (1ull << 36)};
  const std::string line = FormatFsConfigLine(e);
  EXPECT_EQ(line, "system/bin/ping 0 3003 4755 capabilities=0x1000002000");
  EXPECT_EQ(FormatFsConfigLine({"system", 0, 0, 0755, 0}), "system 0 0 0755");
  TempDir t;
  WriteFile(t / "c", line + "\r\nsystem/bin/ping 1 2 0700\nsystem 0 0 0751\n");
  FsConfigTable table;
  std::string err;
  ASSERT_TRUE(table.Load((t / "c").string(), &err)) << err;
  ASSERT_TRUE(table.Find("/system/bin/ping/"));
  EXPECT_EQ(table.Find("system/bin/ping")->mode, 0700u);
  EXPECT_EQ(table.Find("system/bin/ping")->capabilities, 0u);
  EXPECT_EQ(table.Find("system")->mode, 0751u);
  EXPECT_EQ(table.Find("system/none"), nullptr);
}

TEST(FsConfig, AndroidDefaults) {
  struct {
    const char* path;
    bool dir;
    uint32_t uid, gid, mode;
  } cases[] = {
      {"system", true, 0, 0, 0755},
      {"system/bin", true, 0, 2000, 0755},
      {"vendor/xbin", true, 0, 2000, 0755},
      {"system/bin/toybox", false, 0, 2000, 0755},
      {"system/xbin/tool", false, 0, 2000, 0755},
      {"vendor/bin/hw/android.hardware.x", false, 0, 2000, 0755},
      {"system/app/Foo/Foo.apk", false, 0, 0, 0644},
      {"system/etc/fs_config_dirs", false, 0, 0, 0444},
      {"system/etc/ppp/ip-up", false, 0, 0, 0555},
      {"system/lost+found", true, 0, 0, 0700},
      {"system/binary", false, 0, 0, 0644},
  };
  for (const auto& c : cases) {
    const FsConfigEntry e = AndroidDefaults(c.path, c.dir);
    EXPECT_EQ(e.uid, c.uid) << c.path;
    EXPECT_EQ(e.gid, c.gid) << c.path;
    EXPECT_EQ(e.mode, c.mode) << c.path;
  }
}

TEST(FsConfig, CapabilityPayloads) {
  const uint64_t caps = (1ull << 7) | (1ull << 6) | (1ull << 34);
  const std::string v2 = EncodeCapabilities(caps);
  ASSERT_EQ(v2.size(), 20u);
  EXPECT_EQ(v2.substr(0, 4), std::string("\x01\x00\x00\x02", 4));  // revision 2, effective
  uint64_t out = 0;
  ASSERT_TRUE(DecodeCapabilities(v2.data(), v2.size(), &out));
  EXPECT_EQ(out, caps);
  std::string v3 = v2 + std::string(4, '\0');
  v3[3] = 3;
  ASSERT_TRUE(DecodeCapabilities(v3.data(), v3.size(), &out));
  EXPECT_EQ(out, caps);
  const std::string v1("\x00\x00\x00\x01\xc0\x00\x00\x00\x00\x00\x00\x00", 12);
  ASSERT_TRUE(DecodeCapabilities(v1.data(), v1.size(), &out));
  EXPECT_EQ(out, 0xc0u);
  EXPECT_FALSE(DecodeCapabilities(v2.data(), 19, &out));
  EXPECT_FALSE(DecodeCapabilities(v3.data(), 20, &out));
}

TEST(Ext4Names, FeatureNamesFollowBitOrder) {
  EXPECT_EQ(FeatureNames(FeatureSet::kCompat, 0x4 | 0x8 | 0x10 | 0x20),
            "HAS_JOURNAL EXT_ATTR RESIZE_INODE DIR_INDEX");
  EXPECT_EQ(FeatureNames(FeatureSet::kCompat, 0x1 | 0x2 | 0x200), "DIR_PREALLOC IMAGIC_INODES SPARSE_SUPER2");
  EXPECT_EQ(FeatureNames(FeatureSet::kIncompat, 0x2 | 0x40 | 0x80 | 0x8000),
            "FILETYPE EXTENTS 64BIT INLINE_DATA");
  EXPECT_EQ(FeatureNames(FeatureSet::kRoCompat, 0x1 | 0x4000 | (1u << 30)),
            "SPARSE_SUPER SHARED_BLOCKS FEATURE_R30");
  EXPECT_EQ(FeatureNames(FeatureSet::kCompat, 0), "");
}

TEST(Ext4Names, FolderNameComesFromMountPointThenLabelThenImageName) {
  EXPECT_EQ(ChooseFolderName("/system", "sys", "img"), "system");
  EXPECT_EQ(ChooseFolderName("/mnt/vendor/", "", "img"), "vendor");
  EXPECT_EQ(ChooseFolderName("/", "product", "img"), "product");
  EXPECT_EQ(ChooseFolderName("", "", "odm"), "odm");
  EXPECT_EQ(ChooseFolderName("/..", "..", "odm"), "odm");
  // A folder called config would mix the tree with the config files.
  EXPECT_EQ(ChooseFolderName("/config", "", "cfg"), "cfg");
}

TEST(Ext4Names, SizesTakeBinarySuffixes) {
  uint64_t v = 0;
  ASSERT_TRUE(ParseSize("3221225472", &v));
  EXPECT_EQ(v, 3221225472u);
  ASSERT_TRUE(ParseSize("16m", &v));
  EXPECT_EQ(v, 16u << 20);
  ASSERT_TRUE(ParseSize("2G", &v));
  EXPECT_EQ(v, 2ull << 30);
  ASSERT_TRUE(ParseSize("512K", &v));
  EXPECT_EQ(v, 512u << 10);
  EXPECT_FALSE(ParseSize("12q", &v));
  EXPECT_FALSE(ParseSize("-5", &v));
  EXPECT_FALSE(ParseSize("", &v));
}

}  // namespace
