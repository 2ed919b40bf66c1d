// What a pack must never do, whatever the unpacked folder holds: run words it read from a file,
// build over the only copy of the user's image, or report success for a step that failed.
#include <gtest/gtest.h>

#include "fake_tools.h"
#include "job_helpers.h"
#include "jobs.h"
#include "workspace.h"

using namespace orvex;
using namespace orvex::test;

namespace {

void MakeFolder(const fs::path& folder, const std::string& options, const std::string& tree) {
  std::string name = folder.filename().string();
  WriteFile(folder / tree / "etc/file.txt", std::string(5000, 'x'));
  WriteFile(folder / "config" / (name + "_fs_config.txt"), tree + " 0 0 0755\r\n");
  WriteFile(folder / "config" / (name + "_file_contexts.txt"), "/" + tree + " u:object_r:system_file:s0\r\n");
  WriteFile(folder / "config" / (name + "_fs_options.txt"), options);
}

// Tools that record their calls; make_ext4fs and mkfs.erofs write an 8 KiB image.
void InstallFakes(const EngineEnv& env) {
  env.FakeTool("fspatch", RecordCall(env, "fspatch"));
  env.FakeTool("make_ext4fs", RecordCall(env, "make_ext4fs") +
                                  "for a in \"$@\"; do prev=$out; out=$a; done\nhead -c 8192 /dev/zero > \"$prev\"\n");
  env.FakeTool("erofs/mkfs.erofs", RecordCall(env, "mkfs.erofs") +
                                       "for a in \"$@\"; do case $a in -*) ;; *) [ -z \"$o\" ] && o=$a ;; esac; done\n"
                                       "head -c 8192 /dev/zero > \"$o\"\n");
  env.FakeTool("img2simg", RecordCall(env, "img2simg") + "cp \"$1\" \"$2\"\n");
}

std::string Calls(const EngineEnv& env) { return ReadFile(env.tmp / "calls.log"); }

}  // namespace

