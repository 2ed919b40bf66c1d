// make_ext4fs and fspatch: the unpack/pack cycle with the jobs' command lines, checked by
// e2fsck, debugfs and a second unpack.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "ext4_test_util.h"

namespace {

using namespace orvex::test;
using namespace orvex::test::ext4;

constexpr const char* kTimestamp = "1700000000";

class MakeExt4fs : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* p : {"mke2fs", "e2fsck", "debugfs"})
      if (Prog(p).empty()) GTEST_SKIP() << p << " not installed";
    if (!IsRoot()) std::cerr << "note: not root: owners, capabilities and labels are not checked\n";
    MakeTree(t_ / "tree");
  }

  // Unpacks fw/<name>.img as the unpack job does (information first, then the tree).
  void Unpack(const fs::path& fw, const std::string& name) {
    fs::create_directories(fw / name / "config");
    auto info = Sh("cd " + ShQuote(fw.string()) + " && " + Tool("imgextractor_") + " \"" + name +
                   ".img\" >\"" + name + "/config/" + name + "_info.txt\" -s");
    ASSERT_EQ(info.exit_code, 0) << info.output;
    auto r = Sh("cd " + ShQuote(fw.string()) + " && " + Tool("imgextractor") + " \"" + name +
                ".img\" \"" + name + "\"");
    ASSERT_EQ(r.exit_code, 0) << r.output;
  }

  // Packs fw/<name> as the pack job does; extra holds the pieces between -l and -L.
  CommandResult Pack(const fs::path& fw, const std::string& name, const std::string& size,
                     const std::string& extra, const std::string& out = "") {
    auto patch = Sh("cd " + ShQuote(fw.string()) + " && " + Tool("fspatch") + " \"" + name + "/" +
                    name + "\" \"" + name + "/config/" + name + "_fs_config.txt\"");
    EXPECT_EQ(patch.exit_code, 0) << patch.output;
    const std::string output = out.empty() ? "../" + name + ".img" : out;
    return Sh("cd " + ShQuote((fw / name).string()) + " && " + Tool("make_ext4fs") + " -l " + size +
              extra + " -L " + name + " -a " + name + " -S \"./config/" + name +
              "_file_contexts.txt\" -C \"./config/" + name + "_fs_config.txt\" \"" + output +
              "\" \"./" + name + "\"");
  }

  static CommandResult Fsck(const fs::path& img) {
    return Sh(Prog("e2fsck") + " -fn " + ShQuote(img.string()));
  }
  static std::string Debugfs(const fs::path& img, const std::string& request) {
    return Sh(Prog("debugfs") + " -R " + ShQuote(request) + " " + ShQuote(img.string()) +
              " 2>/dev/null")
        .output;
  }

  TempDir t_;
};

