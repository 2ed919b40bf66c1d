// Our simg2img and img2simg (the Windows tool folder's) against the packaged Android sparse tools:
// the same raw bytes from images made by img2simg, simg2simg and make_ext4fs -s; our sparse
// images accepted by the packaged simg2img; damaged input refused with one line and nothing
// written; offsets past 4 GiB.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "sparse/sparse_convert.h"
#include "sparse/sparse_format.h"
#include "test_support.h"

namespace {

using namespace orvex::test;
namespace sp = orvex::sparse;

const fs::path kTools = ORVEX_SPARSE_TOOLS_DIR;

std::string Ours(const std::string& tool) { return ShQuote((kTools / tool).string()); }

bool HavePackaged() { return HaveProgram("simg2img") && HaveProgram("img2simg"); }

CommandResult Sh(const std::string& cmd) { return RunCommand(cmd + " 2>&1"); }

// A raw image with random blocks, zero blocks, blocks of one repeated word and a partial tail.
std::string MixedImage(size_t blocks, uint32_t bs, size_t tail, unsigned seed) {
  std::string img(blocks * bs + tail, '\0');
  std::mt19937 rng(seed);
  for (size_t b = 0; b <= blocks; ++b) {
    char* p = img.data() + b * bs;
    const size_t n = b == blocks ? tail : bs;
    switch (b % 7) {
      case 0:
      case 1:
      case 4:
        for (size_t i = 0; i < n; ++i) p[i] = static_cast<char>(rng());
        break;
      case 2:
        for (size_t i = 0; i + 4 <= n; i += 4) memcpy(p + i, "\x11\x22\x33\x44", 4);
        break;
      default:
        break;
    }
  }
  return img;
}

// Chunk types as stored, in order.
std::vector<uint16_t> ChunkTypes(const fs::path& sparse) {
  const std::string d = ReadFile(sparse);
  std::vector<uint16_t> out;
  sp::FileHeader h;
  if (d.size() < sizeof h) return out;
  memcpy(&h, d.data(), sizeof h);
  size_t pos = h.file_hdr_sz;
  for (uint32_t i = 0; i < h.total_chunks && pos + sizeof(sp::ChunkHeader) <= d.size(); ++i) {
    sp::ChunkHeader c;
    memcpy(&c, d.data() + pos, sizeof c);
    out.push_back(c.chunk_type);
    pos += c.total_sz;
  }
  return out;
}

// Builds sparse files chunk by chunk, with any header values a test wants.
struct SparseBuilder {
  sp::FileHeader h{sp::kMagic, 1, 0, 28, 12, 4096, 0, 0, 0};
  std::string body;
  void Chunk(uint16_t type, uint32_t blocks, const std::string& payload, int64_t total = -1) {
    sp::ChunkHeader c{type, 0, blocks, static_cast<uint32_t>(total >= 0 ? total : 12 + int64_t(payload.size()))};
    body.append(reinterpret_cast<const char*>(&c), sizeof c);
    body += payload;
    ++h.total_chunks;
    if (type != sp::kChunkCrc32) h.total_blks += blocks;
  }
  static std::string Word(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }
  std::string Bytes() const { return std::string(reinterpret_cast<const char*>(&h), sizeof h) + body; }
};

TEST(SparseTools, Simg2imgMatchesPackagedToolOnImg2simgImagesAndPieces) {
  if (!HavePackaged() || !HaveProgram("simg2simg")) GTEST_SKIP() << "the packaged sparse tools are missing";
  TempDir t;
  struct Case {
    uint32_t bs;
    size_t blocks, tail;
  } cases[] = {{4096, 300, 0}, {1024, 500, 700}, {8192, 40, 4}};
  for (const Case& c : cases) {
    SCOPED_TRACE("block size " + std::to_string(c.bs));
    const std::string raw = t.str() + "/in.raw", simg = t.str() + "/in.simg";
    WriteFile(raw, MixedImage(c.blocks, c.bs, c.tail, c.bs));
    ASSERT_EQ(Sh("img2simg " + ShQuote(raw) + " " + ShQuote(simg) + " " + std::to_string(c.bs)).exit_code, 0);
    ASSERT_EQ(Sh("simg2img " + ShQuote(simg) + " " + t.str() + "/deb.raw").exit_code, 0);
    const CommandResult r = Sh(Ours("simg2img") + " " + ShQuote(simg) + " " + t.str() + "/ours.raw");
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(r.output, "") << "nothing is printed on success";
    EXPECT_TRUE(ReadFile(t / "deb.raw") == ReadFile(t / "ours.raw"));

    // Split into pieces of at most 128 KiB by simg2simg: each covers the whole image, with the
    // other pieces' parts left out; all of them together give the image.
    ASSERT_EQ(Sh("cd " + t.str() + " && simg2simg in.simg piece.simg 131072").exit_code, 0);
    std::string pieces;
    int count = 0;
    for (; fs::exists(t / ("piece.simg." + std::to_string(count))); ++count) pieces += " piece.simg." + std::to_string(count);
    ASSERT_GE(count, 2);
    ASSERT_EQ(Sh("cd " + t.str() + " && simg2img" + pieces + " deb_pieces.raw").exit_code, 0);
    const CommandResult rp = Sh("cd " + t.str() + " && " + Ours("simg2img") + pieces + " ours_pieces.raw");
    ASSERT_EQ(rp.exit_code, 0) << rp.output;
    EXPECT_TRUE(ReadFile(t / "deb_pieces.raw") == ReadFile(t / "ours_pieces.raw"));
    EXPECT_TRUE(ReadFile(t / "ours_pieces.raw") == ReadFile(t / "deb.raw"));
    // A single piece lacks the others' data.
    ASSERT_EQ(Sh("cd " + t.str() + " && " + Ours("simg2img") + " piece.simg.1 one.raw").exit_code, 0);
    EXPECT_FALSE(ReadFile(t / "one.raw") == ReadFile(t / "deb.raw"));
    for (int i = 0; i < count; ++i) fs::remove(t / ("piece.simg." + std::to_string(i)));
  }
}

TEST(SparseTools, Simg2imgMatchesPackagedToolOnMakeExt4fsAndSampleImages) {
  if (!HavePackaged()) GTEST_SKIP() << "the packaged sparse tools are missing";
  TempDir t;
  std::vector<fs::path> images;
  const fs::path make_ext4fs = BinDir() / "make_ext4fs";
  if (fs::exists(make_ext4fs)) {
    fs::create_directories(t / "tree/app");
    WriteFile(t / "tree/app/blob", MixedImage(60, 4096, 123, 5));
    WriteFile(t / "tree/build.prop", "ro.build.id=TEST\n");
    const CommandResult r = Sh(ShQuote(make_ext4fs.string()) + " -s -l 16M -T 0 -L system -a system " +
                                t.str() + "/ext4.simg " + t.str() + "/tree");
    ASSERT_EQ(r.exit_code, 0) << r.output;
    images.push_back(t / "ext4.simg");
  }
  const fs::path sample = SamplesDir() / "sparse" / "kaitai_extended-headers.img";
  if (fs::exists(sample)) images.push_back(sample);
  if (images.empty()) GTEST_SKIP() << "neither make_ext4fs nor the sample is there";
  for (const fs::path& img : images) {
    SCOPED_TRACE(img.string());
    ASSERT_EQ(Sh("simg2img " + ShQuote(img.string()) + " " + t.str() + "/deb.raw").exit_code, 0);
    const CommandResult r = Sh(Ours("simg2img") + " " + ShQuote(img.string()) + " " + t.str() + "/ours.raw");
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(ReadFile(t / "deb.raw") == ReadFile(t / "ours.raw"));
  }
}

TEST(SparseTools, Img2simgOutputExpandsWithPackagedToolAndUsesHolesAndFills) {
  if (!HavePackaged()) GTEST_SKIP() << "the packaged sparse tools are missing";
  TempDir t;
  // 4 MiB with holes: data at 0, a block of repeated words at 1 MiB, data at 3 MiB; the last
  // 256 KiB are a hole too.
  const std::string raw = t.str() + "/in.raw";
  {
    int fd = open(raw.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const std::string data = MixedImage(8, 4096, 0, 3);
    ASSERT_EQ(pwrite(fd, data.data(), data.size(), 0), ssize_t(data.size()));
    std::string fill(4096, '\0');
    for (size_t i = 0; i < fill.size(); i += 4) memcpy(&fill[i], "\xAB\xCD\xEF\x01", 4);
    ASSERT_EQ(pwrite(fd, fill.data(), fill.size(), 1 << 20), 4096);
    ASSERT_EQ(pwrite(fd, data.data(), 5000, 3 << 20), 5000);
    ASSERT_EQ(ftruncate(fd, 4 << 20), 0);
    close(fd);
  }
  for (const std::string bs : {"", "4096", "1024"}) {
    SCOPED_TRACE("block size argument '" + bs + "'");
    const CommandResult r = Sh(Ours("img2simg") + " " + ShQuote(raw) + " " + t.str() + "/ours.simg " + bs);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    ASSERT_EQ(Sh("simg2img " + t.str() + "/ours.simg " + t.str() + "/back.raw").exit_code, 0);
    EXPECT_TRUE(ReadFile(t / "back.raw") == ReadFile(raw));
    const std::vector<uint16_t> types = ChunkTypes(t / "ours.simg");
    // RAW data, FILL for the zero and uniform blocks among it, DONT_CARE for the holes.
    EXPECT_EQ(types.front(), sp::kChunkRaw);
    EXPECT_EQ(types.back(), sp::kChunkDontCare);
    EXPECT_GE(std::count(types.begin(), types.end(), sp::kChunkDontCare), 3);
    EXPECT_GE(std::count(types.begin(), types.end(), sp::kChunkFill), 2);
    // The holes are not stored: the sparse file is small.
    EXPECT_LT(fs::file_size(t / "ours.simg"), 64u * 1024);
  }
}

TEST(SparseTools, DamagedInputIsRefusedWithOneLineAndNothingWritten) {
  TempDir t;
  SparseBuilder good;
  good.Chunk(sp::kChunkRaw, 1, std::string(4096, 'a'));
  good.Chunk(sp::kChunkFill, 2, SparseBuilder::Word(0x01020304));
  good.Chunk(sp::kChunkDontCare, 3, "");
  const std::string goodBytes = good.Bytes();

  struct Bad {
    const char* name;
    std::string bytes;
    const char* says;
  };
  std::vector<Bad> bad;
  bad.push_back({"empty", "", "not a sparse image"});
  bad.push_back({"bad magic", "X" + goodBytes.substr(1), "bad magic"});
  bad.push_back({"truncated in the raw data", goodBytes.substr(0, 28 + 12 + 2000), "truncated"});
  bad.push_back({"truncated after a chunk", goodBytes.substr(0, 28 + 12 + 4096), "truncated"});
  {
    SparseBuilder b = good;
    ++b.h.total_chunks;  // one more chunk declared than stored
    bad.push_back({"too many chunks declared", b.Bytes(), "missing"});
  }
  {
    SparseBuilder b = good;
    --b.h.total_chunks;  // the last chunk not counted: the blocks do not add up
    bad.push_back({"too few chunks declared", b.Bytes(), "header declares"});
  }
  {
    SparseBuilder b = good;
    b.h.total_blks = 4;  // the DONT_CARE chunk runs past the end
    bad.push_back({"chunk past the end", b.Bytes(), "past the end of the image"});
  }
  {
    SparseBuilder b = good;
    b.h.total_blks = 7;
    bad.push_back({"fewer blocks than declared", b.Bytes(), "header declares 7"});
  }
  {
    SparseBuilder b;
    b.Chunk(sp::kChunkRaw, 0xFFFFFFFFu, "", 12);  // a huge chunk that claims no data
    bad.push_back({"huge raw chunk", b.Bytes(), "need"});
  }
  {
    SparseBuilder b;
    b.Chunk(sp::kChunkRaw, 0x100000u, std::string(4096, 'b'), 12 + (int64_t(0x100000) * 4096 & 0xFFFFFFFF));
    bad.push_back({"raw size that wraps at 32 bits", b.Bytes(), "need"});
  }
  {
    SparseBuilder b = good;
    b.h.blk_sz = 4095;
    bad.push_back({"odd block size", b.Bytes(), "invalid block size"});
  }
  {
    SparseBuilder b;
    b.Chunk(0xCAFF, 1, "");
    bad.push_back({"unknown chunk type", b.Bytes(), "unknown type 0xCAFF"});
  }
  {
    SparseBuilder b = good;
    b.Chunk(sp::kChunkCrc32, 0, SparseBuilder::Word(0x12345678));
    bad.push_back({"wrong checksum", b.Bytes(), "does not match"});
  }

  const std::string out = t.str() + "/out.raw";
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.name);
    WriteFile(t / "in.simg", b.bytes);
    WriteFile(out, "keep me");
    const CommandResult r = Sh(Ours("simg2img") + " " + t.str() + "/in.simg " + ShQuote(out));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 1) << r.output;
    EXPECT_NE(r.output.find(b.says), std::string::npos) << r.output;
    EXPECT_EQ(ReadFile(out), "keep me");
    EXPECT_FALSE(fs::exists(out + ".part"));
    // A good first piece does not let a damaged second one through.
    WriteFile(t / "good.simg", goodBytes);
    const CommandResult r2 = Sh(Ours("simg2img") + " " + t.str() + "/good.simg " + t.str() + "/in.simg " + ShQuote(out));
    EXPECT_EQ(r2.exit_code, 1);
    EXPECT_EQ(ReadFile(out), "keep me");
  }

  // The good image with a right checksum expands, as the packaged tool expands it.
  SparseBuilder withCrc = good;
  std::string expanded = std::string(4096, 'a');
  for (int i = 0; i < 2048; ++i) expanded += SparseBuilder::Word(0x01020304);
  expanded += std::string(3 * 4096, '\0');
  withCrc.Chunk(sp::kChunkCrc32, 0, SparseBuilder::Word(sp::Crc32(0, expanded.data(), expanded.size())));
  WriteFile(t / "crc.simg", withCrc.Bytes());
  const CommandResult ok = Sh(Ours("simg2img") + " " + t.str() + "/crc.simg " + ShQuote(out));
  ASSERT_EQ(ok.exit_code, 0) << ok.output;
  EXPECT_TRUE(ReadFile(out) == expanded);
  if (HaveProgram("simg2img")) {
    ASSERT_EQ(Sh("simg2img " + t.str() + "/crc.simg " + t.str() + "/deb.raw").exit_code, 0);
    EXPECT_TRUE(ReadFile(t / "deb.raw") == expanded);
  }
}

