// The engine's tool runner on Windows: tools started through cmd.exe by RunTool, with their
// output filtered and decoded into the log, and the folder removal that jobs share.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine_env.h"
#include "job_helpers.h"
#include "tool_runner.h"
#include "win_test_util.h"
#include "workspace.h"

using namespace orvex;
using namespace orvex::test;

namespace {

// A job context whose tool folder is a folder of fake tools.
struct WinEngine : EngineEnv {
  explicit WinEngine(const std::string& binName = "bin") : tools(binName) { ctx.root = tools.Dir() + "\\"; }
  FakeToolFolder tools;
};

}  // namespace

TEST(WinRunTool, OutputIsFoldedAndLoggedInOrder) {
  WinEngine env;
  env.tools.Add("progress",
                "raw 10%\\r20%\\r30%\\r\\n\\ndone\\r\\n\n"
                "err warn one\nerr \nerr warn two\nexit 3\n");
  int code = RunTool(env.ctx, env.ctx.Tool("progress"), "", "");
  EXPECT_EQ(code, 3);
  auto lines = env.Lines();
  // The progress piece folds to its last state; the empty error line is dropped.
  EXPECT_NE(std::find(lines.begin(), lines.end(), "30%"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "done"), lines.end());
  EXPECT_EQ(std::find(lines.begin(), lines.end(), "10%"), lines.end());
  auto w1 = std::find(lines.begin(), lines.end(), "warn one");
  auto w2 = std::find(lines.begin(), lines.end(), "warn two");
  ASSERT_NE(w1, lines.end());
  ASSERT_NE(w2, lines.end());
  EXPECT_EQ(w2 - w1, 1);
}

TEST(WinRunTool, ExactLogOfOnePieceAndTheStepLine) {
  WinEngine env;
  env.tools.Add("gzip", "raw done\\r\\n\nexit 0\n");
  int code = RunTool(env.ctx, env.ctx.Tool("gzip"), "-d " + Q("a b.gz"), "");
  LogStep(env.ctx, "gzip", code);
  EXPECT_EQ(env.log.Text(), "done\r\n\r\nКод выхода gzip: 0  (Выполнено успешно!)\r\n");
  auto calls = env.tools.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].args, (std::vector<std::string>{"-d", "a b.gz"}));
}

TEST(WinRunTool, ToolFolderWithBlanksAndCyrillicAndAMissingTool) {
  WinEngine env("Программа & tools (x86)");
  env.tools.Add("simg2img", "out converted\n");
  EXPECT_EQ(RunTool(env.ctx, env.ctx.Tool("simg2img"), Q("in.img") + " " + Q("out.img"), ""), 0);
  EXPECT_EQ(env.log.Text(), "converted\r\n\r\n");
  // A tool that is not there: the interpreter's own message reaches the log.
  env.log.Replace("");
  int code = RunTool(env.ctx, env.ctx.Tool("img2simg"), Q("x.img"), "");
  EXPECT_NE(code, 0);
  EXPECT_NE(code, platform::kCannotStart);
  EXPECT_NE(env.log.Text(), "");
}

TEST(WinRunTool, StartFailureGivesMinus300AndLogsNothing) {
  WinEngine env;
  env.tools.Add("lz4");
  int code = RunTool(env.ctx, env.ctx.Tool("lz4"), "", env.tools.Dir() + "\\no such folder");
  EXPECT_EQ(code, -300);
  EXPECT_EQ(env.log.Text(), "");
  EXPECT_TRUE(env.tools.Calls().empty());
}

TEST(WinRunTool, ChattyToolKeepsEveryLineInOrder) {
  WinEngine env;
  env.tools.Add("chatty", "count 200000\ncounterr 100\n");
  ASSERT_EQ(RunTool(env.ctx, env.ctx.Tool("chatty"), "", ""), 0);
  long expect = 1, expectErr = 1;
  for (const std::string& line : env.Lines()) {
    if (line.empty()) continue;
    if (line[0] == 'e') {
      ASSERT_EQ(line, "e" + std::to_string(expectErr++));
    } else {
      ASSERT_EQ(line, std::to_string(expect++));
    }
  }
  EXPECT_EQ(expect, 200001);
  EXPECT_EQ(expectErr, 101);
}

TEST(WinRunTool, AnUnfinishedLineReachesTheLogWhenTheToolFallsSilent) {
  // The tool waits until the half line is in the log before it finishes the line.
  WinEngine env;
  env.tools.Add("slow", "raw 45% done\nwaitfile seen\nout , now 100%\n");
  fs::path seen = env.tools.Path() / "seen";
  int id = env.log.AddObserver([&](const std::string& piece, bool) {
    if (piece.find("45% done") != std::string::npos) WriteFile(seen, "");
  });
  ASSERT_EQ(RunTool(env.ctx, env.ctx.Tool("slow"), "", env.tools.Dir()), 0);
  env.log.RemoveObserver(id);
  auto lines = env.Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "45% done"), lines.end()) << env.log.Text();
  EXPECT_EQ(env.log.Text().find("gave up"), std::string::npos);
}

TEST(WinWorkspace, RemoveFolderWithHostileNameRemovesOnlyThatFolder) {
  WinEngine env;
  fs::path w = fs::absolute(env.Work());
  const std::string name = "x & mkdir orvex-pwned & %OS% (1)";
  WriteFile(w / "keep.txt", "keep");
  WriteFile(w / platform::ToPath(name) / "inner", "1");
  RemoveFolder(env.ctx, platform::FromPath(w / platform::ToPath(name + ".img")), true);
  EXPECT_TRUE(fs::is_directory(w / platform::ToPath(name)));
  EXPECT_TRUE(fs::is_empty(w / platform::ToPath(name)));
  EXPECT_EQ(ReadFile(w / "keep.txt"), "keep");
  EXPECT_FALSE(fs::exists(platform::ToPath(platform::CurrentFolder()) / "orvex-pwned"));
  auto lines = env.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Обнаружена папка с распакованным образом раздела, удаляем! Подождите...");
  EXPECT_EQ(lines[1], "Код выхода rmdir: 0  (Выполнено успешно!)");
}

// With the Russian system locale: tools write in the console code page (866), except the error
// output of make_ext4fs and imgextractor, which is in the ANSI code page (1251).
TEST(CodePageCyrillic, ToolOutputIsDecodedPerTool) {
  ASSERT_EQ(GetOEMCP(), 866u);
  WinEngine env;
  // "Привет" in 866 on both outputs, and "Ошибка" in 1251 / 866 on the error output.
  env.tools.Add("lz4", "raw \x8f\xe0\xa8\xa2\xa5\xe2\\r\\n\nerr \x8e\xe8\xa8\xa1\xaa\xa0\n");
  env.tools.Add("make_ext4fs", "raw \x8f\xe0\xa8\xa2\xa5\xe2\\r\\n\nerr \xce\xf8\xe8\xe1\xea\xe0\n");
  ASSERT_EQ(RunTool(env.ctx, env.ctx.Tool("lz4"), "", ""), 0);
  ASSERT_EQ(RunTool(env.ctx, env.ctx.Tool("make_ext4fs"), "", ""), 0);
  auto lines = env.Lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Привет"), 2);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Ошибка"), 2);
}
