// The archive jobs against fake 7-Zip, tar, ls, md5sum and java: command lines, log lines and
// what is left on disk.
#include <gtest/gtest.h>

#include <cstdlib>

#include "archive/archive_checks.h"
#include "fake_tools.h"
#include "jobs.h"
#include "text.h"

using namespace orvex;
using namespace orvex::test;

namespace {

std::vector<std::string> Calls(const EngineEnv& env) { return Split(ReadFile(env.tmp / "calls.log"), '\n'); }
bool Called(const EngineEnv& env, const std::string& line) {
  for (const auto& l : Calls(env))
    if (l == line) return true;
  return false;
}

// 7-Zip: "l" prints the listing kept in bin/listing.txt; "x" makes the folder named by -o with
// the entries the scenario needs; "a" writes the archive named by its second word from the list.
void Install7z(const EngineEnv& env, int extractCode = 0, int addCode = 0) {
  env.FakeTool("7z", RecordCall(env, "7z") +
                         "case \"$1\" in\n"
                         "l) cat \"$(dirname \"$0\")/listing.txt\" 2>/dev/null; exit 0;;\n"
                         "x) out=.; for a in \"$@\"; do case \"$a\" in -o*) out=${a#-o};; esac; done\n"
                         "   mkdir -p \"$out/META-INF/com\" && echo script > \"$out/META-INF/com/updater-script\"\n"
                         "   echo kernel > \"$out/boot.img\"; exit " + std::to_string(extractCode) + ";;\n"
                         "a) list=${4#@}; cp \"$list\" \"$(dirname \"$0\")/../list-seen.txt\"; echo zipdata > \"$3\"; exit " +
                         std::to_string(addCode) + ";;\n"
                         "esac\n");
}

void Listing(const EngineEnv& env, const std::string& entries) { WriteFile(env.Bin() / "listing.txt", entries); }

}  // namespace

TEST(ArchiveListing, SevenZipAndTarListingsAndUnsafeNames) {
  auto e = ParseSevenZipListing(
      "----------\nPath = META-INF\nSize = 0\nAttributes = D_ drwxr-xr-x\n\nPath = boot.img\nSize = 12345\n"
      "Attributes = A_ -rw-r--r--\n\nPath = link\nSize = 4\nAttributes = A_ lrwxrwxrwx\n");
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ(e[1].name, "boot.img");
  EXPECT_EQ(e[1].size, 12345u);
  EXPECT_FALSE(e[1].isLink);
  EXPECT_TRUE(e[2].isLink);
  auto t = ParseTarListing("-rw-r--r-- root/root   1048576 2024-01-01 00:00 system.img\n"
                           "lrwxrwxrwx root/root         0 2024-01-01 00:00 l -> /etc\nnoise\n");
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].size, 1048576u);
  EXPECT_TRUE(t[1].isLink);
  for (const char* bad : {"../x", "a/../../x", "/etc/passwd", "\\x", "C:\\x", "a\\..\\x", ".."}) EXPECT_TRUE(EntryLeavesFolder(bad)) << bad;
  for (const char* good : {"a/b", "..a/b", "a..", "META-INF\\", "x/.../y"}) EXPECT_FALSE(EntryLeavesFolder(good)) << good;
}

TEST(UnpackZipArchive, ExtractsListsAndCloses) {
  EngineEnv env;
  Install7z(env);
  env.settings.SetInt("Open_Folder", 0);
  fs::path w = env.Work();
  WriteFile(w / "update.zip", "PK\x03\x04 zip");
  WriteFile(w / "update/old.txt", "stale");
  Listing(env, "----------\nPath = boot.img\nSize = 7\n");

  UnpackZipArchive(env.ctx, (w / "update.zip").string());

  auto lines = env.Lines();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[2], "Выполняется распаковка образа прошивки: update.zip Подождите...");
  EXPECT_EQ(lines[3], "Код выхода 7z: 0  (Выполнено успешно!)");
  EXPECT_EQ(lines.back(), "");
  EXPECT_EQ(lines[lines.size() - 2], "Действие по распаковки прошивки: update.zip завершено.");
  EXPECT_TRUE(Called(env, "<-oupdate>"));
  EXPECT_FALSE(fs::exists(w / "update/old.txt"));
  std::string list = ReadFile(w / "update/zipFileList.cfg");
  EXPECT_TRUE(list == "META-INF\\\r\nboot.img\r\n" || list == "boot.img\r\nMETA-INF\\\r\n") << list;
  EXPECT_EQ(env.recent.List()[0], (w / "update.zip").string());
  EXPECT_EQ(env.log.errorCount, 0);
}