TEST_F(MakeExt4fs, JobRoundTripWithJournalKeepsEveryPathAndAttribute) {
  const fs::path fw = t_ / "fw";
  fs::create_directories(fw);
  MakeImage(t_ / "tree", fw / "system.img", "-O ^metadata_csum", "24M");
  Unpack(fw, "system");
  const std::string size = KeyValues(fw / "system/config/system_fs_options.txt")["Size"];
  ASSERT_EQ(size, "25165824");
  fs::rename(fw / "system.img", fw / "system.bak");

  auto r = Pack(fw, "system", size, std::string(" -j 4096 -i -J -T ") + kTimestamp);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const fs::path img = fw / "system.img";
  EXPECT_EQ(fs::file_size(img), 25165824u);
  auto fsck = Fsck(img);
  EXPECT_EQ(fsck.exit_code, 0) << fsck.output;
  // The next unpack must find the journal words the pack job looks for.
  auto info = Sh(Tool("imgextractor") + " " + ShQuote(img.string()) + " -s");
  EXPECT_NE(info.output.find("FS compatible features: HAS_JOURNAL EXT_ATTR RESIZE_INODE"),
            std::string::npos)
      << info.output;
  EXPECT_NE(info.output.find("Last mounted on: /system"), std::string::npos);
  EXPECT_NE(info.output.find("Filesystem volume name: system"), std::string::npos);

  // Unpacking the new image gives the same tree and the same attribute and context files.
  const fs::path fw2 = t_ / "fw2";
  fs::create_directories(fw2);
  fs::copy_file(img, fw2 / "system.img");
  Unpack(fw2, "system");
  EXPECT_EQ(ReadFile(fw / "system/config/system_fs_config.txt"),
            ReadFile(fw2 / "system/config/system_fs_config.txt"));
  EXPECT_EQ(ReadFile(fw / "system/config/system_file_contexts.txt"),
            ReadFile(fw2 / "system/config/system_file_contexts.txt"));
  EXPECT_EQ(CompareTrees(fw / "system/system", fw2 / "system/system", {IsRoot(), false}, {}),
            std::vector<std::string>{});
  struct stat st;
  ASSERT_EQ(lstat((fw2 / "system/system/etc/hosts").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, std::stoll(kTimestamp));
  ASSERT_EQ(stat((fw2 / "system/system/bin/ls").c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 2u);

  // debugfs reads the new image on its own: contents, owners, modes, attributes.
  const fs::path dump = t_ / "rdump";
  fs::create_directories(dump);
  Debugfs(img, "rdump / " + dump.string());
  // rdump writes regular files, folders and links only, and drops set-id bits: it checks the
  // contents here, debugfs stat the modes below.
  EXPECT_EQ(CompareTrees(t_ / "tree", dump / "", {false, false, false},
                         {"lost+found", "fifo", "null", "block"}),
            std::vector<std::string>{});
  const std::string sh = Debugfs(img, "stat /bin/sh");
  EXPECT_NE(sh.find("Mode:  0755"), std::string::npos) << sh;
  const std::string su = Debugfs(img, "stat /xbin/su");
  EXPECT_NE(su.find("Mode:  04750"), std::string::npos) << su;
  if (IsRoot()) {
    EXPECT_TRUE(std::regex_search(sh, std::regex("User: +0 +Group: +2000"))) << sh;
    EXPECT_NE(Debugfs(img, "ea_get /bin/sh security.selinux").find("u:object_r:shell_exec:s0"),
              std::string::npos);
    EXPECT_NE(Debugfs(img, "ea_list /bin/sh").find("security.capability"), std::string::npos);
    EXPECT_TRUE(std::regex_search(Debugfs(img, "stat /empty"), std::regex("User: +1000 +Group: +1001")));
  }
}

TEST_F(MakeExt4fs, JobCommandLineWithoutJournalAndSparseOutput) {
  const fs::path fw = t_ / "fw";
  fs::create_directories(fw);
  MakeImage(t_ / "tree", fw / "vendor.img", "-O ^has_journal -M /vendor", "16M");
  Unpack(fw, "vendor");
  auto r = Pack(fw, "vendor", "16777216", std::string(" -J -T ") + kTimestamp);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(Fsck(fw / "vendor.img").exit_code, 0);
  auto info = Sh(Tool("imgextractor") + " " + ShQuote((fw / "vendor.img").string()) + " -s");
  EXPECT_NE(info.output.find("FS compatible features: EXT_ATTR RESIZE_INODE DIR_INDEX\n"),
            std::string::npos)
      << info.output;

  // " -s" after the journal pieces gives a sparse image that expands to the same raw image.
  r = Pack(fw, "vendor", "16777216", std::string(" -s -J -T ") + kTimestamp, "../sparse.img");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const std::string head = ReadFile(fw / "sparse.img").substr(0, 4);
  EXPECT_EQ(head, std::string("\x3a\xff\x26\xed", 4));
  EXPECT_LT(fs::file_size(fw / "sparse.img"), fs::file_size(fw / "vendor.img"));
  if (!Prog("simg2img").empty()) {
    ASSERT_EQ(Sh("simg2img " + ShQuote((fw / "sparse.img").string()) + " " +
                 ShQuote((fw / "expanded.img").string()))
                  .exit_code,
              0);
    EXPECT_EQ(ReadFile(fw / "expanded.img"), ReadFile(fw / "vendor.img"));
  }
  // The sparse image unpacks directly too.
  fs::create_directories(t_ / "fw3");
  fs::copy_file(fw / "sparse.img", t_ / "fw3/vendor.img");
  Unpack(t_ / "fw3", "vendor");
  EXPECT_EQ(ReadFile(fw / "vendor/config/vendor_fs_config.txt"),
            ReadFile(t_ / "fw3/vendor/config/vendor_fs_config.txt"));
}

TEST_F(MakeExt4fs, TooSmallImageReportsTheMissingBlocks) {
  fs::create_directories(t_ / "big");
  std::string data(3 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 2654435761u) >> 11);
  WriteFile(t_ / "big/blob", data);
  for (const char* extra : {"", " -s"}) {
    SCOPED_TRACE(extra);
    const fs::path out = t_ / "small.img";
    auto r = Sh(Tool("make_ext4fs") + " -l 2M" + extra + " -J " + ShQuote(out.string()) + " " +
                ShQuote((t_ / "big").string()));
    EXPECT_NE(r.exit_code, 0);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.output, m, std::regex("failed to allocate (\\d+) blocks")))
        << r.output;
    const long need = std::stol(m[1]);
    // 3 MiB of data into a 2 MiB image: at least the missing MiB, in 4 KiB blocks.
    EXPECT_GE(need, 256);
    EXPECT_LT(need, 1024);
    EXPECT_FALSE(fs::exists(out)) << "a failed build must not leave an image";
    size_t leftovers = 0;
    for (const auto& e : fs::directory_iterator(t_.path()))
      if (e.path().filename().string().rfind("small.img", 0) == 0) ++leftovers;
    EXPECT_EQ(leftovers, 0u);
  }
  // The same tree fits at 8 MiB.
  auto ok = Sh(Tool("make_ext4fs") + " -l 8M -J " + ShQuote((t_ / "ok.img").string()) + " " +
               ShQuote((t_ / "big").string()));
  EXPECT_EQ(ok.exit_code, 0) << ok.output;
  EXPECT_EQ(Fsck(t_ / "ok.img").exit_code, 0);
}

