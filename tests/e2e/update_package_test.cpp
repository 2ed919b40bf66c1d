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

namespace {

bool HavePartitionTools() {
  for (const char* t : {"mke2fs", "e2fsck", "debugfs", "img2simg", "simg2img", "lz4", "tar", "md5sum"})
    if (!HaveProgram(t)) return false;
  return true;
}

// A raw ext4 image of `mib` MiB labelled and mounted as `name`, holding `files`.
void MakeExt4(const fs::path& image, const std::string& name, int mib,
              const std::vector<std::pair<std::string, std::string>>& files, const fs::path& scratch) {
  const fs::path src = scratch / ("src-" + name);
  for (const auto& [path, bytes] : files) WriteFile(src / path, bytes);
  auto r = RunCommand("mke2fs -q -t ext4 -b 4096 -O ^has_journal -L " + name + " -M /" + name + " -d " +
                      ShQuote(src.string()) + " " + ShQuote(image.string()) + " " + std::to_string(mib) + "M");
  ASSERT_EQ(r.exit_code, 0) << r.output;
}

CommandResult Tool(const fs::path& dir, const std::string& tool, const std::string& args) {
  return RunCommand("cd " + ShQuote(dir.string()) + " && " + ShQuote((BinDir() / tool).string()) + " " + args);
}

// e2fsck accepts the raw image and debugfs reads `path` from it.
std::string CatFromImage(const fs::path& raw, const std::string& path) {
  auto fsck = RunCommand("e2fsck -fn " + ShQuote(raw.string()));
  EXPECT_EQ(fsck.exit_code, 0) << fsck.output;
  std::string out = RunCommand("debugfs -R " + ShQuote("cat " + path) + " " + ShQuote(raw.string())).output;
  if (out.rfind("debugfs ", 0) == 0) out.erase(0, out.find('\n') + 1);  // its banner
  return out;
}

}  // namespace

// A custom-ROM update package: system as .new.dat.br, vendor as .new.dat, a boot image and
// META-INF. One drop unpacks the partitions; the edited folder packs back into a signed package
// whose system list gives the edited image.
TEST(UpdatePackage, TransferListPartitionsUnpackAndPackBackSigned) {
  if (!HavePartitionTools() || !HaveSigningTools()) GTEST_SKIP() << "tools missing";
  CliWorkspace cli;
  const fs::path pkg = cli.tmp / "pkg";
  fs::create_directories(pkg);
  MakeExt4(pkg / "s.img", "system", 16, {{"etc/hosts", "127.0.0.1 localhost\n"}, {"bin/tool", std::string(90000, 't')}},
           cli.tmp.path());
  MakeExt4(pkg / "v.img", "vendor", 8, {{"etc/vendor.prop", "vendor=1\n"}}, cli.tmp.path());
  ASSERT_EQ(Tool(pkg, "img2sdat", "s.img -v 4 -p system").exit_code, 0);
  ASSERT_EQ(Tool(pkg, "brotli", "--in system.new.dat --out system.new.dat.br").exit_code, 0);
  ASSERT_EQ(Tool(pkg, "img2sdat", "v.img -v 4 -p vendor").exit_code, 0);
  WriteFile(pkg / "META-INF/com/google/android/updater-script", "ui_print(\"Orvex\");\n");
  WriteFile(pkg / "boot.img", std::string(50000, 'k'));
  ASSERT_EQ(RunCommand("cd " + ShQuote(pkg.string()) + " && 7zz a -tzip " + ShQuote((cli.Fw() / "update.zip").string()) +
                       " META-INF boot.img system.new.dat.br system.transfer.list system.patch.dat vendor.new.dat"
                       " vendor.transfer.list vendor.patch.dat >/dev/null").exit_code, 0);

  auto r = cli.Run(cli.Fw() / "update.zip", "--set Open_Folder=0");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const fs::path folder = cli.Fw() / "update";
  EXPECT_EQ(ReadFile(folder / "system/system/etc/hosts"), "127.0.0.1 localhost\n") << r.output;
  EXPECT_EQ(ReadFile(folder / "vendor/vendor/etc/vendor.prop"), "vendor=1\n");

  WriteFile(folder / "system/system/etc/added.txt", "added by the user\n");
  r = cli.Run(folder, "--set Signature=1");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const fs::path zip = cli.Fw() / "update.zip";
  EXPECT_NE(RunCommand("jarsigner -verify " + ShQuote(zip.string())).output.find("jar verified."), std::string::npos);
  EXPECT_EQ(VerifyWholeFile(ReadFile(zip), cli.tmp), "");
  const fs::path check = cli.tmp / "check";
  ASSERT_EQ(RunCommand("7zz x " + ShQuote(zip.string()) + " -o" + ShQuote(check.string()) + " -y >/dev/null").exit_code, 0);
  EXPECT_TRUE(fs::exists(check / "boot.img"));
  EXPECT_FALSE(fs::exists(check / "system")) << "unpacked folders stay out of the package";
  ASSERT_EQ(Tool(check, "brotli", "--decompress --in system.new.dat.br --out system.new.dat").exit_code, 0);
  ASSERT_EQ(Tool(check, "sdat2img", "system.transfer.list system.new.dat system.img").exit_code, 0);
  EXPECT_EQ(CatFromImage(check / "system.img", "/etc/added.txt"), "added by the user\n");
}

