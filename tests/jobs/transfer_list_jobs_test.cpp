// The transfer-list jobs against fake tools: exact command lines, log lines and the files left
// beside the input, for the unpack (brotli, sdat2img) and the pack (img2sdat, brotli).
#include <gtest/gtest.h>

#include "fake_tools.h"
#include "jobs.h"
#include "workspace.h"

using namespace orvex;
using namespace orvex::test;

namespace {


std::string Call(const fs::path& dir, const std::string& tool, std::initializer_list<std::string> args) {
  std::string s = "== " + tool + "\n" + dir.string() + "\n";
  for (const auto& a : args) s += "<" + a + ">\n";
  return s;
}

// The value after `opt` among the arguments, as shell.
std::string ArgAfter(const std::string& opt, const std::string& var) {
  return var + "=; prev=; for a in \"$@\"; do [ \"$prev\" = \"" + opt + "\" ] && " + var + "=$a; prev=$a; done\n";
}

void InstallUnpackFakes(const EngineEnv& env, int brotliCode = 0, int sdatCode = 0) {
  InstallExt4Fakes(env, "EXT_ATTR");
  env.FakeTool("brotli", RecordCall(env, "brotli") + ArgAfter("--out", "out") + "printf data > \"$out\"\nexit " +
                             std::to_string(brotliCode) + "\n");
  env.FakeTool("sdat2img", RecordCall(env, "sdat2img") + (sdatCode == 0 ? MakeExt4Marked("\"$3\"") : "") + "exit " +
                               std::to_string(sdatCode) + "\n");
}

void InstallPackFakes(const EngineEnv& env, int img2sdatCode = 0, int brotliCode = 0) {
  env.FakeTool("img2sdat", RecordCall(env, "img2sdat") + ArgAfter("-p", "p") +
                               (img2sdatCode == 0 ? "printf newdata > \"$p.new.dat\"\n"
                                                    "printf '4\\n1\\n0\\n0\\nnew 2,0,1\\n' > \"$p.transfer.list\"\n"
                                                    ": > \"$p.patch.dat\"\n"
                                                  : "") +
                               "exit " + std::to_string(img2sdatCode) + "\n");
  env.FakeTool("brotli", RecordCall(env, "brotli") + ArgAfter("--out", "out") +
                             (brotliCode == 0 ? "printf newbr > \"$out\"\n" : "") + "exit " +
                             std::to_string(brotliCode) + "\n");
}

std::set<std::string> FilesIn(const fs::path& dir) {
  std::set<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().filename().string());
  return out;
}

}  // namespace

TEST(DecompressTransferList, BrotliThenSdat2imgThenThePartitionUnpack) {
  for (int notDelete : {0, 1}) {
    SCOPED_TRACE(notDelete);
    EngineEnv env;
    env.settings.SetInt("Not_Delete", notDelete);
    InstallUnpackFakes(env);
    fs::path w = env.Work();
    WriteFile(w / "system.new.dat.br", "compressed");
    WriteFile(w / "system.transfer.list", "4\n1\n0\n0\nnew 2,0,1\n");
    WriteFile(w / "system.new.dat", "stale");

    DecompressTransferList(env.ctx, (w / "system.new.dat.br").string());

    EXPECT_EQ(Calls(env, "brotli"),
              std::vector<std::string>{Call(w, "brotli", {"--decompress", "--in", "system.new.dat.br", "--out",
                                                          "system.new.dat", "--verbose"})});
    EXPECT_EQ(Calls(env, "sdat2img"), std::vector<std::string>{Call(
                                            w, "sdat2img", {"system.transfer.list", "system.new.dat", "system.img"})});
    auto lines = env.Lines();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], "Выполняется распаковка образа раздела: system.new.dat.br Подождите...");
    EXPECT_EQ(lines[1], "Код выхода brotli: 0  (Выполнено успешно!)");
    EXPECT_EQ(lines[2], "Выполняется распаковка образа раздела: system.new.dat Подождите...");
    EXPECT_EQ(lines[3], "Код выхода sdat2img: 0  (Выполнено успешно!)");
    EXPECT_EQ(lines[4], "Выполняется распаковка образа раздела: system.img |Raw| Подождите...");
    std::set<std::string> left{"system", "system.new.dat.br", "system.transfer.list"};
    if (notDelete) left.insert({"system.new.dat", "system.img"});
    EXPECT_EQ(FilesIn(w), left);
    EXPECT_EQ(env.log.errorCount, 0);
  }
}

