// The sparse reader and writer against the packaged libsparse tools (simg2img, img2simg) and a
// sample with nonstandard header sizes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "sparse/sparse_format.h"
#include "sparse/sparse_reader.h"
#include "sparse/sparse_writer.h"
#include "test_support.h"

namespace {

using namespace orvex::test;
using orvex::sparse::SparseReader;
using orvex::sparse::SparseWriter;

struct Fd {
  int fd;
  explicit Fd(const fs::path& p) : fd(open(p.c_str(), O_RDONLY)) {}
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

std::string ReadAllThrough(const SparseReader& r) {
  std::string out(r.expanded_size(), '\0');
  std::string err;
  EXPECT_TRUE(r.ReadAt(0, out.data(), out.size(), &err)) << err;
  return out;
}

// A raw image with data, zero and uniform blocks, so img2simg emits RAW, FILL and DONT_CARE.
std::string MixedImage(size_t blocks, uint32_t bs) {
  std::string img(blocks * bs, '\0');
  std::mt19937 rng(7);
  for (size_t b = 0; b < blocks; ++b) {
    char* p = img.data() + b * bs;
    switch (b % 5) {
      case 0:
      case 1:
        for (uint32_t i = 0; i < bs; ++i) p[i] = static_cast<char>(rng());
        break;
      case 2:
        for (uint32_t i = 0; i < bs; i += 4) memcpy(p + i, "\x11\x22\x33\x44", 4);
        break;
      default:
        break;  // zeros
    }
  }
  return img;
}

TEST(SparseReader, ExpandsSampleWithExtendedHeadersLikeSimg2img) {
  const fs::path sample = SamplesDir() / "sparse" / "kaitai_extended-headers.img";
  if (!fs::exists(sample)) GTEST_SKIP() << "sample missing: " << sample;
  Fd f(sample);
  SparseReader r;
  std::string err;
  ASSERT_TRUE(r.Open(f.fd, &err)) << err;
  const std::string data = ReadAllThrough(r);
  EXPECT_EQ(data.size(), 6144u);
  if (!HaveProgram("simg2img")) GTEST_SKIP() << "simg2img not installed";
  TempDir t;
  ASSERT_EQ(RunCommand("simg2img " + ShQuote(sample.string()) + " " + ShQuote(t.str() + "/x.raw"))
                .exit_code,
            0);
  EXPECT_EQ(data, ReadFile(t / "x.raw"));
}

TEST(SparseReader, ReadsImg2simgOutputAtAnyOffset) {
  if (!HaveProgram("img2simg")) GTEST_SKIP() << "img2simg not installed";
  TempDir t;
  const std::string raw = MixedImage(64, 4096);
  WriteFile(t / "in.raw", raw);
  ASSERT_EQ(RunCommand("img2simg " + ShQuote(t.str() + "/in.raw") + " " + ShQuote(t.str() + "/in.simg"))
                .exit_code,
            0);
  Fd f(t / "in.simg");
  SparseReader r;
  std::string err;
  ASSERT_TRUE(r.Open(f.fd, &err)) << err;
  EXPECT_GT(r.chunk_count(), 3u);
  EXPECT_EQ(ReadAllThrough(r), raw);
  // Reads that start and end inside chunks and cross several of them.
  for (uint64_t off : {1ull, 4095ull, 4097ull, 3 * 4096ull + 17, 40000ull}) {
    for (size_t len : {1ul, 13ul, 4096ul, 20000ul}) {
      if (off + len > raw.size()) continue;
      std::string got(len, '\0');
      ASSERT_TRUE(r.ReadAt(off, got.data(), len, &err)) << err;
      EXPECT_EQ(got, raw.substr(off, len)) << "offset " << off << " length " << len;
    }
  }
  std::string one(1, '\0');
  EXPECT_FALSE(r.ReadAt(raw.size(), one.data(), 1, &err));
}

TEST(SparseWriter, OutputExpandsWithSimg2imgAndMergesChunks) {
  if (!HaveProgram("simg2img")) GTEST_SKIP() << "simg2img not installed";
  TempDir t;
  const uint32_t bs = 4096;
  const std::string data = MixedImage(4, bs);
  SparseWriter w;
  std::string err;
  ASSERT_TRUE(w.Open((t / "out.simg").string(), bs, 20, &err)) << err;
  // Three single-block RAW calls in a row make one chunk; fills of one pattern merge too.
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(w.AddRaw(data.data() + i * bs, 1));
  ASSERT_TRUE(w.AddFill(0xAABBCCDD, 2));
  ASSERT_TRUE(w.AddFill(0xAABBCCDD, 1));
  ASSERT_TRUE(w.AddDontCare(4));
  ASSERT_TRUE(w.AddFill(0, 2));
  EXPECT_FALSE(w.AddRaw(data.data(), 9)) << "more blocks than declared must fail";
  ASSERT_TRUE(w.Finish()) << w.error();
  // RAW, FILL, DONT_CARE, FILL, and the DONT_CARE padding up to 20 blocks.
  EXPECT_EQ(w.chunks_written(), 5u);

  std::string expect(20 * bs, '\0');
  memcpy(expect.data(), data.data(), 3 * bs);
  for (size_t i = 3 * bs; i < 6 * bs; i += 4) memcpy(expect.data() + i, "\xDD\xCC\xBB\xAA", 4);
  ASSERT_EQ(RunCommand("simg2img " + ShQuote(t.str() + "/out.simg") + " " + ShQuote(t.str() + "/out.raw"))
                .exit_code,
            0);
  EXPECT_EQ(ReadFile(t / "out.raw"), expect);
}

TEST(SparseWriter, RawConversionKeepsUsedBlocksOnly) {
  if (!HaveProgram("simg2img")) GTEST_SKIP() << "simg2img not installed";
  TempDir t;
  const uint32_t bs = 4096;
  const size_t blocks = 40;
  std::string raw = MixedImage(blocks, bs);
  // Leave a hole in the raw file too: a used block inside it must come back as zeros.
  WriteFile(t / "in.raw", raw.substr(0, 30 * bs));
  ASSERT_EQ(truncate((t / "in.raw").c_str(), static_cast<off_t>(blocks * bs)), 0);
  for (size_t i = 30 * bs; i < raw.size(); ++i) raw[i] = 0;
  auto used = [](uint64_t b) { return b % 7 != 3; };
  std::string err;
  {
    Fd f(t / "in.raw");
    ASSERT_TRUE(orvex::sparse::WriteSparseFromRaw(f.fd, bs, blocks, used,
                                                  (t / "out.simg").string(), &err))
        << err;
  }
  std::string expect = raw;
  for (size_t b = 0; b < blocks; ++b)
    if (!used(b)) memset(expect.data() + b * bs, 0, bs);
  ASSERT_EQ(RunCommand("simg2img " + ShQuote(t.str() + "/out.simg") + " " + ShQuote(t.str() + "/out.raw"))
                .exit_code,
            0);
  EXPECT_EQ(ReadFile(t / "out.raw"), expect);
  // Unused blocks are not stored: the sparse file holds far less than the raw data.
  EXPECT_LT(fs::file_size(t / "out.simg"), raw.size());
}

// Each damaged header or chunk is refused with a message, never read past.
TEST(SparseReader, RefusesDamagedImages) {
  using orvex::sparse::ChunkHeader;
  using orvex::sparse::FileHeader;
  auto header = [](uint32_t blocks, uint32_t chunks) {
    FileHeader h{orvex::sparse::kMagic, 1, 0, 28, 12, 4096, blocks, chunks, 0};
    return std::string(reinterpret_cast<char*>(&h), sizeof(h));
  };
  auto chunk = [](uint16_t type, uint32_t blocks, uint32_t total) {
    ChunkHeader c{type, 0, blocks, total};
    return std::string(reinterpret_cast<char*>(&c), sizeof(c));
  };
  const std::string block(4096, 'x');
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"truncated header", header(1, 1).substr(0, 20)},
      {"raw data missing", header(1, 1) + chunk(0xCAC1, 1, 12 + 4096) + block.substr(0, 100)},
      {"size field disagrees", header(1, 1) + chunk(0xCAC1, 1, 12 + 100) + block},
      {"more blocks than the header", header(1, 1) + chunk(0xCAC3, 5, 12)},
      {"unknown chunk type", header(1, 1) + chunk(0x1234, 1, 12)},
      {"chunk count beyond the file", header(2, 3) + chunk(0xCAC3, 1, 12)},
      {"zero block size", [&] {
         std::string h = header(1, 0);
         memset(h.data() + 12, 0, 4);
         return h;
       }()},
      {"version 2", [&] {
         std::string h = header(1, 0);
         h[4] = 2;
         return h;
       }()},
  };
  TempDir t;
  for (const auto& c : cases) {
    WriteFile(t / "bad.simg", c.bytes);
    Fd f(t / "bad.simg");
    SparseReader r;
    std::string err;
    EXPECT_FALSE(r.Open(f.fd, &err)) << c.what;
    EXPECT_FALSE(err.empty()) << c.what;
  }
}

}  // namespace
