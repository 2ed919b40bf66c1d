// End-to-end tests of extract.erofs on images made by the installed mkfs.erofs: the tree against
// its source and against fsck.erofs --extract, the three config files, and the rebuild with the
// recorded mkfs.erofs line after the unpack job's renaming rules.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>

#include "erofs_test_util.h"

namespace orvex::test::erofs {
namespace {

struct Variant {
  const char* id;
  const char* mkfs;          // options given to mkfs.erofs
  const char* line_has;      // must appear in the recorded options line
  const char* line_lacks;    // must not appear ("" for none)
  bool fixed_time;           // built with -T
};

const Variant kVariants[] = {
    {"plain", "-T1700000000", "-T1700000000 ", "-z", true},
    {"plain_noinline_extended", "-T1700000000 -Enoinline_data,force-inode-extended",
     "-Enoinline_data,force-inode-extended ", "-z", true},
    {"lz4", "-zlz4 -T1700000000", "-zlz4 ", "legacy", true},
    {"lz4hc", "-zlz4hc -T1700000000", "-zlz4hc,9 ", "-C", true},
    {"lz4hc12_ztail", "-zlz4hc,12 -Eztailpacking -T1700000000", "-zlz4hc,12 -Eztailpacking ", "-C", true},
    {"lz4hc_bigpcluster", "-zlz4hc -C65536 -T1700000000", "-C65536 ", "ztail", true},
    {"lz4hc_bigpcluster_ztail", "-zlz4hc,10 -C262144 -Eztailpacking -T1700000000", "-zlz4hc,10 -Eztailpacking -C262144 ",
     "", true},
    {"lz4_legacy", "-zlz4 -Elegacy-compress -T1700000000", "-zlz4 -Elegacy-compress ", "", true},
    {"lz4hc_legacy_big", "-zlz4hc -Elegacy-compress -C16384 -T1700000000", "-Elegacy-compress -C16384 ", "", true},
    {"chunks", "--chunksize=8192 -T1700000000", "--chunksize=8192 ", "indexes", true},
    {"chunk_indexes", "--chunksize=65536 -Eforce-chunk-indexes -T1700000000",
     "-Eforce-chunk-indexes --chunksize=65536 ", "", true},
    {"lz4hc_file_times", "-zlz4hc", "-zlz4hc,9 ", "-T", false},
};

class ErofsRoundTrip : public ::testing::TestWithParam<Variant> {
 protected:
  static void SetUpTestSuite() {
    src_dir_ = std::make_unique<TempDir>();
    MakeSourceTree(src_dir_->path() / "tree", IsRoot());
    source_ = std::make_unique<Tree>(Snapshot(src_dir_->path() / "tree"));
  }
  static void TearDownTestSuite() {
    source_.reset();
    src_dir_.reset();
  }
  void SetUp() override {
    if (!HaveProgram("mkfs.erofs") || !HaveProgram("fsck.erofs")) GTEST_SKIP() << "erofs-utils not installed";
    if (!IsRoot()) std::printf("note: not root: owners, capabilities and labels are not checked\n");
  }
  static fs::path SourceTree() { return src_dir_->path() / "tree"; }

