// The framework package jobs through orvex-cli with the packaged apktool, aapt, zipalign and our
// zipsigner: a small package made by aapt decodes, takes an edit and builds into a package that
// apksigner and zipalign accept; Debian's framework-res.apk decodes, and when the packaged
// apktool cannot build it back the step fails and the previous package is given back.
#include <gtest/gtest.h>

#include "test_support.h"

using namespace orvex::test;

namespace {

struct ApkCli {
  TempDir tmp;
  fs::path exe;
  ApkCli() {
    exe = tmp / "orvex-cli";
    fs::copy_file(BuildDir() / "orvex-cli", exe);
    fs::create_directories(tmp / "bin/config");
    for (const auto& e : fs::directory_iterator(BinDir())) {
      std::string n = e.path().filename().string();
      if (n == "config" || n == "1.apk") continue;
      fs::create_symlink(e.path(), tmp / "bin" / n);
    }
    fs::create_directories(tmp / "apk");
  }
  fs::path Dir() const { return tmp / "apk"; }
  CommandResult Run(const fs::path& target, const std::string& settings = "") const {
    return RunCommand(ShQuote(exe.string()) + " --set Locale_ID=1033 " + settings + " " + ShQuote(target.string()));
  }
};

bool HaveApkTools() {
  for (const char* p : {"java", "aapt", "apksigner", "zipalign"})
    if (!HaveProgram(p)) return false;
  for (const char* f : {"apktool.jar", "zipsigner.jar", "testkey.pk8", "framework/framework-res.apk"})
    if (!fs::exists(BinDir() / f)) return false;
  return true;
}

}  // namespace

TEST(ApkRoundTrip, SmallPackageDecodesTakesAnEditAndBuildsSignedAndAligned) {
  if (!HaveApkTools()) GTEST_SKIP() << "java, aapt, apksigner, zipalign or the jar tools missing";
  ApkCli cli;
  const fs::path src = cli.tmp / "src";
  WriteFile(src / "AndroidManifest.xml",
            "<manifest xmlns:android=\"http://schemas.android.com/apk/res/android\" package=\"org.orvex.demo\"\n"
            "  android:versionCode=\"3\" android:versionName=\"1.2\">\n"
            "  <uses-sdk android:minSdkVersion=\"21\" android:targetSdkVersion=\"29\"/>\n"
            "  <application android:label=\"@string/app_name\" android:hasCode=\"false\"/>\n"
            "</manifest>\n");
  WriteFile(src / "res/values/strings.xml",
            "<resources><string name=\"app_name\">Orvex demo</string><color name=\"accent\">#ff336699</color>"
            "</resources>\n");
  WriteFile(src / "res/layout/main.xml",
            "<LinearLayout xmlns:android=\"http://schemas.android.com/apk/res/android\"\n"
            "  android:layout_width=\"match_parent\" android:layout_height=\"match_parent\">\n"
            "  <TextView android:layout_width=\"wrap_content\" android:layout_height=\"wrap_content\"\n"
            "    android:text=\"@string/app_name\" android:textColor=\"@color/accent\"/>\n"
            "</LinearLayout>\n");
  const fs::path apk = cli.Dir() / "demo.apk";
  ASSERT_EQ(RunCommand("aapt package -f -M " + ShQuote((src / "AndroidManifest.xml").string()) + " -S " +
                       ShQuote((src / "res").string()) + " -I " +
                       ShQuote((BinDir() / "framework/framework-res.apk").string()) + " -F " + ShQuote(apk.string()))
                .exit_code,
            0);

  CommandResult d = cli.Run(apk, "--set Framework=1");
  ASSERT_EQ(d.exit_code, 0) << d.output;
  EXPECT_NE(d.output.find("Installing framework: framework-res.apk"), std::string::npos) << d.output;
  EXPECT_FALSE(fs::exists(cli.tmp / "bin/1.apk"));
  const fs::path strings = cli.Dir() / "demo/res/values/strings.xml";
  std::string values = ReadFile(strings);
  ASSERT_NE(values.find(">Orvex demo<"), std::string::npos) << values;
  EXPECT_TRUE(fs::exists(cli.Dir() / "demo/res/layout/main.xml"));
  values.replace(values.find(">Orvex demo<"), 12, ">Orvex edited<");
  WriteFile(strings, values);

  CommandResult b = cli.Run(cli.Dir() / "demo", "--set Framework=1");
  ASSERT_EQ(b.exit_code, 0) << b.output;
  CommandResult v = RunCommand("apksigner verify -v " + ShQuote(apk.string()));
  EXPECT_EQ(v.exit_code, 0) << v.output;
  EXPECT_NE(v.output.find("Verified using v1 scheme (JAR signing): true"), std::string::npos) << v.output;
  EXPECT_NE(v.output.find("Verified using v2 scheme (APK Signature Scheme v2): true"), std::string::npos) << v.output;
  EXPECT_EQ(RunCommand("zipalign -c -p 4 " + ShQuote(apk.string())).exit_code, 0);
  CommandResult badging = RunCommand("aapt dump badging " + ShQuote(apk.string()));
  EXPECT_NE(badging.output.find("application-label:'Orvex edited'"), std::string::npos) << badging.output;
  for (const char* gone : {"demo.apk.bak", "demo~~.apk", "demo~.apk"}) EXPECT_FALSE(fs::exists(cli.Dir() / gone)) << gone;
  EXPECT_FALSE(fs::exists(cli.tmp / "bin/1.apk"));
}

TEST(ApkRoundTrip, FrameworkResDecodesAndAFailedBuildGivesThePreviousPackageBack) {
  if (!HaveApkTools()) GTEST_SKIP() << "java, aapt, apksigner, zipalign or the jar tools missing";
  ApkCli cli;
  const fs::path apk = cli.Dir() / "framework-res.apk";
  fs::copy_file(BinDir() / "framework/framework-res.apk", apk);
  const std::string original = ReadFile(apk);

  CommandResult d = cli.Run(apk, "--set Framework=1");
  ASSERT_EQ(d.exit_code, 0) << d.output.substr(0, 4000);
  EXPECT_TRUE(fs::exists(cli.Dir() / "framework-res/AndroidManifest.xml"));
  EXPECT_TRUE(fs::exists(cli.Dir() / "framework-res/res/values/public.xml"));
  EXPECT_TRUE(fs::exists(cli.Dir() / "framework-res/res/values/strings.xml"));

  // The packaged apktool (with aapt 1) cannot compile these resources back; when it can, the
  // package must verify like any other.
  CommandResult b = cli.Run(cli.Dir() / "framework-res", "--set Framework=1");
  if (b.exit_code == 0) {
    EXPECT_EQ(RunCommand("apksigner verify " + ShQuote(apk.string())).exit_code, 0);
  } else {
    EXPECT_NE(b.output.find("Exit code apktool: 1  (Execution error!)"), std::string::npos)
        << b.output.substr(b.output.size() > 4000 ? b.output.size() - 4000 : 0);
    EXPECT_TRUE(ReadFile(apk) == original) << "the previous package was not given back unchanged";
  }
  for (const char* gone : {"framework-res.apk.bak", "framework-res~~.apk", "framework-res~.apk"})
    EXPECT_FALSE(fs::exists(cli.Dir() / gone)) << gone;
  EXPECT_FALSE(fs::exists(cli.tmp / "bin/1.apk"));
}
