#pragma once
// Spreadtrum/Unisoc PAC firmware: a 2124-byte header (UTF-16 names, file size, entry table
// position, magic and two CRC-16/ARC sums) and 2580-byte file entries pointing at the data.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace orvex::pac {

inline constexpr uint64_t kHeaderSize = 2124, kEntrySize = 2580;
inline constexpr uint32_t kMagic = 0xFFFAFFFAu;

// CRC-16/ARC: reflected 0xA001, initial value 0, no final inversion.
uint16_t Crc16(uint16_t crc, const void* data, size_t len);

struct Entry {
  std::string id, fileName;
  uint64_t offset = 0, size = 0;
  uint32_t fileFlag = 0;
};
struct Pac {
  std::string version, product, firmware;
  uint64_t size = 0;
  bool hasMagic = false;
  uint16_t crc1 = 0, crc2 = 0;
  std::vector<Entry> entries;
};

// UTF-16LE text of a fixed field up to its first NUL, as UTF-8.
std::string Utf16Field(const uint8_t* p, size_t units);

using Log = std::function<void(const std::string&)>;
// Checks the header and every entry against the file, extracts every file into dir (created when
// missing) and checks both CRCs while copying. On any failure the files written are removed.
void Extract(const std::string& pacPath, const std::string& dir, const Log& log);

}  // namespace orvex::pac
