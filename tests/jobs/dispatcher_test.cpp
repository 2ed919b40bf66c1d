#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "dispatcher.h"
#include "fake_tools.h"
#include "image_kind.h"

using namespace orvex;
using namespace orvex::test;

namespace {

std::string FileJob(const fs::path& p) { return ChooseFileJob(p.string(), DetectImageKind(p.string())); }

const std::vector<std::string> kSummary = {
    ">< !!! Понравился проект? Хотите что бы он развивался? Окажите материальную помощь. Переведите любую сумму:",
    "Orvex: ORVEX-DONATE   https://orvex.example.org/donate",
    "",
    "",
    "Активных действий больше нет. Можно закрыть данное окно.",
};

}  // namespace

TEST(FileRules, ExtensionRulesComeFirst) {
  TempDir t;
  WriteExt4Marked(t / "vendor.dat");
  EXPECT_EQ(FileJob(t / "vendor.dat"), "UnpackTransferList");  // a raw image named .dat
  WriteFile(t / "system.img.ext4", "anything");
  EXPECT_EQ(FileJob(t / "system.img.ext4"), "ConvertImage");
  WriteFile(t / "system.new.dat.br", "x");
  EXPECT_EQ(FileJob(t / "system.new.dat.br"), "DecompressTransferList");
  WriteFile(t / "my_logfile.txt", "x");
  EXPECT_EQ(FileJob(t / "my_logfile.txt"), "AppendFileToLog");
  WriteFile(t / "lastAction.log", "x");
  EXPECT_EQ(FileJob(t / "lastAction.log"), "AppendFileToLog");
  WriteFile(t / "notes.txt", "x");
  EXPECT_EQ(FileJob(t / "notes.txt"), "UnknownKind");
}

TEST(FileRules, KindsNamesAndExtensions) {
  TempDir t;
  WriteSparseMarked(t / "super.img");
  EXPECT_EQ(FileJob(t / "super.img"), "UnpackSuperImage");
  WriteSparseMarked(t / "system_a.bin");
  EXPECT_EQ(FileJob(t / "system_a.bin"), "UnpackPartitionImage");
  WriteExt4Marked(t / "Super_Main.img");
  EXPECT_EQ(FileJob(t / "Super_Main.img"), "UnpackSuperImage");
  WriteExt4Marked(t / "odm.PARTITION");
  EXPECT_EQ(FileJob(t / "odm.PARTITION"), "UnpackPartitionImage");
  WriteExt4Marked(t / "odm.raw");
  EXPECT_EQ(FileJob(t / "odm.raw"), "UnknownKind");
  WriteErofsMarked(t / "vendor.anything");
  EXPECT_EQ(FileJob(t / "vendor.anything"), "UnpackPartitionImage");
  WriteFile(t / "firmware.tar.md5", "not a tar header");
  EXPECT_EQ(FileJob(t / "firmware.tar.md5"), "UnpackTarArchive");
  WriteFile(t / "update.zip", "PK\x03\x04rest");
  EXPECT_EQ(FileJob(t / "update.zip"), "UnpackZipArchive");
  WriteFile(t / "framework-res.apk", "PK\x03\x04rest");
  EXPECT_EQ(FileJob(t / "framework-res.apk"), "DecodeApk");
  WriteFile(t / "tool.jar", "PK\x03\x04rest");
  EXPECT_EQ(FileJob(t / "tool.jar"), "UnknownKind");
  WriteFile(t / "boot.fex", "ANDROID!rest");
  EXPECT_EQ(FileJob(t / "boot.fex"), "UnpackAllwinnerImage");
  WriteFile(t / "boot.PARTITION", "ANDROID!rest");
  EXPECT_EQ(FileJob(t / "boot.PARTITION"), "UnpackBootImage");
  WriteFile(t / "boot.img", "ANDROID!rest");
  EXPECT_EQ(FileJob(t / "boot.img"), "UnpackRockchipImage");
  WriteFile(t / "_aml_dtb.PARTITION", "\x1F\x8B\x08rest");
  EXPECT_EQ(FileJob(t / "_aml_dtb.PARTITION"), "UnpackMultiDtb");
  WriteFile(t / "ce_flash.bin", "data");
  EXPECT_EQ(FileJob(t / "ce_flash.bin"), "CannotUnpackFat");
  WriteFile(t / "x.lz4", "data");
  EXPECT_EQ(FileJob(t / "x.lz4"), "UnpackLz4Image");
}

