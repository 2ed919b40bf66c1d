// The device-tree jobs against fake dtc, dtbSplit, dtbTool and gzip (the fake gzip runs the real
// one): exact command lines and working folders, log lines, the gzip form's copy that is given
// back, the size rule for compression, and the previous image after every failure.
#include <gtest/gtest.h>

#include "fake_tools.h"
#include "jobs.h"
#include "workspace.h"

using namespace orvex;
using namespace orvex::test;

namespace {

std::string CallLog(const EngineEnv& env) { return ReadFile(env.tmp / "calls.log"); }

size_t Count(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
  return n;
}

// dtc turns X into Y by copying; a source whose name holds "broken" fails like a syntax error.
// dtbSplit writes two trees; dtbTool writes an image of $DTB_IMAGE_SIZE bytes (default 1000).
void InstallDtbFakes(const EngineEnv& env, int splitCode = 0, int checkCode = 0) {
  env.FakeTool("dtc", RecordCall(env, "dtc") +
                          "case \"$*\" in *broken*) echo 'Error: syntax error' >&2; exit 1;; esac\n"
                          "while [ $# -gt 0 ]; do case $1 in -o) out=$2; shift;; -I|-O) shift;; -f) ;; *) in=$1;; esac; "
                          "shift; done\n"
                          "cp \"$in\" \"$out\"\n");
  env.FakeTool("dtbSplit", RecordCall(env, "dtbSplit") +
                               "if [ \"$1\" = -t ]; then echo checked; exit " + std::to_string(checkCode) + "; fi\n"
                               "[ " + std::to_string(splitCode) + " -ne 0 ] && exit " + std::to_string(splitCode) + "\n"
                               "printf tree-a > \"$2/gxl-p212-1g.dtb\"; printf tree-b > \"$2/gxl-p212-2g.dtb\"\n"
                               "printf 'Version: 2\\r\\n' > \"$2/multidtb.cfg\"\n");
  env.FakeTool("dtbTool", RecordCall(env, "dtbTool") +
                              "while [ $# -gt 1 ]; do [ \"$1\" = -o ] && out=$2; shift; done\n"
                              "ls \"$1\" | tr '\\n' ' '; echo\n"
                              "head -c ${DTB_IMAGE_SIZE:-1000} /dev/zero > \"$out\"\n");
  env.FakeTool("gzip", RecordCall(env, "gzip") + "exec gzip \"$@\"\n");
}

struct ImageSize {
  explicit ImageSize(int64_t n) { setenv("DTB_IMAGE_SIZE", std::to_string(n).c_str(), 1); }
  ~ImageSize() { unsetenv("DTB_IMAGE_SIZE"); }
};

std::string Gzipped(const fs::path& dir, const std::string& bytes) {
  WriteFile(dir / "plain", bytes);
  RunCommand("gzip -nc " + ShQuote((dir / "plain").string()) + " > " + ShQuote((dir / "plain.gz").string()));
  std::string z = ReadFile(dir / "plain.gz");
  fs::remove(dir / "plain");
  fs::remove(dir / "plain.gz");
  return z;
}

// The last entry of the log that is not the blank line after it.
std::string LastLine(const EngineEnv& env) {
  auto l = env.Lines();
  while (!l.empty() && l.back().empty()) l.pop_back();
  return l.empty() ? std::string() : l.back();
}

std::string FdtMarked() { return std::string("\xD0\x0D\xFE\xED", 4) + std::string(60, '\0'); }

// A folder as the multi unpack leaves it.
void MakeMultiFolder(const fs::path& f, const std::vector<std::string>& sources) {
  for (const auto& s : sources) WriteFile(f / s, "/dts-v1/; / { };\n");
  WriteFile(f / "multidtb.cfg", "Version: 2\r\nPageSize: 2048\r\n");
}

}  // namespace

