// The container library against containers written from the published layout and the vendor
// sample, and against hostile tables.
#include <gtest/gtest.h>

#include "dtb_fixtures.h"
#include "multidtb.h"

using namespace orvex::test;
namespace md = orvex::multidtb;

namespace {

std::string Sample() { return ReadFile(SamplesDir() / "amlogic_multidtb/jethome_j100_aml_dtb.PARTITION"); }

void SetLe32(std::string& s, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[off + i] = char((v >> (8 * i)) & 0xFF);
}

// Trees with three ids, in an order that the container sorts.
std::vector<FixtureTree> ThreeTrees() {
  return {{"gxl", "p212", "2g", MakeTree("gxl_p212_2g", "two")},
          {"gxbb", "p200", "1g", MakeTree("gxbb_p200_1g", "one", 3)},
          {"gxl", "p212", "1g", MakeTree("gxl_p212_1g", "three", 1)}};
}

}  // namespace

TEST(MultiDtb, VendorSampleParsesToItsOneEntry) {
  const std::string d = Sample();
  ASSERT_EQ(d.size(), 38912u);
  md::Container c = md::Parse(d);
  EXPECT_EQ(c.version, 2u);
  ASSERT_EQ(c.entries.size(), 1u);
  const md::Entry& e = c.entries[0];
  EXPECT_EQ(e.soc, "jethome");
  EXPECT_EQ(e.plat, "j100");
  EXPECT_EQ(e.vari, "v1");
  EXPECT_EQ(e.offset, 2048u);
  EXPECT_EQ(e.size, 36864u);
  EXPECT_EQ(e.fdtSize, 35281u);
  EXPECT_EQ(md::GuessPageSize(c), 2048u);
  std::string id;
  ASSERT_TRUE(md::RootStringProperty(md::TreeBytes(d, e), "amlogic-dt-id", &id));
  EXPECT_EQ(id, "jethome_j100_v1");
  EXPECT_EQ(md::TreeFileName(e), "jethome-j100-v1.dtb");

  // Rebuilt from its tree with the layout found, it is the same file.
  md::Tree t{"jethome", "j100", "v1", std::string(md::TreeBytes(d, e)), "sample"};
  EXPECT_EQ(md::Build({t}, {2, 2048}), d);
}

TEST(MultiDtb, BuildMatchesThePublishedLayoutForBothVersionsAndPageSizes) {
  auto fixtures = ThreeTrees();
  for (const auto& f : fixtures) ASSERT_FALSE(f.fdt.empty()) << "dtc failed";
  for (uint32_t version : {1u, 2u})
    for (uint32_t page : {2048u, 4096u, 512u}) {
      SCOPED_TRACE("version " + std::to_string(version) + " page " + std::to_string(page));
      std::vector<md::Tree> trees;
      for (const auto& f : fixtures) trees.push_back({f.soc, f.plat, f.vari, f.fdt, f.soc});
      const std::string built = md::Build(trees, {version, page});
      EXPECT_EQ(built, WriteContainer(version, page, fixtures));
      md::Container c = md::Parse(built);
      ASSERT_EQ(c.entries.size(), 3u);
      EXPECT_EQ(c.entries[0].soc, "gxbb");  // sorted byte-wise
      EXPECT_EQ(c.entries[1].vari, "1g");
      EXPECT_EQ(c.entries[2].vari, "2g");
      EXPECT_EQ(md::GuessPageSize(c), page);
      for (const auto& e : c.entries) {
        EXPECT_EQ(e.offset % page, 0u);
        std::string id;
        ASSERT_TRUE(md::RootStringProperty(md::TreeBytes(built, e), "amlogic-dt-id", &id));
        EXPECT_EQ(id, e.soc + "_" + e.plat + "_" + e.vari);
      }
    }
}

TEST(MultiDtb, PageAlignedTreeGetsAWholeExtraPage) {
  EXPECT_EQ(md::PaddedLength(2048, 2048), 4096u);
  EXPECT_EQ(md::PaddedLength(2047, 2048), 2048u);
  EXPECT_EQ(md::PaddedLength(1, 2048), 2048u);
}

TEST(MultiDtb, BuildRefusesDuplicateAndOverlongIds) {
  const std::string a = MakeTree("gxl_p212_2g", "a"), b = MakeTree("gxl_p212_2g", "b");
  EXPECT_THROW(md::Build({{"gxl", "p212", "2g", a, "a"}, {"gxl", "p212", "2g", b, "b"}}, {2, 2048}), md::Error);
  // Version 1 keeps four bytes per id.
  EXPECT_THROW(md::Build({{"gxlxx", "p212", "2g", a, "a"}}, {1, 2048}), md::Error);
  EXPECT_NO_THROW(md::Build({{"gxlx", "p212", "2g", a, "a"}}, {1, 2048}));
  EXPECT_THROW(md::Build({{"gxl", "p212", "2g", "not a tree at all, longer than a header......", "x"}}, {2, 2048}),
               md::Error);
  EXPECT_THROW(md::Build({{"gxl", "p212", "2g", a, "a"}}, {2, 3000}), md::Error);
}

TEST(MultiDtb, DtIdSplitsAtTheFirstTwoUnderscores) {
  std::string s, p, v;
  ASSERT_TRUE(md::SplitDtId("g12a_u200_2g_buildroot", &s, &p, &v));
  EXPECT_EQ(s + "|" + p + "|" + v, "g12a|u200|2g_buildroot");
  EXPECT_FALSE(md::SplitDtId("g12a-u200", &s, &p, &v));
  EXPECT_FALSE(md::SplitDtId("g12a_u200", &s, &p, &v));
}