TEST(SparseTools, ChecksumsOfDataAndOfLongRunsOfZeros) {
  EXPECT_EQ(sp::Crc32(0, "123456789", 9), 0xCBF43926u);  // the published check value
  const std::string zeros(100000, '\0');
  for (uint32_t start : {0u, 0xCBF43926u, 0xFFFFFFFFu})
    for (size_t n : {size_t(1), size_t(3), size_t(4096), size_t(65537), zeros.size()})
      EXPECT_EQ(sp::Crc32Zeros(start, n), sp::Crc32(start, zeros.data(), n)) << start << " " << n;
  EXPECT_EQ(sp::Crc32Zeros(0x1234u, 0), 0x1234u);
}

// A DONT_CARE chunk may stand for terabytes: the output is sized at once (a size the file system
// cannot hold fails before any work) and its checksum costs no pass over the zeros.
TEST(SparseTools, HugeDontCareAreasAreHolesAndTheirChecksumsAreQuick) {
  TempDir t;
  SparseBuilder terabyte;
  terabyte.Chunk(sp::kChunkRaw, 1, std::string(4096, 'z'));
  terabyte.Chunk(sp::kChunkDontCare, (1u << 28) - 1, "");  // 1 TiB in all
  const uint32_t crc = sp::Crc32Zeros(sp::Crc32(0, std::string(4096, 'z').data(), 4096), ((1ull << 28) - 1) * 4096);
  terabyte.Chunk(sp::kChunkCrc32, 0, SparseBuilder::Word(crc));
  WriteFile(t / "tb.simg", terabyte.Bytes());
  const CommandResult r = Sh(Ours("simg2img") + " " + t.str() + "/tb.simg " + t.str() + "/tb.raw");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(fs::file_size(t / "tb.raw"), 1ull << 40);
  int fd = open((t.str() + "/tb.raw").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(lseek(fd, 4096, SEEK_DATA), -1) << "only the first block holds data";
  close(fd);
  fs::remove(t / "tb.raw");

  SparseBuilder huge;  // 2^32 - 1 blocks of 64 MiB: far more than any file system holds
  huge.h.blk_sz = 64u << 20;
  huge.Chunk(sp::kChunkDontCare, 0xFFFFFFFFu, "");
  huge.Chunk(sp::kChunkCrc32, 0, SparseBuilder::Word(0));
  WriteFile(t / "huge.simg", huge.Bytes());
  const CommandResult h = Sh(Ours("simg2img") + " " + t.str() + "/huge.simg " + t.str() + "/huge.raw");
  EXPECT_EQ(h.exit_code, 1);
  EXPECT_NE(h.output.find("cannot make the output"), std::string::npos) << h.output;
  EXPECT_FALSE(fs::exists(t / "huge.raw"));
  EXPECT_FALSE(fs::exists(t / "huge.raw.part"));
}

TEST(SparseTools, UsageErrorsAndSameFile) {
  TempDir t;
  WriteFile(t / "a.raw", std::string(8192, 'x'));
  EXPECT_EQ(Sh(Ours("simg2img") + " only_one").exit_code, 2);
  EXPECT_EQ(Sh(Ours("img2simg") + " a b c d").exit_code, 2);
  for (const char* bs : {"100", "1026", "abc", "0", "134217728"}) {
    const CommandResult r = Sh(Ours("img2simg") + " " + t.str() + "/a.raw " + t.str() + "/a.simg " + bs);
    EXPECT_EQ(r.exit_code, 1) << bs;
    EXPECT_NE(r.output.find("invalid block size"), std::string::npos) << r.output;
  }
  EXPECT_FALSE(fs::exists(t / "a.simg"));
  // The output may not be an input: it would be emptied before it is read.
  ASSERT_EQ(Sh(Ours("img2simg") + " " + t.str() + "/a.raw " + t.str() + "/a.simg").exit_code, 0);
  const std::string simg = ReadFile(t / "a.simg");
  const CommandResult r = Sh(Ours("simg2img") + " " + t.str() + "/a.simg " + t.str() + "/./a.simg");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.output.find("is one of the inputs"), std::string::npos) << r.output;
  EXPECT_EQ(ReadFile(t / "a.simg"), simg);
  EXPECT_EQ(Sh(Ours("img2simg") + " " + t.str() + "/a.raw " + t.str() + "/a.raw").exit_code, 1);
  EXPECT_EQ(ReadFile(t / "a.raw"), std::string(8192, 'x'));
}

