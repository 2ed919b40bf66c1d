// Damaged images of the newer kinds (fragments, encoded extents, LZMA/Zstandard clusters, the
// metabox) and images with flags this reader does not know: one error line naming the problem,
// exit code 1, no crash, nothing written beside the output folder; a cluster that decodes to far
// more than its extent yields exactly the extent.
#include <gtest/gtest.h>

#include <zstd.h>

#include <cstring>
#include <set>

#include "erofs_image.h"
#include "erofs_test_util.h"

namespace orvex::test::erofs {
namespace {

namespace er = orvex::erofs;

void PutLe(std::string& b, uint64_t off, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b[off + i] = static_cast<char>(v >> (8 * i));
}

// Keeps the superblock checksum valid so that damage further in reaches the parsers.
void FixChecksum(std::string& b) {
  const size_t len = 4096 - 1024;
  std::string area = b.substr(1024, len);
  std::memset(area.data() + 4, 0, 4);
  PutLe(b, 1028, er::Crc32c(0xFFFFFFFFu, area.data(), area.size()), 4);
}

class ModernHostile : public ::testing::Test {
 protected:
  // Loads a sample image of the current mkfs.erofs; false (and the test skipped) when missing.
  bool Load(const std::string& name) {
    const fs::path p = SamplesDir() / "erofs_modern" / (name + ".img");
    if (!fs::exists(p)) return false;
    clean_ = ReadFile(p);
    src_ = std::make_shared<er::MemorySource>(clean_.data(), clean_.size());
    img_ = std::make_unique<er::Image>(src_);
    return true;
  }

  er::Inode Lookup(const std::string& path) {
    er::Inode cur = img_->ReadInode(img_->sb().root_nid);
    size_t start = 0;
    while (start < path.size()) {
      size_t slash = path.find('/', start);
      if (slash == std::string::npos) slash = path.size();
      const std::string comp = path.substr(start, slash - start);
      bool found = false;
      for (const auto& d : img_->ReadDir(cur))
        if (d.name == comp) {
          cur = img_->ReadInode(d.nid);
          found = true;
        }
      if (!found) throw std::runtime_error("no " + path);
      start = slash + 1;
    }
    return cur;
  }

  // Runs the tool on the bytes from a fresh folder (inodes may share block 0 with the
  // superblock: its checksum is made valid first); checks that it wrote nothing but its output.
  ToolRun RunOn(std::string bytes) {
    FixChecksum(bytes);
    const fs::path dir = work_ / ("case" + std::to_string(++cases_));
    fs::create_directories(dir);
    WriteFile(dir / "system.img", bytes);
    ToolRun r = RunExtract(dir / "system.img");
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    names.erase("system.img");
    names.erase("system");
    EXPECT_TRUE(names.empty()) << "written beside the output folder: " << *names.begin();
    return r;
  }

  void ExpectOneError(const ToolRun& r, const std::string& fragment) {
    EXPECT_EQ(r.exit_code, 1) << r.err;
    const auto lines = r.ErrorLines();
    ASSERT_EQ(lines.size(), 1u) << r.err;
    EXPECT_NE(lines[0].find(fragment), std::string::npos) << lines[0];
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
  }

  // A compressed file of the sample with cluster indexes (not wholly in the packed inode).
  er::Inode IndexedFile() {
    for (const char* p : {"system/framework/framework.jar", "system/bin/sh", "system/app/Demo/Demo.apk"}) {
      const er::Inode ino = Lookup(p);
      if (ino.IsCompressed() && !img_->ReadCompressionInfo(ino).whole_fragment) return ino;
    }
    throw std::runtime_error("no compressed file with cluster indexes");
  }

  // Byte offset of the map header of a compressed inode.
  static uint64_t Header(const er::Inode& ino) { return (ino.end() + 7) / 8 * 8; }