TEST(UnpackSingleDtb, CommandLineAndLog) {
  EngineEnv env;
  InstallDtbFakes(env);
  fs::path w = env.Work();
  WriteFile(w / "_aml_dtb.PARTITION", FdtMarked());
  WriteFile(w / "_aml_dtb/stale.dts", "old");

  UnpackSingleDtb(env.ctx, (w / "_aml_dtb.PARTITION").string());

  EXPECT_NE(CallLog(env).find("== dtc\n" + w.string() + "\n<-I>\n<dtb>\n<-O>\n<dts>\n<-o>\n<_aml_dtb/single.dts>\n"
                                                         "<_aml_dtb.PARTITION>\n"),
            std::string::npos)
      << CallLog(env);
  EXPECT_FALSE(fs::exists(w / "_aml_dtb/stale.dts"));
  EXPECT_EQ(ReadFile(w / "_aml_dtb/single.dts"), FdtMarked());
  auto l = env.Lines();
  ASSERT_GE(l.size(), 3u);
  EXPECT_EQ(l[l.size() - 3], "Выполняется распаковка образа раздела: _aml_dtb.PARTITION |Single| Подождите...");
  EXPECT_EQ(l[l.size() - 2], "Extract: single.dts");
  EXPECT_EQ(l[l.size() - 1], "Код выхода dtc: 0  (Выполнено успешно!)");
}

TEST(UnpackMultiDtb, GzipFormChecksGunzipsSplitsAndGivesTheInputBack) {
  EngineEnv env;
  InstallDtbFakes(env);
  fs::path w = env.Work();
  const std::string z = Gzipped(w, "AML_ container bytes");
  WriteFile(w / "_aml_dtb.PARTITION", z);

  UnpackMultiDtb(env.ctx, (w / "_aml_dtb.PARTITION").string(), "Gzip");

  const std::string calls = CallLog(env);
  const std::string expected = "== dtbSplit\n" + w.string() + "\n<-t>\n<_aml_dtb.PARTITION>\n"
                               "== gzip\n" + w.string() + "\n<-d>\n<" + w.string() + "/_aml_dtb.PARTITION.gz>\n"
                               "== dtbSplit\n" + w.string() + "\n<_aml_dtb.PARTITION>\n<_aml_dtb/>\n"
                               "== dtc\n" + (w / "_aml_dtb").string() + "\n<-I>\n<dtb>\n<-O>\n<dts>\n<-o>\n"
                               "<gxl-p212-1g.dts>\n<gxl-p212-1g.dtb>\n"
                               "== dtc\n" + (w / "_aml_dtb").string() + "\n<-I>\n<dtb>\n<-O>\n<dts>\n<-o>\n"
                               "<gxl-p212-2g.dts>\n<gxl-p212-2g.dtb>\n";
  EXPECT_EQ(calls, expected);
  EXPECT_EQ(ReadFile(w / "_aml_dtb.PARTITION"), z);  // the compressed input, unchanged
  EXPECT_FALSE(fs::exists(w / "_aml_dtb.PARTITION.tmp"));
  EXPECT_FALSE(fs::exists(w / "_aml_dtb.PARTITION.gz"));
  EXPECT_EQ(ReadFile(w / "_aml_dtb/gxl-p212-2g.dts"), "tree-b");
  EXPECT_FALSE(fs::exists(w / "_aml_dtb/gxl-p212-1g.dtb"));
  EXPECT_TRUE(fs::exists(w / "_aml_dtb/multidtb.cfg"));
  EXPECT_TRUE(HasLine(env, "Выполняется распаковка образа раздела: _aml_dtb.PARTITION |Gzip| Подождите..."));
  EXPECT_TRUE(HasLine(env, "Extract: gxl-p212-1g.dts"));
  EXPECT_TRUE(HasLine(env, "Код выхода dtbSplit: 0  (Выполнено успешно!)"));
  EXPECT_TRUE(HasLine(env, "Код выхода dtc: 0  (Выполнено успешно!)"));
  EXPECT_EQ(LastLine(env), "Действие по распаковки образа раздела: _aml_dtb.PARTITION завершено.");
  EXPECT_EQ(env.log.errorCount, 0);
  auto recent = env.recent.List();
  EXPECT_NE(std::find(recent.begin(), recent.end(), (w / "_aml_dtb").string()), recent.end());
}