  static std::unique_ptr<TempDir> src_dir_;
  static std::unique_ptr<Tree> source_;
};
std::unique_ptr<TempDir> ErofsRoundTrip::src_dir_;
std::unique_ptr<Tree> ErofsRoundTrip::source_;

// What every path of the source tree must have in the attribute file.
std::string ExpectedFsConfig(const fs::path& p) {
  struct stat st {};
  lstat(p.c_str(), &st);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%u %u %04o", st.st_uid, st.st_gid, st.st_mode & 07777);
  return buf;
}

TEST_P(ErofsRoundTrip, TreeConfigFilesAndRebuild) {
  const Variant& v = GetParam();
  TempDir work;
  const fs::path image = work / "vendor.img";
  MakeImage(SourceTree(), image, v.mkfs);

  ToolRun run = RunExtract(image);
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_TRUE(run.ErrorLines().empty()) << run.err;
  const fs::path out = work / "vendor";
  const fs::path tree = out / "vendor";  // named from the image's build.prop

  // The tree against its source.
  Compare all;
  all.owners = all.xattrs = IsRoot();
  all.mtime = !v.fixed_time;
  const Tree got = Snapshot(tree);
  ExpectSameTree(*source_, got, all, std::string(v.id) + " vs source");
  if (v.fixed_time) {
    for (const auto& [path, n] : got)
      if (n.type != 'l') { EXPECT_EQ(n.mtime, 1700000000) << path; }
  }

  // The tree against an independent reader.
  auto fsck = RunCommand("fsck.erofs --extract=" + ShQuote((work / "fsck").string()) + " " + ShQuote(image.string()));
  ASSERT_EQ(fsck.exit_code, 0) << fsck.output;
  Compare indep;
  indep.xattrs = false;     // fsck.erofs does not write attributes
  indep.hardlinks = false;  // nor hard links
  indep.perm_mask = 0777;   // and it drops set-id bits when it changes the owner after the mode
  indep.owners = IsRoot();
  ExpectSameTree(Snapshot(work / "fsck"), got, indep, std::string(v.id) + " vs fsck.erofs");

  // The attribute and context files describe every path.
  const auto cfg = ReadFsConfig(out / "config" / "vendor_fs_config");
  const auto ctx = ReadContexts(out / "config" / "vendor_file_contexts");
  EXPECT_EQ(cfg.size(), source_->size());
  for (const auto& [path, node] : *source_) {
    const std::string key = path.empty() ? "vendor" : "vendor/" + path;
    auto it = cfg.find(key);
    if (it == cfg.end()) {
      ADD_FAILURE() << "no attribute line for " << key;
      continue;
    }
    std::string want = ExpectedFsConfig(SourceTree() / path);
    if (path == "bin/sh" && IsRoot()) want += " capabilities=0x4000802000";
    EXPECT_EQ(it->second, want) << key;
    if (!node.selinux.empty()) {
      std::string esc;
      for (char ch : "/vendor" + std::string(path.empty() ? "" : "/") + path) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte == ' ' || byte >= 0x80) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02x", byte);
          esc += hex;
          continue;
        }
        if (std::string_view(".+[]()").find(ch) != std::string_view::npos) esc += '\\';
        esc += ch;
      }
      auto c = ctx.find(esc);
      if (c == ctx.end()) ADD_FAILURE() << "no context line for " << esc;
      else EXPECT_EQ(c->second, node.selinux) << esc;
    }
  }

  // The recorded mkfs.erofs line.
  const fs::path options = out / "config" / "vendor_fs_options";
  const std::string line = ReadKey(options, "mkfs.erofs options");
  EXPECT_NE((line + " ").find(v.line_has), std::string::npos) << line;
  if (*v.line_lacks) { EXPECT_EQ(line.find(v.line_lacks), std::string::npos) << line; }
  EXPECT_NE(line.find("\"vendor_repack.img\" \"vendor/vendor\""), std::string::npos) << line;
  EXPECT_EQ(ReadKey(options, "FolderName"), "vendor");
  EXPECT_EQ(ReadKey(options, "Mount point"), "/vendor");

  // The job's renames, then the rebuild from the image's folder.
  ApplyUnpackJobRules(out, "vendor", "img");
  fs::rename(image, work / "vendor.orig");
  auto mk = RunRecordedMkfs(work.path(), out / "config" / "vendor_fs_options.txt");
  ASSERT_EQ(mk.exit_code, 0) << mk.output;
  auto check = RunCommand("fsck.erofs " + ShQuote(image.string()));
  EXPECT_EQ(check.exit_code, 0) << check.output;
  if (v.fixed_time && IsRoot()) {
    EXPECT_EQ(ReadFile(image), ReadFile(work / "vendor.orig")) << "rebuilt image differs from the original";
  }

  // Extract the rebuilt image: same tree, same config files.
  TempDir again;
  fs::copy_file(image, again / "vendor.img");
  ToolRun run2 = RunExtract(again / "vendor.img");
  ASSERT_EQ(run2.exit_code, 0) << run2.err;
  Compare same;
  same.owners = same.xattrs = IsRoot();
  ExpectSameTree(got, Snapshot(again / "vendor" / "vendor"), same, std::string(v.id) + " after rebuild");
  EXPECT_EQ(ReadFile(again / "vendor/config/vendor_fs_config"), ReadFile(out / "config/vendor_fs_config.txt"));
  EXPECT_EQ(ReadFile(again / "vendor/config/vendor_file_contexts"), ReadFile(out / "config/vendor_file_contexts.txt"));
  EXPECT_EQ(ReadKey(again / "vendor/config/vendor_fs_options", "mkfs.erofs options"), line);
}