TEST(UnpackZipArchive, EntriesOutsideTheFolderOrTooBigForTheDiskAreRefused) {
  for (const char* listing : {"----------\nPath = ok.txt\nSize = 1\n\nPath = ../../evil.sh\nSize = 5\n",
                              "----------\nPath = bomb.bin\nSize = 18446744073709551615\n"}) {
    EngineEnv env;
    Install7z(env);
    env.settings.SetInt("Open_Folder", 0);
    fs::path w = env.Work();
    WriteFile(w / "update.zip", "PK\x03\x04 zip");
    Listing(env, listing);
    UnpackZipArchive(env.ctx, (w / "update.zip").string());
    EXPECT_FALSE(Called(env, "<x>")) << listing;  // nothing extracted
    EXPECT_EQ(env.log.errorCount, 1);
    EXPECT_NE(env.log.Text().find(">< !!! "), std::string::npos);
    EXPECT_FALSE(fs::exists(w / "update/zipFileList.cfg"));
  }
}

TEST(Unpack7zArchive, SubfolderVolumesQueueAndTrash) {
  EngineEnv env;
  Install7z(env);
  std::vector<std::string> queued;
  env.ctx.queuePath = [&](const std::string& p) { queued.push_back(p); };
  env.settings.SetInt("Seven_UnPack", 1);
  env.settings.SetInt("Delete_Archive", 1);
  fs::path w = env.Work();
  WriteFile(w / "fw.7z.001", "7z");
  setenv("XDG_DATA_HOME", (env.tmp / "data").c_str(), 1);

  Unpack7zArchive(env.ctx, (w / "fw.7z.001").string());
  unsetenv("XDG_DATA_HOME");

  EXPECT_TRUE(Called(env, "<-ofw>"));
  std::sort(queued.begin(), queued.end());
  EXPECT_EQ(queued, (std::vector<std::string>{(w / "fw/META-INF").string(), (w / "fw/boot.img").string()}));
  EXPECT_FALSE(fs::exists(w / "fw.7z.001"));
  EXPECT_TRUE(fs::exists(env.tmp / "data/Trash/files/fw.7z.001"));
  auto lines = env.Lines();
  EXPECT_EQ(lines[lines.size() - 2], "Удаляем файл архива: fw.7z.001 в корзину.");
  EXPECT_EQ(lines.back(), "Успех");
}

TEST(Unpack7zArchive, WithoutSubfolderExtractsBesideTheArchive) {
  EngineEnv env;
  Install7z(env);
  env.settings.SetInt("Subfolder", 0);
  fs::path w = env.Work();
  WriteFile(w / "fw.7z.001", "7z");
  Unpack7zArchive(env.ctx, (w / "fw.7z.001").string());
  EXPECT_EQ(ReadFile(env.tmp / "calls.log").find("<-o"), std::string::npos);
  EXPECT_TRUE(fs::exists(w / "boot.img"));
  EXPECT_TRUE(fs::exists(w / "fw.7z.001"));  // Delete_Archive is 0 by default
}

TEST(UnpackTarArchive, TarMd5GoesToItsBaseNameAndIsListed) {
  EngineEnv env;
  env.settings.SetInt("Open_Folder", 0);
  env.FakeTool("tar", RecordCall(env, "tar") +
                          "[ \"$1\" = -tvf ] && { echo '-rw-r--r-- root/root 6 2024-01-01 00:00 boot.img'; exit 0; }\n"
                          "mkdir -p \"$4/dir\" && echo kernel > \"$4/boot.img\"; exit 2\n");
  env.FakeTool("ls", RecordCall(env, "ls") + "echo total 1\n");
  fs::path w = env.Work();
  WriteFile(w / "FW.TAR.md5", "tar");

  UnpackTarArchive(env.ctx, (w / "FW.TAR.md5").string());

  EXPECT_EQ(ReadFile(env.tmp / "calls.log"), "== tar\n" + w.string() + "\n<-tvf>\n<FW.TAR.md5>\n== tar\n" + w.string() +
                                                 "\n<-xvf>\n<FW.TAR.md5>\n<-C>\n<FW>\n== ls\n" + (w / "FW").string() +
                                                 "\n<-l>\n");
  auto lines = env.Lines();
  EXPECT_EQ(lines[0], "Выполняется распаковка образа прошивки: FW.TAR.md5 Подождите...");
  EXPECT_EQ(lines[1], "Код выхода tar: 2  (Ошибка выполнения!)");
  EXPECT_NE(env.log.Text().find("Код выхода ls: 0  (Выполнено успешно!)"), std::string::npos);
  // A failed extraction whose folder can be listed still gets its list.
  std::string list = ReadFile(w / "FW/tarFileList.cfg");
  EXPECT_TRUE(list == "dir\\\nboot.img\n" || list == "boot.img\ndir\\\n") << list;
}

