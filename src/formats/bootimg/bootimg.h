#pragma once
// Android boot, recovery and vendor_boot images: the header, the parts it describes and where
// they lie. Every size, offset and count is checked against the file before it is used.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "bootimg/io.h"

namespace orvex::bootimg {

enum class ImageType { Boot, VendorBoot };

// What a vendor ramdisk table entry says about one ramdisk of a vendor_boot v4 image.
struct VendorRamdisk {
  uint32_t size = 0;
  uint32_t offset = 0;  // from the start of the vendor ramdisk section
  uint32_t type = 0;    // 0 none, 1 platform, 2 recovery, 3 dlkm
  std::string name;     // up to 32 bytes
  std::array<uint32_t, 16> board_id{};
};

// Every header field, whatever the version. Sizes describe the parts; the writer takes them
// from the part files.
struct Header {
  ImageType type = ImageType::Boot;
  uint32_t version = 0;
  // Boot v0 only: old Qualcomm images keep the size of a device-tree table after `second` in
  // the version slot.
  uint32_t legacy_dt_size = 0;
  uint32_t page_size = 2048;
  uint32_t kernel_addr = 0, ramdisk_addr = 0, second_addr = 0, tags_addr = 0;
  uint64_t dtb_addr = 0;
  uint32_t os_version = 0;  // packed version and patch level
  std::string name;         // board name, up to 16 bytes
  std::string cmdline;      // both command-line fields joined
  // v0 to v2: how many characters the first command-line field took before the rest went to
  // the extra field: 512 (field filled without a terminator) or 511.
  uint32_t cmdline_split = 511;
  std::array<uint8_t, 32> id{};
  uint32_t header_size = 0;
  std::array<uint32_t, 4> reserved{};  // boot v3/v4
  uint32_t kernel_size = 0, ramdisk_size = 0, second_size = 0, recovery_dtbo_size = 0, dtb_size = 0;
  uint64_t recovery_dtbo_offset = 0;
  uint32_t signature_size = 0;  // boot v4
  // vendor_boot
  uint32_t vendor_ramdisk_size = 0;
  uint32_t table_size = 0, table_entry_num = 0, table_entry_size = 0, bootconfig_size = 0;
  std::vector<VendorRamdisk> ramdisks;  // v4 table
};

// One region of the image file.
struct Part {
  std::string name;  // kernel, ramdisk, second, dt, recovery_dtbo, dtb, boot_signature,
                     // vendor_ramdisk, vendor_ramdisk_table, bootconfig
  uint64_t offset = 0;
  uint64_t size = 0;
};

constexpr size_t kMaxHeaderBytes = 4096;
constexpr uint32_t kMaxPageSize = 1u << 20;
constexpr uint32_t kVendorTableEntrySize = 108;

// Reads the header of an image of `file_size` bytes from its first bytes (at least
// min(file_size, kMaxHeaderBytes)), and checks that every part lies inside the file.
Header ParseHeader(const uint8_t* data, size_t len, uint64_t file_size);
// Reads the vendor ramdisk table of a vendor_boot v4 image into h.ramdisks.
void ReadVendorRamdiskTable(const File& f, Header& h);
// Where each non-empty part lies, in file order, computed from the header's sizes.
std::vector<Part> ListParts(const Header& h);
// The size of the image the header describes: header page(s) and every part, page-aligned.
uint64_t ImageSize(const Header& h);
uint32_t EffectivePageSize(const Header& h);
// The header block, `header pages` long, with the sizes and offsets of h.
std::vector<uint8_t> SerializeHeader(const Header& h);
// The vendor ramdisk table as written into the image.
std::vector<uint8_t> SerializeVendorTable(const Header& h);

// The `id` digest of a v0 to v2 image over its parts (null readers for absent parts).
// `dt_slot_always`: the current layout, which hashes a device-tree slot after `second` even when
// it is empty (4 zero bytes); otherwise the slot appears only when a device-tree table exists.
struct IdParts {
  Reader* kernel = nullptr;
  Reader* ramdisk = nullptr;
  Reader* second = nullptr;
  Reader* dt = nullptr;
  Reader* recovery_dtbo = nullptr;
  Reader* dtb = nullptr;
  uint32_t kernel_size = 0, ramdisk_size = 0, second_size = 0, dt_size = 0, recovery_dtbo_size = 0, dtb_size = 0;
};
std::array<uint8_t, 32> ComputeId(const IdParts& parts, uint32_t version, bool dt_slot_always);

// os_version packing: "A.B.C" and "YYYY-MM".
std::string OsVersionText(uint32_t packed);
std::string OsPatchLevelText(uint32_t packed);
// Throws on malformed text.
uint32_t PackOsVersion(const std::string& version, const std::string& patch_level);

uint64_t AlignUp(uint64_t v, uint64_t a);

}  // namespace orvex::bootimg
