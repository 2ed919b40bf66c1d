// An OTA payload built by the test writer from real ext4 and EROFS images goes through
// orvex-cli: payload_dumper gives the images back byte for byte and the batch unpack unpacks
// them into folders that hold the source trees.
#include <gtest/gtest.h>

#if __has_include("payload_writer.h")
#include "cli_workspace.h"
#include "payload_writer.h"
#include "tree_manifest.h"

using namespace orvex::test;
namespace pw = orvex::test::payload_writer;

namespace {

using PayloadCli = CliWorkspace;

void MakeTree(const fs::path& t, const std::string& tag) {
  WriteFile(t / "etc/build.prop", "ro.product=" + tag + "\n");
  WriteFile(t / "bin/tool", std::string(20000, 't'));
  std::string text;
  for (int i = 0; i < 5000; ++i) text += tag + " line " + std::to_string(i) + "\n";
  WriteFile(t / ("app/" + tag + "/data.txt"), text);
  fs::create_symlink("/system/bin/tool", t / "bin/link");
}

void ExpectTree(const fs::path& src, const fs::path& got) {
  auto a = Manifest(src, false), b = Manifest(got, false);
  for (const auto& [path, desc] : a) {
    auto it = b.find(path);
    if (it == b.end()) ADD_FAILURE() << "missing after the unpack: " << path;
    else EXPECT_EQ(desc, it->second) << path;
  }
}

}  // namespace

TEST(PayloadUnpack, ImagesComeBackAndTheMainPartitionsAreUnpacked) {
  if (!HaveProgram("mke2fs") || !HaveProgram("mkfs.erofs")) GTEST_SKIP() << "mke2fs or mkfs.erofs missing";
  PayloadCli cli;
  for (const char* n : {"system", "system_ext", "vendor"}) MakeTree(cli.tmp / "src" / n, n);
  auto mk = RunCommand("mke2fs -q -t ext4 -b 4096 -L system -d " + ShQuote((cli.tmp / "src/system").string()) + " " +
                       ShQuote((cli.tmp / "system.img").string()) + " 16M && mke2fs -q -t ext4 -b 4096 -d " +
                       ShQuote((cli.tmp / "src/system_ext").string()) + " " +
                       ShQuote((cli.tmp / "system_ext.img").string()) + " 8M && mkfs.erofs -zlz4hc -T1700000000 " +
                       ShQuote((cli.tmp / "vendor.img").string()) + " " + ShQuote((cli.tmp / "src/vendor").string()));
  ASSERT_EQ(mk.exit_code, 0) << mk.output;
  std::map<std::string, std::string> images;
  pw::Payload p;
  for (const char* n : {"boot", "system", "system_ext", "vendor"}) {
    images[n] = std::string(n) == "boot" ? std::string(3 * 4096, 'k') : ReadFile(cli.tmp / (std::string(n) + ".img"));
    p.parts.push_back(pw::FullPartition(n, images[n], 4096, 8));
  }
  const fs::path payload = cli.tmp / "fw/payload.bin";
  pw::Layout lay;
  const std::string bytes = pw::Serialize(p, &lay);
  WriteFile(payload, bytes);

  auto r = cli.Run(payload);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const fs::path out = cli.tmp / "fw/payload";
  for (const auto& [n, img] : images) EXPECT_TRUE(ReadFile(out / (n + "_a.img")) == img) << n;
  ASSERT_TRUE(fs::exists(out / "system_a/system")) << r.output;  // the tree takes the volume label
  ExpectTree(cli.tmp / "src/system", out / "system_a/system");
  ExpectTree(cli.tmp / "src/system_ext", out / "system_ext_a/system_ext_a");
  ExpectTree(cli.tmp / "src/vendor", out / "vendor_a/vendor_a");
  EXPECT_FALSE(fs::exists(out / "boot_a"));
  EXPECT_NE(r.output.find("payload_dumper: 0"), std::string::npos) << r.output;

  // The same payload with one flipped byte in a blob of system: the run fails, names the
  // partition and operation, leaves no system image and unpacks nothing.
  std::string bad = bytes;
  bad[lay.blob_offsets[1][2] + 33] ^= 0x20;
  WriteFile(payload, bad);
  r = cli.Run(payload);
  EXPECT_EQ(r.exit_code, 1) << r.output;
  EXPECT_NE(r.output.find("partition system, operation 2 (REPLACE_XZ): data hash mismatch"), std::string::npos)
      << r.output;
  EXPECT_TRUE(fs::exists(out / "boot_a.img"));
  EXPECT_FALSE(fs::exists(out / "system_a.img"));
  EXPECT_FALSE(fs::exists(out / "system_a"));
  EXPECT_FALSE(fs::exists(out / "vendor_a"));
}

#endif