TEST_F(MakeExt4fs, AttributeDefaultsAndRegexContexts) {
  const fs::path src = t_ / "src";
  fs::create_directories(src / "bin");
  fs::create_directories(src / "etc");
  WriteFile(src / "bin/tool", "t");
  WriteFile(src / "bin/other", "o");
  WriteFile(src / "etc/secret", "s");
  WriteFile(src / "etc/plain", "p");
  // Only some paths are listed; the rest take Android's defaults.
  WriteFile(t_ / "fs_config",
            "system 0 0 0751\n"
            "system/bin/other 1000 1000 0700 capabilities=0xc0\n"
            "system/etc/secret 1000 1001 0600\n");
  WriteFile(t_ / "file_contexts",
            "/system(/.*)?           u:object_r:system_file:s0\n"
            "/system/bin(/.*)?       u:object_r:system_exec:s0\n"
            "/system/bin/tool        u:object_r:tool_exec:s0\n"
            "/system/etc/secret      <<none>>\n");
  const fs::path img = t_ / "sys.img";
  auto r = Sh(Tool("make_ext4fs") + " -l 8M -J -T 0 -L system -a /system/ -S " +
              ShQuote((t_ / "file_contexts").string()) + " -C " + ShQuote((t_ / "fs_config").string()) +
              " " + ShQuote(img.string()) + " " + ShQuote(src.string()));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(Fsck(img).exit_code, 0);
  EXPECT_NE(r.output.find("no line in the attribute file"), std::string::npos);
  struct Expect {
    const char* path;
    const char* owner;
    const char* mode;
    const char* context;
  } expect[] = {
      {"/", "User: +0 +Group: +0", "Mode:  0751", "system_file"},
      {"/bin", "User: +0 +Group: +2000", "Mode:  0755", "system_exec"},
      {"/bin/tool", "User: +0 +Group: +2000", "Mode:  0755", "tool_exec"},
      {"/bin/other", "User: +1000 +Group: +1000", "Mode:  0700", "system_exec"},
      {"/etc", "User: +0 +Group: +0", "Mode:  0755", "system_file"},
      {"/etc/plain", "User: +0 +Group: +0", "Mode:  0644", "system_file"},
      {"/etc/secret", "User: +1000 +Group: +1001", "Mode:  0600", nullptr},
      {"/lost+found", "User: +0 +Group: +0", "Mode:  0700", "system_file"},
  };
  for (const auto& e : expect) {
    SCOPED_TRACE(e.path);
    const std::string st = Debugfs(img, std::string("stat ") + e.path);
    EXPECT_TRUE(std::regex_search(st, std::regex(e.owner))) << st;
    EXPECT_NE(st.find(e.mode), std::string::npos) << st;
    const std::string ctx = Debugfs(img, std::string("ea_get ") + e.path + " security.selinux");
    if (e.context)
      EXPECT_NE(ctx.find(e.context), std::string::npos) << ctx;
    else
      EXPECT_EQ(Debugfs(img, std::string("ea_list ") + e.path).find("selinux"), std::string::npos);
  }
  EXPECT_NE(Debugfs(img, "ea_list /bin/other").find("security.capability"), std::string::npos);
  EXPECT_EQ(Debugfs(img, "ea_list /bin/tool").find("security.capability"), std::string::npos);
  // Every inode carries the -T time; the superblock says where it mounts.
  EXPECT_NE(Debugfs(img, "stat /etc/plain").find("mtime: 0x00000000"), std::string::npos);
  EXPECT_NE(Sh(Prog("dumpe2fs") + " -h " + ShQuote(img.string()) + " 2>/dev/null")
                .output.find("Last mounted on:          /system"),
            std::string::npos);
}

