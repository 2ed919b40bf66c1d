// imgextractor against images made by mke2fs -d, img2simg and hand-damaged images.
#include <gtest/gtest.h>

#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <regex>

#include "ext4_test_util.h"

namespace {

using namespace orvex::test;
using namespace orvex::test::ext4;

class Imgextractor : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Prog("mke2fs").empty()) GTEST_SKIP() << "mke2fs not installed";
    if (!IsRoot()) std::cerr << "note: not root: owners, capabilities and labels are not checked\n";
    MakeTree(tree());
  }
  fs::path tree() const { return t_ / "tree"; }
  // Extracts image into dir/out the way the unpack job does: from the image's folder.
  CommandResult Extract(const fs::path& image, const std::string& outdir) {
    return Sh("cd " + ShQuote(image.parent_path().string()) + " && " + Tool("imgextractor") + " " +
              ShQuote(image.filename().string()) + " " + ShQuote(outdir));
  }
  TempDir t_;
};

// Every feature set mke2fs can give an Android image extracts to the same tree and config lines.
struct FeatureCase {
  const char* name;
  const char* options;
  // mke2fs 1.47 -d with inline_data records a file that ends in a hole with the size of its last
  // data block; such images get a tree without a trailing hole.
  bool trailing_hole = true;
};

class ImgextractorFeatures : public Imgextractor,
                             public ::testing::WithParamInterface<FeatureCase> {};

