// Damaged and hostile images: extract.erofs must stop with one error line and a non-zero exit
// code, never crash, and never write outside its output folder.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "erofs_image.h"
#include "erofs_test_util.h"
#include "erofs_walk.h"

namespace orvex::test::erofs {
namespace {

namespace er = orvex::erofs;

void Put16(std::string& b, uint64_t off, uint16_t v) {
  b[off] = static_cast<char>(v);
  b[off + 1] = static_cast<char>(v >> 8);
}
void Put32(std::string& b, uint64_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[off + i] = static_cast<char>(v >> (8 * i));
}
void Put64(std::string& b, uint64_t off, uint64_t v) {
  for (int i = 0; i < 8; ++i) b[off + i] = static_cast<char>(v >> (8 * i));
}

// Keeps the superblock checksum valid so that damage further in reaches the parsers.
void FixChecksum(std::string& b) {
  uint32_t compat;
  std::memcpy(&compat, b.data() + 1032, 4);
  const uint8_t bits = static_cast<uint8_t>(b[1036]);
  if (!(compat & 1) || bits < 9 || bits > 16) return;
  const uint32_t bs = 1u << bits;
  const size_t len = bs > 1024 ? bs - 1024 : bs;
  std::string area = b.substr(1024, len);
  std::memset(area.data() + 4, 0, 4);
  Put32(b, 1028, er::Crc32c(0xFFFFFFFFu, area.data(), area.size()));
}

struct Dirent {
  std::string name;
  uint64_t nid;
  uint64_t dirent_pos;  // in the image
  uint64_t name_pos;
};

// An image built from a small tree, with the means to find its structures.
class Hostile : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveProgram("mkfs.erofs")) GTEST_SKIP() << "mkfs.erofs not installed";
    const fs::path src = work_ / "src";
    fs::create_directories(src / "dir/sub");
    WriteFile(src / "dir/file", std::string(10000, 'a'));
    WriteFile(src / "dir/sub/deep", "deep");
    WriteFile(src / "big", std::string(300000, 'b') + std::string(300000, 'c'));
    fs::create_symlink("/", src / "alink");
    MakeImage(src, work_ / "clean.img", "-zlz4hc -T1");
    clean_ = ReadFile(work_ / "clean.img");
    src_ = std::make_shared<er::MemorySource>(clean_.data(), clean_.size());
    img_ = std::make_unique<er::Image>(src_);
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

  // Dirents of an uncompressed single-block directory, with their places in the image.
  std::vector<Dirent> Dirents(const std::string& path) {
    const er::Inode dir = Lookup(path);
    uint64_t base = 0;
    img_->ForEachExtent(dir, [&](const er::Extent& e) {
      base = e.pa;
      return false;
    });
    std::vector<Dirent> out;
    auto u16 = [&](uint64_t o) { return static_cast<uint16_t>(static_cast<uint8_t>(clean_[o]) | (static_cast<uint8_t>(clean_[o + 1]) << 8)); };
    const unsigned count = u16(base + 8) / 12;
    for (unsigned i = 0; i < count; ++i) {
      Dirent d;
      d.dirent_pos = base + i * 12;
      std::memcpy(&d.nid, clean_.data() + d.dirent_pos, 8);
      d.name_pos = base + u16(d.dirent_pos + 8);
      const uint64_t end = i + 1 < count ? base + u16(d.dirent_pos + 20) : base + dir.size;
      d.name = clean_.substr(d.name_pos, end - d.name_pos);
      while (!d.name.empty() && d.name.back() == '\0') d.name.pop_back();
      out.push_back(d);
    }
    return out;
  }

  Dirent Find(const std::string& dir, const std::string& name) {
    for (const auto& d : Dirents(dir))
      if (d.name == name) return d;
    throw std::runtime_error("no dirent " + name);
  }

  // Writes the damaged bytes as an image and runs the tool on it from a fresh folder.
  ToolRun RunOn(const std::string& bytes) {
    const fs::path dir = work_ / ("case" + std::to_string(++cases_));
    fs::create_directories(dir);
    WriteFile(dir / "system.img", bytes);
    ToolRun r = RunExtract(dir / "system.img");
    if (std::getenv("EROFS_TEST_VERBOSE")) std::printf("case %d: exit %d\n%s", cases_, r.exit_code, r.err.c_str());
    return r;
  }

  void ExpectOneError(const ToolRun& r, const std::string& fragment) {
    EXPECT_EQ(r.exit_code, 1) << r.err;
    const auto lines = r.ErrorLines();
    ASSERT_EQ(lines.size(), 1u) << r.err;
    EXPECT_NE(lines[0].find(fragment), std::string::npos) << lines[0];
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
  }