TEST_F(MakeExt4fs, OptionWordsOfTheClassicTool) {
  const fs::path src = t_ / "tree";
  // "-i -J": -J is the inode count's value, so the journal stays on; an unparsable count means
  // automatic. Windows separators in the file options are accepted.
  fs::create_directories(t_ / "w/config");
  WriteFile(t_ / "w/config/fc.txt", "/system(/.*)? u:object_r:system_file:s0\n");
  WriteFile(t_ / "w/config/cfg.txt", "system 0 0 0755\n");
  auto r = Sh("cd " + ShQuote((t_ / "w").string()) + " && " + Tool("make_ext4fs") +
              " -l 64m -j 4096 -i -J -T -1 -L system -a system -c -f -w -z -B list -S "
              "\"./config\\fc.txt\" -C \"./config\\cfg.txt\" \"../j.img\" " + ShQuote(src.string()));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(fs::file_size(t_ / "j.img"), 64u << 20);
  const std::string dump = Sh(Prog("dumpe2fs") + " -h " + ShQuote((t_ / "j.img").string()) + " 2>/dev/null").output;
  EXPECT_NE(dump.find("has_journal"), std::string::npos);
  EXPECT_TRUE(std::regex_search(dump, std::regex("journal size: +16M"))) << dump;
  EXPECT_EQ(Fsck(t_ / "j.img").exit_code, 0);
  // -T -1 keeps the source times.
  struct stat st;
  ASSERT_EQ(lstat((src / "etc/hosts").c_str(), &st), 0);
  char hex[32];
  snprintf(hex, sizeof(hex), "mtime: 0x%08llx", static_cast<unsigned long long>(st.st_mtim.tv_sec));
  EXPECT_NE(Debugfs(t_ / "j.img", "stat /etc/hosts").find(hex), std::string::npos);

  // The same tree and options always give the same bytes; -u changes the identity only.
  const std::string base = Tool("make_ext4fs") + " -l 8m -J -T 5 -L x -a x ";
  for (const char* n : {"d1.img", "d2.img"})
    ASSERT_EQ(Sh(base + ShQuote((t_ / n).string()) + " " + ShQuote(src.string())).exit_code, 0);
  EXPECT_EQ(ReadFile(t_ / "d1.img"), ReadFile(t_ / "d2.img"));
  ASSERT_EQ(Sh(base + "-u " + ShQuote((t_ / "d3.img").string()) + " " + ShQuote(src.string())).exit_code, 0);
  EXPECT_NE(ReadFile(t_ / "d1.img"), ReadFile(t_ / "d3.img"));

  // No source folder: an empty file system with lost+found.
  auto empty = Sh(Tool("make_ext4fs") + " -l 4M " + ShQuote((t_ / "empty.img").string()));
  ASSERT_EQ(empty.exit_code, 0) << empty.output;
  EXPECT_EQ(Fsck(t_ / "empty.img").exit_code, 0);
  EXPECT_NE(Debugfs(t_ / "empty.img", "ls /").find("lost+found"), std::string::npos);

  EXPECT_EQ(Sh(Tool("make_ext4fs") + " -l 4M").exit_code, 2);
  EXPECT_EQ(Sh(Tool("make_ext4fs") + " -Q -l 4M x.img").exit_code, 2);
  EXPECT_NE(Sh(Tool("make_ext4fs") + " -l 4M " + ShQuote((t_ / "n.img").string()) + " /nonexistent").exit_code, 0);
  EXPECT_NE(Sh(Tool("make_ext4fs") + " " + ShQuote((t_ / "n.img").string()) + " " + ShQuote(src.string())).exit_code, 0);
  EXPECT_FALSE(fs::exists(t_ / "n.img"));
}

