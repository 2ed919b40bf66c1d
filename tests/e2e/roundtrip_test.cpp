// Unpack, edit, pack and unpack again through orvex-cli with the real tools, on images made by
// mke2fs and mkfs.erofs; every image we build is checked by e2fsck or fsck.erofs, and every
// path's metadata and bytes are compared with the source tree.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "cli_workspace.h"
#include "tree_manifest.h"

using namespace orvex::test;

namespace {

using Cli = CliWorkspace;

// A source tree with several owners, modes, a capability, SELinux labels, links and a hole.
void MakeTree(const fs::path& t, bool root) {
  WriteFile(t / "bin/sh", "#!/bin/sh\necho shell\n");
  WriteFile(t / "bin/ping", std::string(9000, 'p'));
  WriteFile(t / "etc/hosts", "127.0.0.1 localhost\n");
  WriteFile(t / "etc/empty", "");
  WriteFile(t / std::string(200, 'n'), "long name");
  WriteFile(t / "app/Демо/Демо.apk", std::string(70000, 'a'));
  fs::create_directories(t / "lib/empty_dir");
  fs::create_symlink("/system/bin/sh", t / "bin/sh_link");
  fs::create_symlink(std::string(150, 'x') + "/" + std::string(149, 'y'), t / "bin/slow_link");
  fs::create_hard_link(t / "etc/hosts", t / "etc/hosts.hard");
  {
    // A file with a hole in the middle.
    std::string p = (t / "lib/holey.bin").string();
    RunCommand("printf start > " + ShQuote(p) + " && truncate -s 3M " + ShQuote(p) + " && printf end >> " + ShQuote(p));
  }
  chmod((t / "bin/sh").c_str(), 0755);
  chmod((t / "bin/ping").c_str(), 0750);
  chmod((t / "etc/hosts").c_str(), 0600);
  if (!root) return;
  RunCommand("chown -R 0:0 " + ShQuote(t.string()));
  RunCommand("chown 0:2000 " + ShQuote((t / "bin/ping").string()) + " " + ShQuote((t / "bin/sh").string()));
  RunCommand("chown 1000:1000 " + ShQuote((t / "app").string()));
  RunCommand("find " + ShQuote(t.string()) + " -exec setfattr -h -n security.selinux -v u:object_r:system_file:s0 {} \\;");
  RunCommand("setfattr -h -n security.selinux -v u:object_r:ping_exec:s0 " + ShQuote((t / "bin/ping").string()));
  RunCommand("setcap cap_net_raw+ep " + ShQuote((t / "bin/ping").string()));
}

bool HaveAll(std::initializer_list<const char*> tools) {
  for (const char* t : tools)
    if (!HaveProgram(t)) return false;
  return true;
}

void ExpectSameTrees(const fs::path& a, const fs::path& b, bool owners) {
  auto ma = Manifest(a, owners), mb = Manifest(b, owners);
  EXPECT_EQ(ma.size(), mb.size());
  for (const auto& [path, desc] : ma) {
    auto it = mb.find(path);
    if (it == mb.end()) {
      ADD_FAILURE() << "missing after the round trip: " << path;
      continue;
    }
    EXPECT_EQ(desc, it->second) << path;
  }
}

}  // namespace

class Ext4RoundTrip : public ::testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(Ext4RoundTrip, EveryPathSurvives) {
  if (!HaveAll({"mke2fs", "e2fsck", "debugfs", "img2simg", "simg2img"})) GTEST_SKIP() << "e2fsprogs or sparse tools missing";
  const bool sparse = std::get<0>(GetParam());
  const bool journal = std::get<1>(GetParam());
  const bool root = IsRoot();
  if (!root) std::cout << "[ not root: owners, capabilities and labels are not compared ]\n";
  Cli cli;
  fs::path src = cli.tmp / "src";
  MakeTree(src, root);
  fs::path raw = cli.tmp / "raw.img";
  fs::path image = cli.Fw() / "system.img";
  auto mk = RunCommand("mke2fs -q -t ext4 -b 4096 " + std::string(journal ? "" : "-O ^has_journal ") +
                       "-L system -M /system -d " + ShQuote(src.string()) + " " + ShQuote(raw.string()) + " 32M");
  ASSERT_EQ(mk.exit_code, 0) << mk.output;
  if (sparse) ASSERT_EQ(RunCommand("img2simg " + ShQuote(raw.string()) + " " + ShQuote(image.string())).exit_code, 0);
  else fs::copy_file(raw, image);

