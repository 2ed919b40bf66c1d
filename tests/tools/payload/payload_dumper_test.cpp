// payload_dumper on the real sample payload and on payloads the test writer builds from images
// made by mke2fs and mkfs.erofs: byte-exact images, damaged payloads, incremental payloads.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>

#include "payload_writer.h"
#include "test_support.h"

using namespace orvex::test;
namespace pw = orvex::test::payload_writer;

namespace {

CommandResult Dump(const std::string& args) {
  return RunCommand(ShQuote((BinDir() / "payload_dumper").string()) + " " + args);
}

// A small tree turned into an image by a real tool; `variant` changes some files.
void MakeTree(const fs::path& t, int variant) {
  WriteFile(t / "etc/hosts", "127.0.0.1 localhost\n");
  WriteFile(t / "etc/build.prop", "ro.build.version=" + std::to_string(variant) + "\n");
  std::string big;
  for (int i = 0; i < 9000; ++i) big += "line " + std::to_string(i * (variant + 1)) + " of a text file\n";
  WriteFile(t / "app/big.txt", big);
  std::string noise;
  uint32_t x = 12345 + static_cast<uint32_t>(variant == 2 ? 0 : 0);
  for (int i = 0; i < 200000; ++i) noise += static_cast<char>((x = x * 1103515245 + 12345) >> 24);
  WriteFile(t / "lib/noise.so", noise);
  if (variant) WriteFile(t / "lib/added.so", std::string(30000, 'v'));
}

std::string MakeExt4(const fs::path& dir, int variant, const std::string& size = "8M") {
  fs::path tree = dir / ("tree" + std::to_string(variant)), img = dir / ("ext4_" + std::to_string(variant) + ".img");
  MakeTree(tree, variant);
  auto r = RunCommand("mke2fs -q -t ext4 -b 4096 -O ^has_journal -U 11111111-2222-3333-4444-555555555555 -E "
                      "hash_seed=11111111-2222-3333-4444-555555555555 -d " +
                      ShQuote(tree.string()) + " " + ShQuote(img.string()) + " " + size);
  EXPECT_EQ(r.exit_code, 0) << r.output;
  return ReadFile(img);
}

std::string MakeErofs(const fs::path& dir) {
  fs::path tree = dir / "etree", img = dir / "erofs.img";
  MakeTree(tree, 1);
  auto r = RunCommand("mkfs.erofs -zlz4hc -T1700000000 " + ShQuote(img.string()) + " " + ShQuote(tree.string()));
  EXPECT_EQ(r.exit_code, 0) << r.output;
  return ReadFile(img);
}

bool HaveImageTools() { return HaveProgram("mke2fs") && HaveProgram("mkfs.erofs") && HaveProgram("e2fsck"); }

// Files left in a folder (none when it does not exist).
std::vector<std::string> Files(const fs::path& dir) {
  std::vector<std::string> out;
  if (!fs::exists(dir)) return out;
  for (auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

TEST(PayloadDumper, RealSampleExtractsToItsReferenceImages) {
  TempDir t;
  const fs::path payload = SamplesDir() / "payload/ue_full_payload.bin";
  ASSERT_TRUE(fs::exists(payload));
  ASSERT_EQ(RunCommand("tar -xjf " + ShQuote((SamplesDir() / "payload/ue_sample_images.tar.bz2").string()) + " -C " +
                       ShQuote(t.str()))
                .exit_code,
            0);
  auto list = Dump("-l " + ShQuote(payload.string()));
  EXPECT_EQ(list.exit_code, 0) << list.output;
  EXPECT_NE(list.output.find("kernel                          4194304 bytes"), std::string::npos) << list.output;
  EXPECT_NE(list.output.find("root                              12288 bytes"), std::string::npos) << list.output;

  auto r = Dump("--out " + ShQuote((t / "out").string()) + " " + ShQuote(payload.string()));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(Files(t / "out"), (std::vector<std::string>{"kernel_a.img", "root_a.img"}));
  EXPECT_EQ(ReadFile(t / "out/kernel_a.img"), ReadFile(t / "disk_ext2_4k.img"));
  EXPECT_EQ(ReadFile(t / "out/root_a.img"), ReadFile(t / "disk_sqfs_default.img"));
  EXPECT_NE(r.output.find("kernel_a.img: 100%\n"), std::string::npos) << r.output;
}

class FullPayload : public ::testing::TestWithParam<int> {};

TEST_P(FullPayload, EveryOperationTypeGivesTheImagesBack) {
  if (!HaveImageTools()) GTEST_SKIP() << "mke2fs or mkfs.erofs missing";
  TempDir t;
  const std::string system = MakeExt4(t.path(), 0), erofs = MakeErofs(t.path());
  pw::Payload p;
  p.parts = {pw::FullPartition("system", system), pw::FullPartition("vendor", erofs),
             pw::FullPartition("system_ext", erofs, 4096, 1)};
  std::map<uint32_t, int> types;
  for (auto& part : p.parts)
    for (auto& op : part.ops) ++types[op.type];
  for (uint32_t want : {0u, 1u, 6u, 7u, 8u, 14u}) EXPECT_GT(types[want], 0) << "no operation of type " << want;
  WriteFile(t / "payload.bin", pw::Serialize(p));

  auto r = Dump("--threads " + std::to_string(GetParam()) + " --out " + ShQuote((t / "out").string()) + " " +
                ShQuote((t / "payload.bin").string()));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(Files(t / "out"), (std::vector<std::string>{"system_a.img", "system_ext_a.img", "vendor_a.img"}));
  EXPECT_TRUE(ReadFile(t / "out/system_a.img") == system);
  EXPECT_TRUE(ReadFile(t / "out/vendor_a.img") == erofs);
  EXPECT_TRUE(ReadFile(t / "out/system_ext_a.img") == erofs);
  auto fsck = RunCommand("e2fsck -fn " + ShQuote((t / "out/system_a.img").string()));
  EXPECT_EQ(fsck.exit_code, 0) << fsck.output;
  auto efsck = RunCommand("fsck.erofs " + ShQuote((t / "out/vendor_a.img").string()));
  EXPECT_EQ(efsck.exit_code, 0) << efsck.output;
  // ZERO and DISCARD regions stay holes: the mostly empty ext4 image takes far less than its size.
  struct stat st {};
  ASSERT_EQ(stat((t / "out/system_a.img").c_str(), &st), 0);
  EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, system.size() / 2);
  // Progress: one final line per image, percent lines folded with carriage returns.
  EXPECT_NE(r.output.find("vendor_a.img: 0%\r"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("vendor_a.img: 100%\n"), std::string::npos) << r.output;
}

INSTANTIATE_TEST_SUITE_P(Threads, FullPayload, ::testing::Values(1, 4));

TEST(PayloadDumper, PicksAndListsPartitionsAndRejectsBadUsage) {
  TempDir t;
  pw::Payload p;
  std::string a(5 * 4096, 'a'), b(3 * 4096 + 100, 'b');
  p.parts = {pw::FullPartition("odm", a), pw::FullPartition("product", b)};
  WriteFile(t / "p.bin", pw::Serialize(p));
  const std::string in = ShQuote((t / "p.bin").string());

  auto l = Dump("-l " + in);
  EXPECT_EQ(l.exit_code, 0);
  EXPECT_NE(l.output.find("full payload (minor version 0), block size 4096, 2 partitions"), std::string::npos) << l.output;
  EXPECT_NE(l.output.find("product                           12388 bytes       1 operations"), std::string::npos)
      << l.output;

  auto r = Dump("-p product --out " + ShQuote((t / "o").string()) + " " + in);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(Files(t / "o"), (std::vector<std::string>{"product_a.img"}));
  EXPECT_EQ(ReadFile(t / "o/product_a.img"), b);  // a partial last block keeps the partition size

  auto missing = Dump("-p odm,boot --out " + ShQuote((t / "m").string()) + " " + in);
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_NE(missing.output.find("no partition boot"), std::string::npos) << missing.output;
  EXPECT_TRUE(Files(t / "m").empty());
  EXPECT_EQ(Dump("--threads 0 " + in).exit_code, 2);
  EXPECT_EQ(Dump("--bogus " + in).exit_code, 2);
  EXPECT_EQ(Dump("").exit_code, 2);
  auto help = Dump("--help");
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.output.find("NAME_a.img"), std::string::npos);
  auto notPayload = Dump(ShQuote((SamplesDir() / "payload/ue_sample_images.tar.bz2").string()));
  EXPECT_EQ(notPayload.exit_code, 1);
  EXPECT_NE(notPayload.output.find("no CrAU magic"), std::string::npos) << notPayload.output;
}

// Each kind of damage is reported with its partition and operation, exits 1 and leaves no image
// under its final name (the partition before the damaged one stays, complete).
struct Damage {
  const char* name;
  const char* expect;
};

class DamagedPayload : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedPayload, FailsLoudlyAndLeavesNoPartialImage) {
  TempDir t;
  std::string img1, img2;
  for (int i = 0; i < 64 * 4096; ++i) img1 += static_cast<char>('a' + i % 23), img2 += static_cast<char>(i * 7 / 3);
  pw::Payload p;
  p.parts = {pw::FullPartition("boot", img1, 4096, 16), pw::FullPartition("system", img2, 4096, 8)};
  pw::Layout lay;
  std::string bytes = pw::Serialize(p, &lay);
  const std::string what = GetParam().name;
  if (what == "blob") bytes[lay.blob_offsets[1][3] + 40] ^= 0x10;          // REPLACE_ZSTD of system
  if (what == "blob_xz") bytes[lay.blob_offsets[1][2] + 60] ^= 0x01;       // REPLACE_XZ of system
  if (what == "manifest") bytes[lay.manifest_offset + 2] = '\x7f';          // a block size field broken
  if (what == "manifest_op") bytes[lay.op_offsets[1][3]] = '\x0f';           // a field of an operation broken
  if (what == "manifest_cut") bytes[23] = 1, bytes[19] -= 1;                 // the last partition cut short
  if (what == "truncated") bytes.resize(lay.blob_offsets[1][5] + 10);
  if (what == "partition_hash") {
    p.parts[1].hash = pw::Sha256Of("not the image");
    bytes = pw::Serialize(p, &lay);
  }
  if (what == "unhashed_blob") {
    for (auto& op : p.parts[1].ops) op.data_hash = false;
    bytes = pw::Serialize(p, &lay);
    bytes[lay.blob_offsets[1][1] + 50] ^= 0x40;  // REPLACE_BZ without a hash: the decoder or image hash notices
  }
  WriteFile(t / "p.bin", bytes);
  WriteFile(t / "o/system_a.img", "an image of an earlier run");
  auto r = Dump("--out " + ShQuote((t / "o").string()) + " " + ShQuote((t / "p.bin").string()));
  EXPECT_EQ(r.exit_code, 1) << r.output;
  EXPECT_NE(r.output.find(GetParam().expect), std::string::npos) << r.output;
  auto files = Files(t / "o");
  // Damage found before anything is written leaves the folder as it was.
  const bool early = what == "manifest" || what == "manifest_op" || what == "manifest_cut" || what == "truncated";
  EXPECT_EQ(std::find(files.begin(), files.end(), "system_a.img") != files.end(), early) << r.output;
  for (auto& f : files) EXPECT_EQ(f.find(".part"), std::string::npos) << f;
  if (what == "blob" || what == "partition_hash") {
    EXPECT_EQ(files, (std::vector<std::string>{"boot_a.img"}));
    EXPECT_EQ(ReadFile(t / "o/boot_a.img"), img1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, DamagedPayload,
    ::testing::Values(Damage{"blob", "partition system, operation 3 (REPLACE_ZSTD): data hash mismatch"},
                      Damage{"blob_xz", "partition system, operation 2 (REPLACE_XZ): data hash mismatch"},
                      Damage{"manifest", "corrupt manifest"},
                      Damage{"manifest_op", "partition system, operation 3: corrupt manifest (operation): wrong wire type"},
                      Damage{"manifest_cut", "partition #1: corrupt manifest (manifest): field runs past the end"},
                      Damage{"truncated", "partition system, operation 5 (REPLACE_BZ): data blob at"},
                      Damage{"partition_hash", "partition system: the extracted image does not match the partition hash"},
                      Damage{"unhashed_blob", "partition system"}),
    [](const auto& info) { return std::string(info.param.name); });

class Incremental : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveProgram("mke2fs") || !HaveProgram("bsdiff")) GTEST_SKIP() << "mke2fs or bsdiff missing";
    oldImage = MakeExt4(t.path(), 0);
    newImage = MakeExt4(t.path(), 1);
    fs::create_directories(t / "old");
    fs::create_directories(t / "w");
    WriteFile(t / "old/system_a.img", oldImage);
    pw::Payload p;
    p.minor_version = 6;
    p.parts = {pw::DeltaPartition("system", oldImage, newImage, (t / "w").string(), 4096, 16)};
    for (auto& op : p.parts[0].ops) ++types[op.type];
    WriteFile(t / "p.bin", pw::Serialize(p));
  }
  TempDir t;
  std::string oldImage, newImage;
  std::map<uint32_t, int> types;
};