// fspatch on attribute and context files as the unpack left them, then as a user edited them.
class Fspatch : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(t_ / "system/system/bin");
    fs::create_directories(t_ / "system/system/etc");
    fs::create_directories(t_ / "system/config");
    WriteFile(t_ / "system/system/bin/sh", "x");
    WriteFile(t_ / "system/system/etc/hosts", "y");
  }
  CommandResult Run(const std::string& config = "system/config/system_fs_config.txt") {
    return Sh("cd " + ShQuote(t_.str()) + " && " + Tool("fspatch") + " \"system/system\" \"" +
              config + "\"");
  }
  TempDir t_;
};

TEST_F(Fspatch, AppendsMissingPathsAndKeepsExistingLines) {
  const std::string original =
      "system 0 0 0755\r\n"
      "system/etc/hosts 1000 1000 0600\r\n"
      "system/bin 0 2000 0751\r\n"
      "system/bin/sh 0 2000 0755 capabilities=0x1000\r\n";
  const std::string contexts =
      "/system u:object_r:system_file:s0\r\n"
      "/system/bin u:object_r:system_bin:s0\r\n";
  WriteFile(t_ / "system/config/system_fs_config.txt", original);
  WriteFile(t_ / "system/config/system_file_contexts.txt", contexts);
  // New entries of several kinds, deep and with awkward names.
  fs::create_directories(t_ / "system/system/bin/hw/sub");
  fs::create_directories(t_ / "system/system/app/New App");
  WriteFile(t_ / "system/system/bin/hw/sub/daemon", "d");
  WriteFile(t_ / "system/system/bin/newtool", "n");
  WriteFile(t_ / "system/system/app/New App/New.apk", "a");
  WriteFile(t_ / "system/system/etc/libc++.cfg", "c");
  fs::create_symlink("sh", t_ / "system/system/bin/ash");

  auto r = Run();
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const std::string patched = ReadFile(t_ / "system/config/system_fs_config.txt");
  ASSERT_EQ(patched.substr(0, original.size()), original);
  const std::string added = patched.substr(original.size());
  EXPECT_EQ(added,
            "system/app 0 0 0755\r\n"
            "system/app/New App 0 0 0755\r\n"
            "system/app/New App/New.apk 0 0 0644\r\n"
            "system/bin/ash 0 2000 0755\r\n"
            "system/bin/hw 0 0 0755\r\n"
            "system/bin/hw/sub 0 0 0755\r\n"
            "system/bin/hw/sub/daemon 0 2000 0755\r\n"
            "system/bin/newtool 0 2000 0755\r\n"
            "system/etc 0 0 0755\r\n"
            "system/etc/libc++.cfg 0 0 0644\r\n");
  // Each added path is reported.
  EXPECT_NE(r.output.find("system/bin/newtool 0 2000 0755"), std::string::npos);
  const std::string new_contexts = ReadFile(t_ / "system/config/system_file_contexts.txt");
  ASSERT_EQ(new_contexts.substr(0, contexts.size()), contexts);
  EXPECT_EQ(new_contexts.substr(contexts.size()),
            "/system/app u:object_r:system_file:s0\r\n"
            "/system/app/New\\x20App u:object_r:system_file:s0\r\n"
            "/system/app/New\\x20App/New\\.apk u:object_r:system_file:s0\r\n"
            "/system/bin/ash u:object_r:system_bin:s0\r\n"
            "/system/bin/hw u:object_r:system_bin:s0\r\n"
            "/system/bin/hw/sub u:object_r:system_bin:s0\r\n"
            "/system/bin/hw/sub/daemon u:object_r:system_bin:s0\r\n"
            "/system/bin/newtool u:object_r:system_bin:s0\r\n"
            "/system/etc u:object_r:system_file:s0\r\n"
            "/system/etc/libc\\+\\+\\.cfg u:object_r:system_file:s0\r\n");
  EXPECT_NE(r.output.find("/system/bin/newtool u:object_r:system_bin:s0"), std::string::npos);

  // A second run finds nothing to add and leaves both files as they are.
  auto again = Run();
  ASSERT_EQ(again.exit_code, 0) << again.output;
  EXPECT_EQ(ReadFile(t_ / "system/config/system_fs_config.txt"), patched);
  EXPECT_EQ(ReadFile(t_ / "system/config/system_file_contexts.txt"), new_contexts);
  EXPECT_NE(again.output.find("0 entries added"), std::string::npos);
}

