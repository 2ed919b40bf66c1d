// lpdump, lpunpack and lpmake on real inputs: the vendor's metadata-only super image, a super
// image written byte by byte from the format description, and full images built from ext4 and
// EROFS images, checked against simg2img and the source images.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <sstream>
#include <random>

#include "lp/lp_metadata.h"
#include "lp/lp_reader.h"
#include "digest/sha256.h"
#include "lp_test_util.h"

namespace {

using namespace orvex::lptest;
namespace lp = orvex::lp;

std::string Hex(const std::array<uint8_t, 32>& d) {
  static const char* k = "0123456789abcdef";
  std::string s;
  for (uint8_t b : d) s += std::string{k[b >> 4], k[b & 15]};
  return s;
}

TEST(Sha256, KnownVectorsAndLongInputAgreeWithSha256sum) {
  EXPECT_EQ(Hex(orvex::digest::Sha256Of("", 0)), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Hex(orvex::digest::Sha256Of("abc", 3)), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";  // spans two blocks
  EXPECT_EQ(Hex(orvex::digest::Sha256Of(two.data(), two.size())), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  if (!HaveProgram("sha256sum")) GTEST_SKIP() << "sha256sum not installed";
  TempDir t;
  std::mt19937 rng(7);
  std::string data(100003, '\0');
  for (char& c : data) c = char(rng());
  WriteFile(t / "d", data);
  // Fed in uneven pieces to cross the buffer boundaries.
  orvex::digest::Sha256 s;
  for (size_t off = 0; off < data.size(); off += 37) s.Update(data.data() + off, std::min<size_t>(37, data.size() - off));
  auto out = RunCommand("sha256sum " + ShQuote((t / "d").string()));
  EXPECT_EQ(out.output.substr(0, 64), Hex(s.Final()));
}

// --- The vendor's metadata-only image -------------------------------------------------------

const char kXiguaParts[] = "odm product system system_dlkm system_ext vendor vendor_dlkm";

TEST(LpSample, LpdumpPrintsEverySectionAndLpmakeRebuildsTheSameBytes) {
  const fs::path sample = SamplesDir() / "super_lp" / "oneplus_xigua_super_empty.img";
  if (!fs::exists(sample)) GTEST_SKIP() << "sample missing";
  auto dump = RunLp("lpdump", "--slot=0 " + ShQuote(sample.string()));
  ASSERT_EQ(dump.exit_code, 0) << dump.output;
  const std::string& d = dump.output;
  // A metadata-only image counts as one slot: no "Slot" line.
  EXPECT_EQ(d.rfind("Metadata version: 10.2\nMetadata size: 1192 bytes\nMetadata max size: 65536 bytes\n"
                    "Metadata slot count: 3\nHeader flags: virtual_ab_device\nPartition table:\n",
                    0),
            0u)
      << d;
  EXPECT_NE(d.find("  Name: vendor_dlkm_b\n  Group: qti_dynamic_partitions_b\n  Attributes: readonly\n  Extents:\n"
                   "------------------------\nSuper partition layout:\n------------------------\n"
                   "------------------------\nBlock device table:\n"),
            std::string::npos);
  EXPECT_NE(d.find("  Partition name: super\n  First sector: 2048\n  Size: 16106127360 bytes\n  Flags: none\n"),
            std::string::npos);
  EXPECT_NE(d.find("Group table:\n------------------------\n  Name: default\n  Maximum size: 0 bytes\n  Flags: none\n"
                   "------------------------\n  Name: qti_dynamic_partitions_a\n  Maximum size: 16101933056 bytes\n"),
            std::string::npos);
  size_t names = 0;
  for (size_t p = d.find("  Name: "); p != std::string::npos; p = d.find("  Name: ", p + 1)) ++names;
  EXPECT_EQ(names, 14u + 3u);

  // The same layout through lpmake gives the vendor's bytes.
  TempDir t;
  std::string args =
      "--metadata-size=65536 --super-name=super --metadata-slots=3 --device=super:16106127360:1048576 "
      "--group=qti_dynamic_partitions_a:16101933056 --group=qti_dynamic_partitions_b:16101933056";
  std::istringstream parts(kXiguaParts);
  for (std::string p; parts >> p;)
    for (const char* s : {"_a", "_b"})
      args += " --partition=" + p + s + ":readonly:0:qti_dynamic_partitions" + s;
  auto made = RunLp("lpmake", args + " --virtual-ab --output=" + ShQuote((t / "out.img").string()));
  ASSERT_EQ(made.exit_code, 0) << made.output;
  EXPECT_EQ(ReadFile(t / "out.img"), ReadFile(sample));
}

// --- A super image written byte by byte -----------------------------------------------------

// Two slots, header 10.0, one slot-suffixed partition in a slot-suffixed group with a linear
// extent, a zero extent and a second linear extent placed before the first; an empty partition.
// Device: 8 MiB, metadata size 4096, data from sector 2048.
std::string HandMadeSuper(std::string* sys_contents) {
  std::string img(8 << 20, '\0');
  std::mt19937 rng(3);
  for (size_t i = 1 << 20; i < img.size(); ++i) img[i] = char(rng());
  std::string geo(52, '\0');
  Put32(geo, 0, 0x616C4467);
  Put32(geo, 4, 52);
  Put32(geo, 40, 4096);
  Put32(geo, 44, 2);
  Put32(geo, 48, 4096);
  auto gsum = orvex::digest::Sha256Of(geo.data(), geo.size());
  memcpy(&geo[8], gsum.data(), 32);
  img.replace(4096, 52, geo);
  img.replace(8192, 52, geo);

  std::string tables;
  auto name = [](const std::string& n) { return n + std::string(36 - n.size(), '\0'); };
  auto u32 = [](uint32_t v) { std::string s(4, '\0'); Put32(s, 0, v); return s; };
  auto u64 = [](uint64_t v) { std::string s(8, '\0'); Put64(s, 0, v); return s; };
  // partitions (offset 0): sys {attrs readonly|slot-suffixed, extents 0..2, group 1}; empty
  tables += name("sys") + u32(3) + u32(0) + u32(3) + u32(1);
  tables += name("empty") + u32(0) + u32(3) + u32(0) + u32(0);
  // extents (offset 104)
  tables += u64(2048) + u32(0) + u64(4096) + u32(0);
  tables += u64(8) + u32(1) + u64(0) + u32(0);
  tables += u64(8) + u32(0) + u64(2048) + u32(0);
  // groups (offset 176)
  tables += name("default") + u32(0) + u64(0);
  tables += name("grp") + u32(1) + u64(4 << 20);
  // block devices (offset 272)
  tables += u64(2048) + u32(1 << 20) + u32(0) + u64(8 << 20) + name("super") + u32(0);
  EXPECT_EQ(tables.size(), 336u);

  std::string hdr(128, '\0');
  Put32(hdr, 0, 0x414C5030);
  hdr[4] = 10;
  Put32(hdr, 8, 128);
  Put32(hdr, 44, uint32_t(tables.size()));
  auto tsum = orvex::digest::Sha256Of(tables.data(), tables.size());
  memcpy(&hdr[48], tsum.data(), 32);
  const uint32_t desc[4][3] = {{0, 2, 52}, {104, 3, 24}, {176, 2, 48}, {272, 1, 64}};
  for (int i = 0; i < 4; ++i)
    for (int k = 0; k < 3; ++k) Put32(hdr, 80 + 12 * i + 4 * k, desc[i][k]);
  auto hsum = orvex::digest::Sha256Of(hdr.data(), hdr.size());
  memcpy(&hdr[12], hsum.data(), 32);
  const std::string blob = hdr + tables;
  for (size_t off : {12288, 16384, 20480, 24576}) img.replace(off, blob.size(), blob);

  *sys_contents = img.substr(2 << 20, 1 << 20) + std::string(4096, '\0') + img.substr(1 << 20, 4096);
  return img;
}

TEST(LpForeignImage, DumpAndUnpackFollowTheTablesOfEachSlot) {
  TempDir t;
  std::string sys;
  WriteFile(t / "super.img", HandMadeSuper(&sys));
  auto dump = RunLp("lpdump", "--slot=1 super.img", t.path());
  ASSERT_EQ(dump.exit_code, 0) << dump.output;
  EXPECT_EQ(dump.output,
            "Slot 1:\n"
            "Metadata version: 10.0\n"
            "Metadata size: 464 bytes\n"
            "Metadata max size: 4096 bytes\n"
            "Metadata slot count: 2\n"
            "Header flags: none\n"
            "Partition table:\n"
            "------------------------\n"
            "  Name: sys_b\n"
            "  Group: grp_b\n"
            "  Attributes: readonly\n"
            "  Extents:\n"
            "    0 .. 2047 linear super 4096\n"
            "    2048 .. 2055 zero\n"
            "    2056 .. 2063 linear super 2048\n"
            "------------------------\n"
            "  Name: empty\n"
            "  Group: default\n"
            "  Attributes: none\n"
            "  Extents:\n"
            "------------------------\n"
            "Super partition layout:\n"
            "------------------------\n"
            "super: 2048 .. 2056: sys_b (8 sectors)\n"
            "super: 4096 .. 6144: sys_b (2048 sectors)\n"
            "------------------------\n"
            "Block device table:\n"
            "------------------------\n"
            "  Partition name: super\n"
            "  First sector: 2048\n"
            "  Size: 8388608 bytes\n"
            "  Flags: none\n"
            "------------------------\n"
            "Group table:\n"
            "------------------------\n"
            "  Name: default\n"
            "  Maximum size: 0 bytes\n"
            "  Flags: none\n"
            "------------------------\n"
            "  Name: grp_b\n"
            "  Maximum size: 4194304 bytes\n"
            "  Flags: none\n"
            "------------------------\n");
  auto all = RunLp("lpdump", "--all super.img", t.path());
  EXPECT_NE(all.output.find("------------------------\n\nSlot 1:\n"), std::string::npos);
  EXPECT_NE(all.output.find("  Name: sys_a\n"), std::string::npos);
  auto size = RunLp("lpdump", "-d super.img", t.path());
  EXPECT_EQ(size.output, "1048576\n");

  auto un = RunLp("lpunpack", "--slot=0 super.img out", t.path());
  ASSERT_EQ(un.exit_code, 0) << un.output;
  EXPECT_EQ(ReadFile(t / "out" / "sys_a.img"), sys);
  ASSERT_TRUE(fs::exists(t / "out" / "empty.img"));
  EXPECT_EQ(fs::file_size(t / "out" / "empty.img"), 0u);
  // -p picks one partition; the slot-b names come from slot 1.
  auto one = RunLp("lpunpack", "-S 1 -p sys_b super.img only", t.path());
  ASSERT_EQ(one.exit_code, 0) << one.output;
  EXPECT_EQ(ReadFile(t / "only" / "sys_b.img"), sys);
  EXPECT_FALSE(fs::exists(t / "only" / "empty.img"));
  auto missing = RunLp("lpunpack", "-p nothere super.img none", t.path());
  EXPECT_NE(missing.exit_code, 0);
  EXPECT_NE(missing.output.find("nothere"), std::string::npos);
}

// --- Full images built from real file-system images -----------------------------------------

struct Images {
  TempDir t;
  bool ok = false;
  Images() {
    if (!HaveProgram("mke2fs") || !HaveProgram("mkfs.erofs") || !HaveProgram("img2simg") || !HaveProgram("simg2img"))
      return;
    fs::create_directories(t / "tree" / "d");
    std::mt19937 rng(11);
    std::string big(2500000, '\0');
    for (char& c : big) c = char(rng());
    WriteFile(t / "tree" / "d" / "random.bin", big);
    WriteFile(t / "tree" / "hello.txt", "hello\n");
    auto a = RunCommand("cd " + ShQuote(t.str()) +
                        " && mke2fs -q -t ext4 -d tree system.img 20M && mkfs.erofs --quiet vendor.img tree"
                        " && img2simg system.img system_sparse.img");
    ok = a.exit_code == 0;
    EXPECT_TRUE(ok) << a.output;
  }
};

std::string AbLayout(uint64_t vendor_size, const std::string& extra = "") {
  return "--metadata-size=65536 --super-name=super --metadata-slots=3 --device=super:67108864:1048576"
         " --group=main_a:60000000 --group=main_b:60000000"
         " --partition=system_a:readonly:0:main_a --image=system_a=./system_sparse.img"
         " --partition=system_b:readonly:0:main_b"
         " --partition=vendor_a:readonly:" +
         std::to_string(vendor_size) +
         ":main_a --image=vendor_a=./vendor.img"
         " --partition=vendor_b:readonly:0:main_b --virtual-ab" +
         extra;
}

TEST(LpFullImage, RawAndSparseOutputHoldTheImagesAtAlignedExtentsAndUnpackBack) {
  Images im;
  if (!im.ok) GTEST_SKIP() << "mke2fs, mkfs.erofs or the sparse tools missing";
  const fs::path& d = im.t.path();
  const uint64_t vsize = fs::file_size(d / "vendor.img");
  auto raw = RunLp("lpmake", AbLayout(vsize, " --output=super.img"), d);
  ASSERT_EQ(raw.exit_code, 0) << raw.output;
  auto sp = RunLp("lpmake", AbLayout(vsize, " --sparse --output=super_s.img"), d);
  ASSERT_EQ(sp.exit_code, 0) << sp.output;
  EXPECT_EQ(fs::file_size(d / "super.img"), 67108864u);
  // The packaged libsparse tool reads our sparse output back to the raw output's bytes.
  auto conv = RunCommand("cd " + ShQuote(d.string()) + " && simg2img super_s.img super_s_raw.img");
  ASSERT_EQ(conv.exit_code, 0) << conv.output;
  EXPECT_TRUE(ReadFile(d / "super_s_raw.img") == ReadFile(d / "super.img"));
  EXPECT_LT(fs::file_size(d / "super_s.img"), 16u << 20);

  auto dump = RunLp("lpdump", "super.img", d);
  ASSERT_EQ(dump.exit_code, 0);
  // Partitions in argument order, each from a 1 MiB boundary; empty ones without extents.
  EXPECT_NE(dump.output.find("    0 .. 40959 linear super 2048\n"), std::string::npos) << dump.output;
  const uint64_t vend_start = 2048 + 40960;  // 20 MiB later, already aligned
  EXPECT_NE(dump.output.find("linear super " + std::to_string(vend_start) + "\n"), std::string::npos);
  EXPECT_NE(dump.output.find("Slot 0:\nMetadata version: 10.2\n"), std::string::npos);
  EXPECT_NE(dump.output.find("  Name: vendor_b\n  Group: main_b\n  Attributes: readonly\n  Extents:\n----"),
            std::string::npos);

  for (const char* input : {"super.img", "super_s.img"}) {
    SCOPED_TRACE(input);
    const std::string out = std::string("out_") + input;
    auto un = RunLp("lpunpack", std::string(input) + " " + out, d);
    ASSERT_EQ(un.exit_code, 0) << un.output;
    EXPECT_TRUE(ReadFile(d / out / "system_a.img") == ReadFile(d / "system.img"));
    // The vendor partition is the image rounded up to whole blocks.
    std::string v = ReadFile(d / out / "vendor_a.img");
    EXPECT_EQ(v.size(), (vsize + 4095) / 4096 * 4096);
    EXPECT_TRUE(v.substr(0, vsize) == ReadFile(d / "vendor.img"));
    EXPECT_EQ(fs::file_size(d / out / "system_b.img"), 0u);
    EXPECT_EQ(fs::file_size(d / out / "vendor_b.img"), 0u);
  }
  // The raw output is a sparse file: unmapped space takes no disk blocks.
  struct stat st;
  ASSERT_EQ(stat((d / "super.img").c_str(), &st), 0);
  EXPECT_LT(uint64_t(st.st_blocks) * 512, 16u << 20);
}

TEST(LpFullImage, RefusesLayoutsThatDoNotFitAndSaysByHowMuch) {
  Images im;
  if (!im.ok) GTEST_SKIP() << "mke2fs, mkfs.erofs or the sparse tools missing";
  const fs::path& d = im.t.path();
  WriteFile(d / "super.img", "previous");
  // Group limit: 20 MiB system + 21 MiB vendor against a 40 MiB group.
  auto group = RunLp("lpmake",
                   "--metadata-size=65536 --metadata-slots=2 --device=super:134217728:1048576 --group=main:41943040"
                   " --partition=system:readonly:0:main --image=system=system.img"
                   " --partition=vendor:readonly:22020096:main --output=super.img",
                   d);
  EXPECT_EQ(group.exit_code, 1);
  EXPECT_NE(group.output.find("does not fit group main"), std::string::npos) << group.output;
  EXPECT_NE(group.output.find("1048576 bytes too many"), std::string::npos) << group.output;
  // A failed build leaves the previous output alone and no partial file.
  EXPECT_EQ(ReadFile(d / "super.img"), "previous");
  EXPECT_FALSE(fs::exists(d / "super.img.lpmake-part"));

  // Device: 24 MiB with 1 MiB of metadata area leaves 23 MiB for a 20 MiB + 4 MiB request.
  auto device = RunLp("lpmake",
                    "--metadata-size=65536 --metadata-slots=2 --device-size=25165824"
                    " --partition=system:readonly:0 --image=system=system.img --partition=vendor:none:4194304"
                    " --output=super.img",
                    d);
  EXPECT_EQ(device.exit_code, 1);
  EXPECT_NE(device.output.find("Not enough space on device for partition vendor"), std::string::npos) << device.output;
  EXPECT_NE(device.output.find("1048576 bytes short"), std::string::npos) << device.output;

  auto bigimg = RunLp("lpmake",
                    "--metadata-size=65536 --metadata-slots=2 --device-size=67108864"
                    " --partition=system:readonly:4096 --image=system=system.img --output=super.img",
                    d);
  EXPECT_EQ(bigimg.exit_code, 1);
  EXPECT_NE(bigimg.output.find("larger than partition system"), std::string::npos) << bigimg.output;
  EXPECT_EQ(ReadFile(d / "super.img"), "previous");

  // Malformed option values are usage errors, never partly honoured.
  for (const char* bad : {"--partition=system:readonly:12x", "--partition=system:writable:0", "--group=g:-1",
                          "--device=super:abc"}) {
    auto r = RunLp("lpmake", std::string("--metadata-size=65536 --metadata-slots=2 --device-size=67108864 ") + bad +
                               " --output=x.img",
                 d);
    EXPECT_EQ(r.exit_code, 64) << bad << ": " << r.output;
  }
}

TEST(LpFullImage, AutoDeviceSizeAndSlotSuffixingFollowTheAllocationRules) {
  TempDir t;
  auto r = RunLp("lpmake",
               "--metadata-size=4000 --metadata-slots=2 --device-size=auto --group=g:0"
               " --partition=a:none:5000:g --partition=b:readonly:4096:g -x --output=e.img",
               t.path());
  ASSERT_EQ(r.exit_code, 0) << r.output;
  auto dump = RunLp("lpdump", "e.img", t.path());
  ASSERT_EQ(dump.exit_code, 0) << dump.output;
  // 4000 rounds up to 4096 bytes of metadata; 5000 to two blocks; the device holds the metadata
  // area aligned to 1 MiB, one alignment per partition and the partitions.
  EXPECT_NE(dump.output.find("Metadata max size: 4096 bytes\n"), std::string::npos);
  EXPECT_NE(dump.output.find("Size: " + std::to_string((1 << 20) + 2 * (1 << 20) + 8192 + 4096) + " bytes"),
            std::string::npos)
      << dump.output;
  EXPECT_NE(dump.output.find("  Name: a_a\n  Group: g_a\n  Attributes: none\n  Extents:\n    0 .. 15 linear super_a 2048\n"),
            std::string::npos)
      << dump.output;
  EXPECT_NE(dump.output.find("    0 .. 7 linear super_a 4096\n"), std::string::npos);
}

}  // namespace
