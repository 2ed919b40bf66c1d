// Device-tree images through orvex-cli with the real dtc, gzip, dtbSplit and dtbTool: single
// trees, multi-DTB containers of two and three trees, the vendor sample and the gzip form unpack
// to .dts sources and pack back byte for byte; an edit survives; a broken source or a hostile
// image fails without touching the image.
#include <gtest/gtest.h>

#include <set>

#include "cli_workspace.h"
#include "dtb_fixtures.h"

using namespace orvex::test;

namespace {

using DtbCli = CliWorkspace;

std::set<std::string> Names(const fs::path& dir) {
  std::set<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().filename().string());
  return out;
}

// Unpacks image (named _aml_dtb.PARTITION in fw/), checks the sources, packs the folder and
// expects the same bytes back.
void ExpectUnpackPackIdentical(const std::string& image, const std::set<std::string>& sources) {
  DtbCli cli;
  const fs::path img = cli.Fw() / "_aml_dtb.PARTITION";
  WriteFile(img, image);
  CommandResult u = cli.Run(img);
  ASSERT_EQ(u.exit_code, 0) << u.output;
  std::set<std::string> got = Names(cli.Fw() / "_aml_dtb");
  got.erase("multidtb.cfg");
  EXPECT_EQ(got, sources);
  EXPECT_EQ(ReadFile(img), image) << "unpacking changed the image";
  CommandResult p = cli.Run(cli.Fw() / "_aml_dtb");
  ASSERT_EQ(p.exit_code, 0) << p.output;
  EXPECT_TRUE(ReadFile(img) == image) << "the unedited round trip changed the image";
  EXPECT_EQ(Names(cli.Fw()), (std::set<std::string>{"_aml_dtb", "_aml_dtb.PARTITION"}));
}

std::vector<FixtureTree> Trees() {
  return {{"g12a", "u200", "2g", MakeTree("g12a_u200_2g", "two gig", 5)},
          {"g12a", "u200", "4g", MakeTree("g12a_u200_4g", "four gig", 6)},
          {"sm1", "ac213", "4g", MakeTree("sm1_ac213_4g", "sm1 board", 2)}};
}

std::string Gzip(const std::string& bytes) {
  TempDir t;
  WriteFile(t / "x", bytes);
  RunCommand("gzip -n " + ShQuote((t / "x").string()));
  return ReadFile(t / "x.gz");
}

}  // namespace

TEST(DtbRoundTrip, SingleTreesComeBackByteIdentical) {
  ASSERT_TRUE(HaveProgram("dtc"));
  for (const char* sample : {"dtb/imhex_rpi_b_plus.dtb", "dtb/tpm312_rk3399pro_rk-kernel_from_resource.dtb"}) {
    SCOPED_TRACE(sample);
    ExpectUnpackPackIdentical(ReadFile(SamplesDir() / sample), {"single.dts"});
  }
  SCOPED_TRACE("made by dtc");
  ExpectUnpackPackIdentical(MakeTree("", "plain", 3), {"single.dts"});
}

TEST(DtbRoundTrip, MultiDtbContainersComeBackByteIdentical) {
  auto trees = Trees();
  {
    SCOPED_TRACE("vendor sample");
    ExpectUnpackPackIdentical(ReadFile(SamplesDir() / "amlogic_multidtb/jethome_j100_aml_dtb.PARTITION"),
                              {"jethome-j100-v1.dts"});
  }
  {
    SCOPED_TRACE("two trees");
    ExpectUnpackPackIdentical(WriteContainer(2, 2048, {trees[0], trees[2]}), {"g12a-u200-2g.dts", "sm1-ac213-4g.dts"});
  }
  {
    SCOPED_TRACE("three trees");
    ExpectUnpackPackIdentical(WriteContainer(2, 2048, trees),
                              {"g12a-u200-2g.dts", "g12a-u200-4g.dts", "sm1-ac213-4g.dts"});
  }
  {
    SCOPED_TRACE("gzip form, version 2: compressed again although small");
    ExpectUnpackPackIdentical(Gzip(WriteContainer(2, 2048, trees)),
                              {"g12a-u200-2g.dts", "g12a-u200-4g.dts", "sm1-ac213-4g.dts"});
  }
  {
    SCOPED_TRACE("gzip form, version 1, pages of 4096");
    std::vector<FixtureTree> v1 = {{"gxl", "p212", "2g", MakeTree("gxl_p212_2g", "a")},
                                   {"gxl", "p212", "1g", MakeTree("gxl_p212_1g", "b")}};
    ExpectUnpackPackIdentical(Gzip(WriteContainer(1, 4096, v1)), {"gxl-p212-1g.dts", "gxl-p212-2g.dts"});
  }
  {
    SCOPED_TRACE("gzip form of a bare tree: given back bare and compressed");
    ExpectUnpackPackIdentical(Gzip(MakeTree("g12a_u200_2g", "bare", 2)), {"g12a-u200-2g.dts"});
  }
}

TEST(DtbRoundTrip, AContainerThatNoLongerFitsIsGzipped) {
  DtbCli cli;
  const fs::path img = cli.Fw() / "_aml_dtb.PARTITION";
  const std::string container = WriteContainer(2, 2048, {{"g12a", "u200", "2g", MakeTree("g12a_u200_2g", "big", 3000)},
                                                         {"g12a", "u200", "4g", MakeTree("g12a_u200_4g", "small")}});
  ASSERT_GT(container.size(), 196607u);
  WriteFile(img, container);
  ASSERT_EQ(cli.Run(img).exit_code, 0);
  CommandResult p = cli.Run(cli.Fw() / "_aml_dtb");
  ASSERT_EQ(p.exit_code, 0) << p.output;
  EXPECT_NE(p.output.find("Packing in: multi/gzipped"), std::string::npos);
  const std::string packed = ReadFile(img);
  ASSERT_GE(packed.size(), 2u);
  EXPECT_EQ(packed.substr(0, 2), "\x1f\x8b");
  EXPECT_LT(packed.size(), container.size());
  WriteFile(cli.tmp / "plain", container);
  EXPECT_EQ(RunCommand("gzip -dc " + ShQuote(img.string()) + " | cmp -s - " + ShQuote((cli.tmp / "plain").string())).exit_code,
            0)
      << "the compressed image does not hold the same container";
  EXPECT_EQ(Names(cli.Fw()), (std::set<std::string>{"_aml_dtb", "_aml_dtb.PARTITION"}));
}

