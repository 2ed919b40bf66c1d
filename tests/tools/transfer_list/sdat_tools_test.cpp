// sdat2img and img2sdat as the jobs run them: on the list of a published ROM, on hand-written
// lists of every version, on sparse images with every chunk kind, and on hostile inputs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "sparse/sparse_writer.h"
#include "test_support.h"
#include "transfer_list/transfer_list.h"

namespace {

using namespace orvex::test;
namespace tl = orvex::transfer_list;
constexpr size_t kB = 4096;

CommandResult Tool(const fs::path& dir, const std::string& tool, const std::string& args) {
  return RunCommand("cd " + ShQuote(dir.string()) + " && " + ShQuote((BinDir() / tool).string()) + " " + args);
}

// A block whose bytes tell its number, never all zero.
std::string Block(uint64_t n) {
  std::string b(kB, '\0');
  for (size_t i = 0; i < kB; i += 8) memcpy(&b[i], &n, 8), b[i + 7] = '\x5a';
  return b;
}

tl::TransferList ParseFile(const fs::path& p) {
  tl::TransferList l;
  std::string error;
  EXPECT_TRUE(tl::Parse(ReadFile(p), &l, &error)) << error;
  return l;
}

bool NoOutputLeft(const fs::path& dir, const std::string& name) {
  return !fs::exists(dir / name) && !fs::exists(dir / (name + ".part"));
}

TEST(Sdat2img, PublishedRomListRebuildsTheKnownImage) {
  fs::path s = SamplesDir() / "newdat";
  if (!fs::exists(s / "pe_odm.new.dat.br")) GTEST_SKIP() << "sample missing";
  if (!fs::exists(BinDir() / "brotli")) GTEST_SKIP() << "bin/brotli not built";
  TempDir t;
  auto d = Tool(t.path(), "brotli", "--decompress --in " + ShQuote((s / "pe_odm.new.dat.br").string()) + " --out odm.new.dat");
  ASSERT_EQ(d.exit_code, 0) << d.output;
  EXPECT_EQ(fs::file_size(t / "odm.new.dat"), 2355u * kB);
  auto r = Tool(t.path(), "sdat2img", ShQuote((s / "pe_odm.transfer.list").string()) + " odm.new.dat odm.img");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(fs::file_size(t / "odm.img"), 534007808u);
  EXPECT_NE(RunCommand("sha256sum " + ShQuote((t / "odm.img").string())).output.find(
                "0b5657488450809015a7730442d0bd9b0d9010a2b360f9d2ee4c4abfd4164ced"),
            std::string::npos);
  struct stat st;
  ASSERT_EQ(stat((t / "odm.img").c_str(), &st), 0);
  EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, 64u << 20) << "unwritten blocks are holes";
  if (HaveProgram("e2fsck")) {
    auto f = RunCommand("e2fsck -fn " + ShQuote((t / "odm.img").string()));
    EXPECT_EQ(f.exit_code, 0) << f.output;
  }
}

TEST(Sdat2img, HandWrittenListsOfEveryVersion) {
  TempDir t;
  // Six data blocks land, in command order, at 7, 8, 2, 3, 4 and 12; the image ends at block 14.
  std::string data;
  for (uint64_t n : {7, 8, 2, 3, 4, 12}) data += Block(n);
  WriteFile(t / "system.new.dat", data);
  const std::string commands = "erase 2,0,14\nnew 2,7,9\nzero 2,0,2\nnew 4,2,5,12,13\nzero 2,13,14\n";
  std::string expect(14 * kB, '\0');
  for (uint64_t n : {7, 8, 2, 3, 4, 12}) expect.replace(n * kB, kB, Block(n));
  for (int v = 1; v <= 4; ++v) {
    SCOPED_TRACE(v);
    std::string header = std::to_string(v) + "\n9\n" + (v >= 2 ? "0\n0\n" : "");
    WriteFile(t / "system.transfer.list", header + commands);
    fs::remove(t / "system.img");
    auto r = Tool(t.path(), "sdat2img", "system.transfer.list system.new.dat system.img");
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find("version " + std::to_string(v)), std::string::npos) << r.output;
    EXPECT_TRUE(ReadFile(t / "system.img") == expect);
  }
  // Without an output name the image is named after the list.
  auto r = Tool(t.path(), "sdat2img", "system.transfer.list system.new.dat");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(ReadFile(t / "system.img") == expect);
}

