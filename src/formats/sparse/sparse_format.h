#pragma once
// Android sparse image layout (libsparse file format version 1.0). All fields little-endian.
#include <cstdint>

namespace orvex::sparse {

inline constexpr uint32_t kMagic = 0xED26FF3Au;
inline constexpr uint16_t kMajorVersion = 1;
inline constexpr uint16_t kFileHeaderSize = 28;
inline constexpr uint16_t kChunkHeaderSize = 12;

inline constexpr uint16_t kChunkRaw = 0xCAC1;
inline constexpr uint16_t kChunkFill = 0xCAC2;
inline constexpr uint16_t kChunkDontCare = 0xCAC3;
inline constexpr uint16_t kChunkCrc32 = 0xCAC4;

#pragma pack(push, 1)
struct FileHeader {
  uint32_t magic;
  uint16_t major_version;
  uint16_t minor_version;
  uint16_t file_hdr_sz;
  uint16_t chunk_hdr_sz;
  uint32_t blk_sz;
  uint32_t total_blks;
  uint32_t total_chunks;
  uint32_t image_checksum;
};
struct ChunkHeader {
  uint16_t chunk_type;
  uint16_t reserved1;
  uint32_t chunk_sz;
  uint32_t total_sz;
};
#pragma pack(pop)
static_assert(sizeof(FileHeader) == 28);
static_assert(sizeof(ChunkHeader) == 12);

// True when the four bytes start a sparse image.
inline bool HasSparseMagic(const unsigned char* p) {
  return p[0] == 0x3A && p[1] == 0xFF && p[2] == 0x26 && p[3] == 0xED;
}

}  // namespace orvex::sparse