TEST_F(Incremental, AppliesToTheSourceImageByteForByte) {
  for (uint32_t want : {4u, 5u, 10u}) EXPECT_GT(types[want], 0) << "no operation of type " << want;
  auto r = Dump("--threads 3 --old " + ShQuote((t / "old").string()) + " --out " + ShQuote((t / "o").string()) + " " +
                ShQuote((t / "p.bin").string()));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(ReadFile(t / "o/system_a.img") == newImage);
  auto fsck = RunCommand("e2fsck -fn " + ShQuote((t / "o/system_a.img").string()));
  EXPECT_EQ(fsck.exit_code, 0) << fsck.output;

  // Output into the folder of the source images: the source image is read to the end and then
  // replaced by the new one.
  r = Dump("--old " + ShQuote((t / "old").string()) + " --out " + ShQuote((t / "old").string()) + " " +
           ShQuote((t / "p.bin").string()));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(ReadFile(t / "old/system_a.img") == newImage);
}

TEST_F(Incremental, WithoutOrWithAWrongSourceNothingIsWritten) {
  auto r = Dump("--out " + ShQuote((t / "o").string()) + " " + ShQuote((t / "p.bin").string()));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.output.find("partition system is an incremental update: give the folder of the source images with --old"),
            std::string::npos)
      << r.output;
  EXPECT_FALSE(fs::exists(t / "o"));
  auto l = Dump("-l " + ShQuote((t / "p.bin").string()));
  EXPECT_NE(l.output.find("(needs its source image)"), std::string::npos) << l.output;

  // A source image that is not the one the payload was made from.
  std::string other = oldImage;
  other[other.size() / 2] ^= 1;
  other[4096 * 3 + 7] ^= 1;
  WriteFile(t / "old/system_a.img", other);
  r = Dump("--old " + ShQuote((t / "old").string()) + " --out " + ShQuote((t / "o").string()) + " " +
           ShQuote((t / "p.bin").string()));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.output.find("partition system, operation 0 ("), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("source hash mismatch"), std::string::npos) << r.output;
  EXPECT_TRUE(Files(t / "o").empty());
}