TEST(UnpackMultiDtb, FailuresSkipTheTreesAndLeaveTheInputAsItWas) {
  {
    SCOPED_TRACE("an expanding stream is refused before gzip runs");
    EngineEnv env;
    InstallDtbFakes(env, 0, 1);
    fs::path w = env.Work();
    WriteFile(w / "_aml_dtb.PARTITION", Gzipped(w, "x"));
    const std::string before = ReadFile(w / "_aml_dtb.PARTITION");
    UnpackMultiDtb(env.ctx, (w / "_aml_dtb.PARTITION").string(), "Gzip");
    EXPECT_EQ(Count(CallLog(env), "== gzip"), 0u);
    EXPECT_EQ(Count(CallLog(env), "== dtbSplit"), 1u);
    EXPECT_TRUE(HasLine(env, "Код выхода dtbSplit: 1  (Ошибка выполнения!)"));
    EXPECT_EQ(ReadFile(w / "_aml_dtb.PARTITION"), before);
    EXPECT_FALSE(fs::exists(w / "_aml_dtb.PARTITION.tmp"));
    EXPECT_EQ(env.log.errorCount, 1);
  }
  {
    SCOPED_TRACE("a failed split converts nothing; the gzip input comes back from .tmp");
    EngineEnv env;
    InstallDtbFakes(env, 3);
    fs::path w = env.Work();
    WriteFile(w / "_aml_dtb.PARTITION", Gzipped(w, "y"));
    const std::string before = ReadFile(w / "_aml_dtb.PARTITION");
    UnpackMultiDtb(env.ctx, (w / "_aml_dtb.PARTITION").string(), "Gzip");
    EXPECT_EQ(Count(CallLog(env), "== dtc"), 0u);
    EXPECT_TRUE(HasLine(env, "Код выхода dtbSplit: 3  (Ошибка выполнения!)"));
    EXPECT_EQ(ReadFile(w / "_aml_dtb.PARTITION"), before);
    EXPECT_FALSE(fs::exists(w / "_aml_dtb.PARTITION.tmp"));
    EXPECT_TRUE(env.recent.List().empty());
  }
  {
    SCOPED_TRACE("a leftover .tmp is never overwritten: it may be the only compressed copy");
    EngineEnv env;
    InstallDtbFakes(env);
    fs::path w = env.Work();
    WriteFile(w / "_aml_dtb.PARTITION", Gzipped(w, "z"));
    WriteFile(w / "_aml_dtb.PARTITION.tmp", "earlier copy");
    UnpackMultiDtb(env.ctx, (w / "_aml_dtb.PARTITION").string(), "Gzip");
    EXPECT_EQ(ReadFile(w / "_aml_dtb.PARTITION.tmp"), "earlier copy");
    EXPECT_EQ(Count(CallLog(env), "== gzip"), 0u);
    EXPECT_TRUE(HasLine(env, ">< !!! Ошибка: _aml_dtb.PARTITION.tmp"));
  }
}