TEST(UnpackTarArchive, LinksLeavingTheFolderAreRemovedByName) {
  EngineEnv env;
  env.settings.SetInt("Open_Folder", 0);
  fs::path outside = env.tmp / "outside";
  fs::create_directories(outside);
  env.FakeTool("tar", "[ \"$1\" = -tvf ] && exit 0\nmkdir -p \"$4/sub\"; ln -s " + outside.string() +
                          " \"$4/abs\"; ln -s ../../x \"$4/sub/up\"; ln -s ../inside \"$4/sub/ok\"\n");
  env.FakeTool("ls", "exit 0\n");
  fs::path w = env.Work();
  WriteFile(w / "fw.tar", "tar");
  UnpackTarArchive(env.ctx, (w / "fw.tar").string());
  EXPECT_FALSE(fs::is_symlink(w / "fw/abs"));
  EXPECT_FALSE(fs::is_symlink(w / "fw/sub/up"));
  EXPECT_TRUE(fs::is_symlink(w / "fw/sub/ok"));
  EXPECT_NE(env.log.Text().find("Link leading out of the folder removed: abs -> " + outside.string()), std::string::npos);
  EXPECT_EQ(env.log.errorCount, 1);
}

TEST(PackZipArchive, BuildsSignsAndKeepsThePreviousPackage) {
  EngineEnv env;
  Install7z(env);
  fs::path w = env.Work();
  WriteFile(w / "update/zipFileList.cfg", "META-INF\\\r\nboot.img\r\n");
  WriteFile(w / "update/boot.img", "k");
  WriteFile(w / "update.zip", "old package");
  WriteFile(w / "update.zip.bak", "older");
  // java on the PATH: records its call and writes the signed output.
  fs::create_directories(env.tmp / "path");
  WriteFile(env.tmp / "path/java", "#!/bin/sh\n" + RecordCall(env, "java") +
                                       "[ \"$1\" = -version ] && exit 0\ncp \"$5\" \"$6\" && echo signed >> \"$6\"\n");
  fs::permissions(env.tmp / "path/java", fs::perms::owner_all);
  const std::string oldPath = std::getenv("PATH");
  setenv("PATH", ((env.tmp / "path").string() + ":" + oldPath).c_str(), 1);
  env.settings.SetInt("Signature", 1);
  env.settings.SetFromText("Compress_Level", "9");

  PackZipArchive(env.ctx, (w / "update").string());
  setenv("PATH", oldPath.c_str(), 1);

  EXPECT_TRUE(Called(env, "<-mx9>"));
  EXPECT_TRUE(Called(env, "<" + (w / "update~.zip").string() + ">"));
  EXPECT_EQ(ReadFile(env.tmp / "list-seen.txt"), "META-INF\nboot.img\n");  // the form 7-Zip reads here
  EXPECT_EQ(ReadFile(w / "update/zipFileList.cfg"), "META-INF\\\r\nboot.img\r\n");
  EXPECT_FALSE(fs::exists(w / "update~.ziplist"));
  EXPECT_EQ(ReadFile(w / "update.zip"), "zipdata\nsigned\n");
  EXPECT_FALSE(fs::exists(w / "update~.zip"));
  EXPECT_EQ(ReadFile(w / "update.zip.bak"), "old package");
  EXPECT_TRUE(Called(env, "<zipsigner.jar>"));
  auto lines = env.Lines();
  EXPECT_EQ(lines[0], "Переименовываем update.zip в update.zip.bak");
  EXPECT_EQ(lines[1], "Успех");
  EXPECT_EQ(lines[2], "Выполняется сборка файла обновления: update.zip Подождите...");
  EXPECT_EQ(lines.back(), "");
  EXPECT_EQ(lines[lines.size() - 2], "Действие по сборке файла обновления: update.zip завершено.");
  EXPECT_NE(env.log.Text().find("Код выхода zipsigner: 0"), std::string::npos);
}