INSTANTIATE_TEST_SUITE_P(Mkfs, ErofsRoundTrip, ::testing::ValuesIn(kVariants),
                         [](const ::testing::TestParamInfo<Variant>& i) { return std::string(i.param.id); });

// ---- the config files in detail ---------------------------------------------------------------

TEST(ExtractErofsFiles, OptionsFileKeysAndLineEnds) {
  if (!HaveProgram("mkfs.erofs")) GTEST_SKIP() << "mkfs.erofs not installed";
  TempDir work;
  MakeSourceTree(work / "src", IsRoot(), "product");
  MakeImage(work / "src", work / "product_a.img", "-zlz4hc -T1234567890 -U0a1b2c3d-1111-2222-3333-444455556666");
  ToolRun run = RunExtract(work / "product_a.img");
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const fs::path cfg = work / "product_a" / "config";
  for (const char* f : {"product_a_fs_config", "product_a_file_contexts", "product_a_fs_options"}) {
    const std::string text = ReadFile(cfg / f);
    ASSERT_FALSE(text.empty()) << f;
    // Every line ends with CR LF.
    for (size_t i = 0; i < text.size(); ++i)
      if (text[i] == '\n') { ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << f << " has a bare LF at " << i; }
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << f;
  }
  const fs::path opt = cfg / "product_a_fs_options";
  EXPECT_EQ(ReadKey(opt, "Name"), "product_a");
  EXPECT_EQ(ReadKey(opt, "FolderName"), "product");  // from build.prop, not from the file name
  EXPECT_EQ(ReadKey(opt, "Mount point"), "/product");
  EXPECT_EQ(ReadKey(opt, "Block size"), "4096");
  EXPECT_EQ(ReadKey(opt, "Build time"), "1234567890");
  EXPECT_EQ(ReadKey(opt, "UUID"), "0a1b2c3d-1111-2222-3333-444455556666");
  EXPECT_EQ(ReadKey(opt, "Compression"), "lz4hc,9");
  EXPECT_EQ(ReadKey(opt, "mkfs.erofs options"),
            std::string("-zlz4hc,9 -T1234567890 -U0a1b2c3d-1111-2222-3333-444455556666 ") +
                (IsRoot() ? "--file-contexts=\"product_a/config/product_a_file_contexts\" " : "") +
                "\"product_a_repack.img\" \"product_a/product\"");
  EXPECT_TRUE(fs::is_directory(work / "product_a" / "product" / "etc"));
  // The root line of the attribute file is the folder name itself.
  EXPECT_EQ(ReadFsConfig(cfg / "product_a_fs_config").count("product"), 1u);
}

