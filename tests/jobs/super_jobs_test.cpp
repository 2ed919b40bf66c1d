// The super unpack and pack jobs against fake tools: exact command lines, log lines, the layout
// file's appended block, renames, backups and restores, and layouts that must not reach lpmake.
#include <gtest/gtest.h>

#include "fake_tools.h"
#include "jobs.h"
#include "text.h"
#include "workspace.h"

using namespace orvex;
using namespace orvex::test;

namespace {

const char kLayout[] =
    "Slot 0:\n"
    "Metadata version: 10.2\n"
    "Metadata size: 720 bytes\n"
    "Metadata max size: 65536 bytes\n"
    "Metadata slot count: 3\n"
    "Header flags: virtual_ab_device\n"
    "Partition table:\n"
    "------------------------\n"
    "  Name: system_a\n  Group: main_a\n  Attributes: readonly\n  Extents:\n    0 .. 16383 linear super 2048\n"
    "------------------------\n"
    "  Name: system_b\n  Group: main_b\n  Attributes: readonly\n  Extents:\n"
    "------------------------\n"
    "  Name: vendor_a\n  Group: main_a\n  Attributes: none\n  Extents:\n    0 .. 15 linear super 18432\n"
    "------------------------\n"
    "  Name: vendor_b\n  Group: main_b\n  Attributes: readonly\n  Extents:\n"
    "------------------------\n"
    "Super partition layout:\n"
    "------------------------\n"
    "super: 2048 .. 18432: system_a (16384 sectors)\n"
    "super: 18432 .. 18448: vendor_a (16 sectors)\n"
    "------------------------\n"
    "Block device table:\n"
    "------------------------\n"
    "  Partition name: super\n  First sector: 2048\n  Size: 104857600 bytes\n  Flags: none\n"
    "------------------------\n"
    "Group table:\n"
    "------------------------\n"
    "  Name: default\n  Maximum size: 0 bytes\n  Flags: none\n"
    "------------------------\n"
    "  Name: main_a\n  Maximum size: 100000000 bytes\n  Flags: none\n"
    "------------------------\n"
    "  Name: main_b\n  Maximum size: 99999744 bytes\n  Flags: none\n"
    "------------------------\n";

// lpdump prints the layout; lpunpack leaves system_a (ext4), vendor_a and the empty slot b.
void InstallSplitFakes(const EngineEnv& env, int lpunpackCode = 0) {
  WriteFile(env.tmp / "layout.txt", kLayout);
  env.FakeTool("makesuper/lpdump", RecordCall(env, "lpdump") + "cat " + ShQuote((env.tmp / "layout.txt").string()) + "\n");
  env.FakeTool("makesuper/lpunpack", RecordCall(env, "lpunpack") + MakeExt4Marked("\"$2/system_a.img\"") +
                                         "head -c 5000 /dev/zero > \"$2/vendor_a.img\"\n"
                                         ": > \"$2/system_b.img\"; : > \"$2/vendor_b.img\"\n"
                                         "exit " + std::to_string(lpunpackCode) + "\n");
  env.FakeTool("simg2img", RecordCall(env, "simg2img") + "head -c 200000 /dev/zero > \"$2\"\n");
  InstallExt4Fakes(env, "EXT_ATTR");
}

}  // namespace

