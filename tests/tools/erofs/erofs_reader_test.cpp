// The EROFS reader library on images made by the installed mkfs.erofs, and the text helpers of
// extract.erofs.
#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <set>

#include "config_files.h"
#include "erofs_image.h"
#include "erofs_test_util.h"
#include "erofs_walk.h"

namespace orvex::test::erofs {
namespace {

namespace er = orvex::erofs;
namespace ex = orvex::extract_erofs;

std::shared_ptr<er::Image> Open(const fs::path& p, size_t cache_pages = 512) {
  auto src = std::shared_ptr<const er::Source>(er::FileSource::Open(p.string()).release());
  return std::make_shared<er::Image>(src, cache_pages);
}

// Every file's content and attributes, read through the library.
struct Reader : er::WalkVisitor {
  const er::Image& img;
  std::map<std::string, std::string> content;
  std::map<std::string, std::vector<er::Xattr>> xattrs;
  std::map<std::string, er::Inode> inodes;
  std::map<std::string, std::vector<er::Extent>> extents;
  explicit Reader(const er::Image& i) : img(i) {}
  void Visit(const er::WalkEntry& e) override {
    inodes[e.path] = e.inode;
    xattrs[e.path] = img.ReadXattrs(e.inode);
    if (e.inode.type == er::FileType::kRegular) {
      std::string data;
      img.ReadData(e.inode, [&](uint64_t off, const uint8_t* p, size_t n) {
        EXPECT_EQ(off, data.size());
        if (p) data.append(reinterpret_cast<const char*>(p), n);
        else data.append(n, '\0');
      });
      content[e.path] = data;
      img.ForEachExtent(e.inode, [&](const er::Extent& x) {
        extents[e.path].push_back(x);
        return true;
      });
    }
  }
};

class ReaderOnImages : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<TempDir>();
    MakeSourceTree(dir_->path() / "tree", IsRoot());
  }
  static void TearDownTestSuite() { dir_.reset(); }
  void SetUp() override {
    if (!HaveProgram("mkfs.erofs")) GTEST_SKIP() << "mkfs.erofs not installed";
  }
  static fs::path Tree() { return dir_->path() / "tree"; }
  std::unique_ptr<Reader> ReadAll(const std::string& options, size_t cache_pages = 512) {
    const fs::path img = work_ / "t.img";
    MakeImage(Tree(), img, options);
    image_ = Open(img, cache_pages);
    auto r = std::make_unique<Reader>(*image_);
    er::WalkTree(*image_, *r);
    for (const auto& [path, data] : r->content)
      EXPECT_EQ(DigestOf(data), DigestOf(ReadFile(Tree() / path))) << options << ": " << path;
    return r;
  }
  static std::unique_ptr<TempDir> dir_;
  TempDir work_;
  std::shared_ptr<er::Image> image_;
};
std::unique_ptr<TempDir> ReaderOnImages::dir_;

TEST_F(ReaderOnImages, SuperblockFields) {
  MakeImage(Tree(), work_ / "s.img", "-zlz4hc -T1650000000 -U12345678-9abc-def0-1234-56789abcdef0");
  auto img = Open(work_ / "s.img");
  EXPECT_EQ(img->sb().block_size, 4096u);
  EXPECT_EQ(img->sb().build_time, 1650000000u);
  EXPECT_EQ(img->sb().UuidText(), "12345678-9abc-def0-1234-56789abcdef0");
  EXPECT_TRUE(img->sb().HasChecksum());
  EXPECT_EQ(img->sb().FeatureNames(), "sb_csum mtime lz4_0padding");
  EXPECT_EQ(uint64_t{img->sb().blocks} * 4096, img->image_size());
}

TEST_F(ReaderOnImages, CompressedLayoutsAreExercised) {
  // Each mkfs.erofs option set must really produce the structure its reader path handles.
  auto big = ReadAll("-zlz4hc -C65536");
  bool saw_big = false;
  for (const auto& [p, xs] : big->extents)
    for (const auto& x : xs) saw_big |= x.big_pcluster && x.kind == er::ExtentKind::kCompressed;
  EXPECT_TRUE(saw_big);

  auto tail = ReadAll("-zlz4hc -Eztailpacking");
  bool saw_inline_compressed = false;
  for (const auto& [p, xs] : tail->extents)
    for (const auto& x : xs) saw_inline_compressed |= x.inline_data && x.kind == er::ExtentKind::kCompressed;
  EXPECT_TRUE(saw_inline_compressed);

  auto legacy = ReadAll("-zlz4 -Elegacy-compress");
  EXPECT_EQ(legacy->inodes.at("etc/init/big.bin").layout, er::kLayoutCompressedFull);
  EXPECT_FALSE(image_->sb().feature_incompat & er::kIncompatZeroPadding);

  auto compact = ReadAll("-zlz4");
  EXPECT_EQ(compact->inodes.at("etc/init/big.bin").layout, er::kLayoutCompressedCompact);
  // Noise does not compress: such clusters are stored raw inside a compressed file.
  bool saw_raw = false;
  for (const auto& x : compact->extents.at("etc/init/noise.bin")) saw_raw |= x.kind == er::ExtentKind::kRaw;
  EXPECT_TRUE(saw_raw);
}