// A Samsung-style image: fw.tar.md5 holding system.img.ext4.lz4 (a sparse ext4 inside lz4).
TEST(UpdatePackage, TarMd5WithAnLz4ImageUnpacksAndPacksBack) {
  if (!HavePartitionTools()) GTEST_SKIP() << "tools missing";
  CliWorkspace cli;
  const fs::path stage = cli.tmp / "stage";
  fs::create_directories(stage);
  MakeExt4(cli.tmp / "raw.img", "system", 16, {{"etc/hosts", "127.0.0.1 localhost\n"}}, cli.tmp.path());
  ASSERT_EQ(RunCommand("img2simg " + ShQuote((cli.tmp / "raw.img").string()) + " " +
                       ShQuote((stage / "system.img.ext4").string())).exit_code, 0);
  ASSERT_EQ(RunCommand("cd " + ShQuote(stage.string()) + " && lz4 -q --rm system.img.ext4 system.img.ext4.lz4 && tar -cf " +
                       ShQuote((cli.Fw() / "fw.tar").string()) + " system.img.ext4.lz4 && cd " + ShQuote(cli.Fw().string()) +
                       " && md5sum -t fw.tar >> fw.tar && mv fw.tar fw.tar.md5").exit_code, 0);

  auto r = cli.Run(cli.Fw() / "fw.tar.md5", "--set Open_Folder=0");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(ReadFile(cli.Fw() / "fw/system/system/etc/hosts"), "127.0.0.1 localhost\n") << r.output;
  EXPECT_EQ(ReadFile(cli.Fw() / "fw/tarFileList.cfg"), "system.img.ext4.lz4\n");

  WriteFile(cli.Fw() / "fw/system/system/etc/added.txt", "added\n");
  r = cli.Run(cli.Fw() / "fw");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const std::string built = ReadFile(cli.Fw() / "fw.tar.md5");
  ASSERT_GT(built.size(), 41u);
  WriteFile(cli.tmp / "out/fw.tar", built.substr(0, built.size() - 41));
  EXPECT_EQ(built.substr(built.size() - 41), RunCommand("cd " + ShQuote((cli.tmp / "out").string()) + " && md5sum -t fw.tar").output);
  ASSERT_EQ(RunCommand("cd " + ShQuote((cli.tmp / "out").string()) + " && tar -xf fw.tar && lz4 -d -q system.img.ext4.lz4 s.img"
                       " && simg2img s.img raw.img").exit_code, 0);
  EXPECT_EQ(CatFromImage(cli.tmp / "out/raw.img", "/etc/added.txt"), "added\n");
}
