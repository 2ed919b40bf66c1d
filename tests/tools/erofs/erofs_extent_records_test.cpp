// Encoded extent records in the forms the samples do not use: one 8-byte record per logical
// cluster and 16-byte records with their own logical start, with holes between and inside them,
// stored and LZ4 clusters at byte (not block) offsets. The image is put together here byte by
// byte from the format's layout.
#include <gtest/gtest.h>
#include <lz4.h>
#include <sys/stat.h>

#include <cstring>

#include "erofs_image.h"

namespace {

namespace er = orvex::erofs;

constexpr uint64_t kBlock = 4096;

void Put(std::string& b, uint64_t off, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b[off + i] = static_cast<char>(v >> (8 * i));
}

std::string Pattern(size_t n, int seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + seed) % 251);
  return s;
}

std::string Text(size_t n) {
  std::string s;
  while (s.size() < n) s += "extent records of a compressed file " + std::to_string(s.size()) + "\n";
  s.resize(n);
  return s;
}

std::string Lz4(const std::string& in) {
  std::string out(static_cast<size_t>(LZ4_compressBound(static_cast<int>(in.size()))), '\0');
  const int n = LZ4_compress_default(in.data(), out.data(), static_cast<int>(in.size()), static_cast<int>(out.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

// A compact inode of a regular file with the full layout and an extent-record map header.
void PutFile(std::string& img, uint64_t pos, uint64_t size, uint16_t advise, uint8_t clusterbits, uint32_t count) {
  Put(img, pos, 1 << 1, 2);  // compact, COMPRESSED_FULL
  Put(img, pos + 4, S_IFREG | 0644, 2);
  Put(img, pos + 6, 1, 2);
  Put(img, pos + 8, size, 4);
  const uint64_t h = (pos + 32 + 7) / 8 * 8;
  Put(img, h, count, 4);       // h_extents_lo (records with their own start) or unused
  Put(img, h + 4, advise, 2);  // EXTENTS and the record size
  img[h + 6] = 0;
  img[h + 7] = static_cast<char>(clusterbits);
}

struct Built {
  std::string image;
  std::string a, b;  // the expected contents
  uint64_t a_records = 0, b_records = 0;
};

Built Build() {
  Built r;
  r.image.assign(7 * kBlock, '\0');
  std::string& img = r.image;
  // Superblock: 4 KiB blocks, inodes from block 1, root nid 0, nothing else.
  Put(img, 1024, 0xE0F5E1E2u, 4);
  img[1024 + 12] = 12;
  Put(img, 1024 + 16, 3, 8);  // inos
  Put(img, 1024 + 36, 7, 4);  // blocks
  Put(img, 1024 + 40, 1, 4);  // meta_blkaddr

  // Root: a tail-packed directory with ".", "..", "a" (nid 4) and "b" (nid 8).
  const uint64_t root = kBlock;
  Put(img, root, 2 << 1, 2);
  Put(img, root + 4, S_IFDIR | 0755, 2);
  Put(img, root + 6, 2, 2);
  const char* names[] = {".", "..", "a", "b"};
  const uint64_t nids[] = {0, 0, 4, 8};
  const uint8_t types[] = {2, 2, 1, 1};
  uint64_t nameoff = 4 * 12;
  std::string names_blob;
  for (int i = 0; i < 4; ++i) {
    const uint64_t d = root + 32 + i * 12;
    Put(img, d, nids[i], 8);
    Put(img, d + 8, nameoff + names_blob.size(), 2);
    img[d + 10] = static_cast<char>(types[i]);
    names_blob += names[i];
  }
  std::memcpy(img.data() + root + 32 + nameoff, names_blob.data(), names_blob.size());
  Put(img, root + 8, nameoff + names_blob.size(), 4);

  // "a": 16-byte records with their own logical start: stored [0, 4096), a hole (length 0) up
  // to 8192, then LZ4 at a byte offset for the rest. A record runs up to the next one's start.
  const std::string a0 = Pattern(4096, 1), a2 = Text(10000), a2z = Lz4(a2);
  r.a = a0 + std::string(4096, '\0') + a2;
  const uint64_t a_pos = kBlock + 4 * 32;
  PutFile(img, a_pos, r.a.size(), 0x1 | (2 << 1), 0, 3);
  const uint64_t a_rec = ((a_pos + 32 + 7) / 8 * 8 + 8 + 15) / 16 * 16;
  std::memcpy(img.data() + 2 * kBlock, a0.data(), a0.size());
  const uint64_t a2_pa = 3 * kBlock + 100;
  std::memcpy(img.data() + a2_pa, a2z.data(), a2z.size());
  Put(img, a_rec, 4096, 4);  // stored
  Put(img, a_rec + 4, 2 * kBlock, 4);
  Put(img, a_rec + 12, 0, 4);
  Put(img, a_rec + 16 + 12, 4096, 4);  // the hole
  Put(img, a_rec + 32, (1u << 28) | a2z.size(), 4);  // algorithm 0 + 1
  Put(img, a_rec + 36, a2_pa, 4);
  Put(img, a_rec + 44, 8192, 4);
  r.a_records = a_rec;

  // "b": one 8-byte record per 4 KiB logical cluster: stored, a hole (length 0), LZ4.
  const std::string b0 = Pattern(4096, 2), b2 = Text(3000), b2z = Lz4(b2);
  r.b = b0 + std::string(4096, '\0') + b2;
  const uint64_t b_pos = kBlock + 8 * 32;
  PutFile(img, b_pos, r.b.size(), 0x1 | (1 << 1), 0, 0);
  const uint64_t b_rec = ((b_pos + 32 + 7) / 8 * 8 + 8 + 7) / 8 * 8;
  std::memcpy(img.data() + 4 * kBlock, b0.data(), b0.size());
  const uint64_t b2_pa = 5 * kBlock + 12;
  std::memcpy(img.data() + b2_pa, b2z.data(), b2z.size());
  Put(img, b_rec, 4096, 4);
  Put(img, b_rec + 4, 4 * kBlock, 4);
  Put(img, b_rec + 8, 0, 4);
  Put(img, b_rec + 16, (1u << 28) | b2z.size(), 4);
  Put(img, b_rec + 20, b2_pa, 4);
  r.b_records = b_rec;
  return r;
}

std::string ReadAll(const er::Image& img, const er::Inode& ino) {
  std::string out;
  img.ReadData(ino, [&](uint64_t off, const uint8_t* p, size_t n) {
    EXPECT_EQ(off, out.size());
    if (p) out.append(reinterpret_cast<const char*>(p), n);
    else out.append(n, '\0');
  });
  return out;
}

er::Inode Child(const er::Image& img, const std::string& name) {
  for (const auto& d : img.ReadDir(img.ReadInode(img.sb().root_nid)))
    if (d.name == name) return img.ReadInode(d.nid);
  throw std::runtime_error("no " + name);
}

TEST(ErofsExtentRecords, BothRecordFormsWithHolesAndByteOffsets) {
  Built b = Build();
  er::Image img(std::make_shared<er::MemorySource>(b.image.data(), b.image.size()));
  const er::Inode a = Child(img, "a"), bb = Child(img, "b");
  EXPECT_TRUE(img.ReadCompressionInfo(a).extent_records);
  EXPECT_TRUE(img.ReadCompressionInfo(bb).extent_records);
  EXPECT_EQ(ReadAll(img, a), b.a);
  EXPECT_EQ(ReadAll(img, bb), b.b);

  std::vector<er::ExtentKind> kinds;
  img.ForEachExtent(a, [&](const er::Extent& e) {
    kinds.push_back(e.kind);
    return true;
  });
  EXPECT_EQ(kinds, (std::vector<er::ExtentKind>{er::ExtentKind::kRaw, er::ExtentKind::kHole, er::ExtentKind::kCompressed}));
}

TEST(ErofsExtentRecords, DamagedRecordsAreRefused) {
  {
    Built b = Build();  // the second record starts before the first
    Put(b.image, b.a_records + 44, 100, 4);
    er::Image img(std::make_shared<er::MemorySource>(b.image.data(), b.image.size()));
    EXPECT_THROW(ReadAll(img, Child(img, "a")), er::Error);
  }
  {
    Built b = Build();  // a stored cluster shorter than its extent
    Put(b.image, b.b_records, 100, 4);
    er::Image img(std::make_shared<er::MemorySource>(b.image.data(), b.image.size()));
    EXPECT_THROW(ReadAll(img, Child(img, "b")), er::Error);
  }
  {
    Built b = Build();  // an algorithm the image does not declare (LZMA)
    Put(b.image, b.b_records + 16, (2u << 28) | 64, 4);
    er::Image img(std::make_shared<er::MemorySource>(b.image.data(), b.image.size()));
    try {
      ReadAll(img, Child(img, "b"));
      ADD_FAILURE() << "no error";
    } catch (const er::Error& e) {
      EXPECT_NE(std::string(e.what()).find("lzma compression, which the superblock does not declare"), std::string::npos)
          << e.what();
    }
  }
  {
    Built b = Build();  // a cluster past the end of the image
    Put(b.image, b.a_records + 36, 7 * kBlock - 10, 4);
    er::Image img(std::make_shared<er::MemorySource>(b.image.data(), b.image.size()));
    EXPECT_THROW(ReadAll(img, Child(img, "a")), er::Error);
  }
}

}  // namespace