TEST(FolderRules, InOrder) {
  TempDir t;
  // A packable partition folder wins even when its name says super and logo.
  WriteFile(t / "super_logo/config/super_logo_fs_options.txt", "Size: 1\r\n");
  EXPECT_EQ(ChooseFolderJob((t / "super_logo").string()), "PackPartitionImage");
  fs::create_directories(t / "super_backup");
  EXPECT_EQ(ChooseFolderJob((t / "super_backup").string()), "PackSuperImage");
  fs::create_directories(t / "Super");
  EXPECT_EQ(ChooseFolderJob((t / "Super").string()), "PackSuperImage");
  fs::create_directories(t / "Add");
  EXPECT_EQ(ChooseFolderJob((t / "Add").string()), "MakeAttributeLists");
  fs::create_directories(t / "_aml_dtb");
  EXPECT_EQ(ChooseFolderJob((t / "_aml_dtb").string()), "PackDtb");
  fs::create_directories(t / "boot.img.dump");
  WriteFile(t / "boot.img.cfg", "x");
  EXPECT_EQ(ChooseFolderJob((t / "boot.img.dump").string()), "PackRockchipImage");
  fs::create_directories(t / "recovery.fex.dump");
  WriteFile(t / "recovery.fex.cfg", "x");
  EXPECT_EQ(ChooseFolderJob((t / "recovery.fex.dump").string()), "PackAllwinnerImage");
  fs::create_directories(t / "misc.img.dump");
  WriteFile(t / "misc.img.cfg", "x");
  EXPECT_EQ(ChooseFolderJob((t / "misc.img.dump").string()), "");
  WriteFile(t / "fw/image.cfg", "x");
  EXPECT_EQ(ChooseFolderJob((t / "fw").string()), "PackFirmwareContainer");
  WriteFile(t / "ota/zipFileList.cfg", "x");
  EXPECT_EQ(ChooseFolderJob((t / "ota").string()), "PackZipArchive");
  WriteFile(t / "boot/config.ini", "x");
  EXPECT_EQ(ChooseFolderJob((t / "boot").string()), "PackBootImage");
  WriteFile(t / "framework-res/AndroidManifest.xml", "x");
  EXPECT_EQ(ChooseFolderJob((t / "framework-res").string()), "BuildApk");
  fs::create_directories(t / "photos");
  EXPECT_EQ(ChooseFolderJob((t / "photos").string()), "NoBuildInstruction");
}

TEST(JobDispatcher, ThreePathsInOneRun) {
  EngineEnv env;
  fs::path w = env.Work();
  WriteFile(w / "tool.jar", "PK\x03\x04rest");
  WriteFile(w / "readme.txt", "hello");
  JobDispatcher d(env.ctx);
  d.QueueJobPath((w / "tool.jar").string());
  d.QueueJobPath((w / "missing.img").string());
  d.QueueJobPath((w / "readme.txt").string() + "/");
  d.StartJobs();
  d.Wait();
  std::vector<std::string> expected = {
      "Пакетная обработка: 3 действий(я)",
      "",
      "Путь: " + (w / "tool.jar").string(),
      "Символы: " + std::to_string((w / "tool.jar").string().size()) + "  Латинские: " +
          std::to_string((w / "tool.jar").string().size()) + "  не Латинские: 0  Пробелы: 0",
      "Программа не умеет распаковывать: tool.jar",
      "Заголовок: Zip",
      "",
      "Пакетная обработка: 2 действий(я)",
      "",
      "* Неподдерживаемый формат: missing.img",
      "",
      "Путь: " + (w / "readme.txt").string(),
      "Символы: " + std::to_string((w / "readme.txt").string().size()) + "  Латинские: " +
          std::to_string((w / "readme.txt").string().size()) + "  не Латинские: 0  Пробелы: 0",
      "Программа не умеет распаковывать: readme.txt",
      "Заголовок: Signature not found",
      "",
  };
  expected.insert(expected.end(), kSummary.begin(), kSummary.end());
  EXPECT_EQ(env.Lines(), expected);
  EXPECT_EQ(std::count(env.ui.events.begin(), env.ui.events.end(), "Busy:Ожидайте выполнения действий..."), 3);
  EXPECT_EQ(std::count(env.ui.events.begin(), env.ui.events.end(), "PathStarted"), 2);
  EXPECT_EQ(env.ui.events.back(), "AutoClose");
  EXPECT_NE(std::find(env.ui.events.begin(), env.ui.events.end(), "Done"), env.ui.events.end());
}

