#include <gtest/gtest.h>

#include "engine_env.h"
#include "platform.h"
#include "tool_runner.h"

using namespace orvex;
using namespace orvex::test;

TEST(ToolRunner, ToolKeyIsTheLowerCasedBareName) {
  EXPECT_EQ(ToolKey("/x/bin/make_ext4fs"), "make_ext4fs");
  EXPECT_EQ(ToolKey("C:\\x\\bin\\makesuper\\LPUNPACK.EXE"), "lpunpack");
  EXPECT_EQ(ToolKey("rmdir"), "rmdir");
  EXPECT_EQ(ToolKey("/x/bin/erofs/extract.erofs"), "extract");
}

TEST(ToolRunner, MakeExt4fsAllocationFailuresAreRecorded) {
  ActivityLog log;
  EXPECT_EQ(ScanMakeExt4fsLine("make_ext4fs", "error: failed to allocate 2048 blocks", log), "error: failed to allocate 2048 blocks");
  EXPECT_EQ(log.allocFailBlocks, 2048);
  ScanMakeExt4fsLine("make_ext4fs", "failed to allocate blocks", log);
  EXPECT_EQ(log.allocFailBlocks, 2048);
  ScanMakeExt4fsLine("make_ext4fs", "FAILED TO ALLOCATE 12 BLOCK", log);
  EXPECT_EQ(log.allocFailBlocks, 12);
  ScanMakeExt4fsLine("imgextractor", "failed to allocate 99 blocks", log);
  EXPECT_EQ(log.allocFailBlocks, 12);
}

TEST(ToolRunner, BannersAreRemoved) {
  EXPECT_EQ(StripToolBanner("7z", "\r\n7-Zip (z) 26.02 (x64) : Copyright (c) 1999-2026 Igor Pavlov : 2026-01-01\r\nok\r\n"),
            "\r\nok\r\n");
  EXPECT_EQ(StripToolBanner("lz4", "done | modded by someone\r\n"), "done \r\n");
  EXPECT_EQ(StripToolBanner("lz4", "7-Zip Igor Pavlov\r\n"), "7-Zip Igor Pavlov\r\n");
}

TEST(ToolRunner, StepLinesAndErrorCount) {
  EngineEnv env;
  EXPECT_EQ(LogStepResult(env.ctx, 0), "  (Выполнено успешно!)");
  EXPECT_EQ(env.log.errorCount, 0);
  EXPECT_EQ(LogStepResult(env.ctx, -300), "  (Ошибка выполнения!)");
  EXPECT_EQ(env.log.errorCount, 1);
  LogStep(env.ctx, "gzip", 0, true);
  EXPECT_EQ(env.log.Text(), "Код выхода gzip: 0  (Выполнено успешно!)\r\n\n");
}

TEST(ActivityLog, EmptyTextChangesNothingAndObserversSeeEveryPieceInOrder) {
  ActivityLog log;
  std::string seen;
  log.AddObserver([&](const std::string& piece, bool) { seen += piece; });
  log.LogLine("", true);
  EXPECT_EQ(log.Text(), "");
  log.LogLine("one", false);
  log.AppendSilently("--->> file <<--- \n");
  log.LogLine("two", true);
  EXPECT_EQ(log.Text(), "one\r\n--->> file <<--- \ntwo\r\n\n");
  EXPECT_EQ(seen, log.Text());
}

