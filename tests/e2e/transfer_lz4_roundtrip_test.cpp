// Block-based OTA partitions and LZ4 images through orvex-cli with the real tools: images made by
// mke2fs, turned into transfer lists by our img2sdat or by hand, compressed by our brotli or the
// packaged lz4; every rebuilt image is checked by e2fsck and read back by debugfs.
#include <gtest/gtest.h>

#include <set>

#include "cli_workspace.h"
#include "tree_manifest.h"

using namespace orvex::test;

namespace {

struct Cli : CliWorkspace {
  // Runs one of the tool folder's tools in the firmware folder.
  CommandResult Tool(const std::string& tool, const std::string& args) const {
    return RunCommand("cd " + ShQuote(Fw().string()) + " && " + ShQuote((BinDir() / tool).string()) + " " + args);
  }
};

bool HaveAll(std::initializer_list<const char*> tools) {
  for (const char* t : tools)
    if (!HaveProgram(t)) return false;
  return true;
}

std::set<std::string> FilesIn(const fs::path& dir) {
  std::set<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().filename().string());
  return out;
}

void MakeTree(const fs::path& t) {
  WriteFile(t / "bin/sh", "#!/bin/sh\necho shell\n");
  WriteFile(t / "etc/hosts", "127.0.0.1 localhost\n");
  WriteFile(t / "app/Demo/Demo.apk", std::string(300000, 'a'));
  WriteFile(t / "lib/big.bin", std::string(2 << 20, 'z'));
  fs::create_symlink("/system/bin/sh", t / "bin/sh_link");
}

// A raw ext4 image of `mib` MiB holding the tree.
void MakeExt4(const fs::path& src, const fs::path& image, int mib) {
  auto mk = RunCommand("mke2fs -q -t ext4 -b 4096 -O ^has_journal -L system -M /system -d " + ShQuote(src.string()) + " " +
                       ShQuote(image.string()) + " " + std::to_string(mib) + "M");
  ASSERT_EQ(mk.exit_code, 0) << mk.output;
}

void ExpectSameFiles(const fs::path& a, const fs::path& b) {
  auto ma = Manifest(a, false), mb = Manifest(b, false);
  EXPECT_EQ(ma.size(), mb.size());
  for (const auto& [path, desc] : ma) {
    auto it = mb.find(path);
    if (it == mb.end()) ADD_FAILURE() << "missing: " << path;
    else EXPECT_EQ(desc, it->second) << path;
  }
}

// e2fsck accepts the raw image and debugfs reads the edited and the added file from it.
void CheckRebuilt(const fs::path& raw) {
  auto fsck = RunCommand("e2fsck -fn " + ShQuote(raw.string()));
  EXPECT_EQ(fsck.exit_code, 0) << fsck.output;
  auto cat = [&](const char* path) {
    return RunCommand("debugfs -R 'cat " + std::string(path) + "' " + ShQuote(raw.string()) + " 2>/dev/null | cat").output;
  };
  EXPECT_EQ(cat("/etc/hosts"), "10.0.0.1 edited\n");
  EXPECT_EQ(cat("/etc/added"), "added\n");
}

void EditTree(const fs::path& tree) {
  WriteFile(tree / "etc/hosts", "10.0.0.1 edited\n");
  WriteFile(tree / "etc/added", "added\n");
}

// A list written by hand: the image's two halves, the second one first in the data file.
void WriteHandList(const Cli& cli, const fs::path& raw, int version, bool compress) {
  const std::string img = ReadFile(raw);
  const uint64_t n = img.size() / 4096, half = n / 2;
  WriteFile(cli.Fw() / "system.new.dat", img.substr(half * 4096) + img.substr(0, half * 4096));
  std::string list = std::to_string(version) + "\n" + std::to_string(n) + "\n" + (version >= 2 ? "0\n0\n" : "");
  list += "new 2," + std::to_string(half) + "," + std::to_string(n) + "\nnew 2,0," + std::to_string(half) + "\n";
  WriteFile(cli.Fw() / "system.transfer.list", list);
  if (compress) {
    ASSERT_EQ(cli.Tool("brotli", "--quality 5 --in system.new.dat --out system.new.dat.br").exit_code, 0);
    fs::remove(cli.Fw() / "system.new.dat");
  }
}

}  // namespace

// 0: made by img2sdat (version 4) and brotli; 1 to 4: hand-written lists of that version.
class TransferListRoundTrip : public ::testing::TestWithParam<int> {};