// Minor version 1 updates in place: MOVE and BSDIFF over a copy of the source image.
TEST(PayloadDumper, InPlaceOperationsOfTheFirstMinorVersion) {
  if (!HaveProgram("bsdiff")) GTEST_SKIP() << "bsdiff missing";
  TempDir t;
  std::string old;
  for (int b = 0; b < 8; ++b) old += std::string(4096, static_cast<char>('A' + b));
  std::string fresh = old;
  fresh.replace(5 * 4096, 2 * 4096, old.substr(0, 2 * 4096));  // blocks 0-1 moved to 5-6
  std::string patched = old.substr(2 * 4096, 4096);
  patched.replace(100, 11, "patched!!!!");
  fresh.replace(2 * 4096, 4096, patched);
  pw::Payload p;
  p.minor_version = 1;
  pw::Part part;
  part.name = "odm";
  part.size = fresh.size();
  part.hash = pw::Sha256Of(fresh);
  pw::Op move;
  move.type = 2;
  move.src = {{0, 2}};
  move.dst = {{5, 2}};
  pw::Op diff;
  diff.type = 3;
  diff.src = {{2, 1}};
  diff.dst = {{2, 1}};
  fs::create_directories(t / "w");
  diff.blob = pw::MakePatch(old.substr(2 * 4096, 4096), patched, (t / "w").string());
  part.ops = {move, diff};
  p.parts = {part};
  WriteFile(t / "p.bin", pw::Serialize(p));
  fs::create_directories(t / "old");
  WriteFile(t / "old/odm.img", old);
  auto r = Dump("--old " + ShQuote((t / "old").string()) + " --out " + ShQuote((t / "o").string()) + " " +
                ShQuote((t / "p.bin").string()));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(ReadFile(t / "o/odm_a.img") == fresh);
}