TEST(UnpackSuperImage, SparseInputIsConvertedSplitRecordedAndItsPartitionsUnpacked) {
  EngineEnv env;
  env.settings.SetInt("Not_Delete", 0);
  env.settings.SetInt("Open_Folder", 0);
  InstallSplitFakes(env);
  fs::path w = env.Work();
  WriteSparseMarked(w / "super.img");
  const std::string before = ReadFile(w / "super.img");

  UnpackSuperImage(env.ctx, (w / "super.img").string());

  const std::string wd = w.string() + "\n";
  ASSERT_EQ(Calls(env, "simg2img").size(), 1u);
  EXPECT_EQ(Calls(env, "simg2img")[0], "== simg2img\n" + wd + "<super.img>\n<super_raw.img>\n");
  EXPECT_EQ(Calls(env, "lpdump")[0], "== lpdump\n" + wd + "<--slot=0>\n<super_raw.img>\n");
  EXPECT_EQ(Calls(env, "lpunpack")[0], "== lpunpack\n" + wd + "<super_raw.img>\n<super>\n");
  // The layout file: lpdump's text, then the appended block.
  EXPECT_EQ(ReadFile(w / "super" / "config" / "super_config.txt"),
            std::string(kLayout) +
                "File information:\r\n------------------------\r\n  FileName: super.img\r\n  FileType: Sparse\r\n"
                "  PartExt: img\r\n------------------------\r\n");
  EXPECT_EQ(ReadKeyValueFile((w / "super" / "config" / "super_config.txt").string(), "FileName"), "super.img");
  EXPECT_EQ(ReadFile(w / "super.img"), before);
  EXPECT_FALSE(fs::exists(w / "super_raw.img"));

  auto& M = env.ctx;
  const std::vector<std::string> expectStart = {
      M.M(37) + " super.img |Sparse| " + M.M(30), "",
      M.M(166) + " super.img |Sparse| " + M.M(87) + " super_raw.img |Raw|", ""};
  auto lines = env.Lines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4), expectStart);
  EXPECT_TRUE(HasLine(env, M.M(181) + " super_raw.img |Raw|"));
  EXPECT_TRUE(HasLine(env, M.M(42) + " lpunpack: 0" + "  (" + M.M(76) + "!)"));
  EXPECT_TRUE(HasLine(env, "Partition: system_a.img Size: 8.00 KB"));
  EXPECT_TRUE(HasLine(env, "Partition: system_b.img Size: 0 bytes"));
  EXPECT_TRUE(HasLine(env, "Partition: vendor_a.img Size: 4.88 KB"));
  // Free space: the raw copy's 200000 bytes less 8192 + 5000.
  EXPECT_TRUE(HasLine(env, ">< !!! " + M.M(41) + " " + FormatSize(200000 - 8192 - 5000)));
  // The batch unpack takes the non-empty slot-a images only.
  auto ext = Calls(env, "imgextractor");
  ASSERT_EQ(ext.size(), 2u);
  EXPECT_NE(ext[0].find("<system_a.img>"), std::string::npos);
  EXPECT_NE(ext[1].find("<vendor_a.img>"), std::string::npos);
  EXPECT_TRUE(fs::exists(w / "super" / "system_a" / "config" / "system_a_fs_options.txt"));
  auto recent = env.recent.List();
  EXPECT_NE(std::find(recent.begin(), recent.end(), (w / "super").string()), recent.end());
  EXPECT_NE(std::find(recent.begin(), recent.end(), (w / "super.img").string()), recent.end());
}

TEST(UnpackSuperImage, FexInputGivesFexPartitionsAndAFailedSplitStillReportsAndGoesOn) {
  EngineEnv env;
  env.settings.SetInt("Open_Folder", 0);
  InstallSplitFakes(env, 3);
  fs::path w = env.Work();
  std::string raw(300000, '\0');
  WriteFile(w / "super.fex", raw);
  fs::create_directories(w / "super" / "old");

  UnpackSuperImage(env.ctx, (w / "super.fex").string());

  EXPECT_TRUE(Calls(env, "simg2img").empty());
  EXPECT_EQ(Calls(env, "lpunpack")[0], "== lpunpack\n" + w.string() + "\n<super.fex>\n<super>\n");
  EXPECT_FALSE(fs::exists(w / "super" / "old"));  // the folder was made anew
  EXPECT_TRUE(fs::exists(w / "super" / "system_a.fex"));
  EXPECT_FALSE(fs::exists(w / "super" / "system_a.img"));
  EXPECT_TRUE(HasLine(env, env.ctx.M(70) + ": *.img " + env.ctx.M(87) + " *.fex"));
  EXPECT_TRUE(HasLine(env, "Partition: vendor_a.fex Size: 4.88 KB"));
  EXPECT_TRUE(HasLine(env, env.ctx.M(42) + " lpunpack: 3  (" + env.ctx.M(77) + "!)"));
  EXPECT_NE(ReadFile(w / "super" / "config" / "super_config.txt").find("  FileType: Raw\r\n  PartExt: fex\r\n"),
            std::string::npos);
  // A failed split is not recorded as a recent result, but the batch unpack still runs.
  for (const std::string& r : env.recent.List()) EXPECT_NE(r, (w / "super").string());
  EXPECT_EQ(Calls(env, "imgextractor").size(), 2u);
}

