// The Windows platform layer against the real cmd.exe: quoting, the interpreter's pipes and
// exit codes, paths, host facts, the recycle bin and the console code pages.
#include "win_test_util.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "platform.h"

using namespace orvex;
using namespace orvex::platform;
using namespace orvex::test;

namespace {

std::string Joined(const std::vector<std::string>& words) {
  std::string s;
  for (const auto& w : words) {
    s += ' ';
    s += Quote(w);
  }
  return s;
}

}  // namespace

TEST(CmdQuote, Texts) {
  EXPECT_EQ(Quote("C:\\fw\\my system.img"), "\"C:\\fw\\my system.img\"");
  // % stands outside the quotes; a trailing backslash is doubled before the closing quote.
  EXPECT_EQ(Quote("50%PATH%"), "\"50\"%\"PATH\"%\"\"");
  EXPECT_EQ(Quote("C:\\dir\\%x"), "\"C:\\dir\\\\\"%\"x\"");
  EXPECT_EQ(Quote("C:\\out\\"), "\"C:\\out\\\\\"");
  // No Windows file name holds a quote or a line break: they are left out.
  EXPECT_EQ(Quote("say \"hi\"\r\n"), "\"say hi\"");

  EXPECT_EQ(ToolForCommand("C:\\fw\\bin\\simg2img.exe"), "C:\\fw\\bin\\simg2img.exe");
  EXPECT_EQ(ToolForCommand("rmdir"), "rmdir");
  EXPECT_EQ(ToolForCommand("C:\\Program Files\\fw\\bin\\lz4.exe"), "\"C:\\Program Files\\fw\\bin\\lz4.exe\"");
  EXPECT_EQ(ToolForCommand("C:\\a,b\\lz4.exe"), "\"C:\\a,b\\lz4.exe\"");
  // The tool's own path stays in one pair of quotes, % included.
  EXPECT_EQ(ToolForCommand("C:\\100% & co\\lz4.exe"), "\"C:\\100% & co\\lz4.exe\"");
  ToolCommand rm = RemoveTreeCommand("C:\\fw\\system");
  EXPECT_EQ(rm.tool, "rmdir");
  EXPECT_EQ(rm.args, "/s /q \"C:\\fw\\system\"");
}

TEST(CmdQuote, HostileWordsReachTheToolUnchangedAndRunNothing) {
  FakeToolFolder bin;
  std::string tool = bin.Add("echoargs");
  fs::path work = bin.Temp() / "work";
  fs::create_directories(work);
  const std::vector<std::string> words = {
      "a & echo PWNED > pwned.txt &",
      "x ^ y ^^ z",
      "%PATH%",
      "%OS%",
      "100% & 50%",
      "%",
      "%%",
      "!OS! !PATH!",
      "(a) | (b) < c > d",
      "semi;colon,comma=equal @at",
      "C:\\dir with blank\\",
      "файл системы.img",
      "",
  };
  RecordingSink sink;
  int code = RunInterpreter(ToolForCommand(tool) + Joined(words), FromPath(work), sink);
  EXPECT_EQ(code, 0) << sink.Err();
  auto calls = bin.Calls();
  ASSERT_EQ(calls.size(), 1u) << sink.Out() << sink.Err();
  EXPECT_EQ(calls[0].args, words);
  EXPECT_FALSE(fs::exists(work / "pwned.txt"));
  EXPECT_EQ(sink.Out().find("PWNED"), std::string::npos);

  // A quote inside a word cannot end the quoted text: it is dropped and the rest stays one word.
  RecordingSink sink2;
  RunInterpreter(ToolForCommand(tool) + " " + Quote("b\" & echo PWNED > pwned.txt & \"c"), FromPath(work), sink2);
  calls = bin.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].args, std::vector<std::string>{"b & echo PWNED > pwned.txt & c"});
  EXPECT_FALSE(fs::exists(work / "pwned.txt"));
}

TEST(CmdQuote, ToolInAFolderWithBlanksAndSpecialCharacters) {
  FakeToolFolder bin("my tools & (new) 100% ^ок");
  std::string tool = bin.Add("lz4", "out started\nexit 4\n");
  RecordingSink sink;
  int code = RunInterpreter(ToolForCommand(tool) + " -d " + Quote("in put.lz4"), "", sink);
  EXPECT_EQ(code, 4) << sink.Err();
  EXPECT_EQ(sink.Out(), "started\r\n");
  auto calls = bin.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].args, (std::vector<std::string>{"-d", "in put.lz4"}));
}