TEST(PackZipArchive, AFailedBuildGivesThePreviousPackageBack) {
  EngineEnv env;
  Install7z(env, 0, 2);
  env.settings.SetInt("Signature", 0);
  fs::path w = env.Work();
  WriteFile(w / "update/zipFileList.cfg", "boot.img\r\n");
  WriteFile(w / "update.zip", "old package");
  PackZipArchive(env.ctx, (w / "update").string());
  EXPECT_EQ(ReadFile(w / "update.zip"), "old package");
  EXPECT_FALSE(fs::exists(w / "update~.zip"));
  EXPECT_EQ(env.log.errorCount, 1);
}

TEST(PackZipArchive, APackageThatCannotBeMovedAsideIsNotBuiltOver) {
  EngineEnv env;
  Install7z(env);
  fs::path w = env.Work();
  WriteFile(w / "update/zipFileList.cfg", "boot.img\r\n");
  WriteFile(w / "update.zip", "old package");
  WriteFile(w / "update.zip.bak/keep", "a folder where the backup would go");
  PackZipArchive(env.ctx, (w / "update").string());
  EXPECT_EQ(ReadFile(w / "update.zip"), "old package");
  EXPECT_FALSE(Called(env, "<a>"));
  EXPECT_NE(env.log.Text().find("Ошибка"), std::string::npos);
}

TEST(PackTarArchive, TarMd5IsRebuiltWithItsChecksumAndBackups) {
  for (int md5Code : {0, 1}) {
    SCOPED_TRACE(md5Code);
    EngineEnv env;
    env.FakeTool("tar", RecordCall(env, "tar") + "cp \"$5\" ../list-seen.txt; echo newtar > \"$2\"\n");
    env.FakeTool("md5sum", RecordCall(env, "md5sum") + "echo 'abc  fw.tar'\nexit " + std::to_string(md5Code) + "\n");
    env.settings.SetInt("No_Org", 0);
    env.settings.SetInt("No_Backup", 0);
    fs::path w = env.Work();
    WriteFile(w / "fw/tarFileList.cfg", "-rf\nboot.img\ndir\\\n");
    WriteFile(w / "fw.tar.md5", "old tar.md5");

    PackTarArchive(env.ctx, (w / "fw").string());

    EXPECT_EQ(ReadFile(w / "list-seen.txt"), "-rf\nboot.img\ndir\n");
    EXPECT_TRUE(Called(env, "<--verbatim-files-from>"));  // "-rf" stays a name
    EXPECT_TRUE(Called(env, "<../fw.tar>"));
    if (md5Code == 0) {
      EXPECT_EQ(ReadFile(w / "fw.tar.md5"), "newtar\nabc  fw.tar\n");
      EXPECT_EQ(ReadFile(w / "fw.tar.md5.bak"), "old tar.md5");
      EXPECT_EQ(ReadFile(w / "fw.tar.md5.org"), "old tar.md5");
      EXPECT_FALSE(fs::exists(w / "fw.tar"));
      auto lines = env.Lines();
      EXPECT_EQ(lines[lines.size() - 4], "Переименовываем fw.tar в fw.tar.md5");
      EXPECT_EQ(lines[lines.size() - 2], "Действие по сборке прошивки: fw.tar.md5 завершено.");
    } else {
      EXPECT_EQ(ReadFile(w / "fw.tar.md5"), "old tar.md5");
      EXPECT_FALSE(fs::exists(w / "fw.tar"));  // its tail is unusable
    }
  }
}

TEST(PackTarArchive, AFailedTarGivesThePreviousImageBackAndNoBackupCleansUp) {
  EngineEnv env;
  env.FakeTool("tar", "echo partial > \"$2\"; exit 2\n");
  env.settings.SetInt("No_Backup", 1);
  fs::path w = env.Work();
  WriteFile(w / "fw/tarFileList.cfg", "boot.img\n");
  WriteFile(w / "fw.tar", "old tar");
  PackTarArchive(env.ctx, (w / "fw").string());
  EXPECT_EQ(ReadFile(w / "fw.tar"), "old tar");
  EXPECT_FALSE(fs::exists(w / "fw.tar.bak"));
  EXPECT_NE(env.log.Text().find("Переименовываем fw.tar.bak в fw.tar"), std::string::npos);
}
