// The framework package jobs against a fake java (apktool, zipsigner and the version query) on
// PATH and a fake zipalign: exact command lines and working folders, log lines, the order of
// alignment and signing, and the previous package after every failure.
#include <gtest/gtest.h>

#include <cstdlib>

#include "fake_tools.h"
#include "jobs.h"
#include "workspace.h"

using namespace orvex;
using namespace orvex::test;

namespace {

// Puts a fake java first on PATH for the life of the object. Each tool's exit code comes from
// the file rc_<tool> in the temporary folder (0 when missing).
class FakeJava {
 public:
  explicit FakeJava(const EngineEnv& env) : env_(env) {
    const char* p = std::getenv("PATH");
    saved_ = p ? p : "";
    fs::path dir = env.tmp / "java_bin";
    fs::create_directories(dir);
    const std::string tmp = ShQuote(env.tmp.str());
    auto rc = [&](const std::string& tool) { return "$(cat " + tmp + "/rc_" + tool + " 2>/dev/null || echo 0)"; };
    WriteFile(dir / "java", "#!/bin/sh\n" + RecordCall(env, "java") +
                                "if [ \"$1\" = -version ]; then echo 'openjdk version \"17\"' >&2; exit " + rc("java") +
                                "; fi\n"
                                "jar=$2; shift 2\n"
                                "case $jar in\n"
                                "*apktool.jar)\n"
                                "  cmd=$1; shift\n"
                                "  case $cmd in\n"
                                "  If) cp \"$3\" \"$2/1.apk\";;\n"
                                "  d) while [ $# -gt 1 ]; do [ \"$1\" = -o ] && out=$2; shift; done\n"
                                "     mkdir -p \"$out\"; echo manifest > \"$out/AndroidManifest.xml\"; exit " + rc("apktool") + ";;\n"
                                "  b) r=" + rc("apktool") + "; [ $r -ne 0 ] && { echo 'brut.androlib.AndrolibException' >&2; exit $r; }\n"
                                "     printf 'built' > \"$5\";;\n"
                                "  esac;;\n"
                                "*zipsigner.jar)\n"
                                "  r=" + rc("zipsigner") + "; cat \"$3\" > \"$4\"; [ $r -ne 0 ] && exit $r; printf '+signed' >> \"$4\";;\n"
                                "esac\n");
    fs::permissions(dir / "java", fs::perms::owner_all);
    setenv("PATH", (dir.string() + ":" + saved_).c_str(), 1);
    env.FakeTool("zipalign", RecordCall(env, "zipalign") + "cat \"$4\" > \"$5\"; r=" + rc("zipalign") +
                                 "; [ $r -ne 0 ] && exit $r; printf '+aligned' >> \"$5\"\n");
  }
  ~FakeJava() { setenv("PATH", saved_.c_str(), 1); }
  void Fail(const std::string& tool, int code) const { WriteFile(env_.tmp / ("rc_" + tool), std::to_string(code)); }

 private:
  const EngineEnv& env_;
  std::string saved_;
};

std::string CallLog(const EngineEnv& env) { return ReadFile(env.tmp / "calls.log"); }

// The log without the java -version banner and blank lines.
std::vector<std::string> JobLines(const EngineEnv& env) {
  std::vector<std::string> out;
  for (const auto& l : env.Lines())
    if (!l.empty() && l.find("openjdk version") == std::string::npos) out.push_back(l);
  return out;
}

void MakeFramework(const EngineEnv& env) { WriteFile(env.Bin() / "framework/framework-res.apk", "framework"); }

std::string JavaCall(const fs::path& cwd, std::initializer_list<std::string> args) {
  std::string s = "== java\n" + cwd.string() + "\n";
  for (const auto& a : args) s += "<" + a + ">\n";
  return s;
}

}  // namespace

TEST(DecodeApk, InstallsTheFrameworkDecodesAndRemoves1Apk) {
  EngineEnv env;
  FakeJava java(env);
  env.settings.SetInt("Framework", 1);
  MakeFramework(env);
  fs::path w = env.Work();
  WriteFile(w / "framework-res.apk", "PK\x03\x04 package");
  const std::string bin = env.Bin().string();

  DecodeApk(env.ctx, (w / "framework-res.apk").string());

  EXPECT_EQ(CallLog(env), JavaCall(fs::current_path(), {"-version"}) +
                              JavaCall(env.Bin(), {"-jar", "apktool.jar", "If", "-p", bin, "framework/framework-res.apk"}) +
                              JavaCall(w, {"-jar", bin + "/apktool.jar", "d", "-f", "-b", "--keep-broken-res", "-s", "-o",
                                           "framework-res", "-p", bin, "framework-res.apk"}));
  EXPECT_TRUE(fs::exists(w / "framework-res/AndroidManifest.xml"));
  EXPECT_FALSE(fs::exists(env.Bin() / "1.apk"));
  EXPECT_EQ(JobLines(env), (std::vector<std::string>{
                               "Установка фреймворка: framework-res.apk",
                               "Выполняется декомпиляция приложения: framework-res.apk Подождите...",
                               "Код выхода apktool: 0  (Выполнено успешно!)",
                               "Действие по декомпиляции приложения: framework-res.apk завершено.",
                           }));
}

