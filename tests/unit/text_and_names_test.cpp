#include <gtest/gtest.h>

#include <sstream>

#include "app.h"
#include "dispatcher.h"
#include "text.h"
#include "tool_runner.h"
#include "workspace.h"

using namespace orvex;

TEST(FormatSize, WholeNumberLoopThenTruncatedDecimals) {
  EXPECT_EQ(FormatSize(0), "0 bytes");
  EXPECT_EQ(FormatSize(512), "512 bytes");
  EXPECT_EQ(FormatSize(1023), "1023 bytes");
  EXPECT_EQ(FormatSize(1024), "1.00 KB");
  EXPECT_EQ(FormatSize(1536), "1.50 KB");
  EXPECT_EQ(FormatSize(1048575), "1023 KB");  // 1023.99... keeps only the whole part
  EXPECT_EQ(FormatSize(1023 * 1024 + 1000), "1023 KB");
  EXPECT_EQ(FormatSize(10LL * 1024 * 1024 * 1024), "10.00 GB");
  EXPECT_EQ(FormatSize(static_cast<int64_t>(150.7 * 1024 * 1024)), "150 MB");
  EXPECT_EQ(FormatSize(-2048), "-2.00 KB");
  EXPECT_EQ(FormatSize(1999), "1.95 KB");  // truncated, not rounded (1.952...)
}

TEST(ReadKeyValue, OccurrencesSectionsAndStopKey) {
  std::istringstream f(
      "no colon line\r\n"
      "Size: 100\r\n"
      " name : first \r\n"
      "partition: system\r\n"
      "name: second\r\n"
      "End:\r\n"
      "name: third\r\n");
  EXPECT_EQ(ReadKeyValue(f, "size"), "100");
  EXPECT_EQ(ReadKeyValue(f, "NAME"), "first");  // trimmed, case ignored, stream rewound
  EXPECT_EQ(ReadKeyValue(f, "name", "", 2), "second");
  EXPECT_EQ(ReadKeyValue(f, "name", "", 2, "partition"), "third");  // counting starts in the section
  EXPECT_EQ(ReadKeyValue(f, "name", "", 1, "partition", "end"), "second");
  EXPECT_EQ(ReadKeyValue(f, "name", "", 2, "partition", "end"), "Break");
  EXPECT_EQ(ReadKeyValue(f, "name", "", 9), "third");  // fewer matches: the last match
  EXPECT_EQ(ReadKeyValue(f, "missing", "dflt"), "dflt");
  EXPECT_EQ(ReadKeyValue(f, "no colon line", "x"), "x");
}

TEST(DeriveNames, OnlyTheLastExtensionGoes) {
  JobNames n = DeriveNames("/fw/vendor.new.dat");
  EXPECT_EQ(n.dir, "/fw/");
  EXPECT_EQ(n.fileName, "vendor.new.dat");
  EXPECT_EQ(n.name, "vendor.new");
  EXPECT_EQ(n.ext, "dat");
  EXPECT_EQ(n.folder, "/fw/vendor.new");

  JobNames up = DeriveNames("/fw/SYSTEM.IMG/");
  EXPECT_EQ(up.path, "/fw/SYSTEM.IMG");
  EXPECT_EQ(up.name, "SYSTEM");
  EXPECT_EQ(up.ext, "img");
  EXPECT_EQ(up.rawExt, "IMG");
  EXPECT_EQ(up.lname, "system");

  JobNames cyr = DeriveNames("/fw/Система_A.img");
  EXPECT_EQ(cyr.lname, "система_a");

  JobNames bare = DeriveNames("Super");
  EXPECT_EQ(bare.dir, "");
  EXPECT_EQ(bare.name, "Super");
  EXPECT_EQ(bare.ext, "");
}

TEST(Text, CarriageReturnsFoldLikeAConsole) {
  EXPECT_EQ(ApplyCarriageReturns("10%\r20%\r30%\r\ndone\r\n"), "30%\r\ndone\r\n");
  EXPECT_EQ(ApplyCarriageReturns("keep\r"), "keep");
  EXPECT_EQ(ApplyCarriageReturns("a\nb"), "a\nb");  // a lone LF is an ordinary character
}

TEST(Text, Utf16LengthAndSanitising) {
  EXPECT_EQ(Utf16Length("abc"), 3u);
  EXPECT_EQ(Utf16Length("Привет"), 6u);
  EXPECT_EQ(Utf16Length("\xF0\x9F\x98\x80"), 2u);  // outside the BMP: a surrogate pair
  EXPECT_EQ(SanitizeUtf8("ok\xFF\xC3"), "ok\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(ToLower("ЁЛКА Tree"), "ёлка tree");
}

TEST(Base64, DecodesToUtf8AndStopsAtZero) {
  EXPECT_EQ(DecodeBase64Text("aHR0cHM6Ly9vcnZleC5leGFtcGxlLm9yZy9kb25hdGU="), "https://orvex.example.org/donate");
  EXPECT_EQ(DecodeBase64Text("0J/RgNC40LLQtdGC"), "Привет");
  EXPECT_EQ(DecodeBase64Text("YQBi"), "a");  // "a\0b"
  std::string big(2000, 'A');                 // decodes to 1500 zero bytes, cut at 1024
  EXPECT_EQ(DecodeBase64Text(big), "");
}

TEST(Version, ShortVersionAndNames) {
  EXPECT_EQ(ShortVersion("4.3.0.3105"), "4.3");
  EXPECT_EQ(ShortVersion("4.3.1.3200"), "4.3.1");
  EXPECT_EQ(BuildNumber("4.3.0.3105"), "3105");
  EXPECT_EQ(OsVersionName(110), "Windows 10");
  EXPECT_EQ(OsVersionName(85), "Windows Server 2008 R2");
  EXPECT_EQ(OsVersionName(55), "Unknown");
}
