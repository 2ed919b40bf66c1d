// extract.erofs on the images of a current mkfs.erofs: what the options file says about them
// (the nearest form the installed mkfs.erofs writes), and the same tree whatever the thread count
// while several threads share the packed inode and the metabox.
#include <gtest/gtest.h>

#include "erofs_test_util.h"

namespace orvex::test::erofs {
namespace {

fs::path Sample(const std::string& name) { return SamplesDir() / "erofs_modern" / (name + ".img"); }

// Extracts a copy of the sample and returns the options file's path.
fs::path ExtractCopy(const TempDir& work, const std::string& name, const std::string& extra = "",
                     const std::string& sub = "") {
  const fs::path dir = work / (sub.empty() ? name : sub);
  fs::create_directories(dir);
  fs::copy_file(Sample(name), dir / (name + ".img"));
  ToolRun r = RunExtract(dir / (name + ".img"), extra);
  EXPECT_EQ(r.exit_code, 0) << name << ": " << r.err;
  return dir / name / "config" / (name + "_fs_options");
}

TEST(ErofsModernOptions, NearestFormAndWhatItChanges) {
  if (!fs::exists(Sample("lzma"))) GTEST_SKIP() << "no samples of a current mkfs.erofs";
  TempDir work;
  struct Case {
    const char* name;
    const char* compression;
    const char* warning_has;  // "" when the installed mkfs.erofs keeps everything
    std::vector<const char*> args_have, args_lack;
  };
  const Case cases[] = {
      {"lzma", "lzma", "LZMA compression; the image comes back as LZ4HC with single-block clusters",
       {"-zlz4hc ", "-T1230768000 "}, {"-C", "legacy-compress", "-zlzma"}},
      {"lzma-frag-dedupe-tail-C64k", "lzma", "as LZ4HC with 65536-byte clusters", {"-zlz4hc ", "-C65536 "}, {"legacy-compress"}},
      {"deflate", "deflate", "DEFLATE compression", {"-zlz4hc "}, {"-zdeflate"}},
      {"48bit-zstd", "zstd", "48-bit block addresses", {"-zlz4hc ", "-T1230768000 "}, {"-E48bit", "legacy-compress"}},
      // Full indexes that only carry partial references are not a request for the legacy layout.
      {"dedupe", "lz4hc", "deduplicated clusters", {"-zlz4hc"}, {"legacy-compress", "-Ededupe"}},
      {"frag-dedupe-tail", "lz4hc", "fragments in the packed inode", {"-Eztailpacking "}, {"-Efragments", "legacy-compress"}},
      {"metabox", "lz4hc", "the metabox", {"-T1230768000 "}, {"-m", "legacy-compress"}},
      {"dir-compress", "lz4hc", "compressed directories", {"-zlz4hc"}, {"--zD"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path options = ExtractCopy(work, c.name);
    EXPECT_EQ(ReadKey(options, "Compression").rfind(c.compression, 0), 0u) << ReadKey(options, "Compression");
    const std::string warning = ReadKey(options, "Repack warning");
    EXPECT_NE(warning.find(c.warning_has), std::string::npos) << warning;
    const std::string args = ReadKey(options, "mkfs.erofs options");
    for (const char* a : c.args_have) EXPECT_NE(args.find(a), std::string::npos) << a << " in " << args;
    for (const char* a : c.args_lack) EXPECT_EQ(args.find(a), std::string::npos) << a << " in " << args;
  }
  // The fragments of all-fragments are named with their count.
  const fs::path all = ExtractCopy(work, "all-fragments");
  EXPECT_EQ(ReadKey(all, "Fragments"), "50 files (50 whole) in the packed inode");
}

TEST(ErofsModernOptions, ThreadsShareThePackedInodeAndTheMetabox) {
  if (!fs::exists(Sample("fragments"))) GTEST_SKIP() << "no samples of a current mkfs.erofs";
  TempDir work;
  for (const char* name : {"fragments", "all-fragments", "lzma-frag-dedupe-tail-C64k", "metabox"}) {
    SCOPED_TRACE(name);
    ExtractCopy(work, name, "-T1", std::string(name) + "_1");
    ExtractCopy(work, name, "-T8", std::string(name) + "_8");
    Compare all;
    const Tree one = Snapshot(work / (std::string(name) + "_1") / name / name);
    EXPECT_EQ(one.size(), 61u);
    ExpectSameTree(one, Snapshot(work / (std::string(name) + "_8") / name / name), all, name);
  }
}

}  // namespace
}  // namespace orvex::test::erofs