  TempDir work_;
  std::string clean_;
  std::shared_ptr<er::MemorySource> src_;
  std::unique_ptr<er::Image> img_;
  int cases_ = 0;
};

#define LOAD_OR_SKIP(name) \
  if (!Load(name)) GTEST_SKIP() << "no sample " << name

TEST_F(ModernHostile, FragmentsPastThePackedInode) {
  LOAD_OR_SKIP("all-fragments");
  ASSERT_EQ(RunOn(clean_).exit_code, 0);
  const er::Inode sh = Lookup("system/bin/sh");
  ASSERT_TRUE(img_->ReadCompressionInfo(sh).whole_fragment);
  const er::Inode packed = img_->ReadInode(img_->sb().packed_nid);
  std::string whole = clean_;
  PutLe(whole, Header(sh), (uint64_t{1} << 63) | (packed.size - 10), 8);  // runs 20000 bytes past the end
  ExpectOneError(RunOn(whole), "past the end of inode");

  // A tail fragment whose offset lies past the packed inode.
  LOAD_OR_SKIP("fragments");
  const er::Inode tail = IndexedFile();
  ASSERT_TRUE(img_->ReadCompressionInfo(tail).tail_fragment);
  std::string bytes = clean_;
  PutLe(bytes, Header(tail), 0xFFFFFF00u, 4);
  ExpectOneError(RunOn(bytes), "past the end of inode");

  // A packed inode that is a directory, and one that does not exist.
  std::string dir = clean_;
  PutLe(dir, 1024 + 96, img_->sb().root_nid, 8);
  FixChecksum(dir);
  ExpectOneError(RunOn(dir), "packed inode is not a regular file");
  std::string gone = clean_;
  PutLe(gone, 1024 + 96, uint64_t{1} << 40, 8);
  FixChecksum(gone);
  ExpectOneError(RunOn(gone), "lies outside the image");
}

TEST_F(ModernHostile, ClusterIndexesAndExtentsPastTheEnd) {
  LOAD_OR_SKIP("lzma");
  const er::Inode jar = Lookup("system/framework/framework.jar");
  ASSERT_TRUE(jar.IsCompressed());
  std::string size = clean_;
  if (jar.extended) PutLe(size, jar.pos + 8, uint64_t{1} << 40, 8);
  else PutLe(size, jar.pos + 8, 0xFFFFF000u, 4);
  ExpectOneError(RunOn(size), "inode " + std::to_string(jar.nid));

  // Encoded extent records: the last extent then claims to decode to far more than a cluster
  // may hold.
  LOAD_OR_SKIP("48bit-zstd");
  const er::Inode big = Lookup("system/framework/framework.jar");
  ASSERT_TRUE(img_->ReadCompressionInfo(big).extent_records);
  std::string grown = clean_;
  if (big.extended) PutLe(grown, big.pos + 8, uint64_t{64} << 20, 8);
  else PutLe(grown, big.pos + 8, uint32_t{64} << 20, 4);
  ExpectOneError(RunOn(grown), "inode " + std::to_string(big.nid));
}

TEST_F(ModernHostile, DamagedStreamsOfEveryAlgorithm) {
  for (const char* name : {"lzma", "deflate", "zstd"}) {
    SCOPED_TRACE(name);
    LOAD_OR_SKIP(name);
    const er::Inode jar = Lookup("system/framework/framework.jar");
    uint64_t pa = 0, plen = 0;
    img_->ForEachExtent(jar, [&](const er::Extent& e) {
      if (e.kind != er::ExtentKind::kCompressed || e.inline_data) return true;
      pa = e.pa;
      plen = e.plen;
      return false;
    });
    ASSERT_GT(plen, 0u);
    // The stream starts after the zero padding: its first bytes are overwritten.
    uint64_t start = pa;
    while (start < pa + plen && clean_[start] == 0) ++start;
    ASSERT_LT(start + 16, pa + plen);
    std::string bytes = clean_;
    for (uint64_t i = start; i < start + 16; ++i) bytes[i] = static_cast<char>(0xFF);
    ExpectOneError(RunOn(bytes), std::string("corrupt ") + name + " data");
  }
}

TEST_F(ModernHostile, BombStreamYieldsExactlyItsExtent) {
  LOAD_OR_SKIP("zstd");
  const er::Inode jar = Lookup("system/framework/framework.jar");
  er::Extent first;
  img_->ForEachExtent(jar, [&](const er::Extent& e) {
    first = e;
    return false;
  });
  ASSERT_EQ(first.kind, er::ExtentKind::kCompressed);
  // A frame of 64 MiB of zeros, about two kilobytes long, right-aligned in the cluster.
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  std::vector<char> zeros(1 << 20, 0), frame(first.plen);
  ZSTD_outBuffer out{frame.data(), frame.size(), 0};
  for (int i = 0; i < 64; ++i) {
    ZSTD_inBuffer in{zeros.data(), zeros.size(), 0};
    ASSERT_FALSE(ZSTD_isError(ZSTD_compressStream2(cctx, &out, &in, ZSTD_e_continue)));
  }
  ZSTD_inBuffer none{nullptr, 0, 0};
  ASSERT_EQ(ZSTD_compressStream2(cctx, &out, &none, ZSTD_e_end), 0u) << "the bomb does not fit one cluster";
  ZSTD_freeCCtx(cctx);
  std::string bytes = clean_;
  std::memset(bytes.data() + first.pa, 0, first.plen);
  std::memcpy(bytes.data() + first.pa + first.plen - out.pos, frame.data(), out.pos);

  er::Image img(std::make_shared<er::MemorySource>(bytes.data(), bytes.size()));
  er::ReadScratch scratch;
  uint64_t delivered = 0, zeros_seen = 0;
  img.ReadData(
      img.ReadInode(jar.nid),
      [&](uint64_t off, const uint8_t* p, size_t n) {
        delivered += n;
        for (size_t i = 0; i < n && off + i < first.llen; ++i) zeros_seen += p[i] == 0;
      },
      &scratch);
  EXPECT_EQ(delivered, jar.size);
  EXPECT_EQ(zeros_seen, first.llen);  // the extent holds the stream's first bytes, no more
  EXPECT_LT(scratch.out.capacity() + scratch.in.capacity(), 8u << 20);
}

TEST_F(ModernHostile, UnknownFlagsAreRefusedByName) {
  LOAD_OR_SKIP("fragments");
  std::string incompat = clean_;
  PutLe(incompat, 1024 + 80, img_->sb().feature_incompat | 0x200 | 0x4000, 4);
  FixChecksum(incompat);
  ExpectOneError(RunOn(incompat), "unsupported EROFS features 0x4200 (incompat_bit9 incompat_bit14)");

  std::string algs = clean_;
  PutLe(algs, 1024 + 80, img_->sb().feature_incompat | 0x2, 4);  // compression configurations
  PutLe(algs, 1024 + 84, 0x11, 2);
  FixChecksum(algs);
  ExpectOneError(RunOn(algs), "unsupported compression algorithms 0x10");

  const er::Inode sh = Lookup("system/bin/sh");
  std::string format = clean_;
  PutLe(format, sh.pos, sh.format | 0x40, 2);
  ExpectOneError(RunOn(format), "unknown format bits 0x40");

  const er::Inode conf = IndexedFile();
  std::string advise = clean_;
  const uint64_t h = Header(conf);
  PutLe(advise, h + 4, (static_cast<uint8_t>(clean_[h + 4]) | (static_cast<uint8_t>(clean_[h + 5]) << 8)) | 0x4000, 2);
  ExpectOneError(RunOn(advise), "unknown compression flags");

  std::string alg = clean_;
  alg[h + 6] = 0x07;
  ExpectOneError(RunOn(alg), "unknown compression algorithm 7");

  LOAD_OR_SKIP("metabox");
  std::string mbox = clean_;
  PutLe(mbox, 1024 + 128, uint64_t{1} << 63, 8);
  FixChecksum(mbox);
  ExpectOneError(RunOn(mbox), "metabox inode lies in the metabox");
}

}  // namespace
}  // namespace orvex::test::erofs
