// The LZ4 and second-extension jobs against a fake lz4: command lines, routing by partition name,
// the files left beside the input, and the backups of the LZ4 pack.
#include <gtest/gtest.h>

#include "fake_tools.h"
#include "jobs.h"
#include "workspace.h"

using namespace orvex;
using namespace orvex::test;

namespace {

std::string CallsLog(const EngineEnv& env) { return ReadFile(env.tmp / "calls.log"); }

// "-d IN OUT" writes an ext4-marked image to OUT (or half of one and fails, with `code`);
// "-B6 --content-size IN OUT" copies IN to OUT.
void InstallLz4Fake(const EngineEnv& env, int code = 0) {
  env.FakeTool("lz4", RecordCall(env, "lz4") + "if [ \"$1\" = -d ]; then\n" + MakeExt4Marked("\"$3\"") +
                          (code ? "head -c 100 \"$3\" > \"$3.x\" && mv \"$3.x\" \"$3\"\n" : "") +
                          "else cp \"$3\" \"$4\"; fi\nexit " + std::to_string(code) + "\n");
}

std::set<std::string> FilesIn(const fs::path& dir) {
  std::set<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().filename().string());
  return out;
}

}  // namespace

TEST(UnpackLz4Image, Ext4InsideLz4GoesThroughTheConversion) {
  for (int notDelete : {0, 1}) {
    SCOPED_TRACE(notDelete);
    EngineEnv env;
    env.settings.SetInt("Not_Delete", notDelete);
    InstallLz4Fake(env);
    InstallExt4Fakes(env, "EXT_ATTR");
    fs::path w = env.Work();
    WriteFile(w / "system.img.ext4.lz4", "lz4 frame");
    WriteFile(w / "system.img.ext4", "stale");

    UnpackLz4Image(env.ctx, (w / "system.img.ext4.lz4").string());

    EXPECT_EQ(CallsLog(env).substr(0, CallsLog(env).find("== imgextractor_")),
              "== lz4\n" + w.string() + "\n<-d>\n<system.img.ext4.lz4>\n<system.img.ext4>\n");
    auto lines = env.Lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "Выполняется распаковка образа раздела: system.img.ext4.lz4 Подождите...");
    EXPECT_EQ(lines[1], "Код выхода lz4: 0  (Выполнено успешно!)");
    EXPECT_EQ(lines[2], "Конвертируем system.img.ext4 в system.img");
    EXPECT_EQ(lines[3], "Код выхода Convert: 0  (Выполнено успешно!)");
    EXPECT_TRUE(HasLine(env, "Выполняется распаковка образа раздела: system.img |Raw| Подождите..."));
    std::set<std::string> left{"system", "system.img.ext4.lz4"};
    if (notDelete) left.insert("system.img.ext4");
    EXPECT_EQ(FilesIn(w), left);
  }
}

TEST(UnpackLz4Image, RoutesByPartitionName) {
  struct Case {
    std::string input;
    bool partitionUnpack;
    std::set<std::string> left;
  } cases[] = {
      {"super.img.lz4", false, {"super.img.lz4", "super"}},  // the super unpack
      {"boot.img.lz4", false, {"boot.img.lz4"}},      // the Rockchip sub-image unpack
      {"Vendor.img.lz4", true, {"Vendor.img.lz4", "Vendor"}},
      {"vbmeta.bin.lz4", false, {"vbmeta.bin.lz4", "vbmeta.bin"}},  // only decompressed
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    EngineEnv env;
    InstallLz4Fake(env);
    InstallExt4Fakes(env, "EXT_ATTR");
    fs::path w = env.Work();
    WriteFile(w / c.input, "lz4 frame");
    UnpackLz4Image(env.ctx, (w / c.input).string());
    EXPECT_EQ(CallsLog(env).find("== imgextractor") != std::string::npos, c.partitionUnpack);
    EXPECT_EQ(FilesIn(w), c.left);
    const std::string inner = c.input.substr(0, c.input.size() - 4);
    // The super and Rockchip routes reach their jobs (whose tools this fake folder lacks).
    EXPECT_EQ(HasLine(env, "Код выхода lpunpack: 127  (Ошибка выполнения!)"), inner == "super.img");
    EXPECT_EQ(HasLine(env, "Код выхода ImgRePackerRK: 127  (Ошибка выполнения!)"), inner == "boot.img");
  }
}

TEST(UnpackLz4Image, DamagedInputLeavesNoPartialImageAndNoUnpack) {
  EngineEnv env;
  InstallLz4Fake(env, /*code=*/1);
  InstallExt4Fakes(env, "EXT_ATTR");
  fs::path w = env.Work();
  WriteFile(w / "system.img.lz4", "cut");
  WriteFile(w / "system/system/kept.txt", "an earlier unpack");
  UnpackLz4Image(env.ctx, (w / "system.img.lz4").string());
  EXPECT_FALSE(fs::exists(w / "system.img"));
  EXPECT_EQ(ReadFile(w / "system/system/kept.txt"), "an earlier unpack");
  EXPECT_EQ(CallsLog(env).find("imgextractor"), std::string::npos);
  EXPECT_EQ(env.Lines(), (std::vector<std::string>{"Выполняется распаковка образа раздела: system.img.lz4 Подождите...",
                                                   "Код выхода lz4: 1  (Ошибка выполнения!)",
                                                   "Файл: system.img.lz4 не может быть распакован!", ""}));
}