TEST(RunInterpreter, ExitCodesAndStartFailures) {
  RecordingSink sink;
  EXPECT_EQ(RunInterpreter("echo out& echo err 1>&2& exit /b 7", "", sink), 7);
  EXPECT_EQ(sink.Out(), "out\r\n");
  EXPECT_EQ(sink.Err(), "err \r\n");
  EXPECT_EQ(RunInterpreter("exit /b 0", "", sink), 0);

  // A missing tool is reported by the interpreter itself, with its own exit code.
  RecordingSink missing;
  int code = RunInterpreter("no_such_tool_here.exe -x", "", missing);
  EXPECT_EQ(code, 9009);
  EXPECT_NE(missing.Err(), "");

  // A working folder that does not exist: the interpreter cannot be started at all.
  TempDir t;
  RecordingSink none;
  EXPECT_EQ(RunInterpreter("echo never", FromPath(t.path() / "gone"), none), kCannotStart);
  EXPECT_TRUE(none.pieces.empty());
}

TEST(RunInterpreter, WorkingFolderInputAndDiscardedOutput) {
  FakeToolFolder bin("папка с пробелом");
  std::string tool = bin.Add("where", "readin\nerr secret\nout shown\n");
  RecordingSink sink;
  ASSERT_EQ(RunInterpreter(ToolForCommand(tool), bin.Dir(), sink), 0);
  // Standard input is the null device: a tool that reads it sees its end at once.
  EXPECT_EQ(sink.Out(), "read 0 bytes\r\nshown\r\n");
  EXPECT_EQ(sink.Err(), "secret\r\n");
  ASSERT_EQ(RunInterpreter(ToolForCommand(tool), "", sink), 0);
  auto calls = bin.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].cwd, bin.Dir());
  EXPECT_EQ(calls[1].cwd, CurrentFolder());

  RecordingSink noOut, noErr;
  EXPECT_EQ(RunInterpreter(ToolForCommand(tool) + " " + std::string(NullOutput()), "", noOut), 0);
  EXPECT_EQ(noOut.Out(), "");
  EXPECT_EQ(noOut.Err(), "secret\r\n");
  EXPECT_EQ(RunInterpreter(ToolForCommand(tool) + " " + std::string(NullError()), "", noErr), 0);
  EXPECT_EQ(noErr.Out(), "read 0 bytes\r\nshown\r\n");
  EXPECT_EQ(noErr.Err(), "");
}

TEST(RunInterpreter, OutputReachesTheSinkWhileTheToolRunsInOrder) {
  // The tool waits for the sink to acknowledge each piece before it writes the next one, so the
  // run only finishes when every piece was handed on while the tool was still running.
  FakeToolFolder bin;
  std::string tool = bin.Add("stepper",
                             "err E1\nwaitfile ack1\nout O1\nwaitfile ack2\nerr E2\nwaitfile ack3\nraw O2\n");
  class AckSink : public RecordingSink {
   public:
    explicit AckSink(fs::path dir) : dir_(std::move(dir)) {}
    void OnStdout(std::string_view b) override { RecordingSink::OnStdout(b), Ack(); }
    void OnStderr(std::string_view b) override { RecordingSink::OnStderr(b), Ack(); }

   private:
    void Ack() { WriteFile(dir_ / ("ack" + std::to_string(pieces.size())), ""); }
    fs::path dir_;
  } sink(bin.Path());
  ASSERT_EQ(RunInterpreter(ToolForCommand(tool), bin.Dir(), sink), 0);
  EXPECT_EQ(sink.pieces, (std::vector<std::string>{"err:E1\r\n", "out:O1\r\n", "err:E2\r\n", "out:O2"}));
  for (DWORD id : sink.threads) EXPECT_EQ(id, GetCurrentThreadId());
}

TEST(RunInterpreter, SilenceWhileTheToolRunsIsReported) {
  // The tool goes on only after the sink was told it had fallen silent.
  FakeToolFolder bin;
  std::string tool = bin.Add("quiet", "raw half a line\nwaitfile idle\nout , the rest\n");
  class IdleSink : public RecordingSink {
   public:
    explicit IdleSink(fs::path dir) : dir_(std::move(dir)) {}
    void OnIdle() override {
      pieces.push_back("idle");
      if (!Out().empty()) WriteFile(dir_ / "idle", "");
    }

   private:
    fs::path dir_;
  } sink(bin.Path());
  ASSERT_EQ(RunInterpreter(ToolForCommand(tool), bin.Dir(), sink), 0);
  auto first = std::find(sink.pieces.begin(), sink.pieces.end(), "out:half a line");
  ASSERT_NE(first, sink.pieces.end());
  ASSERT_NE(first + 1, sink.pieces.end());
  EXPECT_EQ(first[1], "idle");
  EXPECT_EQ(sink.Out(), "half a line, the rest\r\n");
  EXPECT_EQ(sink.Err(), "");
}