// --- Pack --------------------------------------------------------------------------------------

namespace {

// A super folder as the unpack leaves it, with the given layout text.
fs::path MakeSuperFolder(const EngineEnv& env, const std::string& layout, const std::string& block) {
  fs::path w = env.Work();
  WriteFile(w / "super" / "config" / "super_config.txt", layout + block);
  return w / "super";
}

const char kBlockSparse[] =
    "File information:\r\n------------------------\r\n  FileName: super.img\r\n  FileType: Sparse\r\n"
    "  PartExt: img\r\n------------------------\r\n";

// lpmake writes its output (the last argument, after "--output="); simg2img makes a raw copy.
void InstallBuildFakes(const EngineEnv& env, int lpmakeCode = 0, int simgCode = 0) {
  env.FakeTool("makesuper/lpmake", RecordCall(env, "lpmake") +
                                       "for a in \"$@\"; do out=$a; done\n"
                                       "echo built > \"${out#--output=}\"\n"
                                       "exit " + std::to_string(lpmakeCode) + "\n");
  env.FakeTool("simg2img", RecordCall(env, "simg2img") + "head -c 8192 /dev/zero > \"$2\"\nexit " +
                               std::to_string(simgCode) + "\n");
}

}  // namespace

TEST(PackSuperImage, BuildsTheLayoutsCommandLineWithRawImagesAndKeepsBackups) {
  EngineEnv env;
  env.settings.SetInt("No_Org", 0);
  env.settings.SetInt("No_Backup", 1);
  InstallBuildFakes(env);
  fs::path s = MakeSuperFolder(env, kLayout, kBlockSparse);
  WriteExt4Marked(s / "system_a.img");
  WriteSparseMarked(s / "vendor_a.img");
  WriteFile(s.parent_path() / "super.img", "previous super");

  PackSuperImage(env.ctx, s.string());

  const std::string args =
      "--metadata-size=65536 --super-name=super --metadata-slots=3 --device=super:104857600:1048576"
      " --group=main_a:100000000 --group=main_b:99999744"
      " --partition=system_a:readonly:8192:main_a --image=system_a=./system_a.img"
      " --partition=system_b:readonly:0:main_b"
      " --partition=vendor_a:none:8192:main_a --image=vendor_a=./vendor_a.img"
      " --partition=vendor_b:readonly:0:main_b --virtual-ab --sparse --output=../super.img";
  EXPECT_EQ(ReadFile(s / "config" / "pack_super.sh"), "lpmake " + args);
  auto calls = Calls(env, "lpmake");
  ASSERT_EQ(calls.size(), 1u);
  std::string expected = "== lpmake\n" + s.string() + "\n";
  for (const std::string& a : Split(args, ' ')) expected += "<" + a + ">\n";
  EXPECT_EQ(calls[0], expected);
  // The sparse vendor image was converted; both files remain.
  EXPECT_EQ(Calls(env, "simg2img")[0], "== simg2img\n" + s.string() + "\n<vendor_a_sparse.img>\n<vendor_a.img>\n");
  EXPECT_TRUE(fs::exists(s / "vendor_a_sparse.img"));
  EXPECT_EQ(fs::file_size(s / "vendor_a.img"), 8192u);

  auto& c = env.ctx;
  EXPECT_TRUE(HasLine(env, c.M(166) + " vendor_a.img " + c.M(167) + " Raw"));
  EXPECT_TRUE(HasLine(env, c.M(184) + " 100 MB " + c.M(185) + " 16.00 KB " + c.M(186) + " 99.98 MB"));
  EXPECT_TRUE(HasLine(env, "Metadata Size: 65536"));
  EXPECT_TRUE(HasLine(env, "Super Type: Sparse"));
  EXPECT_TRUE(HasLine(env, c.M(148) + ": super.img => super.org"));
  EXPECT_TRUE(HasLine(env, c.M(70) + " super.img " + c.M(87) + " super.bak"));
  EXPECT_EQ(ReadFile(s.parent_path() / "super.org"), "previous super");
  EXPECT_EQ(ReadFile(s.parent_path() / "super.img"), "built\n");
  EXPECT_FALSE(fs::exists(s.parent_path() / "super.bak"));  // No_Backup 1
  EXPECT_EQ(env.log.errorCount, 0);
}

