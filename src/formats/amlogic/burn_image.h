#pragma once
// The Amlogic burn image: a 64-byte header (CRC, table version, magic, size, alignment, count),
// an item table (128-byte entries in version 1, 576-byte entries in version 2) and the items'
// data. Partition items carry a VERIFY item with the SHA-1 of their data. Unpacked, every item
// becomes a file {sub}.{main} beside an image.cfg that lists them; packing reads that list back.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace orvex::aml {

inline constexpr uint32_t kBurnMagic = 0x27B51956;
inline constexpr size_t kBurnHeaderSize = 64;
inline constexpr uint32_t kBurnMaxItems = 4096;
inline constexpr uint32_t kFileTypeNormal = 0, kFileTypeSparse = 0xFE, kFileTypeUbi = 0x1FE, kFileTypeUbifs = 0x2FE;

struct BurnItem {
  uint32_t id = 0;
  uint32_t fileType = 0;
  uint64_t currentOffset = 0;
  uint64_t offset = 0;  // absolute
  uint64_t size = 0;
  std::string mainType, subType;
  uint32_t verify = 0;
  uint16_t isBackup = 0;
  uint16_t backupId = 0;
  bool IsVerifyItem() const { return mainType == "VERIFY"; }
  std::string FileName() const { return subType + "." + mainType; }
};

struct BurnTable {
  uint32_t crc = 0;
  uint32_t version = 2;
  uint64_t imageSize = 0;
  uint32_t align = 4;
  std::vector<BurnItem> items;
};

inline size_t BurnEntrySize(uint32_t version) { return version == 1 ? 128 : 576; }
inline size_t BurnTypeFieldSize(uint32_t version) { return version == 1 ? 32 : 256; }

// Parses the header and item table from the first bytes of an image of fileSize bytes and checks
// every count, offset, size, name and VERIFY pairing against the file. `data` must hold at least
// the header; when it is too short for the table, *needed tells how many bytes are wanted.
bool ParseBurnTable(const uint8_t* data, size_t len, uint64_t fileSize, BurnTable* table, size_t* needed,
                    std::string* error);

// The item list that packing reads: [LIST_NORMAL] and [LIST_VERIFY] lines of file, main_type,
// sub_type and an optional file_type, plus the [PACK_LAYOUT] that unpacking records so that an
// unedited folder packs back into the same bytes (table version, alignment, item order).
struct BurnCfgEntry {
  std::string file, mainType, subType, fileType;
  bool verify = false;
  int line = 0;
};
struct BurnConfig {
  std::vector<BurnCfgEntry> entries;
  uint32_t version = 2;
  uint32_t align = 4;
  bool dedup = true;
  std::vector<std::string> order;  // item names {sub}.{main} in table order
};
bool ParseBurnConfig(std::string_view text, BurnConfig* cfg, std::string* error);
std::string FormatBurnConfig(const BurnConfig& cfg);

using Progress = std::function<void(const std::string&)>;

// Unpacks image into dir (created when missing): one file per item and image.cfg. The header CRC
// and every VERIFY hash are checked; on any failure nothing is left of what was written.
bool UnpackBurnImage(const std::string& image, const std::string& dir, const Progress& progress, std::string* error);
// Packs the items that cfgPath lists (files relative to dir) into out. The image is written
// beside out under a temporary name and takes its name only when complete.
bool PackBurnImage(const std::string& cfgPath, const std::string& dir, const std::string& out,
                   const Progress& progress, std::string* error);

}  // namespace orvex::aml