TEST_P(TransferListRoundTrip, UnpackEditPackKeepsTheForm) {
  if (!HaveAll({"mke2fs", "e2fsck", "debugfs", "img2simg"})) GTEST_SKIP() << "e2fsprogs or img2simg missing";
  const int param = GetParam();
  const int version = param == 0 ? 4 : param;
  const bool compressed = param == 0 || param % 2 == 0;
  Cli cli;
  fs::path src = cli.tmp / "src";
  MakeTree(src);
  fs::path raw = cli.tmp / "raw.img";
  MakeExt4(src, raw, 24);
  if (param == 0) {
    ASSERT_EQ(RunCommand("img2simg " + ShQuote(raw.string()) + " " + ShQuote((cli.Fw() / "s.img").string())).exit_code, 0);
    auto r = cli.Tool("img2sdat", "s.img -v 4 -p system");
    ASSERT_EQ(r.exit_code, 0) << r.output;
    fs::remove(cli.Fw() / "s.img");
    ASSERT_EQ(cli.Tool("brotli", "--in system.new.dat --out system.new.dat.br").exit_code, 0);
    fs::remove(cli.Fw() / "system.new.dat");
  } else {
    WriteHandList(cli, raw, version, compressed);
  }
  const std::string data = compressed ? "system.new.dat.br" : "system.new.dat";
  std::set<std::string> form{data, "system.transfer.list"};
  if (param == 0) form.insert("system.patch.dat");

  auto r = cli.Run(cli.Fw() / data);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  std::set<std::string> after = form;
  after.insert("system");
  EXPECT_EQ(FilesIn(cli.Fw()), after) << r.output;
  fs::path tree = cli.Fw() / "system/system";
  ExpectSameFiles(src, tree);

  EditTree(tree);
  r = cli.Run(cli.Fw() / "system");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  after.insert("system.patch.dat");
  EXPECT_EQ(FilesIn(cli.Fw()), after) << r.output;
  EXPECT_EQ(ReadFile(cli.Fw() / "system.transfer.list").substr(0, 2), std::to_string(version) + "\n");

  if (compressed) {
    ASSERT_EQ(cli.Tool("brotli", "-d --in system.new.dat.br --out system.new.dat").exit_code, 0);
  }
  auto s = cli.Tool("sdat2img", "system.transfer.list system.new.dat check.img");
  ASSERT_EQ(s.exit_code, 0) << s.output;
  CheckRebuilt(cli.Fw() / "check.img");
  if (compressed) fs::remove(cli.Fw() / "system.new.dat");
  fs::remove(cli.Fw() / "check.img");

  // Unpacked again, the folder holds the edited tree.
  r = cli.Run(cli.Fw() / data);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(ReadFile(tree / "etc/added"), "added\n");
  EXPECT_EQ(ReadFile(tree / "lib/big.bin"), std::string(2 << 20, 'z'));
}

INSTANTIATE_TEST_SUITE_P(Lists, TransferListRoundTrip, ::testing::Values(0, 1, 2, 3, 4), [](const auto& info) {
  return info.param == 0 ? std::string("MadeByImg2sdat") : "HandWrittenV" + std::to_string(info.param);
});

TEST(TransferListFiles, NotDeleteKeepsTheIntermediates) {
  if (!HaveAll({"mke2fs", "e2fsck", "img2simg"})) GTEST_SKIP() << "e2fsprogs or img2simg missing";
  Cli cli;
  fs::path src = cli.tmp / "src";
  MakeTree(src);
  fs::path raw = cli.tmp / "raw.img";
  MakeExt4(src, raw, 16);
  WriteHandList(cli, raw, 3, true);
  auto r = cli.Run(cli.Fw() / "system.new.dat.br", "--set Not_Delete=1");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(FilesIn(cli.Fw()), (std::set<std::string>{"system", "system.img", "system.new.dat", "system.new.dat.br",
                                                      "system.transfer.list"}));
  EXPECT_TRUE(ReadFile(cli.Fw() / "system.img") == ReadFile(raw));
  EditTree(cli.Fw() / "system/system");
  r = cli.Run(cli.Fw() / "system", "--set Not_Delete=1 --set No_Org=0 --set No_Backup=0");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(FilesIn(cli.Fw()),
            (std::set<std::string>{"system", "system.img", "system.new.dat", "system.new.dat.bak", "system.new.dat.org",
                                   "system.new.dat.br", "system.new.dat.br.bak", "system.new.dat.br.org",
                                   "system.transfer.list", "system.transfer.list.bak", "system.transfer.list.org",
                                   "system.patch.dat"}));
  EXPECT_EQ(ReadFile(cli.Fw() / "system.transfer.list").substr(0, 2), "3\n");
  auto s = cli.Tool("sdat2img", "system.transfer.list system.new.dat check.img");
  ASSERT_EQ(s.exit_code, 0) << s.output;
  CheckRebuilt(cli.Fw() / "check.img");
}

