#include <gtest/gtest.h>

#include "image_kind.h"
#include "test_support.h"

using namespace orvex;
using namespace orvex::test;

namespace {

std::string Bytes(size_t size, size_t at, const std::string& sig) {
  std::string b(size, '\x55');
  b.replace(at, sig.size(), sig);
  return b;
}

}  // namespace

TEST(ParseHex, PrefixesBlanksAndCase) {
  EXPECT_EQ(ParseHex("0x438"), 0x438u);
  EXPECT_EQ(ParseHex("  $ 1f "), 0x1Fu);
  EXPECT_EQ(ParseHex("0X400"), 0x400u);
  EXPECT_EQ(ParseHex("0"), 0u);
  EXPECT_EQ(ParseHex("ffffffffffffffff"), 0xFFFFFFFFFFFFFFFFull);
}

TEST(DetectImageKind, TableOrderAndNonKinds) {
  TempDir t;
  auto kind = [&](const std::string& name, const std::string& bytes) {
    WriteFile(t / name, bytes);
    return DetectImageKind((t / name).string());
  };
  EXPECT_EQ(kind("empty", ""), "File_not_found");
  EXPECT_EQ(DetectImageKind((t / "missing").string()), "Invalid_Handle");
  EXPECT_EQ(DetectImageKind(t.str()), "Invalid_Handle");

  EXPECT_EQ(kind("sparse.img", Bytes(64, 0, "\x3A\xFF\x26\xED\x01")), "Sparse");
  // EROFS starts with zero bytes, but its row comes before the zero row.
  std::string erofs(2048, '\0');
  erofs.replace(0x400, 4, "\xE2\xE1\xF5\xE0");
  EXPECT_EQ(kind("e.img", erofs), "Erofs");
  // ext4 magic wins even when the first bytes are not zero.
  EXPECT_EQ(kind("x.img", Bytes(4096, 0x438, "\x53\xEF")), "Raw");
  EXPECT_EQ(kind("zeros.img", std::string(3, '\0')), "Raw");  // short file: missing bytes read as zero
  EXPECT_EQ(kind("a.bmp", "BM"), "bmp");
  EXPECT_EQ(kind("a.rar", Bytes(64, 0, "Rar!\x1A\x07")), "SevenZip");
  EXPECT_EQ(kind("a.7z", Bytes(64, 0, "7z\xBC\xAF\x27\x1C")), "SevenZip");
  EXPECT_EQ(kind("a.zip", Bytes(64, 0, "PK\x03\x04")), "Zip");
  EXPECT_EQ(kind("payload.bin", Bytes(64, 0, "CrAU")), "PayLoad");
  EXPECT_EQ(kind("a.pac", Bytes(64, 0, std::string("\x42\x00\x50\x00", 4))), "Pac");
  EXPECT_EQ(kind("logo.img", Bytes(64, 8, "AML_RES!")), "AmlLogo");
  EXPECT_EQ(kind("dtb.img", Bytes(64, 0, "AML_\x02")), "DtbMulti");
  EXPECT_EQ(kind("boot.img", Bytes(64, 0, "ANDROID!")), "BootRec");
  EXPECT_EQ(kind("text.txt", Bytes(64, 0, "hello")), "Signature not found");
  // A POSIX tar header carries its magic at offset 257.
  EXPECT_EQ(kind("a.bin", Bytes(1024, 257, "ustar")), "Tar");
}

TEST(DetectImageKind, RealSamples) {
  auto s = SamplesDir();
  if (!fs::exists(s)) GTEST_SKIP() << "samples folder not present";
  EXPECT_EQ(DetectImageKind((s / "sparse/kaitai_extended-headers.img").string()), "Sparse");
  EXPECT_EQ(DetectImageKind((s / "erofs/toolmanp_sample_4096.img").string()), "Erofs");
  EXPECT_EQ(DetectImageKind((s / "dtb/imhex_rpi_b_plus.dtb").string()), "DtbSingle");
  EXPECT_EQ(DetectImageKind((s / "amlogic_multidtb/jethome_j100_aml_dtb.PARTITION").string()), "DtbMulti");
  EXPECT_EQ(DetectImageKind((s / "amlogic_logo/khadas_vim_logo.img").string()), "AmlLogo");
  EXPECT_EQ(DetectImageKind((s / "rockchip_resource/tpm312_rk3399pro_resource_origin.img").string()), "RkRes");
  EXPECT_EQ(DetectImageKind((s / "bootimg/avbroot_boot_v2.img").string()), "BootRec");
  EXPECT_EQ(DetectImageKind((s / "bootimg/avbroot_vendor_boot_v4.img").string()), "BootRec");
  EXPECT_EQ(DetectImageKind((s / "payload/ue_full_payload.bin").string()), "PayLoad");
}