  auto r = cli.Run(image);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  fs::path tree = cli.Fw() / "system/system";
  ExpectSameTrees(src, tree, root);
  std::string options = ReadFile(cli.Fw() / "system/config/system_fs_options.txt");
  EXPECT_NE(options.find(std::string("Type: ") + (sparse ? "Sparse" : "Raw") + "\r\n"), std::string::npos) << options;
  EXPECT_NE(options.find(std::string("Journal: ") + (journal ? "Yes" : "No") + "\r\n"), std::string::npos) << options;
  EXPECT_NE(options.find("Size: 33554432\r\n"), std::string::npos);

  // The user edits a file and adds one.
  WriteFile(tree / "etc/hosts", "10.0.0.1 edited\n");
  chmod((tree / "etc/hosts").c_str(), 0600);
  WriteFile(tree / "bin/added_tool", "new");
  WriteFile(src / "etc/hosts", "10.0.0.1 edited\n");

  r = cli.Run(cli.Fw() / "system");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("bin/added_tool"), std::string::npos) << "the log lists what was added:\n" << r.output;
  EXPECT_EQ(RunCommand("head -c 4 " + ShQuote(image.string()) + " | od -An -tx1").output.find("3a ff 26 ed") != std::string::npos,
            sparse);
  fs::path check = cli.tmp / "check.img";
  if (sparse) ASSERT_EQ(RunCommand("simg2img " + ShQuote(image.string()) + " " + ShQuote(check.string())).exit_code, 0);
  else fs::copy_file(image, check);
  auto fsck = RunCommand("e2fsck -fn " + ShQuote(check.string()));
  EXPECT_EQ(fsck.exit_code, 0) << fsck.output;
  EXPECT_EQ(fs::file_size(check), 33554432u);
  // An independent reader sees the owners, label and the added file's defaults.
  auto stat = RunCommand("debugfs -R 'stat /bin/added_tool' " + ShQuote(check.string()));
  EXPECT_NE(stat.output.find("Mode:  0755"), std::string::npos) << stat.output;  // under bin/: an executable
  auto sb = RunCommand("dumpe2fs -h " + ShQuote(check.string()));
  EXPECT_NE(sb.output.find("Filesystem volume name:   system"), std::string::npos);
  EXPECT_NE(sb.output.find("Last mounted on:          /system"), std::string::npos);
  EXPECT_EQ(sb.output.find("has_journal") != std::string::npos, journal) << sb.output;
  if (root) {
    auto ping = RunCommand("debugfs -R 'stat /bin/ping' " + ShQuote(check.string()));
    EXPECT_NE(ping.output.find("Group:  2000"), std::string::npos) << ping.output;
    auto ea = RunCommand("debugfs -R 'ea_list /bin/ping' " + ShQuote(check.string()));
    EXPECT_NE(ea.output.find("u:object_r:ping_exec:s0"), std::string::npos) << ea.output;
    EXPECT_NE(ea.output.find("security.capability"), std::string::npos) << ea.output;
    auto added = RunCommand("debugfs -R 'ea_list /bin/added_tool' " + ShQuote(check.string()));
    EXPECT_NE(added.output.find("u:object_r:system_file:s0"), std::string::npos) << added.output;
  }

  // Unpacked again, the tree matches the edited source path for path.
  r = cli.Run(image);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  fs::remove(tree / "bin/added_tool");
  ExpectSameTrees(src, tree, root);
}

INSTANTIATE_TEST_SUITE_P(Forms, Ext4RoundTrip,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "Sparse" : "Raw") +
                                  (std::get<1>(info.param) ? "Journal" : "NoJournal");
                         });

class ErofsRoundTrip : public ::testing::TestWithParam<std::string> {};

