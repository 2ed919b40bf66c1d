#include <gtest/gtest.h>

#include <cstdlib>

#include "app.h"
#include "engine_env.h"
#include "workspace.h"

using namespace orvex;
using namespace orvex::test;

TEST(Workspace, IsFolderEmptyAndFolderSizeNeverFollowLinks) {
  TempDir t;
  EXPECT_EQ(IsFolderEmpty((t / "missing").string()), -1);
  fs::create_directories(t / "d/sub");
  EXPECT_EQ(IsFolderEmpty((t / "d/sub").string()), 1);
  EXPECT_EQ(IsFolderEmpty((t / "d").string()), 0);
  WriteFile(t / "d/a", std::string(1000, 'a'));
  WriteFile(t / "d/sub/b", std::string(24, 'b'));
  WriteFile(t / "outside/big", std::string(5000, 'c'));
  fs::create_directory_symlink(t / "outside", t / "d/link_dir");
  fs::create_symlink(t / "outside/big", t / "d/link_file");
  fs::create_directory_symlink(t / "d", t / "d/sub/loop");
  EXPECT_EQ(FolderSize((t / "d").string()), 1024);
  EXPECT_EQ(FolderSize((t / "missing").string()), 0);
}

TEST(Workspace, RemoveFolderEmptiesOnlyTheUnpackFolder) {
  EngineEnv env;
  fs::path w = env.Work();
  WriteFile(w / "vendor.new/old/file", "x");
  WriteFile(w / "vendor.new.dat", "data");
  RemoveFolder(env.ctx, (w / "vendor.new.dat").string(), true);
  EXPECT_TRUE(fs::is_directory(w / "vendor.new"));
  EXPECT_TRUE(fs::is_empty(w / "vendor.new"));
  EXPECT_TRUE(fs::exists(w / "vendor.new.dat"));
  auto lines = env.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Обнаружена папка с распакованным образом раздела, удаляем! Подождите...");
  EXPECT_EQ(lines[1], "Код выхода rmdir: 0  (Выполнено успешно!)");

  // A missing folder: nothing is logged or run, and recreate makes it.
  env.log.Replace("");
  RemoveFolder(env.ctx, (w / "odm.img").string(), true);
  EXPECT_TRUE(fs::is_directory(w / "odm"));
  EXPECT_EQ(env.log.Text(), "");
  RemoveFolder(env.ctx, (w / "product.img").string(), false);
  EXPECT_FALSE(fs::exists(w / "product"));
}

TEST(Workspace, RemoveFolderWithHostileNameRemovesOnlyThatFolder) {
  EngineEnv env;
  fs::path w = env.Work();
  const std::string name = "x' ; rm -rf '" + w.string() + "' ; '";
  WriteFile(w / "keep.txt", "keep");
  WriteFile(w / name / "inner", "1");
  RemoveFolder(env.ctx, (w / (name + ".img")).string(), false);
  EXPECT_FALSE(fs::exists(w / name));
  EXPECT_EQ(ReadFile(w / "keep.txt"), "keep");
}

TEST(Workspace, UniqueImageNameCountsUp) {
  EngineEnv env;
  fs::path w = env.Work();
  std::string folder = w.string() + "/";
  WriteFile(w / "firmware.img", "1");
  WriteFile(w / "firmware(1).img", "1");
  EXPECT_EQ(UniqueImageName(env.ctx, folder, "firmware"), "firmware.img");
  env.settings.SetInt("Index_Add", 1);
  EXPECT_EQ(UniqueImageName(env.ctx, folder, "firmware"), "firmware(2).img");
  EXPECT_EQ(UniqueImageName(env.ctx, folder, "other"), "other.img");
}

TEST(Workspace, RecycleDeleteUsesTheTrash) {
  TempDir t;
  const char* old = std::getenv("XDG_DATA_HOME");
  std::string keep = old ? old : "";
  setenv("XDG_DATA_HOME", (t / "data").c_str(), 1);
  WriteFile(t / "image one.img", "bytes");
  WriteFile(t / "dir/x", "x");
  EXPECT_EQ(RecycleDelete((t / "image one.img").string()), 1);
  EXPECT_EQ(RecycleDelete((t / "dir").string()), 1);
  EXPECT_EQ(RecycleDelete((t / "nothing").string()), 0);
  EXPECT_FALSE(fs::exists(t / "image one.img"));
  EXPECT_EQ(ReadFile(t / "data/Trash/files/image one.img"), "bytes");
  EXPECT_TRUE(fs::exists(t / "data/Trash/files/dir/x"));
  std::string info = ReadFile(t / "data/Trash/info/image one.img.trashinfo");
  EXPECT_NE(info.find("Path=" + (t / "image%20one.img").string()), std::string::npos) << info;
  if (old) setenv("XDG_DATA_HOME", keep.c_str(), 1);
  else unsetenv("XDG_DATA_HOME");
}

TEST(StartUp, ArgumentsAndTheTotalRule) {
  RecordingUi ui;
  App app(ui);
  app.QueueArguments({"first.img", "-total", "second.img"}, false);
  EXPECT_EQ(app.dispatcher.QueueLength(), 1u);
  App app2(ui);
  app2.QueueArguments({"first.img", "-total", "second.img"}, true);
  EXPECT_EQ(app2.dispatcher.QueueLength(), 2u);
}

TEST(StartUp, ProgramPathFindings) {
  RecordingUi ui;
  App app(ui);
  app.messages.LoadBuiltIn();
  app.CheckProgramPath("/opt/my tools (x)/orvex");
  EXPECT_EQ(app.log.Text(), "Путь: /opt/my tools (x)/orvex\r\nНедопустимые символы:  space  space ()\r\n\n");
  app.log.Replace("");
  app.CheckProgramPath("/" + std::string(119, 'a'));
  EXPECT_EQ(app.log.Text(), "");
  app.CheckProgramPath("/" + std::string(120, 'a'));
  EXPECT_NE(app.log.Text().find("\r\nДлинный путь: 121 символ\r\n\n"), std::string::npos);
}
