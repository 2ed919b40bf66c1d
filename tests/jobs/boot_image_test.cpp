// UnpackBootImage and PackBootImage against a fake AndImgTool: command lines, log lines, and the
// backup that keeps the user's image whatever the build does.
#include <gtest/gtest.h>

#include "fake_tools.h"
#include "jobs.h"
#include "workspace.h"

using namespace orvex;
using namespace orvex::test;

namespace {

using Lines = std::vector<std::string>;

// Unpack: makes the folder with a config.ini. Pack: writes the image named by its second
// argument with `content` (nothing when empty), then exits with `code`.
void InstallAndImgTool(const EngineEnv& env, int code = 0, const std::string& content = "new image") {
  env.FakeTool("AndImgTool", RecordCall(env, "AndImgTool") +
                                 "if [ -d \"$1\" ]; then\n"
                                 "  " + (content.empty() ? std::string(":") : "printf '%s' '" + content + "' > \"$2\"") +
                                 "\nelse\n"
                                 "  mkdir -p \"$2\" && echo '[header]' > \"$2/config.ini\"\n"
                                 "fi\n"
                                 "echo 'tool output'\n"
                                 "exit " + std::to_string(code) + "\n");
}

std::string Calls(const EngineEnv& env) { return ReadFile(env.tmp / "calls.log"); }

}  // namespace

TEST(UnpackBootImage, CommandLineLogAndRecentFiles) {
  EngineEnv env;
  InstallAndImgTool(env);
  fs::path w = env.Work();
  // A name the interpreter must not read as anything but a name.
  const std::string name = "boot $(touch pwned) 'x'";
  WriteFile(w / (name + ".PARTITION"), "ANDROID!image");
  WriteFile(w / name / "stale.txt", "from an earlier unpack");

  UnpackBootImage(env.ctx, (w / (name + ".PARTITION")).string());

  EXPECT_EQ(Calls(env), "== AndImgTool\n" + w.string() + "\n<" + name + ".PARTITION>\n<" + name + ">\n");
  EXPECT_FALSE(fs::exists(w / "pwned"));
  EXPECT_FALSE(fs::exists(w / name / "stale.txt"));
  EXPECT_EQ(env.Lines(), (Lines{
                             "Обнаружена папка с распакованным образом раздела, удаляем! Подождите...",
                             "Код выхода rmdir: 0  (Выполнено успешно!)",
                             "Выполняется распаковка образа раздела: " + name + ".PARTITION Подождите...",
                             "tool output",
                             "",
                             "Код выхода AndImgTool: 0  (Выполнено успешно!)",
                             "Действие по распаковки образа раздела: " + name + ".PARTITION завершено.",
                             "",
                         }));
  EXPECT_EQ(env.recent.List(),
            (std::vector<std::string>{(w / (name + ".PARTITION")).string(), (w / name).string()}));
  EXPECT_EQ(env.log.errorCount, 0);
}

TEST(UnpackBootImage, FailedToolIsCountedAndNotRemembered) {
  EngineEnv env;
  InstallAndImgTool(env, 1);
  fs::path w = env.Work();
  WriteFile(w / "recovery.PARTITION", "ANDROID!image");
  UnpackBootImage(env.ctx, (w / "recovery.PARTITION").string());
  auto lines = env.Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Код выхода AndImgTool: 1  (Ошибка выполнения!)"), lines.end());
  EXPECT_EQ(lines[lines.size() - 2], "Действие по распаковки образа раздела: recovery.PARTITION завершено.");
  EXPECT_TRUE(env.recent.List().empty());
  EXPECT_EQ(env.log.errorCount, 1);
}

TEST(PackBootImage, FirstBuildHasNoBackupStep) {
  EngineEnv env;
  InstallAndImgTool(env);
  fs::path w = env.Work();
  WriteFile(w / "boot.v2/config.ini", "[header]\n");

  PackBootImage(env.ctx, (w / "boot.v2").string());

  EXPECT_EQ(Calls(env), "== AndImgTool\n" + w.string() + "\n<boot.v2>\n<boot.v2.PARTITION>\n");
  EXPECT_EQ(ReadFile(w / "boot.v2.PARTITION"), "new image");
  EXPECT_FALSE(fs::exists(w / "boot.v2.PARTITION.bak"));
  EXPECT_EQ(env.Lines(), (Lines{
                             "Выполняется сборка образа раздела: boot.v2.PARTITION Подождите...",
                             "tool output",
                             "",
                             "Код выхода AndImgTool: 0  (Выполнено успешно!)",
                             "Действие по сборке образа раздела: boot.v2.PARTITION завершено.",
                             "",
                         }));
  EXPECT_EQ(env.recent.List(), (std::vector<std::string>{(w / "boot.v2").string()}));
}