TEST_P(ErofsRoundTrip, EveryPathSurvives) {
  if (!HaveAll({"mkfs.erofs", "fsck.erofs"})) GTEST_SKIP() << "erofs-utils missing";
  const bool root = IsRoot();
  if (!root) std::cout << "[ not root: owners, capabilities and labels are not compared ]\n";
  Cli cli;
  fs::path src = cli.tmp / "vendor";
  MakeTree(src, root);
  fs::path image = cli.Fw() / "vendor.img";
  auto mk = RunCommand("mkfs.erofs " + GetParam() + " -T1700000000 " + ShQuote(image.string()) + " " + ShQuote(src.string()));
  ASSERT_EQ(mk.exit_code, 0) << mk.output;

  auto r = cli.Run(image);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  fs::path tree = cli.Fw() / "vendor/vendor";
  ExpectSameTrees(src, tree, root);

  WriteFile(tree / "etc/hosts", "edited\n");
  chmod((tree / "etc/hosts").c_str(), 0600);
  WriteFile(src / "etc/hosts", "edited\n");
  r = cli.Run(cli.Fw() / "vendor");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  auto fsck = RunCommand("fsck.erofs " + ShQuote(image.string()));
  EXPECT_EQ(fsck.exit_code, 0) << fsck.output;

  r = cli.Run(image);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  ExpectSameTrees(src, tree, root);
}

INSTANTIATE_TEST_SUITE_P(Compression, ErofsRoundTrip, ::testing::Values("", "-zlz4hc"),
                         [](const auto& info) { return info.param.empty() ? std::string("Plain") : std::string("Lz4hc"); });

// The packaged mkfs.erofs reads no attribute file: the pack step gives the tree the recorded
// owners, modes and capabilities first, so a tree that lost them still builds a faithful image.
TEST(ErofsAttributes, RecordedOwnersWinOverTheTree) {
  if (!HaveAll({"mkfs.erofs", "fsck.erofs", "setpriv"})) GTEST_SKIP() << "erofs-utils or setpriv missing";
  if (!IsRoot()) GTEST_SKIP() << "needs root to make a tree with several owners";
  for (bool asRoot : {true, false}) {
    SCOPED_TRACE(asRoot ? "packed as root" : "packed as an ordinary user under fakeroot");
    Cli cli;
    fs::path src = cli.tmp / "vendor";
    MakeTree(src, true);
    fs::path image = cli.Fw() / "vendor.img";
    ASSERT_EQ(RunCommand("mkfs.erofs -zlz4 " + ShQuote(image.string()) + " " + ShQuote(src.string())).exit_code, 0);
    ASSERT_EQ(cli.Run(image).exit_code, 0);
    fs::path tree = cli.Fw() / "vendor/vendor";
    // The user adds a file; it takes the label of its folder.
    WriteFile(tree / "bin/added", "added");
    // The tree loses its owners and capabilities, as after a copy by an ordinary user.
    RunCommand("chown -R 65534:65534 " + ShQuote(cli.Fw().string()) + " && setcap -r " + ShQuote((tree / "bin/ping").string()));
    RunCommand("chmod -R a+rwX " + ShQuote(cli.Fw().string()) + " && chmod a+rwx " + ShQuote(cli.tmp.str()) + " " + ShQuote((cli.tmp / "bin/config").string()));
    std::string pack = ShQuote(cli.exe.string()) + " --set Locale_ID=1033 " + ShQuote((cli.Fw() / "vendor").string());
    auto r = asRoot ? RunCommand(pack) : RunCommand("setpriv --reuid=65534 --regid=65534 --clear-groups " + pack);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find("attributes of"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("1 added labels looked up inside the image too"), std::string::npos) << r.output;
    EXPECT_EQ(RunCommand("fsck.erofs " + ShQuote(image.string())).exit_code, 0);
    ASSERT_EQ(cli.Run(image).exit_code, 0);
    std::string fsconfig = ReadFile(cli.Fw() / "vendor/config/vendor_fs_config.txt");
    EXPECT_NE(fsconfig.find("vendor/bin/ping 0 2000 0750 capabilities=0x2000"), std::string::npos) << fsconfig;
    EXPECT_NE(fsconfig.find("vendor/app 1000 1000 0755"), std::string::npos) << fsconfig;
    EXPECT_EQ(XattrHex(tree / "bin/added", "security.selinux"), "u:object_r:system_file:s0");
    fs::remove(tree / "bin/added");
    ExpectSameTrees(src, tree, true);
  }
}