TEST(PackDtb, MultiFormCompilesEverySourceBuildsAndDropsTheBackup) {
  EngineEnv env;
  InstallDtbFakes(env);
  fs::path w = env.Work();
  WriteFile(w / "_aml_dtb.PARTITION", std::string("AML_\x02", 5) + std::string(100, 'o'));
  MakeMultiFolder(w / "_aml_dtb", {"b.dts", "a.dts"});
  WriteFile(w / "_aml_dtb_/stale.dtb", "from an interrupted run");

  PackDtb(env.ctx, (w / "_aml_dtb").string());

  const std::string work = (w / "_aml_dtb_").string();
  const std::string calls = CallLog(env);
  EXPECT_NE(calls.find("== dtc\n" + work + "\n<-I>\n<dts>\n<-O>\n<dtb>\n<-f>\n<a.dts>\n<-o>\n<a.dtb>\n== dtc\n" + work +
                       "\n<-I>\n<dts>\n<-O>\n<dtb>\n<-f>\n<b.dts>\n<-o>\n<b.dtb>\n== dtbTool\n" + w.string() +
                       "\n<--verbose>\n<-p>\n<" + env.Bin().string() + "/>\n<-o>\n<_aml_dtb.PARTITION>\n<_aml_dtb_>\n"),
            std::string::npos)
      << calls;
  EXPECT_TRUE(HasLine(env, "a.dtb b.dtb multidtb.cfg "));  // what dtbTool saw: no stale tree, no sources
  EXPECT_EQ(Count(calls, "== gzip"), 0u);
  EXPECT_EQ(fs::file_size(w / "_aml_dtb.PARTITION"), 1000u);
  EXPECT_FALSE(fs::exists(w / "_aml_dtb_"));
  EXPECT_FALSE(fs::exists(w / "_aml_dtb.bak"));
  EXPECT_FALSE(fs::exists(w / "_aml_dtb.org"));
  EXPECT_TRUE(fs::exists(w / "_aml_dtb/a.dts"));  // the sources stay
  auto l = env.Lines();
  std::vector<std::string> expected = {"Переименовываем _aml_dtb.PARTITION в _aml_dtb.bak",
                                       "Успех",
                                       "Выполняется сборка образа раздела: _aml_dtb.PARTITION |Multi| Подождите...",
                                       "Pack: a.dts --> a.dtb",
                                       "Код выхода dtc: 0  (Выполнено успешно!)",
                                       "Pack: b.dts --> b.dtb",
                                       "Код выхода dtc: 0  (Выполнено успешно!)"};
  ASSERT_GE(l.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(l.begin(), l.begin() + expected.size()), expected);
  EXPECT_TRUE(HasLine(env, "Код выхода dtbTool: 0  (Выполнено успешно!)"));
  EXPECT_EQ(LastLine(env), "Действие по сборке образа раздела: _aml_dtb.PARTITION завершено.");
  EXPECT_EQ(env.recent.List().front(), (w / "_aml_dtb").string());
}

TEST(PackDtb, CompressesPast196607BytesOrWhenThePreviousImageWasGzip) {
  struct Case {
    int64_t size;
    bool wasGzip;
    bool compressed;
  } cases[] = {{196607, false, false}, {196608, false, true}, {1000, true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + (c.wasGzip ? " gzip before" : ""));
    EngineEnv env;
    env.settings.SetInt("No_Org", 0);
    InstallDtbFakes(env);
    ImageSize size(c.size);
    fs::path w = env.Work();
    const std::string previous = c.wasGzip ? Gzipped(w, "old") : std::string("AML_\x02", 5) + "old";
    WriteFile(w / "_aml_dtb.PARTITION", previous);
    MakeMultiFolder(w / "_aml_dtb", {"a.dts"});

    PackDtb(env.ctx, (w / "_aml_dtb").string());

    const std::string image = ReadFile(w / "_aml_dtb.PARTITION");
    EXPECT_EQ(ReadFile(w / "_aml_dtb.org"), previous);
    EXPECT_FALSE(fs::exists(w / "_aml_dtb_.PARTITION"));
    EXPECT_EQ(env.log.errorCount, 0);
    if (c.compressed) {
      EXPECT_NE(CallLog(env).find("== gzip\n" + w.string() + "\n<-nc>\n<_aml_dtb_.PARTITION>\n"), std::string::npos);
      EXPECT_TRUE(HasLine(env, "Packing in: multi/gzipped"));
      EXPECT_TRUE(HasLine(env, "Код выхода gzip: 0  (Выполнено успешно!)"));
      CommandResult r = RunCommand("gzip -dc " + ShQuote((w / "_aml_dtb.PARTITION").string()) + " | wc -c");
      EXPECT_EQ(std::stoll(r.output), c.size);
    } else {
      EXPECT_EQ(static_cast<int64_t>(image.size()), c.size);
      EXPECT_FALSE(HasLine(env, "Packing in: multi/gzipped"));
    }
  }
}