TEST(ExtractErofsFiles, UniformOwnersAndNoAttributesGoIntoTheLine) {
  // Without per-file owners or attributes the line itself carries them, so that a rebuild by a
  // user who is not root still gives the same image.
  if (!HaveProgram("mkfs.erofs")) GTEST_SKIP();
  TempDir work;
  fs::create_directories(work / "src/bin");
  WriteFile(work / "src/bin/tool", "x");
  MakeImage(work / "src", work / "root.img", "-T3 -x-1 --all-root");
  MakeImage(work / "src", work / "app.img", "-T3 -x-1 --force-uid=1000 --force-gid=1001");
  ASSERT_EQ(RunExtract(work / "root.img").exit_code, 0);
  ASSERT_EQ(RunExtract(work / "app.img").exit_code, 0);
  const std::string root_line = ReadKey(work / "root/config/root_fs_options", "mkfs.erofs options");
  const std::string app_line = ReadKey(work / "app/config/app_fs_options", "mkfs.erofs options");
  EXPECT_NE(root_line.find(" -x-1 --all-root \"root_repack.img\""), std::string::npos) << root_line;
  EXPECT_NE(app_line.find(" -x-1 --force-uid=1000 --force-gid=1001 \"app_repack.img\""), std::string::npos) << app_line;
  EXPECT_EQ(root_line.find("--file-contexts"), std::string::npos);
  EXPECT_EQ(ReadFile(work / "root/config/root_file_contexts"), "");
  // The rebuild reproduces the image byte for byte whoever runs it.
  ApplyUnpackJobRules(work / "app", "app", "img");
  fs::rename(work / "app.img", work / "app.orig");
  ASSERT_EQ(RunRecordedMkfs(work.path(), work / "app/config/app_fs_options.txt").exit_code, 0);
  EXPECT_EQ(ReadFile(work / "app.img"), ReadFile(work / "app.orig"));
}

TEST(ExtractErofsFiles, ContextFileCarriesBothPathForms) {
  if (!IsRoot()) GTEST_SKIP() << "labels need root to be set on the staging tree";
  TempDir work;
  MakeSourceTree(work / "src", true, "vendor");
  MakeImage(work / "src", work / "vendor.img", "-T1");
  ASSERT_EQ(RunExtract(work / "vendor.img").exit_code, 0);
  const std::string text = ReadFile(work / "vendor/config/vendor_file_contexts");
  // Android's form, with the mount point, first; then the form mkfs.erofs looks labels up by.
  const size_t aosp = text.find("/vendor/lib64/libc\\+\\+\\.so u:object_r:same_process_hal_file:s0\r\n");
  const size_t inside = text.find("\n/lib64/libc\\+\\+\\.so u:object_r:same_process_hal_file:s0\r\n");
  ASSERT_NE(aosp, std::string::npos) << text;
  ASSERT_NE(inside, std::string::npos) << text;
  EXPECT_LT(aosp, inside);
  EXPECT_EQ(text.find("/vendor u:object_r:vendor_file:s0\r\n"), 0u);
  EXPECT_NE(text.find("\n/ u:object_r:vendor_file:s0\r\n"), std::string::npos);
  EXPECT_NE(text.find("/vendor/etc/a\\[1\\]\\.\\(x\\)\\+y u:object_r:vendor_file:s0"), std::string::npos);
  EXPECT_EQ(text.find("/vendor/etc/empty "), std::string::npos) << "an unlabelled file got a line";
}

TEST(ExtractErofsFiles, SystemAsRootLayout) {
  if (!HaveProgram("mkfs.erofs")) GTEST_SKIP();
  TempDir work;
  fs::create_directories(work / "src/system/bin");
  WriteFile(work / "src/system/build.prop", "ro.build.id=X\nro.system.build.date=now\n");
  WriteFile(work / "src/system/bin/app_process", "bin");
  fs::create_symlink("/system/bin/init", work / "src/init");
  fs::create_directories(work / "src/vendor");
  MakeImage(work / "src", work / "system_9632.img", "-T5");
  ASSERT_EQ(RunExtract(work / "system_9632.img").exit_code, 0);
  const fs::path opt = work / "system_9632/config/system_9632_fs_options";
  EXPECT_EQ(ReadKey(opt, "FolderName"), "system");
  EXPECT_EQ(ReadKey(opt, "Mount point"), "/");
  EXPECT_TRUE(fs::exists(work / "system_9632/system/system/bin/app_process"));
  auto cfg = ReadFsConfig(work / "system_9632/config/system_9632_fs_config");
  EXPECT_EQ(cfg.count("system/system/bin/app_process"), 1u);
  EXPECT_EQ(cfg.count("system/init"), 1u);
}