TEST(RunInterpreter, RemoveTreeCommandRemovesAHostileNamedTree) {
  TempDir t;
  fs::path tree = t.path() / ToPath("system & mkdir pwned & %OS% ^ 100% (1)");
  WriteFile(tree / "sub" / "file.txt", "x");
  WriteFile(t.path() / "keep.txt", "kept");
  ToolCommand rm = RemoveTreeCommand(FromPath(tree));
  RecordingSink sink;
  EXPECT_EQ(RunInterpreter(ToolForCommand(rm.tool) + " " + rm.args, FromPath(t.path()), sink), 0) << sink.Err();
  EXPECT_FALSE(fs::exists(tree));
  EXPECT_TRUE(fs::exists(t.path() / "keep.txt"));
  EXPECT_FALSE(fs::exists(t.path() / "pwned"));
}

TEST(Files, NamesOutsideTheAnsiCodePage) {
  TempDir t;
  const std::string dir = FromPath(t.path()) + "\\Прошивка 中文";
  const std::string file = dir + "\\систем а.img";
  ASSERT_TRUE(fs::create_directory(ToPath(dir)));
  WriteFile(ToPath(file), "12345");
  EXPECT_EQ(FromPath(ToPath(file)), file);
  // The name on disk is the UTF-16 form of the UTF-8 text.
  WIN32_FIND_DATAW fd{};
  HANDLE h = FindFirstFileW((ToPath(dir) / L"*.img").c_str(), &fd);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  FindClose(h);
  EXPECT_EQ(std::wstring(fd.cFileName), L"\u0441\u0438\u0441\u0442\u0435\u043c \u0430.img");

  std::FILE* f = OpenFile(file, "rb");
  ASSERT_NE(f, nullptr);
  char bytes[8] = {};
  EXPECT_EQ(std::fread(bytes, 1, sizeof bytes, f), 5u);
  std::fclose(f);
  EXPECT_EQ(std::string(bytes), "12345");

  EXPECT_EQ(FileSizeOrMarker(file), 5);
  EXPECT_EQ(FileSizeOrMarker(dir), -2);
  EXPECT_EQ(FileSizeOrMarker(dir + "\\missing.img"), -1);
  EXPECT_TRUE(Exists(file));
  EXPECT_TRUE(Exists(dir));
  EXPECT_FALSE(Exists(dir + "\\missing.img"));
  EXPECT_TRUE(IsDirectory(dir));
  EXPECT_TRUE(IsDirectory(dir + "\\"));
  EXPECT_FALSE(IsDirectory(file));
  EXPECT_FALSE(IsLink(file));
  EXPECT_FALSE(IsLink(dir));
}

TEST(Files, JunctionsAreLinks) {
  TempDir t;
  const std::string target = FromPath(t.path()) + "\\target";
  const std::string link = FromPath(t.path()) + "\\link";
  fs::create_directory(ToPath(target));
  WriteFile(ToPath(target) / "a.txt", "abc");
  RecordingSink sink;
  if (RunInterpreter("mklink /j " + Quote(link) + " " + Quote(target), "", sink) != 0 || !Exists(link))
    GTEST_SKIP() << "this system makes no junctions: " << sink.Err();
  EXPECT_TRUE(IsLink(link));
  EXPECT_TRUE(IsDirectory(link));
  EXPECT_EQ(FileSizeOrMarker(link + "\\a.txt"), 3);
  EXPECT_FALSE(IsLink(target));
}