TEST_F(ReaderOnImages, FlatAndChunkLayouts) {
  auto flat = ReadAll("-T1");
  EXPECT_EQ(flat->inodes.at("etc/text_5000").layout, er::kLayoutFlatInline);
  EXPECT_EQ(flat->extents.at("etc/text_5000").size(), 2u);
  EXPECT_TRUE(flat->extents.at("etc/text_5000").back().inline_data);
  auto plain = ReadAll("-Enoinline_data");
  EXPECT_EQ(plain->inodes.at("etc/text_5000").layout, er::kLayoutFlatPlain);
  auto chunks = ReadAll("--chunksize=8192");
  EXPECT_EQ(chunks->inodes.at("etc/init/big.bin").layout, er::kLayoutChunkBased);
  EXPECT_EQ(chunks->extents.at("etc/init/big.bin").front().llen, 8192u);
  auto indexed = ReadAll("--chunksize=65536 -Eforce-chunk-indexes");
  EXPECT_TRUE(indexed->inodes.at("etc/init/big.bin").raw_u & 0x20);
}

TEST_F(ReaderOnImages, LargeFlatFileStreamsInPieces) {
  // One extent larger than anything decoded in memory: streamed in bounded pieces.
  TempDir t;
  fs::create_directories(t / "src");
  RunCommand("truncate -s 70M " + ShQuote((t / "src/big").string()));
  WriteFile(t / "src/tail", "end");
  MakeImage(t / "src", t / "big.img", "-T1");
  auto img = Open(t / "big.img");
  Reader r(*img);
  er::WalkTree(*img, r);
  ASSERT_EQ(r.content.at("big").size(), 70u << 20);
  EXPECT_EQ(r.content.at("big").find_first_not_of('\0'), std::string::npos);
  ASSERT_EQ(r.extents.at("big").size(), 1u);
  EXPECT_GT(r.extents.at("big")[0].llen, er::Image::kMaxExtentBytes);
}

TEST_F(ReaderOnImages, TinyCacheReadsTheSame) {
  auto r = ReadAll("-zlz4hc -Eztailpacking", 1);
  EXPECT_EQ(r->content.size(), ReadAll("-zlz4hc -Eztailpacking", 512)->content.size());
}

TEST_F(ReaderOnImages, InodeFieldsAndAttributes) {
  auto r = ReadAll("-zlz4");
  EXPECT_EQ(r->inodes.at("tmp").Permissions(), 01777u);
  EXPECT_EQ(r->inodes.at("etc/hosts").nlink, 3u);
  EXPECT_EQ(r->inodes.at("etc/hosts").nid, r->inodes.at("bin/hosts.again").nid);
  EXPECT_EQ(image_->ReadSymlink(r->inodes.at("etc/long_link")), std::string(150, 'x') + "/" + std::string(150, 'y') + "/target");
  EXPECT_EQ(image_->ReadPrefix(r->inodes.at("etc/text_5000"), 10), ReadFile(Tree() / "etc/text_5000").substr(0, 10));
  if (!IsRoot()) GTEST_SKIP() << "owners, devices and security attributes need root";
  const er::Inode priv = r->inodes.at("private");
  EXPECT_TRUE(priv.extended);  // uid 70000 does not fit a compact inode
  EXPECT_EQ(priv.uid, 70000u);
  EXPECT_EQ(priv.gid, 70001u);
  const er::Inode loop = r->inodes.at("etc/loop");
  EXPECT_EQ(loop.type, er::FileType::kBlockDevice);
  EXPECT_EQ(loop.RdevMajor(), 7u);
  EXPECT_EQ(loop.RdevMinor(), 300u);
  // Attributes read back exactly as set on the tree (shared and inline ones alike).
  std::map<std::string, std::string> sh;
  for (const auto& x : r->xattrs.at("bin/sh")) sh[x.name] = x.value;
  EXPECT_EQ(sh["security.selinux"], "u:object_r:vendor_shell_exec:s0");
  EXPECT_EQ(ex::DecodeCapabilities(sh["security.capability"]).value_or(0), 0x4000802000ull);
  std::set<std::string> hosts;
  for (const auto& x : r->xattrs.at("etc/hosts")) hosts.insert(x.name + "=" + x.value);
  EXPECT_TRUE(hosts.count("user.note=hello"));
  EXPECT_EQ(r->xattrs.at("etc/text_5000").size(), 1u);
  EXPECT_EQ(r->xattrs.at("etc/text_5000").at(0).name, "security.selinux");
  EXPECT_EQ(r->xattrs.at("etc/text_5000").at(0).value, "u:object_r:vendor_file:s0");
  EXPECT_TRUE(r->xattrs.at("etc/empty").empty());
}