TEST(ExtractErofsFiles, NameFallbackAndOtherExtension) {
  if (!HaveProgram("mkfs.erofs")) GTEST_SKIP();
  TempDir work;
  fs::create_directories(work / "src/d");
  WriteFile(work / "src/d/f", "x");
  MakeImage(work / "src", work / "odm_b.fex", "-T7");
  ASSERT_EQ(RunExtract(work / "odm_b.fex").exit_code, 0);
  const fs::path out = work / "odm_b";
  EXPECT_EQ(ReadKey(out / "config/odm_b_fs_options", "FolderName"), "odm_b");
  EXPECT_EQ(ReadKey(out / "config/odm_b_fs_options", "Mount point"), "/odm");
  EXPECT_TRUE(fs::exists(out / "odm_b/d/f"));
  // After the job's rules the line writes odm_b.fex, and the rebuild matches the original.
  ApplyUnpackJobRules(out, "odm_b", "fex");
  EXPECT_NE(ReadKey(out / "config/odm_b_fs_options.txt", "mkfs.erofs options").find("\"odm_b.fex\" \"odm_b/odm_b\""),
            std::string::npos);
  fs::rename(work / "odm_b.fex", work / "orig.fex");
  ASSERT_EQ(RunRecordedMkfs(work.path(), out / "config/odm_b_fs_options.txt").exit_code, 0);
  if (IsRoot()) { EXPECT_EQ(ReadFile(work / "odm_b.fex"), ReadFile(work / "orig.fex")); }
}

TEST(ExtractErofsFiles, PathsInTheLineAreRelativeToTheImageFolder) {
  if (!HaveProgram("mkfs.erofs")) GTEST_SKIP();
  TempDir work;
  fs::create_directories(work / "src");
  WriteFile(work / "src/f", "x");
  fs::create_directories(work / "fw");
  MakeImage(work / "src", work / "fw/system.img", "-T9");
  // Started from elsewhere with paths that lead into the image's folder.
  ToolRun run = RunExtractRaw("-i fw/system.img -x -o fw/system", work.path());
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_NE(ReadKey(work / "fw/system/config/system_fs_options", "mkfs.erofs options").find("\"system_repack.img\" \"system/system\""),
            std::string::npos);
}

// ---- the real sample images ------------------------------------------------------------------