TEST(DecodeApk, NoFrameworkFileMeansNoInstallAndJavaMissingMeansNothing) {
  {
    EngineEnv env;
    FakeJava java(env);
    env.settings.SetInt("Framework", 1);  // asked for, but bin/framework is empty
    fs::path w = env.Work();
    WriteFile(w / "app.apk", "PK\x03\x04");
    DecodeApk(env.ctx, (w / "app.apk").string());
    EXPECT_EQ(CallLog(env).find(" If"), std::string::npos);
    EXPECT_EQ(CallLog(env).find("<If>"), std::string::npos);
    EXPECT_EQ(JobLines(env).front(), "Выполняется декомпиляция приложения: app.apk Подождите...");
  }
  {
    EngineEnv env;
    FakeJava java(env);
    java.Fail("java", 127);
    fs::path w = env.Work();
    WriteFile(w / "app.apk", "PK\x03\x04");
    DecodeApk(env.ctx, (w / "app.apk").string());
    EXPECT_EQ(CallLog(env), JavaCall(fs::current_path(), {"-version"}));
    EXPECT_FALSE(fs::exists(w / "app"));
    EXPECT_NE(env.log.Text().find(">< !!! Пожалуйста, установите Java"), std::string::npos);
  }
}

TEST(BuildApk, AlignsThenSignsAndDropsTheBackup) {
  EngineEnv env;
  FakeJava java(env);
  env.settings.SetInt("Framework", 1);
  MakeFramework(env);
  fs::path w = env.Work();
  WriteFile(w / "app/AndroidManifest.xml", "manifest");
  WriteFile(w / "app.apk", "previous");
  const std::string bin = env.Bin().string();

  BuildApk(env.ctx, (w / "app").string());

  EXPECT_EQ(CallLog(env),
            JavaCall(fs::current_path(), {"-version"}) +
                JavaCall(env.Bin(), {"-jar", "apktool.jar", "If", "-p", bin, "framework/framework-res.apk"}) +
                JavaCall(w, {"-jar", bin + "/apktool.jar", "b", "-p", bin, "app", "-o", "app~~.apk"}) +
                "== zipalign\n" + w.string() + "\n<-f>\n<-p>\n<4>\n<app~~.apk>\n<app~.apk>\n" +
                JavaCall(env.Bin(), {"-jar", "zipsigner.jar", "testkey.x509.pem", "testkey.pk8", (w / "app~.apk").string(),
                                     (w / "app.apk").string()}));
  EXPECT_EQ(ReadFile(w / "app.apk"), "built+aligned+signed");
  for (const char* gone : {"app.apk.bak", "app~~.apk", "app~.apk"}) EXPECT_FALSE(fs::exists(w / gone)) << gone;
  EXPECT_FALSE(fs::exists(env.Bin() / "1.apk"));
  EXPECT_EQ(JobLines(env), (std::vector<std::string>{
                               "Переименовываем app.apk в app.apk.bak",
                               "Успех",
                               "Установка фреймворка: framework-res.apk",
                               "Выполняется сборка приложения: app.apk Подождите...",
                               "Код выхода apktool: 0  (Выполнено успешно!)",
                               "Выполняется выравнивание файла: app.apk",
                               "Код выхода zipalign: 0  (Выполнено успешно!)",
                               "Выполняется подпись файла: app.apk",
                               "Код выхода zipsigner: 0  (Выполнено успешно!)",
                               "Действие по сборке приложения: app.apk завершено.",
                           }));
}

