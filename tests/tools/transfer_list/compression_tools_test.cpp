// Our brotli with the command lines the jobs build, checked against Debian's brotli where it is
// installed, and the packaged lz4 with the options the LZ4 jobs pass.
#include <gtest/gtest.h>

#include <random>

#include "test_support.h"

namespace {

using namespace orvex::test;

CommandResult InDir(const fs::path& dir, const std::string& command) {
  return RunCommand("cd " + ShQuote(dir.string()) + " && " + command);
}
std::string Bin(const std::string& tool) { return ShQuote((BinDir() / tool).string()); }

// Compressible but not trivial: words with random numbers.
std::string SampleData(size_t bytes) {
  std::mt19937 rng(11);
  std::string s;
  while (s.size() < bytes) s += "block " + std::to_string(rng() % 5000) + " of the partition\n";
  s.resize(bytes);
  return s;
}

TEST(Brotli, RoundTripWithTheJobsCommandLines) {
  TempDir t;
  const std::string data = SampleData(3 << 20);
  WriteFile(t / "system.new.dat", data);
  auto c = InDir(t.path(), Bin("brotli") + " --in system.new.dat --out system.new.dat.br --force --quality 7 --verbose");
  ASSERT_EQ(c.exit_code, 0) << c.output;
  EXPECT_NE(c.output.find("\rbrotli: compressing: 100%"), std::string::npos) << "a progress line with carriage returns";
  EXPECT_LT(fs::file_size(t / "system.new.dat.br"), data.size() / 3);
  fs::rename(t / "system.new.dat", t / "orig.dat");
  auto d = InDir(t.path(), Bin("brotli") + " --decompress --in system.new.dat.br --out system.new.dat --verbose");
  ASSERT_EQ(d.exit_code, 0) << d.output;
  EXPECT_TRUE(ReadFile(t / "system.new.dat") == data);
  // Other spellings of the options, and no output at all without --verbose.
  auto q = InDir(t.path(), Bin("brotli") + " -q 0 --lgwin=16 -i orig.dat -o q0.br");
  ASSERT_EQ(q.exit_code, 0) << q.output;
  EXPECT_EQ(q.output, "");
  if (fs::exists("/usr/bin/brotli")) {
    // Debian's brotli reads what ours writes, and ours what Debian's writes.
    EXPECT_EQ(InDir(t.path(), "/usr/bin/brotli -d -c q0.br | cmp - orig.dat").exit_code, 0);
    ASSERT_EQ(InDir(t.path(), "/usr/bin/brotli -q 5 -c orig.dat > deb.br").exit_code, 0);
    ASSERT_EQ(InDir(t.path(), Bin("brotli") + " -d --in deb.br --out deb.dat").exit_code, 0);
    EXPECT_TRUE(ReadFile(t / "deb.dat") == data);
  }
}

TEST(Brotli, ExistingOutputNeedsForce) {
  TempDir t;
  WriteFile(t / "a.dat", SampleData(10000));
  WriteFile(t / "a.dat.br", "keep me");
  auto r = InDir(t.path(), Bin("brotli") + " --in a.dat --out a.dat.br --quality 7");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.output.find("already exists"), std::string::npos) << r.output;
  EXPECT_EQ(ReadFile(t / "a.dat.br"), "keep me");
  ASSERT_EQ(InDir(t.path(), Bin("brotli") + " --force --in a.dat --out a.dat.br").exit_code, 0);
  EXPECT_NE(ReadFile(t / "a.dat.br"), "keep me");
  EXPECT_NE(InDir(t.path(), Bin("brotli") + " --force --in a.dat --out a.dat").exit_code, 0) << "output is the input";
  EXPECT_EQ(ReadFile(t / "a.dat"), SampleData(10000));
}