TEST_F(Fspatch, FollowsTheFileStyle) {
  // LF line ends, no final line end, and paths without the mount point folder (AOSP style).
  WriteFile(t_ / "system/config/system_fs_config.txt", " 0 0 0755\nbin 0 2000 0755");
  auto r = Run();
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(ReadFile(t_ / "system/config/system_fs_config.txt"),
            " 0 0 0755\nbin 0 2000 0755\n"
            "bin/sh 0 2000 0755\n"
            "etc 0 0 0755\n"
            "etc/hosts 0 0 0644\n");
  // A missing attribute file is created with every path.
  auto fresh = Run("system/config/new_fs_config.txt");
  ASSERT_EQ(fresh.exit_code, 0) << fresh.output;
  EXPECT_EQ(ReadFile(t_ / "system/config/new_fs_config.txt"),
            "system 0 0 0755\nsystem/bin 0 2000 0755\nsystem/bin/sh 0 2000 0755\n"
            "system/etc 0 0 0755\nsystem/etc/hosts 0 0 0644\n");
}

TEST_F(Fspatch, MissingTreeFailsWithoutTouchingTheFile) {
  WriteFile(t_ / "system/config/system_fs_config.txt", "system 0 0 0755\n");
  auto r = Sh("cd " + ShQuote(t_.str()) + " && " + Tool("fspatch") +
              " \"nothing/here\" \"system/config/system_fs_config.txt\"");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.output.find("fspatch: error:"), std::string::npos);
  EXPECT_EQ(ReadFile(t_ / "system/config/system_fs_config.txt"), "system 0 0 0755\n");
}

}  // namespace
