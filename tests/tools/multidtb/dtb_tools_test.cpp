// dtbSplit and dtbTool as the jobs run them: split then rebuild gives the same container byte
// for byte; hostile containers fail with one line and write nothing outside the folder.
#include <gtest/gtest.h>

#include <set>

#include "dtb_fixtures.h"

using namespace orvex::test;

namespace {

std::string Tool(const std::string& name) { return ShQuote((BinDir() / name).string()); }

CommandResult Split(const fs::path& image, const fs::path& out) {
  return RunCommand(Tool("dtbSplit") + " " + ShQuote(image.string()) + " " + ShQuote(out.string()) + "/");
}
CommandResult Pack(const fs::path& dir, const fs::path& out) {
  return RunCommand(Tool("dtbTool") + " --verbose -p " + ShQuote(BinDir().string() + "/") + " -o " +
                    ShQuote(out.string()) + " " + ShQuote(dir.string()));
}

std::set<std::string> Listing(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(dir)) names.insert(fs::relative(e.path(), dir).string());
  return names;
}

// Splits and rebuilds; the rebuilt container must equal `plain` (the container uncompressed).
void ExpectRoundTrip(const std::string& image, const std::string& plain, size_t trees) {
  TempDir t;
  WriteFile(t / "in.img", image);
  CommandResult s = Split(t / "in.img", t / "out");
  ASSERT_EQ(s.exit_code, 0) << s.output;
  size_t dtbs = 0;
  for (const auto& e : fs::directory_iterator(t / "out")) dtbs += e.path().extension() == ".dtb";
  EXPECT_EQ(dtbs, trees);
  CommandResult p = Pack(t / "out", t / "back.img");
  ASSERT_EQ(p.exit_code, 0) << p.output;
  EXPECT_TRUE(ReadFile(t / "back.img") == plain) << "rebuilt container differs";
  EXPECT_FALSE(fs::exists(t / "back.img.part"));
}

}  // namespace

TEST(DtbTools, SplitThenRebuildIsByteIdentical) {
  SCOPED_TRACE("vendor sample");
  const std::string sample = ReadFile(SamplesDir() / "amlogic_multidtb/jethome_j100_aml_dtb.PARTITION");
  ExpectRoundTrip(sample, sample, 1);

  std::vector<FixtureTree> three = {{"gxl", "p212", "2g", MakeTree("gxl_p212_2g", "two", 4)},
                                    {"gxbb", "p200", "1g", MakeTree("gxbb_p200_1g", "one")},
                                    {"gxl", "p212", "1g", MakeTree("gxl_p212_1g", "three", 1)}};
  for (uint32_t version : {1u, 2u})
    for (uint32_t page : {2048u, 4096u}) {
      SCOPED_TRACE("version " + std::to_string(version) + " page " + std::to_string(page));
      const std::string c3 = WriteContainer(version, page, three);
      ExpectRoundTrip(c3, c3, 3);
      const std::string c2 = WriteContainer(version, page, {three[0], three[1]});
      ExpectRoundTrip(c2, c2, 2);
    }

  // The gzip form: dtbSplit reads it directly; the rebuilt container is the uncompressed one.
  TempDir t;
  const std::string c = WriteContainer(2, 2048, three);
  WriteFile(t / "c", c);
  ASSERT_EQ(RunCommand("gzip -n " + ShQuote((t / "c").string())).exit_code, 0);
  ExpectRoundTrip(ReadFile(t / "c.gz"), c, 3);

  // A bare tree comes back bare.
  const std::string bare = MakeTree("g12a_u200_2g", "bare", 2);
  ExpectRoundTrip(bare, bare, 1);
}

TEST(DtbTools, RebuildTakesEditedTreesAndTheirIds) {
  TempDir t;
  WriteFile(t / "in.img", WriteContainer(2, 2048, {{"a", "b", "c", MakeTree("a_b_c", "x")}}));
  ASSERT_EQ(Split(t / "in.img", t / "out").exit_code, 0);
  // An edited tree that grows past a page, and a new tree added beside it.
  WriteFile(t / "out/a-b-c.dtb", MakeTree("a_b_c", "x", 60));
  WriteFile(t / "out/new.dtb", MakeTree("a_b_b", "new"));
  CommandResult p = Pack(t / "out", t / "back.img");
  ASSERT_EQ(p.exit_code, 0) << p.output;
  ASSERT_EQ(Split(t / "back.img", t / "again").exit_code, 0);
  EXPECT_EQ(ReadFile(t / "again/a-b-c.dtb"), MakeTree("a_b_c", "x", 60));
  EXPECT_EQ(ReadFile(t / "again/a-b-b.dtb"), MakeTree("a_b_b", "new"));
  EXPECT_NE(p.output.find("soc 'a' plat 'b' variant 'b'"), std::string::npos) << p.output;
}