TEST(ExtractErofsSamples, AllThreeSamplesExtract) {
  const fs::path dir = SamplesDir() / "erofs";
  if (!fs::exists(dir)) GTEST_SKIP() << "no samples at " << dir;
  TempDir work;
  std::map<std::string, Tree> trees;
  for (const char* name : {"toolmanp_sample_4096", "toolmanp_sample_512_chunk1024", "toolmanp_sample_noxattrs"}) {
    fs::copy_file(dir / (std::string(name) + ".img"), work / (std::string(name) + ".img"));
    ToolRun run = RunExtract(work / (std::string(name) + ".img"));
    ASSERT_EQ(run.exit_code, 0) << name << ": " << run.err;
    trees[name] = Snapshot(work / name / name);
    const auto& t = trees[name];
    ASSERT_TRUE(t.count("images/inabukumori.jpg")) << name;
    EXPECT_EQ(t.at("images/inabukumori.jpg").size, 13735u) << name;
    EXPECT_EQ(t.at("texts/lipsum.txt").size, 5060u) << name;
    EXPECT_EQ(t.at("blob.jpg").link, "images/inabukumori.jpg") << name;
    EXPECT_EQ(t.at("lipsum.txt").link, "texts/lipsum.txt") << name;
    auto cfg = ReadFsConfig(work / name / "config" / (std::string(name) + "_fs_config"));
    EXPECT_EQ(cfg[std::string(name) + "/README.md"], "1000 1000 0644") << name;
    if (IsRoot()) { EXPECT_EQ(t.at("README.md").uid, 1000u); }
  }
  // The 512-byte chunk-based image holds the same files as the 4 KiB one.
  Compare content;
  content.owners = content.mtime = true;
  content.xattrs = IsRoot();
  ExpectSameTree(trees["toolmanp_sample_4096"], trees["toolmanp_sample_512_chunk1024"], content, "512 vs 4096");
  // The image with attributes has labels; fsck.erofs agrees on the contents.
  auto ctx = ReadContexts(work / "toolmanp_sample_4096/config/toolmanp_sample_4096_file_contexts");
  EXPECT_GE(ctx.size(), 8u);
  for (const char* name : {"toolmanp_sample_4096", "toolmanp_sample_noxattrs"}) {
    const fs::path fx = work / (std::string(name) + "_fsck");
    ASSERT_EQ(RunCommand("fsck.erofs --extract=" + ShQuote(fx.string()) + " " +
                         ShQuote((work / (std::string(name) + ".img")).string()))
                  .exit_code,
              0);
    Compare indep;
    indep.xattrs = indep.hardlinks = false;
    indep.owners = IsRoot();
    ExpectSameTree(Snapshot(fx), trees[name], indep, std::string(name) + " vs fsck.erofs");
  }
  EXPECT_NE(ReadKey(work / "toolmanp_sample_512_chunk1024/config/toolmanp_sample_512_chunk1024_fs_options", "Note")
                .find("512-byte blocks"),
            std::string::npos);
}

// ---- behaviour of the tool itself --------------------------------------------------------------

TEST(ExtractErofsTool, ThreadCountDoesNotChangeTheResult) {
  if (!HaveProgram("mkfs.erofs")) GTEST_SKIP();
  TempDir work;
  MakeSourceTree(work / "src", IsRoot());
  fs::create_directories(work / "a");
  MakeImage(work / "src", work / "a/vendor.img", "-zlz4hc -C65536");
  fs::create_directories(work / "b");
  fs::copy_file(work / "a/vendor.img", work / "b/vendor.img");
  ASSERT_EQ(RunExtract(work / "a/vendor.img", "-T1").exit_code, 0);
  ASSERT_EQ(RunExtract(work / "b/vendor.img", "-T4").exit_code, 0);
  Compare all;
  all.owners = all.xattrs = IsRoot();
  EXPECT_EQ(ExpectSameTree(Snapshot(work / "a/vendor/vendor"), Snapshot(work / "b/vendor/vendor"), all, "-T1 vs -T4"), 0);
  EXPECT_EQ(ReadFile(work / "a/vendor/config/vendor_fs_config"), ReadFile(work / "b/vendor/config/vendor_fs_config"));
}