TEST(UnpackTransferList, MissingListStopsBeforeAnyTool) {
  EngineEnv env;
  InstallUnpackFakes(env);
  fs::path w = env.Work();
  WriteFile(w / "vendor.new.dat", "data");
  WriteFile(w / "vendor.img", "kept");
  UnpackTransferList(env.ctx, (w / "vendor.new.dat").string());
  EXPECT_EQ(env.Lines(), (std::vector<std::string>{"Выполняется распаковка образа раздела: vendor.new.dat Подождите...",
                                                   ">< !!! Not found file: vendor.transfer.list",
                                                   "Файл: vendor.new.dat не может быть распакован!", ""}));
  EXPECT_FALSE(fs::exists(env.tmp / "calls.log"));
  EXPECT_EQ(ReadFile(w / "vendor.img"), "kept");

  // The same for the compressed form.
  env.log.Replace("");
  WriteFile(w / "odm.new.dat.br", "x");
  DecompressTransferList(env.ctx, (w / "odm.new.dat.br").string());
  EXPECT_EQ(env.Lines()[1], ">< !!! Not found file: odm.transfer.list");
  EXPECT_FALSE(fs::exists(env.tmp / "calls.log"));
}

TEST(UnpackTransferList, FailingToolsStopTheChain) {
  {
    EngineEnv env;
    InstallUnpackFakes(env, /*brotliCode=*/1);
    fs::path w = env.Work();
    WriteFile(w / "system.new.dat.br", "x");
    WriteFile(w / "system.transfer.list", "4\n");
    DecompressTransferList(env.ctx, (w / "system.new.dat.br").string());
    EXPECT_TRUE(Calls(env, "sdat2img").empty());
    EXPECT_EQ(env.Lines().back(), "Код выхода brotli: 1  (Ошибка выполнения!)");
    EXPECT_EQ(env.log.errorCount, 1);
  }
  {
    EngineEnv env;
    InstallUnpackFakes(env, 0, /*sdatCode=*/1);
    fs::path w = env.Work();
    WriteFile(w / "system.new.DAT", "x");
    WriteFile(w / "system.transfer.list", "4\n");
    WriteFile(w / "system/keep.txt", "an earlier unpack");
    UnpackTransferList(env.ctx, (w / "system.new.DAT").string());
    // The data file keeps its own spelling on a case-sensitive file system.
    EXPECT_EQ(Calls(env, "sdat2img")[0],
              Call(w, "sdat2img", {"system.transfer.list", "system.new.DAT", "system.img"}));
    EXPECT_TRUE(Calls(env, "imgextractor").empty());
    EXPECT_EQ(ReadFile(w / "system/keep.txt"), "an earlier unpack");
  }
}

TEST(DecompressTransferList, UnsafeOptionsFromTheSettingsNeverReachTheShell) {
  EngineEnv env;
  env.settings.SetText("Decompress", "--verbose; touch pwned");
  InstallUnpackFakes(env);
  fs::path w = env.Work();
  WriteFile(w / "system.new.dat.br", "x");
  WriteFile(w / "system.transfer.list", "4\n");
  DecompressTransferList(env.ctx, (w / "system.new.dat.br").string());
  EXPECT_FALSE(fs::exists(w / "pwned"));
  EXPECT_EQ(Calls(env, "brotli")[0],
            Call(w, "brotli", {"--decompress", "--in", "system.new.dat.br", "--out", "system.new.dat"}));
  EXPECT_EQ(env.Lines()[1], ">< !!! Decompress: --verbose; touch pwned <- Ошибка, --verbose;");
  EXPECT_EQ(env.log.errorCount, 1);
}