TEST(Brotli, DamagedStreamsAreErrorsAndLeaveNoOutput) {
  TempDir t;
  WriteFile(t / "a.dat", SampleData(1 << 20));
  ASSERT_EQ(InDir(t.path(), Bin("brotli") + " --in a.dat --out a.br --quality 5").exit_code, 0);
  const std::string good = ReadFile(t / "a.br");
  struct Case {
    std::string name, bytes, says;
  } cases[] = {
      {"truncated", good.substr(0, good.size() - 7), "truncated"},
      {"half", good.substr(0, good.size() / 2), "truncated"},
      {"empty", "", "truncated"},
      {"trailing", good + "garbage", "after the end"},
      // A stream that declares itself finished before its data ends (brotli has no checksum, so a
      // changed byte in the middle of the data cannot always be noticed).
      {"cut header", good.substr(0, 1), "brotli: error"},
      {"not brotli", "PK\x03\x04 this is a zip", "brotli: error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(t / "bad.br", c.bytes);
    auto r = InDir(t.path(), Bin("brotli") + " --decompress --in bad.br --out bad.dat --verbose");
    EXPECT_NE(r.exit_code, 0);
    EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
    EXPECT_FALSE(fs::exists(t / "bad.dat"));
    EXPECT_FALSE(fs::exists(t / "bad.dat.part"));
  }
}

TEST(Brotli, UsageErrors) {
  TempDir t;
  WriteFile(t / "a", "x");
  for (const char* args : {"", "--in a", "--in a --out b --quality 12", "--in a --out b --lgwin 9", "--in a --out b --bogus",
                           "--in a --out b --quality"}) {
    SCOPED_TRACE(args);
    EXPECT_EQ(InDir(t.path(), Bin("brotli") + " " + args).exit_code, 2);
    EXPECT_FALSE(fs::exists(t / "b"));
  }
  // A folder is no input: one clear error, no output.
  fs::create_directory(t / "dir");
  auto d = InDir(t.path(), Bin("brotli") + " --in dir --out b");
  EXPECT_EQ(d.exit_code, 1);
  EXPECT_NE(d.output.find("dir is not a regular file"), std::string::npos) << d.output;
  EXPECT_FALSE(fs::exists(t / "b"));
  EXPECT_FALSE(fs::exists(t / "b.part"));
  auto h = InDir(t.path(), Bin("brotli") + " --help");
  EXPECT_EQ(h.exit_code, 0);
  EXPECT_NE(h.output.find("--decompress"), std::string::npos);
}

// The LZ4 jobs compress with "-B6 --content-size IN OUT" and decompress with "-d IN OUT".
TEST(Lz4, PackagedToolDoesWhatTheJobsExpect) {
  if (!fs::exists(BinDir() / "lz4")) GTEST_SKIP() << "lz4 is not installed";
  TempDir t;
  const std::string data = SampleData(5 << 20);
  WriteFile(t / "system.img.ext4", data);
  auto c = InDir(t.path(), Bin("lz4") + " -B6 --content-size system.img.ext4 system.img.ext4.lz4 < /dev/null");
  ASSERT_EQ(c.exit_code, 0) << c.output;
  const std::string frame = ReadFile(t / "system.img.ext4.lz4");
  ASSERT_GT(frame.size(), 15u);
  EXPECT_EQ(frame.substr(0, 4), std::string("\x04\x22\x4D\x18", 4)) << "frame format";
  EXPECT_TRUE(static_cast<unsigned char>(frame[4]) & 0x08) << "content size flag";
  EXPECT_EQ((static_cast<unsigned char>(frame[5]) >> 4) & 7, 6) << "1 MiB blocks";
  uint64_t content = 0;
  memcpy(&content, frame.data() + 6, 8);
  EXPECT_EQ(content, data.size());

  fs::rename(t / "system.img.ext4", t / "orig");
  auto d = InDir(t.path(), Bin("lz4") + " -d system.img.ext4.lz4 system.img.ext4 < /dev/null");
  ASSERT_EQ(d.exit_code, 0) << d.output;
  EXPECT_TRUE(ReadFile(t / "system.img.ext4") == data);

  // Legacy-format input decompresses with the same command line.
  ASSERT_EQ(InDir(t.path(), Bin("lz4") + " -l orig legacy.img.lz4 < /dev/null").exit_code, 0);
  EXPECT_EQ(ReadFile(t / "legacy.img.lz4").substr(0, 4), std::string("\x02\x21\x4C\x18", 4));
  ASSERT_EQ(InDir(t.path(), Bin("lz4") + " -d legacy.img.lz4 legacy.img < /dev/null").exit_code, 0);
  EXPECT_TRUE(ReadFile(t / "legacy.img") == data);

  // A truncated frame is an error; an existing output is not replaced without -f.
  WriteFile(t / "cut.img.lz4", frame.substr(0, frame.size() / 2));
  EXPECT_NE(InDir(t.path(), Bin("lz4") + " -d cut.img.lz4 cut.img < /dev/null").exit_code, 0);
  EXPECT_NE(InDir(t.path(), Bin("lz4") + " -d system.img.ext4.lz4 legacy.img < /dev/null").exit_code, 0);
}

}  // namespace