TEST(PackSuperImage, GroupPiecesFollowTheSlotCountAndFlagsAreReadAsTheLayoutSays) {
  struct Case {
    std::string slots, flags, type, groups, tail;
  };
  const Case cases[] = {
      {"2", "VIRTUAL_AB_DEVICE", "sparse", " --group=main_a:100000000", " --virtual-ab --output=../super.img"},
      {"4", "none", "Raw", "", " --output=../super.img"},
      {"1", "none", "Sparse", " --group=main_a:100000000", " --sparse --output=../super.img"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.slots);
    EngineEnv env;
    InstallBuildFakes(env);
    std::string layout = ReplaceAll(kLayout, "Metadata slot count: 3", "Metadata slot count: " + k.slots);
    layout = ReplaceAll(layout, "Header flags: virtual_ab_device", "Header flags: " + k.flags);
    fs::path s = MakeSuperFolder(env, layout, "  FileName: super.img\r\n  FileType: " + k.type + "\r\n  PartExt: img\r\n");
    PackSuperImage(env.ctx, s.string());
    const std::string sh = ReadFile(s / "config" / "pack_super.sh");
    EXPECT_EQ(sh.substr(0, sh.find(" --partition=")),
              "lpmake --metadata-size=65536 --super-name=super --metadata-slots=" + k.slots +
                  " --device=super:104857600:1048576" + k.groups);
    EXPECT_EQ(sh.substr(sh.rfind(":main_b") + 7), k.tail);
  }
}

TEST(PackSuperImage, FailedBuildBringsThePreviousImageBack) {
  EngineEnv env;
  env.settings.SetInt("No_Org", 1);
  InstallBuildFakes(env, 1);
  fs::path s = MakeSuperFolder(env, kLayout, "  FileName: super.fex\r\n  FileType: Raw\r\n  PartExt:\r\n");
  WriteExt4Marked(s / "system_a.fex");
  WriteFile(s.parent_path() / "super.fex", "previous super");

  PackSuperImage(env.ctx, s.string());

  EXPECT_NE(ReadFile(s / "config" / "pack_super.sh").find("--image=system_a=./system_a.fex"), std::string::npos);
  EXPECT_EQ(ReadFile(s.parent_path() / "super.fex"), "previous super");
  EXPECT_FALSE(fs::exists(s.parent_path() / "super.bak"));
  EXPECT_FALSE(fs::exists(s.parent_path() / "super.org"));
  EXPECT_TRUE(HasLine(env, env.ctx.M(70) + " super.bak " + env.ctx.M(87) + " super.fex"));
  EXPECT_EQ(env.log.errorCount, 1);
}

TEST(PackSuperImage, ABackupLeftByAnInterruptedPackComesBackBeforeTheBuild) {
  EngineEnv env;
  env.settings.SetInt("No_Org", 0);
  InstallBuildFakes(env, 1);
  fs::path s = MakeSuperFolder(env, kLayout, kBlockSparse);
  WriteFile(s.parent_path() / "super.bak", "the only copy");

  PackSuperImage(env.ctx, s.string());

  // Brought back, kept as the original, moved aside for the build, and restored after it failed.
  EXPECT_EQ(ReadFile(s.parent_path() / "super.img"), "the only copy");
  EXPECT_EQ(ReadFile(s.parent_path() / "super.org"), "the only copy");
}