// Offsets past 4 GiB: a 5 GiB raw file with data only near its end, through our img2simg, the
// packaged simg2img and our simg2img. The files are holes but for a few blocks.
TEST(SparseTools, ImagesLargerThan4GiB) {
  TempDir t;
  const std::string raw = t.str() + "/big.raw";
  const uint64_t size = 5ull << 30, at = (4ull << 30) + 12345 * 4096ull;
  const std::string data = MixedImage(3, 4096, 0, 11);
  {
    int fd = open(raw.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, data.data(), data.size(), at), ssize_t(data.size()));
    ASSERT_EQ(ftruncate(fd, off_t(size)), 0);
    close(fd);
  }
  auto expect_image = [&](const std::string& path) {
    SCOPED_TRACE(path);
    ASSERT_EQ(fs::file_size(path), size);
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::string got(data.size() + 8192, '\1');
    ASSERT_EQ(pread(fd, got.data(), got.size(), at - 4096), ssize_t(got.size()));
    EXPECT_TRUE(got == std::string(4096, '\0') + data + std::string(4096, '\0'));
    // Only the written blocks hold data; the rest stayed a hole.
    EXPECT_EQ(uint64_t(lseek(fd, 0, SEEK_DATA)), at);
    close(fd);
  };
  const CommandResult r = Sh(Ours("img2simg") + " " + ShQuote(raw) + " " + t.str() + "/big.simg");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_LT(fs::file_size(t / "big.simg"), 64u * 1024);
  const CommandResult back = Sh(Ours("simg2img") + " " + t.str() + "/big.simg " + t.str() + "/back.raw");
  ASSERT_EQ(back.exit_code, 0) << back.output;
  expect_image(t.str() + "/back.raw");
  fs::remove(t / "back.raw");
  if (HaveProgram("simg2img")) {
    ASSERT_EQ(Sh("simg2img " + t.str() + "/big.simg " + t.str() + "/deb.raw").exit_code, 0);
    int fd = open((t.str() + "/deb.raw").c_str(), O_RDONLY);
    std::string got(data.size(), '\0');
    ASSERT_EQ(pread(fd, got.data(), got.size(), at), ssize_t(got.size()));
    close(fd);
    EXPECT_TRUE(got == data);
  }
}

}  // namespace