TEST(PackDtb, AFailedSourceBringsThePreviousImageBackUncompressedStepsSkipped) {
  EngineEnv env;
  InstallDtbFakes(env);
  ImageSize size(300000);  // large enough to be compressed, had the build been complete
  fs::path w = env.Work();
  WriteFile(w / "_aml_dtb.PARTITION", std::string("AML_\x02", 5) + "previous");
  MakeMultiFolder(w / "_aml_dtb", {"a.dts", "broken.dts"});

  PackDtb(env.ctx, (w / "_aml_dtb").string());

  EXPECT_EQ(ReadFile(w / "_aml_dtb.PARTITION"), std::string("AML_\x02", 5) + "previous");
  EXPECT_FALSE(fs::exists(w / "_aml_dtb.bak"));
  EXPECT_EQ(Count(CallLog(env), "== gzip"), 0u);
  EXPECT_TRUE(HasLine(env, "Код выхода dtc: 2  (Ошибка выполнения!)"));  // exit code plus the missing .dtb
  EXPECT_TRUE(HasLine(env, "Код выхода dtbTool: 2  (Ошибка выполнения!)"));
  EXPECT_TRUE(HasLine(env, "Переименовываем _aml_dtb.bak в _aml_dtb.PARTITION"));
  EXPECT_TRUE(env.recent.List().empty());
  EXPECT_GE(env.log.errorCount, 2);
}

TEST(PackDtb, SingleFormWithoutAnImageMakesImgAndLeavesNoBackup) {
  EngineEnv env;
  InstallDtbFakes(env);
  fs::path w = env.Work();
  WriteFile(w / "_aml_dtb/single.dts", "/dts-v1/; / { };\n");

  PackDtb(env.ctx, (w / "_aml_dtb").string());

  EXPECT_EQ(CallLog(env), "== dtc\n" + w.string() + "\n<-I>\n<dts>\n<-O>\n<dtb>\n<-o>\n<_aml_dtb.img>\n"
                                                     "<_aml_dtb/single.dts>\n");
  EXPECT_EQ(ReadFile(w / "_aml_dtb.img"), "/dts-v1/; / { };\n");
  auto l = env.Lines();
  ASSERT_EQ(l.size(), 4u);
  EXPECT_EQ(l[0], "Выполняется сборка образа раздела: _aml_dtb.img |Single| Подождите...");
  EXPECT_EQ(l[1], "Код выхода dtc: 0  (Выполнено успешно!)");
  EXPECT_EQ(l[2], "Действие по сборке образа раздела: _aml_dtb.img завершено.");
  EXPECT_FALSE(fs::exists(w / "_aml_dtb.bak"));
}

TEST(PackDtb, NothingIsBuiltWhenThePreviousImageCannotBeMovedAside) {
  EngineEnv env;
  InstallDtbFakes(env);
  fs::path w = env.Work();
  WriteFile(w / "_aml_dtb.PARTITION", FdtMarked());
  WriteFile(w / "_aml_dtb/single.dts", "source");
  fs::create_directories(w / "_aml_dtb.bak/in_the_way");  // a folder: the rename cannot replace it

  PackDtb(env.ctx, (w / "_aml_dtb").string());

  EXPECT_EQ(ReadFile(w / "_aml_dtb.PARTITION"), FdtMarked());
  EXPECT_EQ(CallLog(env), "");
  EXPECT_TRUE(HasLine(env, "Ошибка"));
  EXPECT_EQ(LastLine(env), "Действие по сборке образа раздела: _aml_dtb.PARTITION завершено.");
}