TEST(PackTransferList, CompressedFormWithBackupsAndOriginals) {
  for (int noBackup : {0, 1}) {
    SCOPED_TRACE(noBackup);
    EngineEnv env;
    env.settings.SetInt("No_Org", 0);
    env.settings.SetInt("No_Backup", noBackup);
    InstallPackFakes(env);
    fs::path w = env.Work();
    WriteFile(w / "system.img", "sparse image");
    WriteFile(w / "system.bak", "previous image");
    WriteFile(w / "system.new.dat.br", "old br");
    WriteFile(w / "system.transfer.list", "3\n5\n0\n0\nnew 2,0,5\n");

    PackTransferList(env.ctx, (w / "system.img").string());

    EXPECT_EQ(Calls(env, "img2sdat"),
              std::vector<std::string>{Call(w, "img2sdat", {"system.img", "-v", "3", "-p", "system"})});
    EXPECT_EQ(Calls(env, "brotli"), std::vector<std::string>{Call(
                                          w, "brotli", {"--in", "system.new.dat", "--out", "system.new.dat.br",
                                                        "--force", "--quality", "7", "--verbose"})});
    EXPECT_EQ(env.Lines(),
              (std::vector<std::string>{
                  "Создаётся резервная копия оригинала: system.transfer.list => system.transfer.list.org",
                  "Успех",
                  "Переименовываем system.transfer.list в system.transfer.list.bak",
                  "Успех",
                  "Выполняется сборка образа раздела: system.new.dat Подождите...",
                  "Код выхода img2sdat: 0  (Выполнено успешно!)",
                  "Создаётся резервная копия оригинала: system.new.dat.br => system.new.dat.br.org",
                  "Успех",
                  "Переименовываем system.new.dat.br в system.new.dat.br.bak",
                  "Успех",
                  "Выполняется сборка образа раздела: system.new.dat.br Подождите...",
                  "Код выхода brotli: 0  (Выполнено успешно!)",
                  "Действие по сборке образа раздела: system.new.dat.br завершено.",
                  "",
              }));
    EXPECT_EQ(ReadFile(w / "system.new.dat.br"), "newbr");
    EXPECT_EQ(ReadFile(w / "system.new.dat.br.org"), "old br");
    EXPECT_EQ(ReadFile(w / "system.transfer.list.org"), "3\n5\n0\n0\nnew 2,0,5\n");
    std::set<std::string> left{"system.new.dat.br", "system.new.dat.br.org", "system.transfer.list",
                               "system.transfer.list.org", "system.patch.dat"};
    if (!noBackup) left.insert({"system.new.dat.br.bak", "system.transfer.list.bak"});
    EXPECT_EQ(FilesIn(w), left);
    EXPECT_EQ(env.recent.List(), (std::vector<std::string>{(w / "system.new.dat").string(), (w / "system.img").string()}));

    // A second run keeps the first-found copies as they were.
    env.log.Replace("");
    WriteFile(w / "system.img", "image 2");
    PackTransferList(env.ctx, (w / "system.img").string());
    EXPECT_EQ(ReadFile(w / "system.new.dat.br.org"), "old br");
    EXPECT_EQ(env.Lines()[0], "Переименовываем system.transfer.list в system.transfer.list.bak");
  }
}