TEST(RunTool, OutputStreamsIntoTheLogInOrder) {
  EngineEnv env;
  env.FakeTool("progress",
               "printf '10%%\\r20%%\\r30%%\\r\\ndone\\r\\n'\n"
               "echo 'warn one' >&2\n"
               "printf '\\n' >&2\n"
               "echo 'warn two' >&2\n"
               "exit 3\n");
  int code = RunTool(env.ctx, env.ctx.Tool("progress"), "", env.Work().string());
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

TEST(RunTool, WorkingFolderArgumentsAndExitCodes) {
  EngineEnv env;
  env.FakeTool("where", "pwd; for a in \"$@\"; do echo \"[$a]\"; done\n");
  fs::create_directories(env.Work() / "in dir");
  int code = RunTool(env.ctx, env.ctx.Tool("where"), platform::Quote("a b") + " c", (env.Work() / "in dir").string());
  EXPECT_EQ(code, 0);
  // Each piece the tool wrote is an entry of its own, so compare the lines that hold text.
  std::vector<std::string> lines;
  for (const auto& l : env.Lines())
    if (!l.empty()) lines.push_back(l);
  EXPECT_EQ(lines, (std::vector<std::string>{(env.Work() / "in dir").string(), "[a b]", "[c]"}));

  // An empty working folder keeps the program's current folder.
  env.log.Replace("");
  RunTool(env.ctx, env.ctx.Tool("where"), "", "");
  EXPECT_NE(env.log.Text().find(fs::current_path().string() + "\r\n"), std::string::npos);

  // A missing tool fails with the interpreter's own message and a non-zero code.
  env.log.Replace("");
  code = RunTool(env.ctx, env.ctx.Tool("no_such_tool"), "", "");
  EXPECT_EQ(code, 127);
  EXPECT_NE(env.log.Text().find("not found"), std::string::npos);
}

TEST(RunTool, HostileNamesReachTheToolAsOneArgumentAndRunNothing) {
  EngineEnv env;
  env.FakeTool("args", "for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done\n");
  const std::string marker = (env.tmp / "pwned").string();
  const std::vector<std::string> names = {
      "$(touch " + marker + ")",
      "`touch " + marker + "`",
      "it's \"quoted\" & ; | < > *",
      "Прошивка с пробелом.img",
      "a'b'c\\n$HOME",
  };
  for (const auto& n : names) {
    env.log.Replace("");
    int code = RunTool(env.ctx, env.ctx.Tool("args"), platform::Quote(n), env.Work().string());
    EXPECT_EQ(code, 0);
    EXPECT_EQ(env.log.Text(), "[" + n + "]\r\n\r\n") << n;
  }
  EXPECT_FALSE(fs::exists(marker));
}

TEST(RunTool, ToolFolderWithBlanksStillRuns) {
  TempDir t;
  EngineEnv env;
  fs::path odd = t / "my tools $(x)";
  fs::create_directories(odd);
  WriteFile(odd / "hello", "#!/bin/sh\necho hi\n");
  fs::permissions(odd / "hello", fs::perms::owner_all);
  env.ctx.root = odd.string() + "/";
  EXPECT_EQ(RunTool(env.ctx, env.ctx.Tool("hello"), "", ""), 0);
  EXPECT_EQ(env.log.Text(), "hi\r\n\r\n");
}

TEST(RunTool, InvalidUtf8OutputBecomesReplacementCharacters) {
  EngineEnv env;
  env.FakeTool("bad", "printf 'ok \\377\\n'\nprintf '\\320\\237\\321\\200\\320\\270\\n'\n");
  RunTool(env.ctx, env.ctx.Tool("bad"), "", "");
  std::string text = env.log.Text();
  EXPECT_NE(text.find("ok \xEF\xBF\xBD"), std::string::npos);
  EXPECT_NE(text.find("При"), std::string::npos);
}

TEST(LogPathCheck, CountsBlanksAndNonLatinLetters) {
  EngineEnv env;
  EXPECT_EQ(LogPathCheck(env.ctx, "/work/Лунка 1.img"), 6);
  auto lines = env.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Путь: /work/Лунка 1.img");
  EXPECT_EQ(lines[1], "Символы: 17  Латинские: 11  не Латинские: 5  Пробелы: 1");
  EXPECT_EQ(lines[2], ">< !!! Недопустимые символы: 6");

  env.log.Replace("");
  std::string longPath = "/" + std::string(120, 'a');
  EXPECT_EQ(LogPathCheck(env.ctx, longPath), 0);
  lines = env.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], ">< !!! Длинный путь 121 символ");
}

TEST(CheckJava, WarnsWhenJavaCannotRun) {
  EngineEnv env;
  const char* path = std::getenv("PATH");
  std::string saved = path ? path : "";
  setenv("PATH", "/nonexistent", 1);
  int code = CheckJava(env.ctx);
  setenv("PATH", saved.c_str(), 1);
  EXPECT_NE(code, 0);
  EXPECT_NE(env.log.Text().find(">< !!! Пожалуйста, установите Java с официального сайта: "), std::string::npos);
  EXPECT_NE(env.log.Text().find("  и перезагрузите компьютер\r\n\n"), std::string::npos);
}

TEST(RunTool, ChattyToolKeepsEveryLineInOrder) {
  EngineEnv env;
  env.FakeTool("chatty", "awk 'BEGIN{for(i=1;i<=200000;i++){print i; if (i % 1000 == 0) fflush()}}'\n"
                         "awk 'BEGIN{for(i=1;i<=100;i++) print \"e\" i > \"/dev/stderr\"}'\n");
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
