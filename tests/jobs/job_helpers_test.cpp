#include <gtest/gtest.h>

#include "job_helpers.h"
#include "test_support.h"

using namespace orvex;
using namespace orvex::test;

TEST(JobHelpers, OneLineAndRecordedNumbers) {
  EXPECT_EQ(OneLine("/system"), "/system");
  EXPECT_EQ(OneLine("a\nmkfs.erofs options: x\r\t\x7f" "b"), "a\\x0amkfs.erofs options: x\\x0d\\x09\\x7fb");
  EXPECT_EQ(OneLine("системный раздел"), "системный раздел");
  EXPECT_EQ(RecordedNumber(" 1073741824 "), 1073741824);
  EXPECT_EQ(RecordedNumber("9223372036854775807"), INT64_MAX);
  for (const char* bad : {"", "9223372036854775808", "-1", "+1", "1;x", "1 2", "0x10", "12k"})
    EXPECT_FALSE(RecordedNumber(bad)) << bad;
}

TEST(JobHelpers, RecordedWordsAreSplitWithoutExpansions) {
  std::vector<std::string> w;
  std::string bad;
  ASSERT_TRUE(SplitRecordedWords("-zlz4hc,9  --file-contexts=\"a b/c\" 'it\"s' x''y", w, &bad)) << bad;
  EXPECT_EQ(w, (std::vector<std::string>{"-zlz4hc,9", "--file-contexts=a b/c", "it\"s", "xy"}));
  // A backslash outside single quotes is the interpreter's: refused, and shown as the word.
  EXPECT_FALSE(SplitRecordedWords("-zlz4 'it'\\''s' x", w, &bad));
  EXPECT_EQ(bad, "'it'\\''s'");
  for (const char* refused : {"a;b", "a|b", "$(x)", "`x`", "\"$HOME\"", "\"a\\b\"", "a&", "a>b", "'open", "\"open",
                              "a\nb", "~/x", "*.img", "#c", "{a,b}"})
    EXPECT_FALSE(SplitRecordedWords(refused, w, &bad)) << refused;
}

TEST(JobHelpers, MkfsErofsOptionsAreCheckedWordByWord) {
  std::string args, tree, bad;
  // The line our EROFS unpack writes, after the unpack's renames.
  ASSERT_TRUE(CheckMkfsErofsOptions("-zlz4hc,9 -Eztailpacking -C65536 -T1700000000 -U01234567-89ab-cdef-0123-456789abcdef "
                                    "--file-contexts=\"system/config/system_file_contexts.txt\" \"system.img\" \"system/system\"",
                                    "system.img", &args, &tree, &bad))
      << bad;
  EXPECT_EQ(args, "-zlz4hc,9 -Eztailpacking -C65536 -T1700000000 -U01234567-89ab-cdef-0123-456789abcdef --file-contexts=" +
                      Q("system/config/system_file_contexts.txt") + " " + Q("system.img") + " " + Q("system/system"));
  EXPECT_EQ(tree, "system/system");
  for (const char* refused :
       {"-zlz4hc system.img", "-zlz4hc system.img system/system extra", "-zgzip system.img system/system",
        "-Ebogus system.img system/system", "-T12a system.img system/system", "-Uxyz system.img system/system",
        "--file-contexts=/etc/x system.img system/system", "-d9 system.img system/system", "-z system.img system/system",
        "system.img /system", "system.img system/../../x", "-zlz4,12345 system.img system/system"})
    EXPECT_FALSE(CheckMkfsErofsOptions(refused, "system.img", &args, &tree, &bad)) << refused;
}

TEST(JobHelpers, PartitionImageQuickCheck) {
  TempDir tmp;
  auto ext4 = [](uint32_t blocks, size_t fileSize) {
    std::string b(fileSize, '\0');
    b[0x438] = '\x53';
    b[0x439] = '\xEF';
    b[0x404] = static_cast<char>(blocks & 0xFF);
    b[0x405] = static_cast<char>(blocks >> 8);
    return b;
  };
  WriteFile(tmp / "whole.img", ext4(8, 8192));
  WriteFile(tmp / "cut.img", ext4(100, 8192));
  WriteFile(tmp / "text.img", "not an image at all");
  EXPECT_TRUE(PartitionImageLooksWhole((tmp / "whole.img").string()));
  EXPECT_FALSE(PartitionImageLooksWhole((tmp / "cut.img").string()));
  EXPECT_FALSE(PartitionImageLooksWhole((tmp / "text.img").string()));
  EXPECT_FALSE(PartitionImageLooksWhole((tmp / "missing.img").string()));

  // Sparse: one raw chunk of one 4 KiB block, whole and cut short.
  std::string sparse("\x3A\xFF\x26\xED\x01\x00\x00\x00\x1C\x00\x0C\x00\x00\x10\x00\x00\x01\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00",
                     28);
  sparse += std::string("\xC1\xCA\x00\x00\x01\x00\x00\x00\x0C\x10\x00\x00", 12) + std::string(4096, 'd');
  WriteFile(tmp / "s.img", sparse);
  WriteFile(tmp / "s_cut.img", sparse.substr(0, 2000));
  EXPECT_TRUE(PartitionImageLooksWhole((tmp / "s.img").string()));
  EXPECT_FALSE(PartitionImageLooksWhole((tmp / "s_cut.img").string()));

  // EROFS: 2 blocks of 4 KiB.
  std::string erofs(8192, '\0');
  erofs.replace(0x400, 4, "\xE2\xE1\xF5\xE0");
  erofs[0x40C] = 12;
  erofs[0x424] = 2;
  WriteFile(tmp / "e.img", erofs);
  WriteFile(tmp / "e_cut.img", erofs.substr(0, 4096 + 100));
  EXPECT_TRUE(PartitionImageLooksWhole((tmp / "e.img").string()));
  EXPECT_FALSE(PartitionImageLooksWhole((tmp / "e_cut.img").string()));
}

TEST(JobHelpers, QuickCheckAcceptsImagesMadeByTheRealTools) {
  TempDir tmp;
  WriteFile(tmp / "tree/etc/hosts", std::string(10000, 'h'));
  const std::string tree = ShQuote((tmp / "tree").string());
  std::vector<std::string> images;
  if (HaveProgram("mke2fs")) {
    ASSERT_EQ(RunCommand("mke2fs -q -t ext4 -d " + tree + " " + ShQuote((tmp / "e.img").string()) + " 8M").exit_code, 0);
    images.push_back("e.img");
    if (HaveProgram("img2simg")) {
      ASSERT_EQ(RunCommand("img2simg " + ShQuote((tmp / "e.img").string()) + " " + ShQuote((tmp / "s.img").string())).exit_code, 0);
      images.push_back("s.img");
    }
  }
  if (HaveProgram("mkfs.erofs")) {
    ASSERT_EQ(RunCommand("mkfs.erofs -zlz4 " + ShQuote((tmp / "r.img").string()) + " " + tree).exit_code, 0);
    images.push_back("r.img");
  }
  if (images.empty()) GTEST_SKIP() << "no image tools installed";
  for (const auto& name : images) {
    SCOPED_TRACE(name);
    const fs::path p = tmp / name;
    EXPECT_TRUE(PartitionImageLooksWhole(p.string()));
    // Cut short by one block, as a build stopped while writing: no longer whole.
    const std::string whole = ReadFile(p);
    WriteFile(tmp / ("cut_" + name), whole.substr(0, whole.size() - 4096));
    EXPECT_FALSE(PartitionImageLooksWhole((tmp / ("cut_" + name)).string()));
  }
}