TEST(Host, Facts) {
  // The system's own answer for this process: PROCESSOR_ARCHITEW6432 is set in a 32-bit process
  // on a 64-bit system, else PROCESSOR_ARCHITECTURE names the native processor.
  const char* wow = std::getenv("PROCESSOR_ARCHITEW6432");
  const char* arch = std::getenv("PROCESSOR_ARCHITECTURE");
  ASSERT_TRUE(wow || arch);
  EXPECT_EQ(Is64BitHost(), wow != nullptr || std::string(arch) != "x86");

  std::string self = ProgramFile();
  EXPECT_EQ(ToPath(self).filename(), L"orvex_platform_tests.exe");
  EXPECT_TRUE(Exists(self));

  std::string temp = TempFolder();
  ASSERT_FALSE(temp.empty());
  EXPECT_NE(temp.back(), '\\');
  EXPECT_TRUE(IsDirectory(temp));

  // The C runtime's own reading of the local clock as UTC fields, taken around ours.
  auto runtime = [] {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_s(&local, &now);
    return static_cast<int64_t>(_mkgmtime(&local));
  };
  int64_t before = runtime();
  int64_t ours = LocalClockSeconds();
  int64_t after = runtime();
  EXPECT_GE(ours, before - 1);
  EXPECT_LE(ours, after + 1);

  HostFacts f = GetHostFacts();
  EXPECT_GE(f.cores, 1);
  EXPECT_GT(f.freeMemory, 0);
  EXPECT_GE(f.totalMemory, f.freeMemory);
  EXPECT_FALSE(f.systemName.empty());
  EXPECT_FALSE(f.computerName.empty());
  std::string host = HostDescription();
  EXPECT_NE(host.find(" cores)\r\nRAM: "), std::string::npos) << host;
  EXPECT_EQ(host.find("RAM: 0 MB"), std::string::npos) << host;
  EXPECT_NE(host.find("\r\nOS: "), std::string::npos) << host;
}

TEST(Trash, FilesAndFoldersGoToTheRecycleBin) {
  TempDir t;
  const std::string file = FromPath(t.path()) + "\\корзина 1.img";
  const std::string dir = FromPath(t.path()) + "\\папка & (2)";
  WriteFile(ToPath(file), "12345");
  WriteFile(ToPath(dir) / "inner.txt", "x");
  std::wstring root = t.path().root_path().wstring();
  SHQUERYRBINFO before{sizeof before, 0, 0}, after{sizeof after, 0, 0};
  ASSERT_EQ(SHQueryRecycleBinW(root.c_str(), &before), S_OK);

  EXPECT_TRUE(MoveToTrash(file));
  EXPECT_TRUE(MoveToTrash(dir));
  EXPECT_FALSE(Exists(file));
  EXPECT_FALSE(Exists(dir));
  ASSERT_EQ(SHQueryRecycleBinW(root.c_str(), &after), S_OK);
  EXPECT_EQ(after.i64NumItems, before.i64NumItems + 2);

  EXPECT_FALSE(MoveToTrash(FromPath(t.path()) + "\\never there.img"));
}

TEST(Host, OpeningSomethingMissingFails) {
  TempDir t;
  EXPECT_FALSE(OpenWithDefault(FromPath(t.path()) + "\\no such folder"));
}

// The cases below run with the Russian and the Japanese system locale (see CMakeLists.txt).

TEST(CodePageCyrillic, OemAndAnsiBytes) {
  ASSERT_EQ(GetOEMCP(), 866u);
  ASSERT_EQ(GetACP(), 1251u);
  EXPECT_EQ(DecodeToolOutput("\x8f\xe0\xa8\xa2\xa5\xe2, 100%\r\n", true), "Привет, 100%\r\n");
  EXPECT_EQ(DecodeToolOutput("\xcf\xf0\xe8\xe2\xe5\xf2", false), "Привет");
  // Box drawing exists in the console code page only.
  EXPECT_EQ(DecodeToolOutput("\xc9\xcd\xbb", true), "╔═╗");
  std::string carry;
  EXPECT_EQ(DecodeToolOutput("\xe0", true, &carry), "р");
  EXPECT_EQ(carry, "");
  EXPECT_EQ(UserUiLanguage(), 1049);
}

TEST(CodePageShiftJis, LeadBytesWaitForTheirSecondHalf) {
  ASSERT_EQ(GetOEMCP(), 932u);
  std::string carry;
  // 0x88 0x9F is one character; 0x9F is also a lead byte, but here it is the second half.
  EXPECT_EQ(DecodeToolOutput("A\x88\x9f", true, &carry), "A亜");
  EXPECT_EQ(carry, "");
  EXPECT_EQ(DecodeToolOutput("\x88\x9f\x88", true, &carry), "亜");
  EXPECT_EQ(carry, "\x88");
  EXPECT_EQ(DecodeToolOutput("\x9f\x82", true, &carry), "亜");
  EXPECT_EQ(carry, "\x82");
  EXPECT_EQ(DecodeToolOutput("\xa0 ok", true, &carry), "あ ok");
  EXPECT_EQ(carry, "");
  EXPECT_EQ(UserUiLanguage(), 1041);
}