TEST(ExtractErofsTool, OverwriteNeverFollowsPlantedLinks) {
  if (!HaveProgram("mkfs.erofs")) GTEST_SKIP();
  TempDir work;
  MakeSourceTree(work / "src", false);
  MakeImage(work / "src", work / "vendor.img", "-T1");
  // A previous folder whose entries are links to a place outside.
  fs::create_directories(work / "outside");
  WriteFile(work / "outside/keep", "untouched");
  fs::create_directories(work / "vendor/vendor");
  fs::create_symlink(work / "outside", work / "vendor/vendor/bin");
  fs::create_symlink(work / "outside/keep", work / "vendor/vendor/build.prop");
  fs::create_directories(work / "vendor/config");
  fs::create_symlink(work / "outside/keep", work / "vendor/config/vendor_fs_config");

  ToolRun no_force = RunExtractRaw("-i vendor.img -x -o vendor", work.path());
  EXPECT_NE(no_force.exit_code, 0);
  EXPECT_EQ(no_force.ErrorLines().size(), 1u) << no_force.err;

  ToolRun run = RunExtract(work / "vendor.img");
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(ReadFile(work / "outside/keep"), "untouched");
  EXPECT_EQ(fs::directory_iterator(work / "outside") == fs::directory_iterator(), false);
  EXPECT_EQ(std::distance(fs::directory_iterator(work / "outside"), fs::directory_iterator()), 1);
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(work / "vendor/vendor/bin")));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(work / "vendor/config/vendor_fs_config")));
}

TEST(ExtractErofsTool, WithoutRootModesApplyAndDevicesBecomeFiles) {
  if (!IsRoot() || !HaveProgram("setpriv")) GTEST_SKIP() << "needs root to switch to an unprivileged user";
  TempDir work;
  MakeSourceTree(work / "src", true);
  MakeImage(work / "src", work / "vendor.img", "-zlz4 -T1700000000");
  fs::permissions(work.path(), fs::perms::all);
  const std::string tool = (BinDir() / "erofs" / "extract.erofs").string();
  const std::string as_nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  if (RunCommand(as_nobody + "test -x " + ShQuote(tool)).exit_code != 0)
    GTEST_SKIP() << "the build folder is not reachable for an unprivileged user";
  auto r = RunCommand("cd " + ShQuote(work.str()) + " && " + as_nobody + ShQuote(tool) + " -i vendor.img -x -f -o vendor");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("device nodes were written as empty files"), std::string::npos) << r.output;
  const Tree t = Snapshot(work / "vendor/vendor");
  EXPECT_EQ(t.at("etc/null").type, 'f');
  EXPECT_EQ(t.at("etc/fifo").type, 'p');
  EXPECT_EQ(t.at("bin/sh").perms, 0755u);
  EXPECT_EQ(t.at("tmp").perms, 01777u);
  EXPECT_EQ(t.at("private").perms, 0700u);
  EXPECT_EQ(t.at("bin/sh").uid, 65534u);
  EXPECT_EQ(t.at("bin/sh").mtime, 1700000000);
  // The attribute file still has the image's owners and capabilities.
  auto cfg = ReadFsConfig(work / "vendor/config/vendor_fs_config");
  EXPECT_EQ(cfg["vendor/bin/sh"], "0 2000 0755 capabilities=0x4000802000");
  EXPECT_EQ(cfg["vendor/etc/null"], "0 0 0666");
}

// -f over a tree extracted before and changed since: every entry of the image comes back as it
// was, whatever stands in its way (a folder where a file was, a file where a link or a folder
// was, another file under a hard link's name).
TEST(ExtractErofsTool, ForceRestoresATreeChangedSinceTheLastExtraction) {
  if (!HaveProgram("mkfs.erofs")) GTEST_SKIP() << "mkfs.erofs not installed";
  TempDir work;
  MakeSourceTree(work / "src", IsRoot());
  MakeImage(work / "src", work / "vendor.img", "-zlz4hc -T1700000000");
  ToolRun first = RunExtract(work / "vendor.img");
  ASSERT_EQ(first.exit_code, 0) << first.err;
  const fs::path tree = work / "vendor/vendor";
  const Tree before = Snapshot(tree);

  fs::remove(tree / "bin/su");
  fs::create_directories(tree / "bin/su/inside");
  WriteFile(tree / "bin/su/inside/file", "in the way");
  fs::remove(tree / "bin/ash");
  WriteFile(tree / "bin/ash", "a file where a link was");
  fs::remove_all(tree / "deep/a/b");
  WriteFile(tree / "deep/a/b", "a file where a folder was");
  fs::remove(tree / "etc/hosts.link");
  WriteFile(tree / "etc/hosts.link", "no longer the same file");
  WriteFile(tree / "etc/text_5000", "shorter");
  fs::permissions(tree / "etc", fs::perms(0500));  // a folder the owner cannot write into

  ToolRun no_force = RunExtractRaw("-i vendor.img -x -o vendor", work.path());
  EXPECT_EQ(no_force.exit_code, 1);
  EXPECT_EQ(no_force.ErrorLines().size(), 1u) << no_force.err;
  EXPECT_NE(no_force.err.find("use -f"), std::string::npos) << no_force.err;
  EXPECT_EQ(ReadFile(tree / "etc/text_5000"), "shorter");

  ToolRun again = RunExtract(work / "vendor.img");
  ASSERT_EQ(again.exit_code, 0) << again.err;
  Compare all;
  all.owners = all.xattrs = IsRoot();
  ExpectSameTree(before, Snapshot(tree), all, "after -f");
}