TEST(TransferListFiles, PublishedRomSampleUnpacks) {
  fs::path s = SamplesDir() / "newdat";
  if (!fs::exists(s / "pe_odm.new.dat.br") || !HaveProgram("e2fsck")) GTEST_SKIP() << "sample or e2fsck missing";
  Cli cli;
  for (const char* f : {"pe_odm.new.dat.br", "pe_odm.transfer.list"}) fs::copy_file(s / f, cli.Fw() / f);
  auto r = cli.Run(cli.Fw() / "pe_odm.new.dat.br", "--set Not_Delete=1");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  auto fsck = RunCommand("e2fsck -fn " + ShQuote((cli.Fw() / "pe_odm.img").string()));
  EXPECT_EQ(fsck.exit_code, 0) << fsck.output;
  EXPECT_NE(RunCommand("sha256sum " + ShQuote((cli.Fw() / "pe_odm.img").string())).output.find(
                "0b5657488450809015a7730442d0bd9b0d9010a2b360f9d2ee4c4abfd4164ced"),
            std::string::npos);
  EXPECT_TRUE(fs::is_directory(cli.Fw() / "pe_odm/odm"));
  EXPECT_GT(Manifest(cli.Fw() / "pe_odm/odm", false).size(), 5u);
}

// system.img.ext4.lz4 (sparse inside, as Samsung ships it), system.img.lz4 and system.img.ext4.
class Lz4RoundTrip : public ::testing::TestWithParam<std::string> {};

TEST_P(Lz4RoundTrip, UnpackEditPackKeepsTheForm) {
  if (!HaveAll({"mke2fs", "e2fsck", "debugfs", "img2simg", "simg2img", "lz4"})) GTEST_SKIP() << "tools missing";
  const std::string input = GetParam();
  const bool lz4 = input.size() > 4 && input.substr(input.size() - 4) == ".lz4";
  const std::string inner = lz4 ? input.substr(0, input.size() - 4) : input;
  const bool sparse = inner == "system.img.ext4";
  Cli cli;
  fs::path src = cli.tmp / "src";
  MakeTree(src);
  fs::path raw = cli.tmp / "raw.img";
  MakeExt4(src, raw, 24);
  fs::path innerPath = cli.Fw() / inner;
  if (sparse) ASSERT_EQ(RunCommand("img2simg " + ShQuote(raw.string()) + " " + ShQuote(innerPath.string())).exit_code, 0);
  else fs::copy_file(raw, innerPath);
  if (lz4) {
    ASSERT_EQ(cli.Tool("lz4", "-q " + ShQuote(inner) + " " + ShQuote(input)).exit_code, 0);
    fs::remove(innerPath);
  }

  auto r = cli.Run(cli.Fw() / input);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(FilesIn(cli.Fw()), (std::set<std::string>{input, "system"})) << r.output;
  fs::path tree = cli.Fw() / "system/system";
  ExpectSameFiles(src, tree);

  EditTree(tree);
  r = cli.Run(cli.Fw() / "system");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(FilesIn(cli.Fw()), (std::set<std::string>{input, "system"})) << r.output;

  fs::path check = cli.tmp / "check.img";
  fs::path built = innerPath;
  if (lz4) {
    auto d = cli.Tool("lz4", "-d -q " + ShQuote(input) + " " + ShQuote(inner));
    ASSERT_EQ(d.exit_code, 0) << d.output;
  }
  const bool builtSparse = ReadFile(built).substr(0, 4) == std::string("\x3A\xFF\x26\xED", 4);
  EXPECT_EQ(builtSparse, sparse) << "the image keeps its form";
  if (builtSparse) ASSERT_EQ(RunCommand("simg2img " + ShQuote(built.string()) + " " + ShQuote(check.string())).exit_code, 0);
  else fs::copy_file(built, check);
  CheckRebuilt(check);
}

INSTANTIATE_TEST_SUITE_P(Forms, Lz4RoundTrip, ::testing::Values("system.img.ext4.lz4", "system.img.lz4", "system.img.ext4"),
                         [](const auto& info) {
                           std::string s = info.param;
                           for (char& c : s)
                             if (c == '.') c = '_';
                           return s;
                         });
