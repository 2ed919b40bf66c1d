// zipsigner.jar: an update package gets a v1 signature that jarsigner accepts and a whole-file
// signature that openssl verifies against the test certificate, laid out as recovery reads it;
// an application package gets v1 and v2 signatures that apksigner accepts.
#include <gtest/gtest.h>

#include <cstdint>

#include "test_support.h"
#include "update_signature.h"

using namespace orvex::test;

namespace {

bool HaveJavaTools() {
  return HaveProgram("java") && HaveProgram("jarsigner") && HaveProgram("openssl") && HaveProgram("zip") &&
         fs::exists(BinDir() / "testkey.pk8");
}

CommandResult Sign(const fs::path& in, const fs::path& out) {
  return RunCommand("cd " + ShQuote(BinDir().string()) + " && java -jar zipsigner.jar testkey.x509.pem testkey.pk8 " +
                    ShQuote(in.string()) + " " + ShQuote(out.string()));
}

// An update package as a ROM builder zips it.
fs::path MakeUpdateZip(const TempDir& t) {
  WriteFile(t / "src/META-INF/com/google/android/updater-script", "ui_print(\"Orvex\");\n");
  WriteFile(t / "src/META-INF/com/google/android/update-binary", std::string(3000, 'b'));
  WriteFile(t / "src/boot.img", std::string(70000, 'k'));
  WriteFile(t / "src/system.transfer.list", "4\n1\n0\n0\nnew 2,0,1\n");
  RunCommand("cd " + ShQuote((t / "src").string()) + " && zip -qr -X ../update.zip .");
  return t / "update.zip";
}

}  // namespace

TEST(ZipSigner, UpdatePackageGetsV1AndAWholeFileSignature) {
  if (!HaveJavaTools()) GTEST_SKIP() << "java, jarsigner, openssl or zip missing";
  TempDir t;
  fs::path in = MakeUpdateZip(t);
  CommandResult s = Sign(in, t / "signed.zip");
  ASSERT_EQ(s.exit_code, 0) << s.output;
  EXPECT_FALSE(fs::exists(t / "signed.zip.v1"));

  CommandResult v1 = RunCommand("jarsigner -verify " + ShQuote((t / "signed.zip").string()));
  EXPECT_NE(v1.output.find("jar verified."), std::string::npos) << v1.output;
  CommandResult list = RunCommand("unzip -l " + ShQuote((t / "signed.zip").string()));
  for (const char* entry : {"META-INF/MANIFEST.MF", "META-INF/CERT.SF", "META-INF/CERT.RSA", "boot.img"})
    EXPECT_NE(list.output.find(entry), std::string::npos) << entry;

  const std::string zip = ReadFile(t / "signed.zip");
  EXPECT_EQ(VerifyWholeFile(zip, t), "");
  // The archive stays readable with its comment, and every entry is whole.
  EXPECT_EQ(RunCommand("unzip -tq " + ShQuote((t / "signed.zip").string())).exit_code, 0);

  // Any changed byte of the signed part breaks the whole-file signature.
  std::string tampered = zip;
  tampered[100] ^= 1;
  EXPECT_NE(VerifyWholeFile(tampered, t), "");
}

TEST(ZipSigner, ApplicationPackageGetsV1AndV2) {
  const fs::path framework = BinDir() / "framework/framework-res.apk";
  if (!HaveJavaTools() || !HaveProgram("aapt") || !HaveProgram("apksigner") || !fs::exists(framework))
    GTEST_SKIP() << "aapt, apksigner or the framework package missing";
  TempDir t;
  WriteFile(t / "AndroidManifest.xml",
            "<manifest xmlns:android=\"http://schemas.android.com/apk/res/android\" package=\"org.orvex.signed\">\n"
            "<uses-sdk android:minSdkVersion=\"21\"/><application android:hasCode=\"false\"/></manifest>\n");
  WriteFile(t / "res/values/strings.xml", "<resources><string name=\"x\">x</string></resources>\n");
  ASSERT_EQ(RunCommand("aapt package -f -M " + ShQuote((t / "AndroidManifest.xml").string()) + " -S " +
                       ShQuote((t / "res").string()) + " -I " + ShQuote(framework.string()) + " -F " +
                       ShQuote((t / "app.apk").string()))
                .exit_code,
            0);
  CommandResult s = Sign(t / "app.apk", t / "signed.apk");
  ASSERT_EQ(s.exit_code, 0) << s.output;
  CommandResult v = RunCommand("apksigner verify -v " + ShQuote((t / "signed.apk").string()));
  EXPECT_EQ(v.exit_code, 0) << v.output;
  EXPECT_NE(v.output.find("Verified using v1 scheme (JAR signing): true"), std::string::npos) << v.output;
  EXPECT_NE(v.output.find("Verified using v2 scheme (APK Signature Scheme v2): true"), std::string::npos) << v.output;
  // An application package carries no whole-file signature.
  EXPECT_NE(VerifyWholeFile(ReadFile(t / "signed.apk"), t), "");
}

TEST(ZipSigner, BadArgumentsAndInputsFailCleanly) {
  if (!HaveJavaTools()) GTEST_SKIP() << "java missing";
  TempDir t;
  EXPECT_EQ(RunCommand("java -jar " + ShQuote((BinDir() / "zipsigner.jar").string()) + " a b").exit_code, 2);
  WriteFile(t / "not.zip", "plain text, not an archive");
  CommandResult r = Sign(t / "not.zip", t / "out.zip");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.output.find("is not a zip archive"), std::string::npos) << r.output;
  EXPECT_FALSE(fs::exists(t / "out.zip"));
  r = Sign(t / "missing.zip", t / "out.zip");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_FALSE(fs::exists(t / "out.zip"));
}