TEST(DtbTools, RebuildRefusesTreesItCannotPlaceAndLeavesNoOutput) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;
  } cases[] = {
      {"no amlogic-dt-id", {{"x.dtb", MakeTree("", "x")}}},
      {"id without variant", {{"x.dtb", MakeTree("gxl_p212", "x")}}},
      {"duplicate ids", {{"x.dtb", MakeTree("a_b_c", "x")}, {"y.dtb", MakeTree("a_b_c", "y")}}},
      {"not a tree", {{"x.dtb", std::string(100, 'x')}}},
      {"no trees", {{"readme.txt", "nothing"}}},
      {"bad layout file", {{"x.dtb", MakeTree("a_b_c", "x")}, {"multidtb.cfg", "Version: 7\r\n"}}},
  };
  for (const auto& c : cases) {
    TempDir t;
    for (const auto& [name, bytes] : c.files) WriteFile(t / "in" / name, bytes);
    CommandResult p = Pack(t / "in", t / "out.img");
    EXPECT_EQ(p.exit_code, 1) << c.what << ": " << p.output;
    EXPECT_NE(p.output.find("dtbTool: "), std::string::npos) << c.what;
    EXPECT_FALSE(fs::exists(t / "out.img")) << c.what;
  }
}

TEST(DtbTools, HostileContainersFailWithOneLineAndStayInTheFolder) {
  TempDir t;
  // Ids that try to climb out of the folder or name an absolute path.
  const std::string c = WriteContainer(2, 2048,
                                       {{"..", "..", "..", MakeTree("a_b_c", "x")},
                                        {"../../..", "etc", "passwd", MakeTree("a_b_d", "y")},
                                        {"/tmp", "abs", "x", MakeTree("a_b_e", "z")}});
  fs::create_directories(t / "case/out");
  WriteFile(t / "case/in.img", c);
  CommandResult s = Split(t / "case/in.img", t / "case/out");
  ASSERT_EQ(s.exit_code, 0) << s.output;
  EXPECT_EQ(Listing(t / "case"),
            (std::set<std::string>{"in.img", "out", "out/_..-..-...dtb", "out/_.._.._..-etc-passwd.dtb",
                                   "out/_tmp-abs-x.dtb", "out/multidtb.cfg"}));

  // A link already in the folder under a tree's name is replaced, not written through.
  TempDir u;
  WriteFile(u / "victim", "keep");
  fs::create_directories(u / "out");
  fs::create_symlink(u / "victim", u / "out/a-b-c.dtb");
  WriteFile(u / "in.img", WriteContainer(2, 2048, {{"a", "b", "c", MakeTree("a_b_c", "x")}}));
  ASSERT_EQ(Split(u / "in.img", u / "out").exit_code, 0);
  EXPECT_EQ(ReadFile(u / "victim"), "keep");
  EXPECT_FALSE(fs::is_symlink(u / "out/a-b-c.dtb"));

  // Broken tables: a clean exit 1 with one message line, nothing written.
  std::string good = WriteContainer(2, 2048, {{"a", "b", "c", MakeTree("a_b_c", "x")}});
  auto with = [&](size_t at, uint32_t v) {
    std::string b = good;
    for (int i = 0; i < 4; ++i) b[at + i] = char((v >> (8 * i)) & 0xFF);
    return b;
  };
  for (const auto& bad : {with(8, 0x40000000), with(12 + 48, 0xFFFFFF00), with(12 + 52, 0x7FFFFFFF),
                          good.substr(0, 3000), std::string("AML_\x02\0\0\0", 8)}) {
    TempDir v;
    WriteFile(v / "in.img", bad);
    CommandResult r = Split(v / "in.img", v / "out");
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_EQ(r.output.rfind("dtbSplit: ", 0), 0u) << r.output;
    EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 1) << r.output;
    EXPECT_TRUE(!fs::exists(v / "out") || fs::is_empty(v / "out"));
  }
}

TEST(DtbTools, GzipBombIsRefusedBeforeAnythingIsWritten) {
  TempDir t;
  ASSERT_EQ(RunCommand("head -c 80000000 /dev/zero | gzip -n > " + ShQuote((t / "bomb.PARTITION").string())).exit_code,
            0);
  CommandResult check = RunCommand(Tool("dtbSplit") + " -t " + ShQuote((t / "bomb.PARTITION").string()));
  EXPECT_EQ(check.exit_code, 1);
  EXPECT_NE(check.output.find("expands past 64 MiB"), std::string::npos) << check.output;
  CommandResult s = Split(t / "bomb.PARTITION", t / "out");
  EXPECT_EQ(s.exit_code, 1);
  EXPECT_TRUE(!fs::exists(t / "out") || fs::is_empty(t / "out"));

  // A gzip-compressed container within the limit passes the check.
  WriteFile(t / "c", WriteContainer(2, 2048, {{"a", "b", "c", MakeTree("a_b_c", "x")}}));
  ASSERT_EQ(RunCommand("gzip -n " + ShQuote((t / "c").string())).exit_code, 0);
  EXPECT_EQ(RunCommand(Tool("dtbSplit") + " -t " + ShQuote((t / "c.gz").string())).exit_code, 0);
}