TEST(PackBootImage, BackupKeptOrDroppedByNoBackup) {
  for (int noBackup : {0, 1}) {
    SCOPED_TRACE(noBackup);
    EngineEnv env;
    env.settings.SetInt("No_Backup", noBackup);
    InstallAndImgTool(env);
    fs::path w = env.Work();
    WriteFile(w / "boot/config.ini", "[header]\n");
    WriteFile(w / "boot.PARTITION", "old image");
    WriteFile(w / "boot.PARTITION.bak", "older backup");

    PackBootImage(env.ctx, (w / "boot").string());

    EXPECT_EQ(ReadFile(w / "boot.PARTITION"), "new image");
    if (noBackup == 0) {
      EXPECT_EQ(ReadFile(w / "boot.PARTITION.bak"), "old image");
    } else {
      EXPECT_FALSE(fs::exists(w / "boot.PARTITION.bak"));
    }
    auto lines = env.Lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Переименовываем boot.PARTITION в boot.PARTITION.bak");
    EXPECT_EQ(lines[1], "Успех");
    EXPECT_EQ(lines[2], "Выполняется сборка образа раздела: boot.PARTITION Подождите...");
  }
}

TEST(PackBootImage, FailedOrEmptyBuildGivesThePreviousImageBack) {
  struct Case {
    int code;
    std::string content;
  };
  for (const Case& c : {Case{1, "partial"}, Case{0, ""}, Case{2, ""}}) {
    SCOPED_TRACE(c.code);
    EngineEnv env;
    env.settings.SetInt("No_Backup", 1);
    InstallAndImgTool(env, c.code, c.content);
    fs::path w = env.Work();
    WriteFile(w / "boot/config.ini", "[header]\n");
    WriteFile(w / "boot.PARTITION", "the user's image");

    PackBootImage(env.ctx, (w / "boot").string());

    EXPECT_EQ(ReadFile(w / "boot.PARTITION"), "the user's image");
    EXPECT_FALSE(fs::exists(w / "boot.PARTITION.bak"));
    auto lines = env.Lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[lines.size() - 4], "Переименовываем boot.PARTITION.bak в boot.PARTITION");
    EXPECT_EQ(lines[lines.size() - 3], "Успех");
    EXPECT_TRUE(env.recent.List().empty() == (c.code != 0));
  }
}

TEST(PackBootImage, BackupLeftByAnUnfinishedPackComesBackFirst) {
  EngineEnv env;
  InstallAndImgTool(env, 1);
  fs::path w = env.Work();
  WriteFile(w / "boot/config.ini", "[header]\n");
  WriteFile(w / "boot.PARTITION.bak", "the only copy");

  PackBootImage(env.ctx, (w / "boot").string());

  // The failed build leaves it where the user expects it.
  EXPECT_EQ(ReadFile(w / "boot.PARTITION"), "the only copy");
  auto lines = env.Lines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "Переименовываем boot.PARTITION.bak в boot.PARTITION");
  EXPECT_EQ(lines[1], "Успех");
  EXPECT_EQ(lines[2], "Переименовываем boot.PARTITION в boot.PARTITION.bak");
}

TEST(PackBootImage, NoBuildWhenTheImageCannotBeMovedAside) {
  EngineEnv env;
  InstallAndImgTool(env);
  fs::path w = env.Work();
  WriteFile(w / "boot/config.ini", "[header]\n");
  WriteFile(w / "boot.PARTITION", "the user's image");
  // A folder in the backup's place that cannot be deleted or replaced by a rename.
  WriteFile(w / "boot.PARTITION.bak/keep.txt", "x");

  PackBootImage(env.ctx, (w / "boot").string());

  EXPECT_EQ(Calls(env), "");
  EXPECT_EQ(ReadFile(w / "boot.PARTITION"), "the user's image");
  EXPECT_EQ(env.log.errorCount, 1);
  auto lines = env.Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[1], "Ошибка");
}