TEST(MultiDtb, TreeFileNamesNeverLeaveTheFolder) {
  auto name = [](std::string soc, std::string plat, std::string vari) {
    md::Entry e;
    e.soc = soc, e.plat = plat, e.vari = vari;
    return md::TreeFileName(e);
  };
  EXPECT_EQ(name("..", "..", ".."), "_..-..-...dtb");
  EXPECT_EQ(name("../../", "etc", "x"), "_.._.._-etc-x.dtb");
  EXPECT_EQ(name("/abs", "p", "v"), "_abs-p-v.dtb");
  EXPECT_EQ(name("a\\b", "c:d", "e\nf"), "a_b-c_d-e_f.dtb");
  EXPECT_EQ(name("", "", ""), "_--.dtb");
  for (std::string n : {name("..", "..", ".."), name("/", "/", "/"), name(".", "", "")}) {
    EXPECT_EQ(n.find('/'), std::string::npos) << n;
    EXPECT_NE(n[0], '.') << n;
    EXPECT_NE(n[0], '-') << n;
  }
}

TEST(MultiDtb, HostileTablesGiveErrorsNotReads) {
  const std::string good = md::Build({{"a", "b", "c", MakeTree("a_b_c", "x"), "x"}}, {2, 2048});
  ASSERT_NO_THROW(md::Parse(good));
  const size_t entry = 12, offField = entry + 48, sizeField = entry + 52;
  struct Case {
    const char* what;
    size_t at;
    uint32_t value;
  } cases[] = {
      {"absurd count", 8, 0xFFFFFFFF},
      {"count past the file", 8, 700},
      {"no trees", 8, 0},
      {"unknown version", 4, 3},
      {"offset past the end", offField, 0x7FFFFFF0},
      {"offset and size wrap", offField, 0xFFFFF000},
      {"size past the end", sizeField, 0x10000000},
      {"offset inside the header", offField, 16},
      {"slot smaller than the tree", sizeField, 64},
      {"slot shorter than a tree header", sizeField, 8},
  };
  for (const auto& c : cases) {
    std::string bad = good;
    SetLe32(bad, c.at, c.value);
    EXPECT_THROW(md::Parse(bad), md::Error) << c.what;
  }
  // A tree whose own blocks point outside it.
  std::string bad = good;
  bad[2048 + 8] = '\x7F';  // off_dt_struct
  EXPECT_THROW(md::Parse(bad), md::Error);
  bad = good;
  bad[2048] = 'X';  // no FDT magic
  EXPECT_THROW(md::Parse(bad), md::Error);
  EXPECT_THROW(md::Parse(good.substr(0, 40)), md::Error);
  EXPECT_THROW(md::Parse("AML_"), md::Error);
  EXPECT_THROW(md::Parse(""), md::Error);
}

TEST(MultiDtb, RootPropertyReaderStaysInsideATruncatedOrCorruptTree) {
  const std::string t = MakeTree("a_b_c", "x", 2);
  std::string id;
  ASSERT_TRUE(md::RootStringProperty(t, "amlogic-dt-id", &id));
  EXPECT_FALSE(md::RootStringProperty(t, "no-such-property", &id));
  EXPECT_FALSE(md::RootStringProperty(MakeTree("", "x"), "amlogic-dt-id", &id));
  // Every truncation and every single-byte change of the header or structure either reads or
  // throws; the sanitizers of the fuzz build catch what a plain build would not.
  for (size_t n = 0; n < t.size(); n += 7) {
    std::string cut = t.substr(0, n);
    try {
      md::RootStringProperty(cut, "amlogic-dt-id", &id);
    } catch (const md::Error&) {
    }
  }
  int errors = 0;
  for (size_t i = 0; i < std::min<size_t>(t.size(), 200); ++i) {
    std::string m = t;
    m[i] = char(m[i] ^ 0xFF);
    try {
      md::RootStringProperty(m, "amlogic-dt-id", &id);
    } catch (const md::Error&) {
      ++errors;
    }
  }
  EXPECT_GT(errors, 0);
}

TEST(MultiDtb, GunzipKeepsToItsLimitAndReadsEveryMember) {
  TempDir t;
  WriteFile(t / "a", "first member ");
  WriteFile(t / "b", "second member");
  ASSERT_EQ(RunCommand("cd " + ShQuote(t.str()) + " && gzip -nc a > ab.gz && gzip -nc b >> ab.gz").exit_code, 0);
  EXPECT_EQ(md::Gunzip(ReadFile(t / "ab.gz"), 1000), "first member second member");
  ASSERT_EQ(RunCommand("head -c 3000000 /dev/zero | gzip -n > " + ShQuote((t / "z.gz").string())).exit_code, 0);
  const std::string z = ReadFile(t / "z.gz");
  EXPECT_LT(z.size(), 10000u);
  EXPECT_THROW(md::Gunzip(z, 1 << 20), md::Error);
  EXPECT_EQ(md::Gunzip(z, 4 << 20).size(), 3000000u);
  EXPECT_THROW(md::Gunzip(z.substr(0, z.size() / 2), 4 << 20), md::Error);  // cut short
  std::string corrupt = z;
  corrupt[z.size() / 2] ^= 0x55;
  EXPECT_THROW(md::Gunzip(corrupt, 4 << 20), md::Error);
}
