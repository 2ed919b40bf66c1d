// The transfer-list parser on well-formed lists of every version and on hostile ones, and the
// range-set algebra img2sdat builds its commands with.
#include <gtest/gtest.h>

#include "transfer_list/transfer_list.h"

namespace {

using namespace orvex::transfer_list;

TransferList MustParse(const std::string& text, std::vector<std::string>* warnings = nullptr) {
  TransferList l;
  std::string error;
  EXPECT_TRUE(Parse(text, &l, &error, warnings)) << error << "\n" << text;
  return l;
}

std::string MustFail(const std::string& text) {
  TransferList l;
  std::string error;
  EXPECT_FALSE(Parse(text, &l, &error)) << text;
  EXPECT_FALSE(error.empty());
  return error;
}

TEST(TransferListParse, HeadersOfEveryVersion) {
  // Version 1 has two header lines; a third line is already a command.
  TransferList v1 = MustParse("1\n12\nnew 2,0,10\r\nzero 2,10,12\nerase 2,12,20\n");
  EXPECT_EQ(v1.version, 1);
  EXPECT_EQ(v1.total_blocks, 12u);
  ASSERT_EQ(v1.commands.size(), 3u);
  EXPECT_EQ(v1.new_blocks, 10u);
  EXPECT_EQ(v1.zero_blocks, 2u);
  EXPECT_EQ(v1.erase_blocks, 8u);
  EXPECT_EQ(v1.image_blocks, 20u);
  EXPECT_EQ(v1.commands[2].line, 5u);
  for (int v = 2; v <= 4; ++v) {
    TransferList l = MustParse(std::to_string(v) + "\n3\n0\n0\nnew 4,0,1,5,7\n\n");
    EXPECT_EQ(l.version, v);
    EXPECT_EQ(l.new_blocks, 3u);
    EXPECT_EQ(l.image_blocks, 7u);
    EXPECT_EQ(l.commands[0].ranges, (RangeSet{{0, 1}, {5, 7}}));
  }
  // The real list of a published ROM.
  TransferList sample = MustParse(
      "4\n5467\n0\n0\nerase 6,820,32256,33286,97792,98819,127783\n"
      "new 8,0,308,32768,32774,98304,98307,128295,129002\nnew 2,129002,130026\n"
      "new 4,130026,130332,130372,130373\nzero 4,308,820,32256,32768\nzero 4,32774,33286,97792,98304\n"
      "zero 4,98307,98819,127783,128295\nzero 2,130332,130372\n");
  EXPECT_EQ(sample.new_blocks, 2355u);
  EXPECT_EQ(sample.zero_blocks, 3112u);
  EXPECT_EQ(sample.image_blocks, 130373u);
}

TEST(TransferListParse, HeaderCountMismatchIsOnlyAWarning) {
  std::vector<std::string> warnings;
  MustParse("4\n99\n0\n0\nnew 2,0,3\n", &warnings);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("99"), std::string::npos);
}

TEST(TransferListParse, IncrementalCommandsAreNamedWithTheirLine) {
  for (const char* cmd : {"move", "bsdiff", "imgdiff", "stash", "free"}) {
    std::string e = MustFail(std::string("3\n1\n0\n0\nnew 2,0,1\n") + cmd + " 2,1,2 2,3,4\n");
    EXPECT_NE(e.find(std::string("'") + cmd + "'"), std::string::npos) << e;
    EXPECT_NE(e.find("line 6"), std::string::npos) << e;
  }
  EXPECT_NE(MustFail("4\n1\n0\n0\nfrobnicate 2,0,1\n").find("unknown command 'frobnicate'"), std::string::npos);
}

TEST(TransferListParse, HostileListsAreRefused) {
  const char* bad[] = {
      "",                                // no version
      "5\n1\n0\n0\nnew 2,0,1\n",         // unknown version
      "0\n1\n",                          // version 0
      "4\n1\n0\n",                       // header cut short
      "4\nmany\n0\n0\n",                 // count is text
      "4\n-1\n0\n0\n",                   // negative count
      "4\n1\n0\n0\nnew 3,0,1,2\n",       // odd count of numbers
      "4\n1\n0\n0\nnew 0,\n",            // zero count
      "4\n1\n0\n0\nnew 4,0,1\n",         // fewer numbers than announced
      "4\n1\n0\n0\nnew 2,0,1,5\n",       // more numbers than announced
      "4\n1\n0\n0\nnew 999999999999,0,1\n",  // absurd count, no allocation
      "4\n1\n0\n0\nnew 2,5,5\n",         // empty range
      "4\n1\n0\n0\nnew 2,7,5\n",         // reversed range
      "4\n1\n0\n0\nnew 4,0,5,3,8\n",     // overlapping ranges
      "4\n1\n0\n0\nnew 4,10,12,0,2\n",   // decreasing ranges
      "4\n1\n0\n0\nnew 2,0,4294967297\n",  // past the largest partition
      "4\n1\n0\n0\nnew 2,0,99999999999999999999999\n",  // overflowing number
      "4\n1\n0\n0\nnew 2,0,1 2,3,4\n",   // two range sets
      "4\n1\n0\n0\nnew\n",               // none
      "4\n1\n0\n0\nnew 2,0,x\n",         // not a number
      "4\n1\n0\n0\nnew 2,0,,\n",         // empty number
      "4\n2\n0\n0\nnew 2,0,4\nzero 2,3,6\n",  // block 3 written twice
      "4\n2\n0\n0\nnew 2,0,4\nnew 2,2,3\n",
  };
  for (const char* text : bad) {
    SCOPED_TRACE(text);
    MustFail(text);
  }
  // Erased blocks may be written afterwards.
  MustParse("4\n4\n0\n0\nerase 2,0,10\nnew 2,0,4\n");
}

TEST(TransferListFormat, WritesWhatItReads) {
  TransferList l;
  l.version = 4;
  l.total_blocks = 6;
  l.commands = {{Op::kErase, {{10, 20}}, 0}, {Op::kNew, {{0, 4}, {6, 7}}, 0}, {Op::kZero, {{4, 5}}, 0}};
  const std::string text = Format(l);
  EXPECT_EQ(text, "4\n6\n0\n0\nerase 2,10,20\nnew 4,0,4,6,7\nzero 2,4,5\n");
  l.version = 1;
  l.total_blocks = 6;
  EXPECT_EQ(Format(l).substr(0, 5), "1\n6\ne");
  TransferList back = MustParse(text);
  EXPECT_EQ(back.new_blocks, 5u);
  EXPECT_EQ(back.image_blocks, 20u);
}

TEST(RangeSets, UnionSubtractAppend) {
  EXPECT_EQ(Union({{0, 2}, {8, 10}}, {{1, 4}, {10, 12}, {20, 21}}), (RangeSet{{0, 4}, {8, 12}, {20, 21}}));
  EXPECT_EQ(Subtract({{0, 100}}, {{0, 5}, {10, 20}, {99, 200}}), (RangeSet{{5, 10}, {20, 99}}));
  EXPECT_EQ(Subtract({{0, 10}, {20, 30}}, {{5, 25}}), (RangeSet{{0, 5}, {25, 30}}));
  EXPECT_EQ(Subtract({{0, 10}}, {}), (RangeSet{{0, 10}}));
  RangeSet s;
  AppendRange(&s, 0, 3);
  AppendRange(&s, 3, 5);
  AppendRange(&s, 7, 7);
  AppendRange(&s, 8, 9);
  EXPECT_EQ(s, (RangeSet{{0, 5}, {8, 9}}));
}

}  // namespace