TEST(PackSafety, RecordedValuesThatWouldRunCommandsAreRefusedBeforeAnyRename) {
  struct Case {
    const char* options;
    const char* refusal;
  } cases[] = {
      // A line smuggled into the ext4 options by a crafted last-mounted field.
      {"Size: 67108864\r\nFolderName: system\r\nMount point: /\r\nmkfs.erofs options: ;touch ../pwned; system.img system/system\r\n",
       ">< !!! Ошибка: system_fs_options.txt: mkfs.erofs options: ;touch"},
      {"Size: 1;touch ../pwned;\r\nFolderName: system\r\n", ">< !!! Ошибка: system_fs_options.txt: Size: 1;touch ../pwned;"},
      {"Size: -5\r\nFolderName: system\r\n", ">< !!! Ошибка: system_fs_options.txt: Size: -5"},
      {"Size: 67108864\r\nFolderName: ../etc\r\n", ">< !!! Ошибка: system_fs_options.txt: FolderName: ../etc"},
      {"Type: Raw\r\nExpansion: img\r\nmkfs.erofs options: -zlz4hc \"$(touch pwned)\" system.img system/system\r\n",
       ">< !!! Ошибка: system_fs_options.txt: mkfs.erofs options: \"$(touch"},
      {"Type: Raw\r\nExpansion: img\r\nmkfs.erofs options: -zlz4hc --exclude-regex=. system.img system/system\r\n",
       ">< !!! Ошибка: system_fs_options.txt: mkfs.erofs options: --exclude-regex=."},
      {"Type: Raw\r\nExpansion: img\r\nmkfs.erofs options: -zlz4hc ../../elsewhere.img system/system\r\n",
       ">< !!! Ошибка: system_fs_options.txt: mkfs.erofs options: ../../elsewhere.img"},
      {"Type: Raw\r\nExpansion: img\r\nmkfs.erofs options: -zlz4hc other.img system/system\r\n",
       ">< !!! Ошибка: system_fs_options.txt: mkfs.erofs options: other.img"},
      {"Type: Raw\r\nExpansion: i$(x)\r\nmkfs.erofs options: -zlz4hc system.img system/system\r\n",
       ">< !!! Ошибка: system_fs_options.txt: Expansion: i$(x)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    EngineEnv env;
    InstallFakes(env);
    fs::path w = env.Work();
    MakeFolder(w / "system", c.options, "system");
    WriteFile(w / "system.img", "the user's image");
    PackPartitionImage(env.ctx, (w / "system").string());
    EXPECT_FALSE(fs::exists(env.tmp / "pwned"));
    EXPECT_FALSE(fs::exists(w / "pwned"));
    EXPECT_EQ(Calls(env), "");  // no tool ran at all
    EXPECT_EQ(ReadFile(w / "system.img"), "the user's image");
    EXPECT_FALSE(fs::exists(w / "system.bak"));
    EXPECT_EQ(env.Lines(), (std::vector<std::string>{c.refusal, ""}));
    EXPECT_EQ(env.log.errorCount, 1);
  }
}

TEST(PackSafety, RecordedMkfsErofsLineIsRunAsCheckedWords) {
  EngineEnv env;
  InstallFakes(env);
  fs::path w = env.Work();
  // As the EROFS unpack writes it, with a quote in a path that must reach the tool unchanged.
  MakeFolder(w / "vendor_a",
             "Type: Raw\r\nExpansion: img\r\nFolderName: vendor\r\nmkfs.erofs options: -zlz4hc,9 -Eztailpacking,nosbcrc "
             "-C65536 -T1700000000 -U0123abcd-0000-4000-8000-00000000abcd -x-1 --force-uid=0 --force-gid=2000 "
             "--file-contexts=\"vendor_a/config/vendor_a_file_contexts.txt\" 'vendor_a.img' 'vendor_a/vendor'\r\n",
             "vendor");
  WriteFile(w / "vendor_a.img", "previous");
  PackPartitionImage(env.ctx, (w / "vendor_a").string());
  // fspatch works on the tree's real folder, not on vendor_a/vendor_a.
  EXPECT_EQ(Calls(env), "== fspatch\n" + w.string() + "\n<vendor_a/vendor>\n<vendor_a/config/vendor_a_fs_config.txt>\n" +
                            "== mkfs.erofs\n" + w.string() +
                            "\n<-zlz4hc,9>\n<-Eztailpacking,nosbcrc>\n<-C65536>\n<-T1700000000>\n"
                            "<-U0123abcd-0000-4000-8000-00000000abcd>\n<-x-1>\n<--force-uid=0>\n<--force-gid=2000>\n"
                            "<--file-contexts=vendor_a/config/vendor_a_file_contexts.txt>\n<vendor_a.img>\n"
                            "<vendor_a/vendor>\n");
  EXPECT_EQ(fs::file_size(w / "vendor_a.img"), 8192u);
  EXPECT_TRUE(HasLine(env, "Действие по сборке образа раздела: vendor_a.img завершено."));
}

TEST(PackSafety, FailingFspatchIsAFailedStepAndTheImageComesBack) {
  for (const char* options : {"Size: 67108864\r\nFolderName: vendor\r\n",
                              "Type: Raw\r\nExpansion: img\r\nFolderName: vendor\r\n"
                              "mkfs.erofs options: -zlz4hc vendor_a.img vendor_a/vendor\r\n"}) {
    SCOPED_TRACE(options);
    EngineEnv env;
    InstallFakes(env);
    env.FakeTool("fspatch", RecordCall(env, "fspatch") + "echo 'fspatch: error: cannot open folder' >&2\nexit 1\n");
    fs::path w = env.Work();
    MakeFolder(w / "vendor_a", options, "vendor");
    WriteFile(w / "vendor_a.img", "previous");
    PackPartitionImage(env.ctx, (w / "vendor_a").string());
    EXPECT_EQ(Calls(env).find("make_ext4fs"), std::string::npos);
    EXPECT_EQ(Calls(env).find("mkfs.erofs"), std::string::npos);
    EXPECT_EQ(ReadFile(w / "vendor_a.img"), "previous");
    EXPECT_FALSE(fs::exists(w / "vendor_a.bak"));
    EXPECT_TRUE(HasLine(env, "Код выхода fspatch: 1  (Ошибка выполнения!)"));
    EXPECT_FALSE(HasLine(env, "Действие по сборке образа раздела: vendor_a.img завершено."));
    EXPECT_EQ(env.log.errorCount, 1);
  }
}

TEST(PackSafety, FailedBackupRenameBuildsNothing) {
  for (const char* options : {"Size: 67108864\r\nFolderName: system\r\n",
                              "Type: Raw\r\nExpansion: img\r\nmkfs.erofs options: -zlz4hc system.img system/system\r\n"}) {
    SCOPED_TRACE(options);
    EngineEnv env;
    InstallFakes(env);
    fs::path w = env.Work();
    MakeFolder(w / "system", options, "system");
    WriteFile(w / "system.img", "the only copy");
    // A folder under the backup name: it cannot be deleted as a file, so the rename fails.
    WriteFile(w / "system.bak" / "keep", "x");
    PackPartitionImage(env.ctx, (w / "system").string());
    EXPECT_EQ(Calls(env), "");
    EXPECT_EQ(ReadFile(w / "system.img"), "the only copy");
    EXPECT_EQ(env.Lines(), (std::vector<std::string>{"Переименовываем system.img в system.bak", "Ошибка"}));
    EXPECT_EQ(env.log.errorCount, 1);
  }
}

TEST(PackSafety, BackupOfAnInterruptedBuildComesBackInsteadOfBeingDeleted) {
  // What an interrupted build leaves: a broken image under the real name (or none) and the
  // user's image as .bak. The next pack, whose build fails too, must end with the user's image.
  std::string original(8192, '\0');
  original[0x438] = '\x53';
  original[0x439] = '\xEF';
  original[0x404] = 8;  // 8 blocks of 1 KiB: exactly the file
  for (const char* leftover : {"half-written", ""}) {
    SCOPED_TRACE(leftover);
    EngineEnv env;
    InstallFakes(env);
    env.FakeTool("make_ext4fs", "exit 1\n");
    fs::path w = env.Work();
    MakeFolder(w / "system", "Size: 67108864\r\nFolderName: system\r\n", "system");
    if (*leftover) WriteFile(w / "system.img", leftover);
    WriteFile(w / "system.bak", original);
    PackPartitionImage(env.ctx, (w / "system").string());
    EXPECT_EQ(ReadFile(w / "system.img"), original);
    EXPECT_FALSE(fs::exists(w / "system.bak"));
    auto lines = env.Lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], ">< !!! Переименовываем system.bak в system.img");
    EXPECT_EQ(lines[1], "Успех");
    EXPECT_EQ(lines[2], "Переименовываем system.img в system.bak");
  }
  // A whole image beside an older .bak is the newer one: the .bak goes as before.
  EngineEnv env;
  InstallFakes(env);
  fs::path w = env.Work();
  MakeFolder(w / "system", "Size: 67108864\r\nFolderName: system\r\n", "system");
  WriteFile(w / "system.img", original);
  WriteFile(w / "system.bak", "older");
  PackPartitionImage(env.ctx, (w / "system").string());
  EXPECT_EQ(env.Lines()[0], "Переименовываем system.img в system.bak");
  EXPECT_EQ(ReadFile(w / "system.bak"), "");  // No_Backup 1: gone after the good build
}