  TempDir work_;
  std::string clean_;
  std::shared_ptr<er::MemorySource> src_;
  std::unique_ptr<er::Image> img_;
  int cases_ = 0;
};

TEST_F(Hostile, CleanImageExtracts) {
  ToolRun r = RunOn(clean_);
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST_F(Hostile, TruncatedImages) {
  for (size_t len : {size_t{0}, size_t{100}, size_t{1100}, size_t{4096}, clean_.size() / 2, clean_.size() - 1}) {
    SCOPED_TRACE(len);
    ToolRun r = RunOn(clean_.substr(0, len));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.ErrorLines().size(), 1u) << r.err;
  }
  ExpectOneError(RunOn(clean_.substr(0, clean_.size() / 2)), "truncated");
}

TEST_F(Hostile, DamagedSuperblock) {
  std::string zero = clean_;
  std::memset(zero.data() + 1024, 0, 128);
  ExpectOneError(RunOn(zero), "not an EROFS image");

  std::string sum = clean_;
  sum[1024 + 64] ^= 0x55;  // volume name, covered by the checksum
  ExpectOneError(RunOn(sum), "checksum");

  std::string feature = clean_;
  Put32(feature, 1024 + 80, 0x80000001u);
  FixChecksum(feature);
  ExpectOneError(RunOn(feature), "unsupported EROFS features");

  std::string block = clean_;
  block[1024 + 12] = 40;
  ExpectOneError(RunOn(block), "block size");

  std::string root = clean_;
  Put16(root, 1024 + 14, 0xFFFF);
  FixChecksum(root);
  ExpectOneError(RunOn(root), "inode");
}

TEST_F(Hostile, DamagedInodes) {
  const er::Inode file = Lookup("dir/file");
  std::string mode = clean_;
  Put16(mode, file.pos + 4, 0);  // no file type
  FixChecksum(mode);
  ExpectOneError(RunOn(mode), "invalid file type");

  std::string layout = clean_;
  Put16(layout, file.pos, static_cast<uint16_t>((7 << 1) | (file.extended ? 1 : 0)));
  FixChecksum(layout);
  ExpectOneError(RunOn(layout), "data layout");

  const er::Inode big = Lookup("big");
  ASSERT_TRUE(big.IsCompressed());
  std::string size = clean_;
  if (big.extended) Put64(size, big.pos + 8, 1ull << 60);
  else Put32(size, big.pos + 8, 0xFFFFFFFFu);
  FixChecksum(size);
  ToolRun r = RunOn(size);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.ErrorLines().size(), 1u) << r.err;

  std::string xattr = clean_;
  Put16(xattr, file.pos + 2, 0xFFFF);  // an attribute area far past the image
  FixChecksum(xattr);
  r = RunOn(xattr);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.ErrorLines().size(), 1u) << r.err;
}

TEST_F(Hostile, DamagedCompressionIndex) {
  const er::Inode big = Lookup("big");
  const uint64_t index = ((big.end() + 7) / 8) * 8;
  std::string bytes = clean_;
  for (uint64_t i = index; i < index + 64 && i < bytes.size(); ++i) bytes[i] = '\xff';
  FixChecksum(bytes);
  ToolRun r = RunOn(bytes);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.ErrorLines().size(), 1u) << r.err;
}

TEST_F(Hostile, DirectoryLoop) {
  std::string bytes = clean_;
  const Dirent sub = Find("dir", "sub");
  Put64(bytes, sub.dirent_pos, img_->sb().root_nid);
  FixChecksum(bytes);
  ExpectOneError(RunOn(bytes), "directory loop");
}

TEST_F(Hostile, DamagedDirectoryBlock) {
  std::string bytes = clean_;
  const Dirent first = Dirents("dir").front();
  Put16(bytes, first.dirent_pos + 8, 0xFFF0);
  FixChecksum(bytes);
  ExpectOneError(RunOn(bytes), "directory");
}