// Only a regular file (or a block device) is read as an image: a folder given as the image is
// refused at once.
TEST(ExtractErofsTool, FolderGivenAsTheImageIsRefused) {
  TempDir work;
  fs::create_directories(work / "folder.img");
  ToolRun r = RunExtractRaw("-i folder.img -x -o out", work.path());
  EXPECT_EQ(r.exit_code, 1);
  ASSERT_EQ(r.ErrorLines().size(), 1u) << r.err;
  EXPECT_NE(r.err.find("is not a regular file"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(work / "out"));
}

// A partition read in place: a block device gives its size only through its end, and is
// extracted like the image file it holds.
TEST(ExtractErofsTool, BlockDeviceIsReadLikeTheImageFile) {
  if (!IsRoot() || !HaveProgram("losetup") || !HaveProgram("mkfs.erofs")) GTEST_SKIP() << "needs root and losetup";
  TempDir work;
  MakeSourceTree(work / "src", true);
  MakeImage(work / "src", work / "vendor.img", "-zlz4hc -T1700000000");
  auto attach = RunCommand("losetup -f --show -r " + ShQuote((work / "vendor.img").string()));
  if (attach.exit_code != 0) GTEST_SKIP() << "no loop device here: " << attach.output;
  const std::string dev = attach.output.substr(0, attach.output.find('\n'));
  struct Detach {
    std::string dev;
    ~Detach() { RunCommand("losetup -d " + ShQuote(dev)); }
  } detach{dev};

  ToolRun from_dev = RunExtractRaw("-i " + ShQuote(dev) + " -x -o dev_out", work.path());
  ASSERT_EQ(from_dev.exit_code, 0) << from_dev.err;
  ToolRun from_file = RunExtract(work / "vendor.img");
  ASSERT_EQ(from_file.exit_code, 0) << from_file.err;
  Compare all;
  ExpectSameTree(Snapshot(work / "vendor/vendor"), Snapshot(work / "dev_out/vendor"), all, "block device");
  const std::string name = fs::path(dev).filename().string();
  EXPECT_EQ(ReadFile(work / "dev_out/config" / (name + "_fs_config")), ReadFile(work / "vendor/config/vendor_fs_config"));
}

TEST(ExtractErofsTool, UsageAndVersion) {
  ToolRun help = RunExtractRaw("-h", fs::current_path());
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("-i IMAGE"), std::string::npos);
  ToolRun version = RunExtractRaw("-V", fs::current_path());
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out.rfind("extract.erofs ", 0), 0u);
  ToolRun bad = RunExtractRaw("-q", fs::current_path());
  EXPECT_EQ(bad.exit_code, 2);
  ToolRun missing = RunExtractRaw("-i /nonexistent/x.img -x", fs::current_path());
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_EQ(missing.ErrorLines().size(), 1u) << missing.err;
}

}  // namespace
}  // namespace orvex::test::erofs