TEST(PackTransferList, VersionComesFromTheReplacedListAsANumber) {
  struct Case {
    std::string firstLine;
    int transfer;
    std::string expect;
  } cases[] = {
      {"3", 0, "3"}, {"3", 1, "4"}, {" 2 ", 0, "2"}, {"1", 0, "1"}, {"10", 0, "10"}, {"0", 0, "4"},
      {"11", 0, "4"}, {"", 0, "4"}, {"abc", 0, "4"}, {"3; touch pwned", 0, "3"}, {"2$(touch pwned)", 0, "2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.firstLine);
    EngineEnv env;
    env.settings.SetInt("Transfer", c.transfer);
    InstallPackFakes(env);
    fs::path w = env.Work();
    WriteFile(w / "vendor.img", "image");
    WriteFile(w / "vendor.new.dat", "old data");
    WriteFile(w / "vendor.transfer.list", c.firstLine + "\n5\n");
    PackTransferList(env.ctx, (w / "vendor.img").string());
    EXPECT_EQ(Calls(env, "img2sdat")[0], Call(w, "img2sdat", {"vendor.img", "-v", c.expect, "-p", "vendor"}));
    EXPECT_FALSE(fs::exists(w / "pwned"));
    // No compressed form beside it: no brotli, and the closing line names the data file.
    EXPECT_TRUE(Calls(env, "brotli").empty());
    EXPECT_EQ(env.Lines()[env.Lines().size() - 2], "Действие по сборке образа раздела: vendor.new.dat завершено.");
    EXPECT_EQ(ReadFile(w / "vendor.new.dat"), "newdata");
    EXPECT_FALSE(fs::exists(w / "vendor.img"));
  }
}

TEST(PackTransferList, FailuresGiveThePreviousPairBack) {
  // img2sdat fails: the old data and list return, the compressed file is not touched.
  {
    EngineEnv env;
    InstallPackFakes(env, /*img2sdatCode=*/1);
    fs::path w = env.Work();
    WriteFile(w / "system.img", "image");
    WriteFile(w / "system.new.dat.br", "old br");
    WriteFile(w / "system.transfer.list", "4\nold\n");
    PackTransferList(env.ctx, (w / "system.img").string());
    EXPECT_TRUE(Calls(env, "brotli").empty());
    EXPECT_EQ(ReadFile(w / "system.new.dat.br"), "old br");
    EXPECT_EQ(ReadFile(w / "system.transfer.list"), "4\nold\n");
    EXPECT_EQ(FilesIn(w), (std::set<std::string>{"system.new.dat.br", "system.transfer.list"}));
    EXPECT_EQ(env.log.errorCount, 1);
  }
  // brotli fails: the old compressed data and its list return together.
  {
    EngineEnv env;
    InstallPackFakes(env, 0, /*brotliCode=*/1);
    fs::path w = env.Work();
    WriteFile(w / "system.img", "image");
    WriteFile(w / "system.new.dat.br", "old br");
    WriteFile(w / "system.transfer.list", "4\nold\n");
    PackTransferList(env.ctx, (w / "system.img").string());
    EXPECT_EQ(ReadFile(w / "system.new.dat.br"), "old br");
    EXPECT_EQ(ReadFile(w / "system.transfer.list"), "4\nold\n");
    EXPECT_EQ(FilesIn(w), (std::set<std::string>{"system.new.dat.br", "system.transfer.list", "system.patch.dat"}));
    auto lines = env.Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Переименовываем system.new.dat.br.bak в system.new.dat.br"),
              lines.end());
  }
}

TEST(PackTransferList, StopsWhenTheBackupCannotBeMade) {
  EngineEnv env;
  InstallPackFakes(env);
  fs::path w = env.Work();
  WriteFile(w / "system.img", "image");
  WriteFile(w / "system.new.dat", "old data");
  WriteFile(w / "system.transfer.list", "4\nold\n");
  WriteFile(w / "system.transfer.list.bak/blocker", "a folder in the way");
  PackTransferList(env.ctx, (w / "system.img").string());
  EXPECT_FALSE(fs::exists(env.tmp / "calls.log"));
  EXPECT_EQ(ReadFile(w / "system.new.dat"), "old data");
  EXPECT_EQ(ReadFile(w / "system.transfer.list"), "4\nold\n");
  EXPECT_EQ(ReadFile(w / "system.img"), "image");
  EXPECT_EQ(env.log.errorCount, 1);
}

TEST(PackTransferList, ImageWithTwoExtensionsWritesTheNamesItBacksUp) {
  EngineEnv env;
  InstallPackFakes(env);
  fs::path w = env.Work();
  WriteFile(w / "system.img.ext4", "image");
  WriteFile(w / "system.new.dat", "old data");
  WriteFile(w / "system.transfer.list", "2\n");
  PackTransferList(env.ctx, (w / "system.img.ext4").string());
  EXPECT_EQ(Calls(env, "img2sdat")[0], Call(w, "img2sdat", {"system.img.ext4", "-v", "2", "-p", "system"}));
  EXPECT_EQ(ReadFile(w / "system.new.dat"), "newdata");
  EXPECT_TRUE(env.Lines()[0] == "Переименовываем system.img.new.dat в system.img.new.dat.bak");
  EXPECT_EQ(env.log.errorCount, 0);
}