TEST(Sdat2img, HostileInputsFailCleanlyWithoutAnImage) {
  TempDir t;
  WriteFile(t / "d.new.dat", Block(1) + Block(2));
  struct Case {
    const char* list;
    const char* says;
  } cases[] = {
      {"4\n2\n0\n0\nnew 2,0,3\n", "holds 2 blocks"},  // data file shorter than the list says
      {"4\n2\n0\n0\nnew 3,0,2,5\n", "odd"},
      {"4\n2\n0\n0\nnew 4,4,6,0,2\n", "overlap or decrease"},
      {"4\n2\n0\n0\nnew 4,0,2,1,3\n", "overlap or decrease"},
      {"4\n2\n0\n0\nnew 2,4294967290,4294967299\n", "largest partition"},
      {"4\n2\n0\n0\nnew 1000000000000,0,2\n", "announces"},
      {"3\n2\n0\n0\nnew 2,0,2\nmove 2,0,2 2 2,3,5\n", "'move'"},
      {"9\n2\n0\n0\nnew 2,0,2\n", "version 9"},
      {"4\n2\n0\n0\nnew 2,0,1\nnew 2,0,1\n", "written twice"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list);
    WriteFile(t / "d.transfer.list", c.list);
    auto r = Tool(t.path(), "sdat2img", "d.transfer.list d.new.dat d.img");
    EXPECT_NE(r.exit_code, 0);
    EXPECT_NE(r.output.find("sdat2img: error:"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
    EXPECT_TRUE(NoOutputLeft(t.path(), "d.img"));
  }
  // Missing inputs, and an output that is one of the inputs.
  WriteFile(t / "d.transfer.list", "4\n1\n0\n0\nnew 2,0,1\n");
  EXPECT_NE(Tool(t.path(), "sdat2img", "missing.list d.new.dat d.img").exit_code, 0);
  EXPECT_NE(Tool(t.path(), "sdat2img", "d.transfer.list missing.dat d.img").exit_code, 0);
  EXPECT_TRUE(NoOutputLeft(t.path(), "d.img"));
  EXPECT_NE(Tool(t.path(), "sdat2img", "d.transfer.list d.new.dat d.new.dat").exit_code, 0);
  EXPECT_EQ(fs::file_size(t / "d.new.dat"), 2 * kB);
  EXPECT_EQ(Tool(t.path(), "sdat2img", "").exit_code, 2);
}

// A sparse image with every chunk kind: data blocks (one of them all zero), a non-zero fill, a
// zero fill, and don't-care runs long enough to be erased beyond the zeroed margins.
std::string WriteMixedSparse(const fs::path& p, uint64_t total) {
  orvex::sparse::SparseWriter w;
  std::string error;
  EXPECT_TRUE(w.Open(p.string(), kB, total, &error)) << error;
  std::string expanded(total * kB, '\0');
  auto raw = [&](uint64_t first, uint64_t n, bool zeroAt1) {
    std::string d;
    for (uint64_t i = 0; i < n; ++i) d += (zeroAt1 && i == 1) ? std::string(kB, '\0') : Block(first + i);
    w.AddRaw(d.data(), n);
    expanded.replace(first * kB, d.size(), d);
  };
  raw(0, 3, true);             // 0..2, block 1 zero
  w.AddDontCare(2000);         // 3..2002
  raw(2003, 1100, false);      // 2003..3102: more than one command of data
  w.AddFill(0x01020304u, 4);   // 3103..3106
  for (uint64_t b = 3103; b < 3107; ++b)
    for (size_t i = 0; i < kB; i += 4) memcpy(&expanded[b * kB + i], "\x04\x03\x02\x01", 4);
  w.AddFill(0, 5);             // 3107..3111
  w.AddDontCare(3000);         // 3112..6111
  raw(6112, 2, false);         // 6112..6113
  EXPECT_TRUE(w.Finish()) << w.error();  // pads to total with don't-care
  return expanded;
}

TEST(Img2sdat, SparseImageRoundTripsInEveryVersion) {
  TempDir t;
  const uint64_t total = 7000;
  const std::string expanded = WriteMixedSparse(t / "system.img", total);
  for (int v = 1; v <= 4; ++v) {
    SCOPED_TRACE(v);
    auto r = Tool(t.path(), "img2sdat", "system.img -v " + std::to_string(v) + " -p out" + std::to_string(v));
    ASSERT_EQ(r.exit_code, 0) << r.output;
    const std::string p = "out" + std::to_string(v);
    EXPECT_EQ(fs::file_size(t / (p + ".patch.dat")), 0u);
    const std::string text = ReadFile(t / (p + ".transfer.list"));
    tl::TransferList l = ParseFile(t / (p + ".transfer.list"));
    EXPECT_EQ(l.version, v);
    const std::string header = std::to_string(v) + "\n" + std::to_string(l.new_blocks + l.zero_blocks) + "\n" +
                               (v >= 2 ? "0\n0\n" : "") + "erase ";
    EXPECT_EQ(text.substr(0, header.size()), header);
    // 3 + 1100 + 4 + 2 blocks hold data (block 1 is zero).
    EXPECT_EQ(l.new_blocks, 2u + 1100 + 4 + 2);
    EXPECT_EQ(fs::file_size(t / (p + ".new.dat")), l.new_blocks * kB);
    for (const auto& c : l.commands) {
      if (c.op != tl::Op::kErase) {
        EXPECT_LE(tl::CountBlocks(c.ranges), 1024u);
      }
    }
    // Erased: what lies more than 512 blocks away from any used block.
    EXPECT_EQ(l.commands[0].op, tl::Op::kErase);
    EXPECT_EQ(l.commands[0].ranges, (tl::RangeSet{{515, 1491}, {3624, 5600}, {6626, 7000}}));
    EXPECT_EQ(l.image_blocks, total);

    auto back = Tool(t.path(), "sdat2img", p + ".transfer.list " + p + ".new.dat back.img");
    ASSERT_EQ(back.exit_code, 0) << back.output;
    EXPECT_TRUE(ReadFile(t / "back.img") == expanded);
  }
}

TEST(Img2sdat, RawAndPackagedSparseImagesRoundTrip) {
  TempDir t;
  std::mt19937_64 rng(7);
  std::string raw(3000 * kB, '\0');
  for (size_t b = 0; b < 3000; ++b)
    if (rng() % 3 != 0) raw.replace(b * kB, kB, Block(rng()));
  WriteFile(t / "vendor.img", raw);
  auto r = Tool(t.path(), "img2sdat", "vendor.img -v 3 -p vendor");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  tl::TransferList l = ParseFile(t / "vendor.transfer.list");
  EXPECT_EQ(l.erase_blocks, 0u) << "every block of a raw image is kept";
  ASSERT_EQ(Tool(t.path(), "sdat2img", "vendor.transfer.list vendor.new.dat back.img").exit_code, 0);
  EXPECT_TRUE(ReadFile(t / "back.img") == raw);

  if (HaveProgram("img2simg")) {
    ASSERT_EQ(RunCommand("img2simg " + ShQuote((t / "vendor.img").string()) + " " + ShQuote((t / "s.img").string())).exit_code, 0);
    ASSERT_EQ(Tool(t.path(), "img2sdat", "s.img -p s").exit_code, 0);
    EXPECT_EQ(ParseFile(t / "s.transfer.list").version, 4) << "version 4 by default";
    ASSERT_EQ(Tool(t.path(), "sdat2img", "s.transfer.list s.new.dat back2.img").exit_code, 0);
    EXPECT_TRUE(ReadFile(t / "back2.img") == raw);
  }
}

TEST(Img2sdat, RefusesWhatItCannotConvertAndLeavesNoOutput) {
  TempDir t;
  WriteFile(t / "odd.img", std::string(kB + 5, 'x'));
  WriteMixedSparse(t / "good.img", 7000);
  {
    std::string s = ReadFile(t / "good.img");
    WriteFile(t / "cut.img", s.substr(0, s.size() / 2));
  }
  struct Case {
    std::string args, says;
  } cases[] = {
      {"good.img -v 5 -p o", "version '5'"},
      {"good.img -v 3x -p o", "version '3x'"},
      {"odd.img -p o", "not a multiple of 4096"},
      {"cut.img -p o", "truncated"},
      {"missing.img -p o", "cannot open"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    auto r = Tool(t.path(), "img2sdat", c.args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
    for (const char* suffix : {".new.dat", ".transfer.list", ".patch.dat"}) EXPECT_TRUE(NoOutputLeft(t.path(), std::string("o") + suffix));
  }
  EXPECT_EQ(Tool(t.path(), "img2sdat", "good.img -p").exit_code, 2);
  EXPECT_EQ(Tool(t.path(), "img2sdat", "good.img -x 1").exit_code, 2);
}

// Block numbers and offsets past 4 GiB: a 5 GiB raw image that holds data only near its end
// (the rest a hole) becomes a list and back. Nothing of the hole is read or written.
TEST(Img2sdat, ImagesLargerThan4GiBRoundTrip) {
  TempDir t;
  const uint64_t size = 5ull << 30, first = (4ull << 30) / kB + 777;
  std::string data;
  for (uint64_t b = first; b < first + 3; ++b) data += Block(b);
  {
    int fd = open((t / "big.img").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, data.data(), data.size(), off_t(first * kB)), ssize_t(data.size()));
    ASSERT_EQ(ftruncate(fd, off_t(size)), 0);
    close(fd);
  }
  auto r = Tool(t.path(), "img2sdat", "big.img -p big");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(ReadFile(t / "big.new.dat"), data);
  tl::TransferList l = ParseFile(t / "big.transfer.list");
  EXPECT_EQ(l.image_blocks, size / kB);
  EXPECT_EQ(l.new_blocks, 3u);
  r = Tool(t.path(), "sdat2img", "big.transfer.list big.new.dat back.img");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  ASSERT_EQ(fs::file_size(t / "back.img"), size);
  int fd = open((t / "back.img").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::string got(data.size() + 2 * kB, '\1');
  ASSERT_EQ(pread(fd, got.data(), got.size(), off_t((first - 1) * kB)), ssize_t(got.size()));
  EXPECT_TRUE(got == std::string(kB, '\0') + data + std::string(kB, '\0'));
  EXPECT_EQ(uint64_t(lseek(fd, 0, SEEK_DATA)), first * kB) << "the zero blocks stay a hole";
  close(fd);
}

}  // namespace