TEST_F(Hostile, UnsafeNamesAreLeftOut) {
  // "dir/file" becomes "dir/fi/e": it is left out, the rest is extracted, and the run still
  // fails with one error line.
  std::string bytes = clean_;
  const Dirent file = Find("dir", "file");
  bytes[file.name_pos + 2] = '/';
  FixChecksum(bytes);
  ToolRun r = RunOn(bytes);
  ExpectOneError(r, "left out");
  EXPECT_NE(r.err.find("fi/e"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("extract.erofs: warning: skipped entry \"fi/e\" in /dir: name contains '/'"), 0u) << r.err;
  const fs::path out = work_ / ("case" + std::to_string(cases_)) / "system" / "system";
  EXPECT_TRUE(fs::exists(out / "dir/sub/deep"));
  EXPECT_FALSE(fs::exists(out / "dir/fi"));
}

TEST_F(Hostile, ExtraDotDotEntryIsLeftOut) {
  // "dir/sub/deep" renamed to "..": a second ".." in that folder.
  std::string bytes = clean_;
  const Dirent deep = Find("dir/sub", "deep");
  bytes.replace(deep.name_pos, 4, std::string("..\0\0", 4));
  FixChecksum(bytes);
  ToolRun r = RunOn(bytes);
  ExpectOneError(r, "left out");
  EXPECT_NE(r.err.find("name is a dot entry"), std::string::npos) << r.err;
  const fs::path out = work_ / ("case" + std::to_string(cases_)) / "system" / "system";
  EXPECT_TRUE(fs::is_empty(out / "dir/sub"));
  EXPECT_TRUE(fs::exists(out / "dir/file"));
}

TEST_F(Hostile, SingleLinkFileMetTwiceIsWrittenOnce) {
  // "dir/sub/deep" made to point at the big file, whose inode says it has one link.
  std::string bytes = clean_;
  Put64(bytes, Find("dir/sub", "deep").dirent_pos, Find("", "big").nid);
  FixChecksum(bytes);
  ToolRun r = RunOn(bytes);
  ExpectOneError(r, "left out");
  EXPECT_NE(r.err.find("refers to a file met before"), std::string::npos) << r.err;
  const fs::path out = work_ / ("case" + std::to_string(cases_)) / "system" / "system";
  EXPECT_TRUE(fs::exists(out / "big"));
  EXPECT_FALSE(fs::exists(out / "dir/sub/deep"));
}

TEST_F(Hostile, DuplicateNameCannotWriteThroughALink) {
  // A link "laa" to a folder outside, then a folder renamed to "laa" holding a file: the file
  // must not land outside.
  const fs::path src = work_ / "src2";
  fs::create_directories(src / "lbb");
  fs::create_directories(work_ / "outside");
  WriteFile(src / "lbb/payload", "payload");
  fs::create_symlink(work_ / "outside", src / "laa");
  MakeImage(src, work_ / "dup.img", "-T1");
  clean_ = ReadFile(work_ / "dup.img");
  src_ = std::make_shared<er::MemorySource>(clean_.data(), clean_.size());
  img_ = std::make_unique<er::Image>(src_);
  std::string bytes = clean_;
  bytes.replace(Find("", "lbb").name_pos, 3, "laa");
  FixChecksum(bytes);
  ToolRun r = RunOn(bytes);
  ExpectOneError(r, "left out");
  EXPECT_NE(r.err.find("appears twice"), std::string::npos) << r.err;
  EXPECT_TRUE(fs::is_empty(work_ / "outside"));
  const fs::path out = work_ / ("case" + std::to_string(cases_)) / "system" / "system";
  EXPECT_TRUE(fs::is_symlink(out / "laa"));
}

TEST_F(Hostile, RandomDamageNeverCrashesTheReader) {
  // In-process: many damaged copies walked completely; only orvex::erofs::Error may come out.
  std::mt19937 rng(1234);
  const size_t meta_end = std::min<size_t>(clean_.size(), 64 * 1024);
  int errors = 0;
  for (int round = 0; round < 1500; ++round) {
    std::string bytes = clean_;
    const int flips = 1 + static_cast<int>(rng() % 8);
    for (int k = 0; k < flips; ++k) bytes[1024 + rng() % (meta_end - 1024)] = static_cast<char>(rng());
    if (round % 2) FixChecksum(bytes);
    try {
      auto src = std::make_shared<er::MemorySource>(bytes.data(), bytes.size());
      er::Image img(src);
      struct V : er::WalkVisitor {
        const er::Image& img;
        explicit V(const er::Image& i) : img(i) {}
        void Visit(const er::WalkEntry& e) override {
          img.ReadXattrs(e.inode);
          if (e.inode.type == er::FileType::kSymlink) img.ReadSymlink(e.inode);
          if (e.inode.type == er::FileType::kRegular) img.ReadData(e.inode, [](uint64_t, const uint8_t*, size_t) {});
        }
      } v(img);
      er::WalkTree(img, v);
    } catch (const er::Error&) {
      ++errors;
    }
  }
  EXPECT_GT(errors, 0);  // the damage was noticed at least sometimes
  // And a few through the tool: one error line or success, never a signal.
  for (int round = 0; round < 20; ++round) {
    std::string bytes = clean_;
    for (int k = 0; k < 6; ++k) bytes[1024 + rng() % (meta_end - 1024)] = static_cast<char>(rng());
    FixChecksum(bytes);
    ToolRun r = RunOn(bytes);
    EXPECT_TRUE(r.exit_code == 0 || r.exit_code == 1) << r.exit_code << r.err;
    EXPECT_LE(r.ErrorLines().size(), 1u) << r.err;
  }
}

}  // namespace
}  // namespace orvex::test::erofs