TEST(JobDispatcher, WelcomeHintWhenNothingIsQueued) {
  EngineEnv env;
  JobDispatcher d(env.ctx);
  d.StartJobs();
  d.Wait();
  EXPECT_EQ(env.log.Text(),
            "Перенесите на  данное окно или на значок программы образ(ы) прошивки (*.img), файл(ы) обновления (*.zip), "
            "образ(ы) раздела(ов) (*.img, *.PARTITION, *.fex, *.new.dat, *.new.dat.br) или папку с распакованной "
            "прошивкой, папку с распакованным обновлением, папку с распакованным образом раздела.\r\n");
  EXPECT_TRUE(env.ui.events.empty());
}

TEST(JobDispatcher, FailedStepIsSummarisedAndStopsTheAutoClose) {
  EngineEnv env;
  InstallExt4Fakes(env, "", 2);
  fs::path w = env.Work();
  WriteExt4Marked(w / "system.img");
  JobDispatcher d(env.ctx);
  d.QueueJobPath((w / "system.img").string());
  d.StartJobs();
  d.Wait();
  auto lines = env.Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), ">< !!! Внимание !!! >< Имеются ошибки выполнения (1)"), lines.end());
  EXPECT_NE(std::find(env.ui.events.begin(), env.ui.events.end(), "Highlight"), env.ui.events.end());
  EXPECT_EQ(std::find(env.ui.events.begin(), env.ui.events.end(), "AutoClose"), env.ui.events.end());
  EXPECT_EQ(env.log.errorCount, 0);  // reset at the end of the run
}

TEST(JobDispatcher, PathQueuedDuringARunIsTakenByThatRun) {
  EngineEnv env;
  const std::string gate = (env.tmp / "gate").string();
  InstallExt4Fakes(env, "");
  // The information step waits until the test has queued a second path.
  env.FakeTool("imgextractor_", "i=0; while [ ! -e " + ShQuote(gate) + " ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done\n"
                                "echo 'EXT4 superblock info:'\n");
  fs::path w = env.Work();
  WriteExt4Marked(w / "system.img");
  WriteFile(w / "late.jar", "PK\x03\x04");
  JobDispatcher d(env.ctx);
  d.QueueJobPath((w / "system.img").string());
  d.StartJobs();
  for (int i = 0; i < 200 && env.log.Text().find("Распаковка EXT4") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  d.QueueJobPath((w / "late.jar").string());
  d.StartJobs();
  WriteFile(gate, "");
  d.Wait();
  std::string text = env.log.Text();
  size_t scheduled = text.find(">< !!! Запланированы дополнительные действия !!! ><\r\n");
  size_t late = text.find("Программа не умеет распаковывать: late.jar");
  size_t done = text.find("Действие по распаковки образа раздела: system.img завершено.");
  ASSERT_NE(scheduled, std::string::npos);
  ASSERT_NE(late, std::string::npos);
  EXPECT_LT(done, late);
  // One run: one summary.
  EXPECT_EQ(text.find("Активных действий больше нет."), text.rfind("Активных действий больше нет."));
}

TEST(JobDispatcher, LogFileIsShownBetweenMarkers) {
  EngineEnv env;
  fs::path w = env.Work();
  WriteFile(w / "old_logfile.txt", "line one\r\nline two\r\n");
  JobDispatcher d(env.ctx);
  d.QueueJobPath((w / "old_logfile.txt").string());
  d.StartJobs();
  d.Wait();
  EXPECT_NE(env.log.Text().find("--->> Read old_logfile.txt <<--- \nline one\r\nline two\r\n --->> End old_logfile.txt <<--- \n\n"),
            std::string::npos);
}

