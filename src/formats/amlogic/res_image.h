#pragma once
// The Amlogic resource image ("AML_RES!", logo.img): a 64-byte header (CRC, version, magic,
// size, item count, alignment) and items with 64-byte headers. Version 2 keeps all item headers
// together before the data, version 1 puts each header right before its data. Unpacked, every
// item becomes a file (a BMP picture gets ".bmp") and items.cfg records the names and order.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "burn_image.h"  // Progress

namespace orvex::aml {

inline constexpr char kResMagic[] = "AML_RES!";
inline constexpr uint32_t kResItemMagic = 0x27051956;
inline constexpr size_t kResHeaderSize = 64, kResItemHeaderSize = 64, kResNameSize = 32;
inline constexpr uint32_t kResMaxItems = 255;
inline constexpr char kResListName[] = "items.cfg";

struct ResItem {
  std::string name;
  uint32_t start = 0, size = 0;
  uint32_t headerAt = 0;
};
struct ResImage {
  uint32_t crc = 0;
  int32_t version = 2;
  uint32_t imageSize = 0;
  uint32_t align = 16;
  std::vector<ResItem> items;
};

// Space an item's data takes: whole alignment units, with a full unit after data that already
// ends on one.
inline uint64_t ResPadded(uint64_t size, uint32_t align) { return size / align * align + align; }

// Parses the header and the item headers of an image held in memory; checks every count,
// offset, size and name against its length.
bool ParseResImageBytes(const uint8_t* data, size_t len, ResImage* image, std::string* error);

// The file an item is unpacked to: its name, with ".bmp" for a BMP picture named without it.
std::string ResFileName(const std::string& itemName, const uint8_t* data, size_t len);

bool UnpackResImage(const std::string& image, const std::string& dir, const Progress& progress, std::string* error);
// Packs the files of dir (in the order items.cfg records, then any new ones by name) into out,
// written under a temporary name first.
bool PackResImage(const std::string& dir, const std::string& out, const Progress& progress, std::string* error);

}  // namespace orvex::aml