TEST(PackSuperImage, LayoutValuesThatAreNotPlainNamesOrNumbersNeverReachLpmake) {
  const std::pair<std::string, std::string> edits[] = {
      {"  Name: vendor_a\n", "  Name: vendor_a$(touch pwned)\n"},
      {"  Group: main_b\n  Attributes: readonly\n  Extents:\n------------------------\n  Name: vendor_a",
       "  Group: main_b;x\n  Attributes: readonly\n  Extents:\n------------------------\n  Name: vendor_a"},
      {"Metadata slot count: 3", "Metadata slot count: 3 --force-full-image"},
      {"  Attributes: none", "  Attributes: readonly,updated"},
      {"  Partition name: super", "  Partition name: ../super"},
      {"  Name: main_b\n", "  Name: main b\n"},
  };
  for (const auto& [from, to] : edits) {
    SCOPED_TRACE(to);
    EngineEnv env;
    InstallBuildFakes(env);
    const std::string layout = ReplaceAll(kLayout, from, to);
    ASSERT_NE(layout, kLayout);
    fs::path s = MakeSuperFolder(env, layout, kBlockSparse);
    WriteFile(s.parent_path() / "super.img", "previous super");
    PackSuperImage(env.ctx, s.string());
    EXPECT_TRUE(Calls(env, "lpmake").empty());
    EXPECT_EQ(ReadFile(s.parent_path() / "super.img"), "previous super");
    EXPECT_FALSE(fs::exists(s.parent_path() / "super.bak"));
    EXPECT_FALSE(fs::exists(s / "pwned"));
    EXPECT_EQ(env.log.errorCount, 1);
  }
  // An output name with a folder part is refused the same way.
  EngineEnv env;
  InstallBuildFakes(env);
  fs::path s = MakeSuperFolder(env, kLayout, "  FileName: ../../etc/super.img\r\n  FileType: Raw\r\n");
  PackSuperImage(env.ctx, s.string());
  EXPECT_TRUE(Calls(env, "lpmake").empty());
}

TEST(PackSuperImage, FailedSparseConversionKeepsTheSparseImageUnderItsName) {
  EngineEnv env;
  InstallBuildFakes(env, 0, 5);
  fs::path s = MakeSuperFolder(env, kLayout, kBlockSparse);
  WriteSparseMarked(s / "vendor_a.img");
  const std::string sparse = ReadFile(s / "vendor_a.img");
  PackSuperImage(env.ctx, s.string());
  EXPECT_EQ(ReadFile(s / "vendor_a.img"), sparse);
  EXPECT_FALSE(fs::exists(s / "vendor_a_sparse.img"));
  EXPECT_NE(ReadFile(s / "config" / "pack_super.sh").find("--partition=vendor_a:none:17:main_a --image=vendor_a=./vendor_a.img"),
            std::string::npos);
}

TEST(PackSuperImage, NoLayoutNoWork) {
  EngineEnv env;
  InstallBuildFakes(env);
  fs::path w = env.Work();
  fs::create_directories(w / "super" / "system_a" / "config");
  PackSuperImage(env.ctx, (w / "super").string());
  EXPECT_EQ(env.Lines(), (std::vector<std::string>{env.ctx.M(25) + " \"super\" " + env.ctx.M(26) + " (config.txt)", ""}));
  EXPECT_FALSE(fs::exists(env.tmp / "calls.log"));
}

TEST(PackSuperImage, StopsWhenThePreviousImageCannotBeMovedAside) {
  EngineEnv env;
  InstallBuildFakes(env);
  fs::path s = MakeSuperFolder(env, kLayout, kBlockSparse);
  WriteExt4Marked(s / "system_a.img");
  WriteFile(s.parent_path() / "super.img", "previous super");
  // A folder where the backup goes: the move fails.
  WriteFile(s.parent_path() / "super.bak" / "keep", "x");

  PackSuperImage(env.ctx, s.string());

  EXPECT_TRUE(Calls(env, "lpmake").empty());
  EXPECT_EQ(ReadFile(s.parent_path() / "super.img"), "previous super");
  EXPECT_TRUE(HasLine(env, env.ctx.M(136)));
  EXPECT_EQ(env.log.errorCount, 1);
}