TEST_P(ImgextractorFeatures, ExtractsTheSourceTreeAndItsAttributes) {
  const fs::path img = t_ / "system.img";
  if (!GetParam().trailing_hole) {
    ASSERT_EQ(truncate((tree() / "data/holey").c_str(), (2 << 20) + 4096), 0);
  }
  MakeImage(tree(), img, GetParam().options);
  auto r = Extract(img, "system");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const fs::path out = t_ / "system";
  EXPECT_EQ(CompareTrees(tree(), out / "system", {IsRoot(), true}), std::vector<std::string>{});
  // Hard links stay hard links.
  struct stat a, b;
  ASSERT_EQ(stat((out / "system/bin/ls").c_str(), &a), 0);
  ASSERT_EQ(stat((out / "system/bin/toybox").c_str(), &b), 0);
  EXPECT_EQ(a.st_ino, b.st_ino);
  // Holes stay holes.
  struct stat h;
  ASSERT_EQ(stat((out / "system/data/holey").c_str(), &h), 0);
  EXPECT_EQ(h.st_size, static_cast<off_t>(fs::file_size(tree() / "data/holey")));
  EXPECT_LT(h.st_blocks * 512, 1 << 20);

  auto cfg = FsConfigByPath(out / "config/system_fs_config.txt");
  EXPECT_EQ(cfg["system"], "0 0 0755");
  EXPECT_EQ(cfg["system/xbin/su"].substr(cfg["system/xbin/su"].size() - 4), "4750");
  EXPECT_EQ(cfg["system/bin/cat"].substr(cfg["system/bin/cat"].size() - 4), "0777");
  EXPECT_TRUE(cfg.count("system/lost+found"));
  EXPECT_TRUE(cfg.count("system/sp ace.txt"));
  EXPECT_TRUE(cfg.count("system/" + std::string(255, 'n')));
  EXPECT_TRUE(cfg.count("system/deep/a/b/c/d/e/f/g/leaf"));
  // One line per path of the tree, plus the root and lost+found.
  size_t entries = 0;
  for (auto it = fs::recursive_directory_iterator(tree()); it != fs::recursive_directory_iterator(); ++it)
    ++entries;
  EXPECT_EQ(cfg.size(), entries + 2);
  if (IsRoot()) {
    EXPECT_EQ(cfg["system/bin/sh"], "0 2000 0755 capabilities=0x202000");
    EXPECT_EQ(cfg["system/empty"], "1000 1001 0600");
    EXPECT_EQ(cfg["system/etc/init/rc.conf"], "1000 1000 0640");
    const auto contexts = Lines(out / "config/system_file_contexts.txt");
    auto has = [&](const std::string& l) {
      return std::find(contexts.begin(), contexts.end(), l) != contexts.end();
    };
    EXPECT_TRUE(has("/system u:object_r:system_file:s0"));
    EXPECT_TRUE(has("/system/bin/sh u:object_r:shell_exec:s0"));
    EXPECT_TRUE(has("/system/lib64/libc\\+\\+\\.so u:object_r:system_lib_file:s0"));
    EXPECT_TRUE(has("/system/etc/init/rc\\.conf u:object_r:init_conf:s0"));
    EXPECT_TRUE(has("/system/non\\xff\\xfeutf8\\.bin u:object_r:odd_file:s0"));
    // Nine labelled paths, and bin/ls shares toybox's inode and so its label.
    EXPECT_TRUE(has("/system/bin/ls u:object_r:toolbox_exec:s0"));
    EXPECT_EQ(contexts.size(), 10u);
    EXPECT_EQ(XattrOf(out / "system/bin/sh", "security.selinux"), "u:object_r:shell_exec:s0");
    EXPECT_NE(Sh("getcap " + ShQuote((out / "system/bin/sh").string())).output.find("cap_net_raw"),
              std::string::npos);
    struct stat d;
    ASSERT_EQ(lstat((out / "system/block").c_str(), &d), 0);
    EXPECT_TRUE(S_ISBLK(d.st_mode));
    EXPECT_EQ(major(d.st_rdev), 259u);
    EXPECT_EQ(minor(d.st_rdev), 300u);
  }
  auto opts = KeyValues(out / "config/system_fs_options.txt");
  EXPECT_EQ(opts["FolderName"], "system");
  EXPECT_EQ(opts["Size"], std::to_string(fs::file_size(img)));
  EXPECT_EQ(opts["Label"], "system");
  EXPECT_EQ(opts["Mount point"], "/system");
  // The options file is written with CR LF and starts with the two keys the jobs read.
  const std::string raw = ReadFile(out / "config/system_fs_options.txt");
  EXPECT_EQ(raw.rfind("Size: ", 0), 0u);
  EXPECT_NE(raw.find("\r\nFolderName: system\r\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Mke2fs, ImgextractorFeatures,
    ::testing::Values(FeatureCase{"journal", "-O ^metadata_csum,^64bit"},
                      FeatureCase{"no_journal", "-O ^has_journal"},
                      FeatureCase{"csum_64bit", "-O metadata_csum,64bit"},
                      FeatureCase{"inline_data", "-O inline_data -I 256", false},
                      FeatureCase{"block_1k_no_extents", "-b 1024 -O ^extent,^flex_bg,^huge_file,^64bit"},
                      FeatureCase{"bigger_inodes_2k", "-b 2048 -I 1024"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Imgextractor, ReadsSparseImagesDirectly) {
  if (Prog("img2simg").empty()) GTEST_SKIP() << "img2simg not installed";
  MakeImage(tree(), t_ / "raw.img", "");
  ASSERT_EQ(Sh("img2simg " + ShQuote((t_ / "raw.img").string()) + " " +
               ShQuote((t_ / "vendor.img").string()))
                .exit_code,
            0);
  auto a = Extract(t_ / "raw.img", "a");
  auto b = Extract(t_ / "vendor.img", "b");
  ASSERT_EQ(a.exit_code, 0) << a.output;
  ASSERT_EQ(b.exit_code, 0) << b.output;
  EXPECT_EQ(CompareTrees(t_ / "a/system", t_ / "b/system", {IsRoot(), true}, {}),
            std::vector<std::string>{});
  EXPECT_EQ(ReadFile(t_ / "a/config/raw_fs_config.txt"), ReadFile(t_ / "b/config/vendor_fs_config.txt"));
  EXPECT_EQ(KeyValues(t_ / "b/config/vendor_fs_options.txt")["Size"],
            std::to_string(fs::file_size(t_ / "raw.img")));
}

TEST_F(Imgextractor, FolderNameFallsBackToLabelThenImageName) {
  MakeImage(tree(), t_ / "one.img", "-M / -L product");
  MakeImage(tree(), t_ / "two.img", "-M / -L ''");
  ASSERT_EQ(Extract(t_ / "one.img", "o1").exit_code, 0);
  ASSERT_EQ(Extract(t_ / "two.img", "o2").exit_code, 0);
  EXPECT_TRUE(fs::is_directory(t_ / "o1/product/bin"));
  EXPECT_EQ(KeyValues(t_ / "o1/config/one_fs_options.txt")["FolderName"], "product");
  EXPECT_EQ(FsConfigByPath(t_ / "o1/config/one_fs_config.txt")["product"], "0 0 0755");
  EXPECT_TRUE(fs::is_directory(t_ / "o2/two/bin"));
  EXPECT_EQ(KeyValues(t_ / "o2/config/two_fs_options.txt")["FolderName"], "two");
}

// The information mode exactly as the unpack job starts it: -s after the image and after the
// shell's redirection.
TEST_F(Imgextractor, InfoModeAgreesWithDumpe2fs) {
  const std::string dumpe2fs = Prog("dumpe2fs");
  if (dumpe2fs.empty()) GTEST_SKIP() << "dumpe2fs not installed";
  struct Case {
    const char* options;
    const char* compat;
  } cases[] = {{"-O ^metadata_csum", "HAS_JOURNAL EXT_ATTR RESIZE_INODE DIR_INDEX"},
               {"-O ^has_journal", "EXT_ATTR RESIZE_INODE DIR_INDEX"},
               {"-O ^has_journal,^resize_inode,sparse_super2", "EXT_ATTR DIR_INDEX SPARSE_SUPER2"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    fs::remove_all(t_ / "system");
    fs::create_directories(t_ / "system/config");
    MakeImage(tree(), t_ / "system.img", c.options);
    auto r = Sh("cd " + ShQuote(t_.str()) + " && " + Tool("imgextractor_") +
                " \"system.img\" >\"system/config/system_info.txt\" -s");
    ASSERT_EQ(r.exit_code, 0) << r.output;
    const fs::path info = t_ / "system/config/system_info.txt";
    EXPECT_EQ(Lines(info).at(0), "EXT4 superblock info:");
    auto ours = KeyValues(info);
    EXPECT_EQ(ours["FS compatible features"], c.compat);
    auto theirs = Sh(dumpe2fs + " -h " + ShQuote((t_ / "system.img").string()) + " 2>/dev/null");
    WriteFile(t_ / "dumpe2fs.txt", theirs.output);
    auto ref = KeyValues(t_ / "dumpe2fs.txt");
    for (const char* key : {"Filesystem volume name", "Last mounted on", "Filesystem UUID",
                            "Inode count", "Block count", "Free blocks", "Free inodes",
                            "Block size", "Inodes per group", "Inode size", "First block"}) {
      EXPECT_EQ(ours[key], ref[key]) << key;
    }
    // Every feature dumpe2fs lists appears among ours under its upper-case name.
    std::string all = ours["FS compatible features"] + " " + ours["FS incompatible features"] +
                      " " + ours["FS read-only compatible features"];
    std::istringstream features(ref["Filesystem features"]);
    for (std::string f; features >> f;) {
      if (f == "extent") f = "extents";
      if (f == "needs_recovery") f = "recover";
      std::transform(f.begin(), f.end(), f.begin(), ::toupper);
      EXPECT_NE((" " + all + " ").find(" " + f + " "), std::string::npos) << f;
    }
  }
}

TEST_F(Imgextractor, ReadsImagesWithReadOnlyFeatures) {
  const std::string debugfs = Prog("debugfs");
  if (debugfs.empty()) GTEST_SKIP() << "debugfs not installed";
  MakeImage(tree(), t_ / "shared.img", "-O ^has_journal");
  // Android's deduplicated images carry shared_blocks; an unknown read-only bit must not stop a
  // read-only tool either.
  ASSERT_EQ(Sh(debugfs + " -w -R 'feature shared_blocks' " + ShQuote((t_ / "shared.img").string())).exit_code, 0);
  auto r = Extract(t_ / "shared.img", "s");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(Sh(Tool("imgextractor") + " " + ShQuote((t_ / "shared.img").string()) + " -s")
                .output.find("SHARED_BLOCKS"),
            std::string::npos);
  // filetype, extents and flex_bg, plus bit 28 that no ext4 version defines.
  MakeImage(tree(), t_ / "unknown.img", "-O ^has_journal,^64bit,^metadata_csum");
  ASSERT_EQ(Sh(debugfs + " -w -R 'ssv feature_incompat 0x10000242' " +
               ShQuote((t_ / "unknown.img").string()))
                .exit_code,
            0);
  r = Extract(t_ / "unknown.img", "u");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("imgextractor: warning:"), std::string::npos) << r.output;
  EXPECT_EQ(CompareTrees(tree(), t_ / "u/system", {IsRoot(), false}), std::vector<std::string>{});
}

TEST_F(Imgextractor, WithoutRootAppliesModesOnly) {
  if (!IsRoot() || Prog("setpriv").empty()) GTEST_SKIP() << "needs root and setpriv to drop privileges";
  MakeImage(tree(), t_ / "system.img", "");
  ASSERT_EQ(chmod(t_.path().c_str(), 0777), 0);
  ASSERT_EQ(chmod((t_ / "system.img").c_str(), 0644), 0);
  auto r = Sh("cd " + ShQuote(t_.str()) + " && setpriv --reuid=65534 --regid=65534 --clear-groups " +
              Tool("imgextractor") + " system.img out");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  struct stat st;
  // Device nodes become empty placeholder files; the attribute file still holds their mode.
  ASSERT_EQ(lstat((t_ / "out/system/null").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u);
  EXPECT_EQ(FsConfigByPath(t_ / "out/config/system_fs_config.txt")["system/null"], "0 0 0666");
  ASSERT_EQ(lstat((t_ / "out/system/xbin/su").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_mode & 07777, 04750u);
  EXPECT_EQ(XattrOf(t_ / "out/system/bin/sh", "security.selinux"), "");
  EXPECT_EQ(FsConfigByPath(t_ / "out/config/system_fs_config.txt")["system/bin/sh"],
            "0 2000 0755 capabilities=0x202000");
}

// Damaged and crafted images: a clear error line, a failing exit code, no crash, and nothing
// written outside the output folder.
class ImgextractorHostile : public Imgextractor {
 protected:
  void SetUp() override {
    Imgextractor::SetUp();
    if (IsSkipped()) return;
    debugfs_ = Prog("debugfs");
    // A small tree with names to patch in place: aXb -> a/b, zz -> .., evix -> a second "evil".
    const fs::path s = t_ / "small";
    fs::create_directories(s / "etc/deep");
    fs::create_directories(s / "evix");
    WriteFile(s / "etc/file", "x");
    WriteFile(s / "aXb", "y");
    WriteFile(s / "zz", "z");
    WriteFile(s / "evix/payload", "inner");
    MakeImage(s, base(), "-O ^metadata_csum -b 1024", "4M");
    fs::create_directories(t_ / "outside");
  }
  fs::path base() const { return t_ / "base.img"; }
  fs::path Copy(const std::string& name) {
    fs::copy_file(base(), t_ / name, fs::copy_options::overwrite_existing);
    return t_ / name;
  }
  static void Patch(const fs::path& img, const std::string& from, const std::string& to) {
    std::string d = ReadFile(img);
    size_t at = d.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    ASSERT_EQ(d.find(from, at + 1), std::string::npos) << from;
    d.replace(at, from.size(), to);
    WriteFile(img, d);
  }
  // Runs the extraction; checks exit code and error lines, and that nothing left the output.
  std::string ExpectFailure(const fs::path& img, size_t min_errors = 1) {
    const std::string out = img.stem().string() + "_out";
    auto r = Sh("cd " + ShQuote(t_.str()) + " && " + Tool("imgextractor") + " " +
                ShQuote(img.filename().string()) + " " + out);
    const std::string& err = r.output;
    EXPECT_EQ(r.exit_code, 1) << err;
    size_t errors = 0;
    for (size_t p = 0; (p = err.find("imgextractor: error: ", p)) != std::string::npos; ++p) ++errors;
    EXPECT_GE(errors, min_errors) << err;
    EXPECT_TRUE(fs::is_empty(t_ / "outside"));
    return err;
  }
  std::string debugfs_;
};

TEST_F(ImgextractorHostile, TruncatedOrGarbageImages) {
  const std::string whole = ReadFile(base());
  WriteFile(t_ / "trunc.img", whole.substr(0, whole.size() / 2));
  EXPECT_NE(ExpectFailure(t_ / "trunc.img").find("truncated"), std::string::npos);
  std::string zeroed = whole;
  std::fill(zeroed.begin() + 1024, zeroed.begin() + 2048, '\0');
  WriteFile(t_ / "zeroed.img", zeroed);
  EXPECT_NE(ExpectFailure(t_ / "zeroed.img").find("not an ext4 image"), std::string::npos);
  WriteFile(t_ / "empty.img", "");
  ExpectFailure(t_ / "empty.img");
  std::string noise(1 << 20, '\0');
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>(i * 2654435761u >> 13);
  WriteFile(t_ / "noise.img", noise);
  ExpectFailure(t_ / "noise.img");
  // A sparse header promising more than the file holds.
  std::string sparse("\x3a\xff\x26\xed\x01\x00\x00\x00\x1c\x00\x0c\x00\x00\x10\x00\x00"
                     "\x00\x10\x00\x00\x05\x00\x00\x00\x00\x00\x00\x00",
                     28);
  WriteFile(t_ / "sparse.img", sparse + std::string("\xc1\xca\x00\x00\x01\x00\x00\x00\x0c\x10\x00\x00", 12));
  ExpectFailure(t_ / "sparse.img");
  auto info = Sh(Tool("imgextractor") + " " + ShQuote((t_ / "zeroed.img").string()) + " -s");
  EXPECT_EQ(info.exit_code, 1);
}

TEST_F(ImgextractorHostile, CorruptMetadata) {
  if (debugfs_.empty()) GTEST_SKIP() << "debugfs not installed";
  auto damage = [&](const std::string& name, const std::string& request) {
    const fs::path img = Copy(name);
    EXPECT_EQ(Sh(debugfs_ + " -w -R '" + request + "' " + ShQuote(img.string())).exit_code, 0);
    return img;
  };
  ExpectFailure(damage("geometry.img", "ssv blocks_per_group 0"));
  ExpectFailure(damage("inodes.img", "ssv inodes_count 0xffffffff"));
  ExpectFailure(damage("itable.img", "set_bg 0 inode_table 0x7fffff"));
  // The root folder's extent header wiped: its entries cannot be found, which is an error, not
  // an empty tree.
  const std::string err = ExpectFailure(damage("rootmap.img", "sif <2> block[0] 0"));
  EXPECT_NE(err.find("corrupt block map"), std::string::npos) << err;
  // Allocation bitmaps are not needed to read files: a wild bitmap pointer changes nothing.
  const fs::path bitmap = damage("bitmap.img", "set_bg 0 block_bitmap 0x7fffff");
  auto r = Sh("cd " + ShQuote(t_.str()) + " && " + Tool("imgextractor") + " bitmap.img bitmap_out");
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(ReadFile(t_ / "bitmap_out/system/evix/payload"), "inner");
}

TEST_F(ImgextractorHostile, DirectoryLoopIsCutOff) {
  if (debugfs_.empty()) GTEST_SKIP() << "debugfs not installed";
  const fs::path img = Copy("loop.img");
  ASSERT_EQ(Sh(debugfs_ + " -w -R 'ln /etc /etc/deep/loop' " + ShQuote(img.string())).exit_code, 0);
  ASSERT_EQ(Sh(debugfs_ + " -w -R 'ln / /etc/root' " + ShQuote(img.string())).exit_code, 0);
  const std::string err = ExpectFailure(img, 2);
  EXPECT_NE(err.find("directory loop"), std::string::npos) << err;
  // Everything else is still extracted.
  EXPECT_EQ(ReadFile(t_ / "loop_out/system/etc/file"), "x");
}

TEST_F(ImgextractorHostile, BadNamesAreSkipped) {
  const fs::path img = Copy("names.img");
  Patch(img, "aXb", "a/b");
  Patch(img, std::string("zz\0", 3), std::string("..\0", 3));
  const std::string err = ExpectFailure(img, 2);
  EXPECT_NE(err.find("'/'"), std::string::npos);
  EXPECT_NE(err.find(". or .."), std::string::npos);
  EXPECT_FALSE(fs::exists(t_ / "names_out/system/a"));
  EXPECT_EQ(ReadFile(t_ / "names_out/system/etc/file"), "x");
  // No line of the attribute file names a path with an empty or dot component.
  for (const auto& [path, rest] : FsConfigByPath(t_ / "names_out/config/names_fs_config.txt")) {
    EXPECT_EQ(path.find("/../"), std::string::npos);
    EXPECT_NE(path.substr(path.size() - 3), "/..");
  }
}

TEST_F(ImgextractorHostile, SymlinkAndSameNamedFolderCannotRedirectWrites) {
  if (debugfs_.empty()) GTEST_SKIP() << "debugfs not installed";
  const fs::path img = Copy("evil.img");
  const std::string target = (t_ / "outside").string();
  ASSERT_EQ(Sh(debugfs_ + " -w -R 'symlink evil " + target + "' " + ShQuote(img.string())).exit_code, 0);
  // The folder "evix" (holding payload) becomes a second entry called "evil".
  Patch(img, "evix", "evil");
  const std::string err = ExpectFailure(img);
  EXPECT_NE(err.find("evil"), std::string::npos);
}

TEST_F(ImgextractorHostile, AbsurdSizesAreRefused) {
  if (debugfs_.empty()) GTEST_SKIP() << "debugfs not installed";
  const fs::path img = Copy("huge.img");
  ASSERT_EQ(Sh(debugfs_ + " -w -R 'sif /etc/file size 0xFFFFFFFFFFFF' " + ShQuote(img.string())).exit_code, 0);
  const std::string err = ExpectFailure(img);
  EXPECT_NE(err.find("impossible file size"), std::string::npos) << err;
  const fs::path img2 = Copy("blocks.img");
  // An extent that points past the end of the file system.
  ASSERT_EQ(Sh(debugfs_ + " -w -R 'sif /etc/file block[5] 0x7fffffff' " + ShQuote(img2.string())).exit_code, 0);
  ExpectFailure(img2);
}

}  // namespace

TEST_F(ImgextractorHostile, DamagedDirectoryBlockIsAnErrorButTheRestComesOut) {
  const std::string debugfs = Prog("debugfs");
  if (debugfs.empty()) GTEST_SKIP() << "debugfs not installed";
  const fs::path tree = t_ / "many";
  for (int i = 0; i < 500; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "f%03d", i);
    WriteFile(tree / "dir" / name, name);
  }
  const fs::path img = t_ / "many.img";
  MakeImage(tree, img, "-O metadata_csum,^dir_index -b 1024", "8M");
  // The folder's second block: one name changed by a letter keeps the block's layout, so only
  // its checksum tells.
  auto blocks = Sh(debugfs + " -R 'blocks /dir' " + ShQuote(img.string()) + " 2>/dev/null");
  ASSERT_EQ(blocks.exit_code, 0);
  // The block list is the line after debugfs's banner.
  std::istringstream in(blocks.output.substr(blocks.output.find('\n') + 1));
  uint64_t first = 0, second = 0;
  ASSERT_TRUE(in >> first >> second) << blocks.output;
  std::string d = ReadFile(img);
  const size_t start = second * 1024;
  const size_t at = d.find("f", start + 12);
  ASSERT_LT(at, start + 1024);
  d[at] = 'g';
  WriteFile(img, d);

  const std::string err = ExpectFailure(img);
  EXPECT_NE(err.find("system/dir: damaged directory"), std::string::npos) << err;
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(t_ / "many_out/system/dir")) files += e.is_regular_file();
  EXPECT_EQ(files, 500u);  // every entry still readable came out
}

TEST_F(Imgextractor, RefusesWhenTheOutputHasNoRoomForTheFiles) {
  const fs::path mnt = t_ / "small_fs";
  fs::create_directories(mnt);
  if (Sh("mount -t tmpfs -o size=1m tmpfs " + ShQuote(mnt.string())).exit_code != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs here";
  const fs::path tree = t_ / "big";
  WriteFile(tree / "blob", std::string(3 << 20, 'b'));
  MakeImage(tree, t_ / "big.img", "-O ^has_journal", "8M");
  auto r = Sh("cd " + ShQuote(mnt.string()) + " && " + Tool("imgextractor") + " " + ShQuote((t_ / "big.img").string()) + " out");
  EXPECT_EQ(r.exit_code, 1) << r.output;
  EXPECT_NE(r.output.find("imgextractor: error: not enough room in out: the files need 3145728 bytes"), std::string::npos)
      << r.output;
  EXPECT_FALSE(fs::exists(mnt / "out/system/blob"));
  Sh("umount " + ShQuote(mnt.string()));
}

TEST_F(ImgextractorHostile, ReportShowsTextFieldsAndAnAbsurdShiftAsData) {
  if (debugfs_.empty()) GTEST_SKIP() << "debugfs not installed";
  const fs::path img = Copy("fields.img");
  ASSERT_EQ(Sh(debugfs_ + " -w -R 'ssv log_groups_per_flex 255' " + ShQuote(img.string())).exit_code, 0);
  std::string d = ReadFile(img);
  const std::string mounted("/x\nFS compatible features: INJECTED");
  d.replace(1024 + 0x88, mounted.size(), mounted);
  WriteFile(img, d);
  auto r = Sh(Tool("imgextractor") + " " + ShQuote(img.string()) + " -s");
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("Flex block group size: invalid (2^255)\n"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Last mounted on: /x\\x0aFS compatible features: INJECTED\n"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("\nFS compatible features: INJECTED"), std::string::npos) << r.output;
}