TEST(ConvertImage, CopiesUnpacksAndRemovesTheCopy) {
  EngineEnv env;
  env.settings.SetInt("Not_Delete", 1);
  InstallExt4Fakes(env, "EXT_ATTR");
  fs::path w = env.Work();
  WriteExt4Marked(w / "system.img.ext4");
  WriteFile(w / "system.img", "an older file of the copy's name");
  ConvertImage(env.ctx, (w / "system.img.ext4").string());
  EXPECT_EQ(env.Lines()[0], "Конвертируем system.img.ext4 в system.img");
  EXPECT_EQ(env.Lines()[1], "Код выхода Convert: 0  (Выполнено успешно!)");
  EXPECT_NE(CallsLog(env).find("<system.img>"), std::string::npos);
  EXPECT_EQ(FilesIn(w), (std::set<std::string>{"system", "system.img.ext4"}));
}

TEST(PackLz4Image, BackupsOriginalsAndDeletions) {
  for (int notDelete : {0, 1}) {
    SCOPED_TRACE(notDelete);
    EngineEnv env;
    env.settings.SetInt("No_Org", 0);
    env.settings.SetInt("No_Backup", 1);
    env.settings.SetInt("Not_Delete", notDelete);
    InstallLz4Fake(env);
    fs::path w = env.Work();
    WriteFile(w / "system.img.ext4", "new image");
    WriteFile(w / "system.img.ext4.lz4", "old lz4");
    PackLz4Image(env.ctx, (w / "system.img.ext4").string());
    EXPECT_EQ(CallsLog(env), "== lz4\n" + w.string() +
                                 "\n<-B6>\n<--content-size>\n<system.img.ext4>\n<system.img.ext4.lz4>\n");
    EXPECT_EQ(env.Lines(), (std::vector<std::string>{
                               "Создаётся резервная копия оригинала: system.img.ext4.lz4 => system.img.ext4.lz4.org",
                               "Успех",
                               "Переименовываем system.img.ext4.lz4 в system.img.ext4.lz4.bak",
                               "Выполняется сборка образа раздела: system.img.ext4.lz4 Подождите...",
                               "Код выхода lz4: 0  (Выполнено успешно!)",
                           }));
    EXPECT_EQ(ReadFile(w / "system.img.ext4.lz4"), "new image");
    EXPECT_EQ(ReadFile(w / "system.img.ext4.lz4.org"), "old lz4");
    std::set<std::string> left{"system.img.ext4.lz4", "system.img.ext4.lz4.org"};
    if (notDelete) left.insert("system.img.ext4");
    EXPECT_EQ(FilesIn(w), left);
  }
}

TEST(PackLz4Image, FailedCompressionGivesThePreviousFileBack) {
  EngineEnv env;
  env.FakeTool("lz4", "echo 'cannot write' >&2\nexit 1\n");
  fs::path w = env.Work();
  WriteFile(w / "system.img", "new image");
  WriteFile(w / "system.img.lz4", "old lz4");
  PackLz4Image(env.ctx, (w / "system.img").string());
  EXPECT_EQ(ReadFile(w / "system.img.lz4"), "old lz4");
  EXPECT_TRUE(HasLine(env, "Переименовываем system.img.lz4.bak в system.img.lz4"));
  EXPECT_EQ(FilesIn(w), (std::set<std::string>{"system.img.lz4"}));
  EXPECT_EQ(env.log.errorCount, 1);

  // An empty previous file is set aside but neither kept as original nor given back.
  EngineEnv env2;
  env2.settings.SetInt("No_Org", 0);
  env2.settings.SetInt("No_Backup", 0);
  env2.FakeTool("lz4", "exit 1\n");
  fs::path w2 = env2.Work();
  WriteFile(w2 / "system.img", "new image");
  WriteFile(w2 / "system.img.lz4", "");
  PackLz4Image(env2.ctx, (w2 / "system.img").string());
  EXPECT_EQ(FilesIn(w2), (std::set<std::string>{"system.img.lz4.bak"}));
}

TEST(PackLz4Image, StopsWhenTheBackupCannotBeMade) {
  EngineEnv env;
  InstallLz4Fake(env);
  fs::path w = env.Work();
  WriteFile(w / "system.img", "new image");
  WriteFile(w / "system.img.lz4", "current lz4");
  WriteFile(w / "system.img.lz4.bak/blocker", "a folder in the way");
  PackLz4Image(env.ctx, (w / "system.img").string());
  EXPECT_FALSE(fs::exists(env.tmp / "calls.log"));
  EXPECT_EQ(ReadFile(w / "system.img.lz4"), "current lz4");
  EXPECT_EQ(ReadFile(w / "system.img"), "new image");
  EXPECT_EQ(env.Lines().back(), "Ошибка");
  EXPECT_EQ(env.log.errorCount, 1);
}