TEST(ErofsChecksum, Crc32cCheckValue) {
  // EROFS's variant: initial value ~0 and no final inversion.
  EXPECT_EQ(er::Crc32c(0xFFFFFFFFu, "123456789", 9), 0x1CF96D7Cu);
}

TEST(ErofsWalk, NamesThatCouldEscape) {
  std::string why;
  EXPECT_TRUE(er::IsSafeName("libc++.so", &why));
  EXPECT_FALSE(er::IsSafeName("", &why));
  EXPECT_FALSE(er::IsSafeName("..", &why));
  EXPECT_FALSE(er::IsSafeName(".", &why));
  EXPECT_FALSE(er::IsSafeName("a/b", &why));
  EXPECT_EQ(why, "name contains '/'");
  EXPECT_FALSE(er::IsSafeName(std::string("a\0b", 3), &why));
}

// ---- the text of the config files ------------------------------------------------------------

TEST(ConfigText, CapabilitiesFromEveryRevision) {
  // Revision 2 as setcap writes it: cap_net_raw, cap_sys_nice and cap_perfmon (bit 38).
  const std::string v2("\x01\x00\x00\x02\x00\x20\x80\x00\x00\x00\x00\x00\x40\x00\x00\x00\x00\x00\x00\x00", 20);
  EXPECT_EQ(ex::DecodeCapabilities(v2), 0x4000802000ull);
  const std::string v3 = v2.substr(0, 3) + "\x03" + v2.substr(4) + std::string(4, '\0');
  EXPECT_EQ(ex::DecodeCapabilities(v3), 0x4000802000ull);
  const std::string v1("\x00\x00\x00\x01\x00\x10\x00\x00\x00\x00\x00\x00", 12);
  EXPECT_EQ(ex::DecodeCapabilities(v1), 0x1000ull);
  EXPECT_FALSE(ex::DecodeCapabilities(v2.substr(0, 10)).has_value());
  EXPECT_FALSE(ex::DecodeCapabilities(std::string("\x01\x00\x00\x07", 4) + std::string(16, '\0')).has_value());
}

TEST(ConfigText, AttributeLines) {
  EXPECT_EQ(ex::FsConfigLine("system/bin/sh", 0, 2000, 0755, 0), "system/bin/sh 0 2000 0755");
  EXPECT_EQ(ex::FsConfigLine("system", 0, 0, 040755 & 07777, 0), "system 0 0 0755");
  EXPECT_EQ(ex::FsConfigLine("system/bin/su", 0, 2000, 06755, 0xc0), "system/bin/su 0 2000 6755 capabilities=0xc0");
}

TEST(ConfigText, ContextPathsAreEscaped) {
  EXPECT_EQ(ex::EscapeContextPath("/system/lib64/libc++.so"), "/system/lib64/libc\\+\\+\\.so");
  EXPECT_EQ(ex::EscapeContextPath("/a.^$*+?()[]{}|\\b"), "/a\\.\\^\\$\\*\\+\\?\\(\\)\\[\\]\\{\\}\\|\\\\b");
  EXPECT_EQ(ex::EscapeContextPath("/Some App/x"), "/Some\\x20App/x");
  EXPECT_EQ(ex::EscapeContextPath("/app/\xd0\x94.apk"), "/app/\\xd0\\x94\\.apk");
  EXPECT_EQ(ex::CleanContext(std::string("u:object_r:system_file:s0\0", 26)), "u:object_r:system_file:s0");
  EXPECT_EQ(ex::CleanContext("u:object_r:bad\nline:s0"), "");
  EXPECT_EQ(ex::RuntimePath("/system", ""), "/system");
  EXPECT_EQ(ex::RuntimePath("/system", "bin/sh"), "/system/bin/sh");
  EXPECT_EQ(ex::RuntimePath("/", "bin/sh"), "/bin/sh");
  EXPECT_EQ(ex::RuntimePath("/", ""), "/");
}

TEST(ConfigText, OptionQuotingSurvivesTheShell) {
  for (const std::string name : {"system/system", "my dir/a b", "we'ird", "$(touch x)/`id`", "back\\slash\"q"}) {
    const std::string quoted = ex::QuoteForOptions(name);
    auto r = RunCommand("printf '%s' " + quoted);
    EXPECT_EQ(r.output, name) << quoted;
  }
  EXPECT_EQ(ex::QuoteForOptions("vendor/config/vendor_file_contexts"), "\"vendor/config/vendor_file_contexts\"");
}

}  // namespace
}  // namespace orvex::test::erofs