TEST(DtbRoundTrip, AnEditedPropertyIsThereAfterUnpackingAgain) {
  DtbCli cli;
  const fs::path img = cli.Fw() / "_aml_dtb.PARTITION";
  fs::copy_file(SamplesDir() / "amlogic_multidtb/jethome_j100_aml_dtb.PARTITION", img);
  fs::permissions(img, fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_EQ(cli.Run(img).exit_code, 0);
  const fs::path dts = cli.Fw() / "_aml_dtb/jethome-j100-v1.dts";
  std::string src = ReadFile(dts);
  size_t at = src.find("amlogic-dt-id");
  ASSERT_NE(at, std::string::npos);
  src.insert(at, "orvex,edited = \"yes\";\n\t");
  WriteFile(dts, src);
  CommandResult p = cli.Run(cli.Fw() / "_aml_dtb");
  ASSERT_EQ(p.exit_code, 0) << p.output;
  fs::remove_all(cli.Fw() / "_aml_dtb");
  ASSERT_EQ(cli.Run(img).exit_code, 0);
  EXPECT_NE(ReadFile(dts).find("orvex,edited = \"yes\";"), std::string::npos);
  EXPECT_NE(ReadFile(dts).find("amlogic-dt-id = \"jethome_j100_v1\";"), std::string::npos);
}

TEST(DtbRoundTrip, ABrokenSourceFailsAndLeavesThePreviousImage) {
  for (bool gz : {false, true}) {
    SCOPED_TRACE(gz ? "gzip form" : "plain container");
    DtbCli cli;
    const fs::path img = cli.Fw() / "_aml_dtb.PARTITION";
    const std::string image = gz ? Gzip(WriteContainer(2, 2048, Trees())) : WriteContainer(2, 2048, Trees());
    WriteFile(img, image);
    ASSERT_EQ(cli.Run(img).exit_code, 0);
    const fs::path dts = cli.Fw() / "_aml_dtb/g12a-u200-4g.dts";
    WriteFile(dts, ReadFile(dts) + "\n/ { model = \"unterminated };\n");
    CommandResult p = cli.Run(cli.Fw() / "_aml_dtb");
    EXPECT_EQ(p.exit_code, 1) << p.output;
    EXPECT_NE(p.output.find("Exit code dtc: 2  (Execution error!)"), std::string::npos) << p.output;
    EXPECT_TRUE(ReadFile(img) == image);
    EXPECT_EQ(Names(cli.Fw()), (std::set<std::string>{"_aml_dtb", "_aml_dtb.PARTITION"}));
  }
}

TEST(DtbRoundTrip, HostileImagesFailClearlyAndStayInTheirFolder) {
  {
    SCOPED_TRACE("ids that climb out of the folder");
    DtbCli cli;
    const fs::path img = cli.Fw() / "_aml_dtb.PARTITION";
    WriteFile(img, WriteContainer(2, 2048, {{"..", "..", "..", MakeTree("a_b_c", "x")},
                                            {"../../..", "tmp", "x", MakeTree("a_b_d", "y")}}));
    CommandResult u = cli.Run(img);
    EXPECT_EQ(u.exit_code, 0) << u.output;
    EXPECT_EQ(Names(cli.Fw()), (std::set<std::string>{"_aml_dtb", "_aml_dtb.PARTITION"}));
    EXPECT_EQ(Names(cli.Fw() / "_aml_dtb"),
              (std::set<std::string>{"_..-..-...dts", "_.._.._..-tmp-x.dts", "multidtb.cfg"}));
  }
  {
    SCOPED_TRACE("an entry table pointing out of the file");
    DtbCli cli;
    const fs::path img = cli.Fw() / "_aml_dtb.PARTITION";
    std::string c = WriteContainer(2, 2048, Trees());
    c[12 + 48 + 3] = '\x70';  // first entry's offset far past the end
    WriteFile(img, c);
    CommandResult u = cli.Run(img);
    EXPECT_EQ(u.exit_code, 1) << u.output;
    EXPECT_NE(u.output.find("dtbSplit: entry 1: offset"), std::string::npos) << u.output;
    EXPECT_EQ(ReadFile(img), c);
  }
  {
    SCOPED_TRACE("a gzip bomb named like the device-tree partition");
    DtbCli cli;
    const fs::path img = cli.Fw() / "_aml_dtb.PARTITION";
    ASSERT_EQ(RunCommand("head -c 100000000 /dev/zero | gzip -n > " + ShQuote(img.string())).exit_code, 0);
    const std::string bomb = ReadFile(img);
    CommandResult u = cli.Run(img);
    EXPECT_EQ(u.exit_code, 1) << u.output;
    EXPECT_NE(u.output.find("expands past 64 MiB"), std::string::npos) << u.output;
    EXPECT_TRUE(ReadFile(img) == bomb);
    EXPECT_EQ(Names(cli.Fw()), (std::set<std::string>{"_aml_dtb", "_aml_dtb.PARTITION"}));
  }
}