TEST(PackSafety, UpperCaseImageIsRebuiltUnderItsOwnName) {
  EngineEnv env;
  InstallFakes(env);
  fs::path w = env.Work();
  MakeFolder(w / "SYSTEM", "Size: 67108864\r\nFolderName: system\r\n", "system");
  WriteFile(w / "SYSTEM.IMG", "old");
  PackPartitionImage(env.ctx, (w / "SYSTEM").string());
  EXPECT_NE(Calls(env).find("<../SYSTEM.IMG>\n<./system>\n"), std::string::npos) << Calls(env);
  EXPECT_FALSE(fs::exists(w / "SYSTEM.img"));
  EXPECT_EQ(fs::file_size(w / "SYSTEM.IMG"), 8192u);
  EXPECT_TRUE(HasLine(env, "Переименовываем SYSTEM.IMG в SYSTEM.bak"));
  EXPECT_TRUE(HasLine(env, "Действие по сборке образа раздела: SYSTEM.IMG завершено."));

  // The EROFS pack too: the recorded output "SYSTEM.img" is the image on disk.
  EngineEnv e2;
  InstallFakes(e2);
  fs::path w2 = e2.Work();
  MakeFolder(w2 / "SYSTEM", "Type: Raw\r\nExpansion: img\r\nFolderName: system\r\nmkfs.erofs options: -zlz4 SYSTEM.img SYSTEM/system\r\n",
             "system");
  WriteFile(w2 / "SYSTEM.IMG", "old");
  PackPartitionImage(e2.ctx, (w2 / "SYSTEM").string());
  EXPECT_NE(Calls(e2).find("<-zlz4>\n<SYSTEM.IMG>\n<SYSTEM/system>\n"), std::string::npos) << Calls(e2);
  EXPECT_FALSE(fs::exists(w2 / "SYSTEM.img"));
  EXPECT_EQ(fs::file_size(w2 / "SYSTEM.IMG"), 8192u);
}

TEST(PackSafety, InterruptionGivesTheBackupsInFlightBack) {
  // The registry as the front ends use it when the user interrupts a run.
  EngineEnv env;
  fs::path w = env.Work();
  WriteFile(w / "a.img", "half");
  WriteFile(w / "a.bak", "previous a");
  WriteFile(w / "b.img", "half");  // no previous image: the half-written one goes
  WriteFile(w / "c.img", "new c");
  WriteFile(w / "c.bak", "previous c");
  {
    BackupInFlight a((w / "a.img").string(), (w / "a.bak").string());
    BackupInFlight b((w / "b.img").string(), "");
    BackupInFlight c((w / "c.img").string(), (w / "c.bak").string());
    c.Settle();  // its outcome was handled: left alone
    EXPECT_EQ(GiveBackupsBack(), 2);
    // The job thread, going on after its tool was stopped, changes nothing any more.
    RestoreBackup(env.ctx, (w / "c.bak").string(), (w / "c.img").string(), "c.bak", "c.img");
    EXPECT_FALSE(MoveToBackup(env.ctx, (w / "a.img").string(), (w / "a.bak").string(), "a.img", "a.bak"));
  }
  ResetBackupsGivenBack();
  EXPECT_EQ(ReadFile(w / "a.img"), "previous a");
  EXPECT_FALSE(fs::exists(w / "a.bak"));
  EXPECT_FALSE(fs::exists(w / "b.img"));
  EXPECT_EQ(ReadFile(w / "c.img"), "new c");
  EXPECT_EQ(ReadFile(w / "c.bak"), "previous c");
  EXPECT_EQ(GiveBackupsBack(), 0);  // nothing registered any more
  ResetBackupsGivenBack();
}
