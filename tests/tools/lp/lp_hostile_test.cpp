// Damaged and hostile metadata: a damaged copy with a good backup is read from the backup; with
// no good copy the tools stop with a clear message and a non-zero exit, and lpunpack writes
// nothing outside its output folder.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "lp/lp_builder.h"
#include "lp/lp_image.h"
#include "lp/lp_reader.h"
#include "digest/sha256.h"
#include "lp_test_util.h"

namespace {

using namespace orvex::lptest;
namespace lp = orvex::lp;

// A one-slot layout with two partitions on a 4 MiB device, built by the library.
lp::Metadata Layout() {
  lp::Builder b;
  std::string e;
  EXPECT_TRUE(b.Init({{"super", 4 << 20, 1 << 20, 0}}, 4096, 1, 4096, &e)) << e;
  EXPECT_TRUE(b.AddPartition("alpha", "default", lp::kAttrReadonly, &e)) << e;
  EXPECT_TRUE(b.ResizePartition("alpha", 8192, &e)) << e;
  EXPECT_TRUE(b.AddPartition("beta", "default", 0, &e)) << e;
  EXPECT_TRUE(b.ResizePartition("beta", 4096, &e)) << e;
  return b.Export();
}

// The full image of the metadata: area, then the device size in zeros with marks in the data.
std::string Image(const lp::Metadata& m) {
  std::vector<uint8_t> area = lp::MetadataArea(m);
  std::string img(m.block_devices[0].size, '\0');
  memcpy(img.data(), area.data(), area.size());
  img[1 << 20] = 'A';
  img[2 << 20] = 'B';
  return img;
}

std::string Unpack(const TempDir& t, const std::string& image) {
  WriteFile(t / "super.img", image);
  fs::remove_all(t / "out");
  auto r = RunLp("lpunpack", "super.img out", t.path());
  return std::to_string(r.exit_code) + "|" + r.output;
}

TEST(LpHostile, DamagedPrimaryCopiesFallBackToTheBackups) {
  TempDir t;
  const lp::Metadata m = Layout();
  const lp::Geometry& g = m.geometry;
  // Primary metadata checksum broken: the backup copy serves.
  std::string img = Image(m);
  img[lp::PrimaryMetadataOffset(g, 0) + 200] ^= 1;
  std::string r = Unpack(t, img);
  EXPECT_EQ(r.substr(0, 2), "0|") << r;
  EXPECT_NE(r.find("backup is used"), std::string::npos);
  EXPECT_EQ(ReadFile(t / "out" / "alpha.img")[0], 'A');
  // Primary geometry broken too.
  img[4096 + 45] ^= 1;
  r = Unpack(t, img);
  EXPECT_EQ(r.substr(0, 2), "0|") << r;
  EXPECT_EQ(ReadFile(t / "out" / "beta.img")[0], 'B');
  auto dump = RunLp("lpdump", "super.img", t.path());
  EXPECT_EQ(dump.exit_code, 0);
  EXPECT_NE(dump.output.find("  Name: beta\n"), std::string::npos);
}

TEST(LpHostile, NoGoodCopyGivesAClearErrorAndNoOutput) {
  TempDir t;
  const lp::Metadata m = Layout();
  const lp::Geometry& g = m.geometry;
  struct Case {
    const char* what;
    std::function<void(std::string&)> damage;
    const char* message;
  };
  const Case cases[] = {
      {"both metadata copies", [&](std::string& s) {
         s[lp::PrimaryMetadataOffset(g, 0) + 130] ^= 1;
         s[lp::BackupMetadataOffset(g, 0) + 130] ^= 1;
       }, "checksum does not match"},
      {"both geometries", [&](std::string& s) {
         s[4096 + 50] ^= 1;
         s[8192 + 50] ^= 1;
       }, "no valid LP geometry"},
      {"truncated inside the metadata", [&](std::string& s) { s.resize(lp::PrimaryMetadataOffset(g, 0) + 100); },
       "Failed to read metadata"},
      {"empty file", [&](std::string& s) { s.clear(); }, "no valid LP geometry"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string img = Image(m);
    c.damage(img);
    std::string r = Unpack(t, img);
    EXPECT_EQ(r.substr(0, 3), "66|") << r;
    EXPECT_NE(r.find(c.message), std::string::npos) << r;
    EXPECT_FALSE(fs::exists(t / "out" / "alpha.img"));
    auto dump = RunLp("lpdump", "super.img", t.path());
    EXPECT_EQ(dump.exit_code, 66);
    EXPECT_NE(dump.output.find("Failed to read metadata."), std::string::npos);
  }
}

// Tables that pass their checksums but describe impossible layouts.
TEST(LpHostile, ImpossibleTablesAreRefusedEvenWithValidChecksums) {
  TempDir t;
  struct Case {
    const char* what;
    std::function<void(lp::Metadata&)> edit;
    const char* message;
  };
  const Case cases[] = {
      {"extent past the device", [](lp::Metadata& m) { m.extents[1].target_data = (4 << 20) / 512 - 4; },
       "lies outside block device"},
      {"extent over the metadata", [](lp::Metadata& m) { m.extents[0].target_data = 8; }, "lies outside block device"},
      {"huge extent length", [](lp::Metadata& m) { m.extents[0].num_sectors = UINT64_MAX - 10; },
       "larger than its block devices"},
      {"long extent near the end", [](lp::Metadata& m) { m.extents[1].num_sectors = (4 << 20) / 512 - 100; },
       "lies outside block device"},
      {"overlapping extents", [](lp::Metadata& m) { m.extents[1].target_data = m.extents[0].target_data + 8; },
       "extents overlap"},
      {"extent index past the table", [](lp::Metadata& m) { m.partitions[1].first_extent_index = 0xFFFFFFFF; },
       "refers to extents past"},
      {"missing group", [](lp::Metadata& m) { m.partitions[0].group_index = 7; }, "missing group"},
      {"missing block device", [](lp::Metadata& m) { m.extents[0].target_source = 3; }, "missing block device"},
      {"first sector inside the metadata area", [](lp::Metadata& m) { m.block_devices[0].first_logical_sector = 1; },
       "inside the metadata area"},
      {"unknown attributes", [](lp::Metadata& m) { m.partitions[0].attributes = 0x80; }, "unknown attributes"},
      {"zero extent larger than the device",
       [](lp::Metadata& m) {
         m.extents.push_back({uint64_t(1) << 60, lp::kTargetZero, 0, 0});
         m.partitions[1].num_extents = 2;
         m.partitions[1].first_extent_index = 1;
       },
       "larger than its block devices"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    lp::Metadata m = Layout();
    c.edit(m);
    std::string r = Unpack(t, Image(m));
    EXPECT_EQ(r.substr(0, 3), "66|") << r;
    EXPECT_NE(r.find(c.message), std::string::npos) << r;
  }
}

TEST(LpHostile, AbsurdCountsAndSizesInTheHeaderAreRefusedBeforeAnyAllocation) {
  const lp::Metadata m = Layout();
  std::vector<uint8_t> area = lp::MetadataArea(m);
  const size_t off = lp::PrimaryMetadataOffset(m.geometry, 0);
  std::string err;
  lp::Metadata out;
  // Entry count far beyond the tables (checksums redone so that only the bounds can catch it).
  std::vector<uint8_t> blob(area.begin() + off, area.begin() + off + 4096);
  auto resum = [&](std::vector<uint8_t>& b) {
    memset(&b[12], 0, 32);
    auto s = orvex::digest::Sha256Of(b.data(), 128);
    memcpy(&b[12], s.data(), 32);
  };
  std::vector<uint8_t> b1 = blob;
  b1[80 + 4] = 0xFF, b1[80 + 5] = 0xFF, b1[80 + 6] = 0xFF, b1[80 + 7] = 0x7F;
  resum(b1);
  EXPECT_FALSE(lp::ParseMetadata(b1.data(), b1.size(), m.geometry, &out, &err));
  EXPECT_NE(err.find("outside the metadata tables"), std::string::npos) << err;
  // Tables larger than the metadata copy.
  std::vector<uint8_t> b2 = blob;
  b2[44] = 0, b2[45] = 0, b2[46] = 0, b2[47] = 0x40;
  resum(b2);
  EXPECT_FALSE(lp::ParseMetadata(b2.data(), b2.size(), m.geometry, &out, &err));
  EXPECT_NE(err.find("exceed the metadata size"), std::string::npos) << err;
  // A geometry that claims 4 GiB metadata copies.
  std::vector<uint8_t> geo = lp::SerializeGeometry({0xFFFFFE00u, 2, 4096});
  lp::Geometry g;
  EXPECT_FALSE(lp::ParseGeometry(geo.data(), geo.size(), &g, &err));
  EXPECT_NE(err.find("absurd"), std::string::npos) << err;
}

TEST(LpHostile, NamesBecomeFilesOnlyWhenTheyArePlainAndNeverThroughALink) {
  TempDir t;
  lp::Metadata m = Layout();
  // A 36-character name without a terminator is read whole and is a fine file name.
  m.partitions[0].name = std::string(36, 'n');
  // A name that would leave the output folder.
  m.partitions[1].name = "../escape";
  std::string r = Unpack(t, Image(m));
  EXPECT_EQ(r.substr(0, 2), "1|") << r;
  EXPECT_EQ(ReadFile(t / "out" / (std::string(36, 'n') + ".img"))[0], 'A');
  EXPECT_FALSE(fs::exists(t / "escape.img"));
  EXPECT_NE(r.find("unusable name"), std::string::npos);

  // A link standing where an image goes is replaced, not written through.
  lp::Metadata plain = Layout();
  WriteFile(t / "super.img", Image(plain));
  fs::remove_all(t / "out");
  fs::create_directories(t / "out");
  WriteFile(t / "victim", "keep");
  fs::create_symlink(t / "victim", t / "out" / "alpha.img");
  auto u = RunLp("lpunpack", "super.img out", t.path());
  EXPECT_EQ(u.exit_code, 0) << u.output;
  EXPECT_EQ(ReadFile(t / "victim"), "keep");
  EXPECT_FALSE(fs::is_symlink(t / "out" / "alpha.img"));
  EXPECT_EQ(ReadFile(t / "out" / "alpha.img")[0], 'A');
}

}  // namespace