// Operations that need a patch engine of their own are named; a patch that points past its new
// size is refused.
TEST(PayloadDumper, UnsupportedAndHostileOperations) {
  TempDir t;
  fs::create_directories(t / "old");
  WriteFile(t / "old/boot_a.img", std::string(4 * 4096, 'o'));
  for (uint32_t type : {9u, 11u, 12u, 13u}) {
    pw::Payload p;
    p.minor_version = 8;
    pw::Part good = pw::FullPartition("vendor", std::string(4096, 'v'));
    pw::Part part;
    part.name = "boot";
    part.size = 4 * 4096;
    pw::Op op;
    op.type = type;
    op.blob = "opaque patch";
    op.src = {{0, 4}};
    op.dst = {{0, 4}};
    part.ops = {op};
    p.parts = {good, part};
    WriteFile(t / "p.bin", pw::Serialize(p));
    auto r = Dump("--old " + ShQuote((t / "old").string()) + " --out " + ShQuote((t / "o").string()) + " " +
                  ShQuote((t / "p.bin").string()));
    EXPECT_EQ(r.exit_code, 1);
    const std::string names[] = {"PUFFDIFF", "", "ZUCCHINI", "LZ4DIFF_BSDIFF", "LZ4DIFF_PUFFDIFF"};
    EXPECT_NE(r.output.find("partition boot, operation 0 (" + names[type - 9] + "): this operation is not supported"),
              std::string::npos)
        << r.output;
    EXPECT_FALSE(fs::exists(t / "o")) << "nothing is written, not even the good partition";
  }

  // A BSDF2 patch with no compression whose control entry asks for more than the new size.
  auto OffT = [](int64_t v) {
    std::string o(8, '\0');
    for (int i = 0; i < 8; ++i) o[i] = static_cast<char>((uint64_t(v) >> (8 * i)) & 0xff);
    return o;
  };
  std::string ctrl = OffT(100000) + OffT(0) + OffT(0);
  std::string patch = std::string("BSDF2") + '\0' + '\0' + '\0' + OffT(24) + OffT(0) + OffT(4096) + ctrl;
  pw::Payload p;
  p.minor_version = 6;
  pw::Part part;
  part.name = "boot";
  part.size = 4096;
  pw::Op op;
  op.type = 5;
  op.blob = patch;
  op.src = {{0, 1}};
  op.dst = {{0, 1}};
  part.ops = {op};
  p.parts = {part};
  WriteFile(t / "h.bin", pw::Serialize(p));
  auto r = Dump("--old " + ShQuote((t / "old").string()) + " --out " + ShQuote((t / "o2").string()) + " " +
                ShQuote((t / "h.bin").string()));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.output.find("partition boot, operation 0 (SOURCE_BSDIFF): corrupt patch: a control entry runs past"),
            std::string::npos)
      << r.output;
  EXPECT_TRUE(Files(t / "o2").empty());
}

// Operations far larger than the decoders' buffers: the output of a small blob is drained
// piece by piece after its input has all been read.
TEST(PayloadDumper, LargeOperationsOfEveryCodec) {
  TempDir t;
  std::string img;
  for (int i = 0; img.size() < 24u * 1024 * 1024; ++i) img += "block " + std::to_string(i % 977) + " of a large image\n";
  img.resize(24u * 1024 * 1024);
  pw::Payload p;
  p.parts = {pw::FullPartition("product", img, 4096, 1536)};  // 6 MiB operations
  WriteFile(t / "p.bin", pw::Serialize(p));
  auto r = Dump("--out " + ShQuote((t / "o").string()) + " " + ShQuote((t / "p.bin").string()));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(ReadFile(t / "o/product_a.img") == img);
}
