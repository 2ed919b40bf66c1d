// Update packages through orvex-cli with the real tools: the folder packs back into an update
// package signed as recovery checks it, and an A/B OTA zip gives its partition folders in one run.
#include <gtest/gtest.h>

#include "cli_workspace.h"
#include "update_signature.h"

#if __has_include("payload_writer.h")
#include "payload_writer.h"
#define ORVEX_HAVE_PAYLOAD_WRITER 1
#endif

using namespace orvex::test;

namespace {

bool HaveSigningTools() {
  return HaveProgram("java") && HaveProgram("jarsigner") && HaveProgram("openssl") &&
         fs::exists(BinDir() / "zipsigner.jar") && fs::exists(BinDir() / "testkey.pk8");
}

}  // namespace

TEST(UpdatePackage, PackedFolderIsSignedAsRecoveryChecksIt) {
  if (!HaveSigningTools()) GTEST_SKIP() << "java, jarsigner, openssl or the signing launcher missing";
  CliWorkspace cli;
  fs::path src = cli.tmp / "src";
  WriteFile(src / "META-INF/com/google/android/updater-script", "ui_print(\"Orvex\");\n");
  WriteFile(src / "META-INF/com/google/android/update-binary", std::string(4000, 'b'));
  WriteFile(src / "boot.img", std::string(90000, 'k'));
  ASSERT_EQ(RunCommand("cd " + ShQuote(src.string()) + " && 7zz a -tzip " + ShQuote((cli.Fw() / "update.zip").string()) +
                       " META-INF boot.img >/dev/null").exit_code, 0);
  auto r = cli.Run(cli.Fw() / "update.zip", "--set Open_Folder=0");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  WriteFile(cli.Fw() / "update/boot.img", "edited kernel");

  r = cli.Run(cli.Fw() / "update", "--set Signature=1");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("Exit code zipsigner: 0"), std::string::npos) << r.output;
  EXPECT_FALSE(fs::exists(cli.Fw() / "update~.zip"));
  CommandResult v1 = RunCommand("jarsigner -verify " + ShQuote((cli.Fw() / "update.zip").string()));
  EXPECT_NE(v1.output.find("jar verified."), std::string::npos) << v1.output;
  EXPECT_EQ(VerifyWholeFile(ReadFile(cli.Fw() / "update.zip"), cli.tmp), "");
  EXPECT_EQ(RunCommand("unzip -p " + ShQuote((cli.Fw() / "update.zip").string()) + " boot.img").output, "edited kernel");
}

#ifdef ORVEX_HAVE_PAYLOAD_WRITER
namespace pw = orvex::test::payload_writer;

// One drop of an A/B OTA zip: the archive, its payload and the partitions in it.
TEST(UpdatePackage, OtaZipWithAPayloadGivesThePartitionFolders) {
  CliWorkspace cli;
  fs::path tree = cli.tmp / "tree";
  WriteFile(tree / "etc/build.prop", "ro.product.name=orvex_ota\n");
  WriteFile(tree / "bin/tool", std::string(30000, 't'));
  const fs::path image = cli.tmp / "system.raw";
  ASSERT_EQ(RunCommand("mke2fs -q -t ext4 -b 4096 -d " + ShQuote(tree.string()) + " " + ShQuote(image.string()) + " 8M")
                .exit_code, 0);
  pw::Payload p;
  p.parts.push_back(pw::FullPartition("system", ReadFile(image)));
  WriteFile(cli.tmp / "ota/payload.bin", pw::Serialize(p));
  WriteFile(cli.tmp / "ota/payload_properties.txt", "FILE_HASH=x\n");
  WriteFile(cli.tmp / "ota/META-INF/com/android/metadata", "ota-type=AB\n");
  ASSERT_EQ(RunCommand("cd " + ShQuote((cli.tmp / "ota").string()) + " && 7zz a -tzip -mx0 " +
                       ShQuote((cli.Fw() / "ota.zip").string()) + " payload.bin payload_properties.txt META-INF >/dev/null")
                .exit_code, 0);

  auto r = cli.Run(cli.Fw() / "ota.zip", "--set Open_Folder=0");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(ReadFile(cli.Fw() / "ota/payload/system_a.img"), ReadFile(image));
  EXPECT_EQ(ReadFile(cli.Fw() / "ota/payload/system_a/system_a/etc/build.prop"), "ro.product.name=orvex_ota\n")
      << r.output;
  EXPECT_EQ(ReadFile(cli.Fw() / "ota/payload/system_a/system_a/bin/tool"), std::string(30000, 't'));
}
#endif
