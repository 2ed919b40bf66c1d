// PacExtractor on PAC files built from the format's rules: header, 2580-byte entries, data, and
// the two CRC-16/ARC sums (header first 2120 bytes; everything after the header).
#include <gtest/gtest.h>

#include <algorithm>

#include "vendor_test_util.h"

using namespace orvex::test;

namespace {

std::string Blob(size_t n, int seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + seed * 31 + (i >> 8));
  return s;
}

const std::vector<PacFile> kFiles = {{u"FDL", u"fdl1-sign.bin", Blob(5000, 1)},
                                     {u"FDL2", u"fdl2-sign.bin", Blob(70000, 2)},
                                     {u"PhaseCheck", u"", ""},
                                     {u"system", u"system.img", Blob(300000, 3)},
                                     {u"NV_NR", u"nvitem_Ж.bin", Blob(10, 4)}};

CommandResult Extract(const fs::path& dir, const std::string& pac, const std::string& out) {
  // The job's command line: file name relative to the working folder, output folder in full.
  return RunCommand("cd " + ShQuote(dir.string()) + " && " + ShQuote((BinDir() / "PacExtractor").string()) + " " +
                    ShQuote(pac) + " " + ShQuote(out) + " 2>&1");
}

std::vector<std::string> Files(const fs::path& dir) {
  std::vector<std::string> out;
  if (!fs::exists(dir)) return out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) out.push_back(fs::relative(e.path(), dir).string());
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

TEST(PacExtractor, ExtractsEveryFileByteForByteWithBothCrcsChecked) {
  for (const std::u16string version : {u"BP_R1.0.0", u"BP_R2.0.1"}) {
    TempDir tmp;
    WriteFile(tmp / "fw.pac", BuildPac(kFiles, version));
    auto r = Extract(tmp.path(), "fw.pac", (tmp / "fw").string());
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find("Header CRC-16 ok"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Data CRC-16 ok"), std::string::npos) << r.output;
    EXPECT_EQ(Files(tmp / "fw"),
              (std::vector<std::string>{"fdl1-sign.bin", "fdl2-sign.bin", "nvitem_Ж.bin", "system.img"}));
    for (const PacFile& f : kFiles)
      if (!f.data.empty()) {
        std::string name;
        for (char16_t c : f.name) name += c < 0x80 ? std::string(1, static_cast<char>(c)) : "Ж";
        EXPECT_EQ(ReadFile(tmp / "fw" / name), f.data);
      }
  }
}

TEST(PacExtractor, DamagedOrHostileFilesAreRefusedAndLeaveNothingBehind) {
  struct Case {
    const char* what;
    std::string bytes;
    const char* message;
  };
  const std::string good = BuildPac(kFiles);
  std::vector<Case> cases;
  {
    std::string p = good;
    p[p.size() - 7] ^= 1;
    cases.push_back({"data CRC", p, "data CRC mismatch"});
  }
  {
    std::string p = good;
    p[600] ^= 1;
    cases.push_back({"header CRC", p, "header CRC mismatch"});
  }
  {
    std::vector<PacFile> f = kFiles;
    f[0].name = u"../escape.bin";
    cases.push_back({"dot-dot name", BuildPac(f), "unsafe file name"});
  }
  {
    std::vector<PacFile> f = kFiles;
    f[1].name = u"sub/x.bin";
    cases.push_back({"slash name", BuildPac(f), "unsafe file name"});
  }
  {
    std::string p = good;
    Put32At(p, 1076, 0x00FFFFFF);
    cases.push_back({"entry count", p, "does not fit"});
  }
  {
    std::string p = good;
    Put32At(p, 2124 + 3 * 2580 + 1552, 0xFFFFFF00);
    cases.push_back({"data offset", p, "past the end"});
  }
  {
    std::string p = good;
    Put32At(p, 48, 12);
    cases.push_back({"size field", p, "size field"});
  }
  cases.push_back({"truncated", good.substr(0, 1000), "too short"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir tmp;
    WriteFile(tmp / "fw.pac", c.bytes);
    auto r = Extract(tmp.path(), "fw.pac", (tmp / "fw").string());
    EXPECT_NE(r.exit_code, 0);
    EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
    EXPECT_TRUE(Files(tmp / "fw").empty());
    EXPECT_EQ(Files(tmp.path()).size(), fs::exists(tmp / "fw") ? 2u : 1u);
  }
}