TEST(BuildApk, EachStepCanBeSwitchedOff) {
  struct Case {
    int sign, align;
    const char* result;
    const char* zipalignCall;  // nullptr: not run
    const char* signIn;
  } cases[] = {
      {0, 0, "built", nullptr, nullptr},
      {1, 0, "built+signed", nullptr, "app~~.apk"},
      {0, 1, "built+aligned", "<app~.apk>\n<app.apk>\n", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("sign " + std::to_string(c.sign) + " align " + std::to_string(c.align));
    EngineEnv env;
    FakeJava java(env);
    env.settings.SetInt("SignatureApk", c.sign);
    env.settings.SetInt("Alignment", c.align);
    fs::path w = env.Work();
    WriteFile(w / "app/AndroidManifest.xml", "manifest");

    BuildApk(env.ctx, (w / "app").string());

    EXPECT_EQ(ReadFile(w / "app.apk"), c.result);
    const std::string calls = CallLog(env);
    if (c.zipalignCall) EXPECT_NE(calls.find("<-f>\n<-p>\n<4>\n" + std::string(c.zipalignCall)), std::string::npos) << calls;
    else EXPECT_EQ(calls.find("== zipalign"), std::string::npos);
    if (c.signIn)
      EXPECT_NE(calls.find("<" + (w / c.signIn).string() + ">\n<" + (w / "app~.apk").string() + ">\n"), std::string::npos)
          << calls;
    else EXPECT_EQ(calls.find("zipsigner.jar"), std::string::npos);
    for (const char* gone : {"app.apk.bak", "app~~.apk", "app~.apk"}) EXPECT_FALSE(fs::exists(w / gone)) << gone;
    EXPECT_EQ(env.log.Text().find("Переименовываем"), std::string::npos);  // no previous package
  }
}

TEST(BuildApk, AnyFailedStepBringsThePreviousPackageBack) {
  struct Case {
    const char* tool;
    int sign, align;
    const char* failedLine;
  } cases[] = {
      {"apktool", 1, 1, "Код выхода apktool: 1  (Ошибка выполнения!)"},
      {"zipalign", 1, 1, "Код выхода zipalign: 1  (Ошибка выполнения!)"},
      {"zipsigner", 1, 1, "Код выхода zipsigner: 1  (Ошибка выполнения!)"},
      {"zipsigner", 1, 0, "Код выхода zipsigner: 1  (Ошибка выполнения!)"},
      {"zipalign", 0, 1, "Код выхода zipalign: 1  (Ошибка выполнения!)"},
  };
  for (const auto& c : cases) {
    for (bool previous : {true, false}) {
      SCOPED_TRACE(std::string(c.tool) + " sign " + std::to_string(c.sign) + " align " + std::to_string(c.align) +
                   (previous ? " with a previous package" : " first build"));
      EngineEnv env;
      FakeJava java(env);
      java.Fail(c.tool, 1);
      env.settings.SetInt("SignatureApk", c.sign);
      env.settings.SetInt("Alignment", c.align);
      env.settings.SetInt("Framework", 1);
      MakeFramework(env);
      fs::path w = env.Work();
      WriteFile(w / "app/AndroidManifest.xml", "manifest");
      if (previous) WriteFile(w / "app.apk", "previous");

      BuildApk(env.ctx, (w / "app").string());

      if (previous) EXPECT_EQ(ReadFile(w / "app.apk"), "previous");
      else EXPECT_FALSE(fs::exists(w / "app.apk"));
      for (const char* gone : {"app.apk.bak", "app~~.apk", "app~.apk"}) EXPECT_FALSE(fs::exists(w / gone)) << gone;
      EXPECT_FALSE(fs::exists(env.Bin() / "1.apk"));
      auto lines = JobLines(env);
      EXPECT_NE(std::find(lines.begin(), lines.end(), c.failedLine), lines.end());
      EXPECT_EQ(lines.back(), "Действие по сборке приложения: app.apk завершено.");
      EXPECT_EQ(env.log.errorCount, 1);
    }
  }
}

TEST(BuildApk, BackupRules) {
  {
    SCOPED_TRACE("No_Backup 0 keeps the previous package beside the new one");
    EngineEnv env;
    FakeJava java(env);
    env.settings.SetInt("No_Backup", 0);
    fs::path w = env.Work();
    WriteFile(w / "app/AndroidManifest.xml", "manifest");
    WriteFile(w / "app.apk", "previous");
    BuildApk(env.ctx, (w / "app").string());
    EXPECT_EQ(ReadFile(w / "app.apk.bak"), "previous");
    EXPECT_EQ(ReadFile(w / "app.apk"), "built+aligned+signed");
  }
  {
    SCOPED_TRACE("a previous package that cannot be moved aside is never built over");
    EngineEnv env;
    FakeJava java(env);
    fs::path w = env.Work();
    WriteFile(w / "app/AndroidManifest.xml", "manifest");
    WriteFile(w / "app.apk", "previous");
    fs::create_directories(w / "app.apk.bak/in_the_way");
    BuildApk(env.ctx, (w / "app").string());
    EXPECT_EQ(ReadFile(w / "app.apk"), "previous");
    EXPECT_EQ(CallLog(env).find("apktool.jar"), std::string::npos);
    auto lines = JobLines(env);
    EXPECT_EQ(lines, (std::vector<std::string>{"Переименовываем app.apk в app.apk.bak", "Ошибка",
                                               "Действие по сборке приложения: app.apk завершено."}));
  }
}
