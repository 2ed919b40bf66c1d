#pragma once
// Android dynamic-partition (LP) metadata: the in-memory model, its on-disk encoding (geometry,
// header and tables, little-endian, SHA-256 checksums) and the checks a reader applies to it.
#include <cstdint>
#include <string>
#include <vector>

namespace orvex::lp {

inline constexpr uint32_t kGeometryMagic = 0x616C4467;  // "gDla"
inline constexpr uint32_t kHeaderMagic = 0x414C5030;    // "0PLA"
inline constexpr uint32_t kGeometryStructSize = 52;
inline constexpr uint32_t kGeometrySize = 4096;        // one geometry block
inline constexpr uint64_t kReservedBytes = 4096;       // zero area before the primary geometry
inline constexpr uint32_t kSectorSize = 512;
inline constexpr uint16_t kMajorVersion = 10;
inline constexpr uint16_t kMaxMinorVersion = 2;
inline constexpr uint32_t kHeaderSizeV10_0 = 128;
inline constexpr uint32_t kHeaderSizeV10_2 = 256;
inline constexpr uint32_t kPartitionEntrySize = 52;
inline constexpr uint32_t kExtentEntrySize = 24;
inline constexpr uint32_t kGroupEntrySize = 48;
inline constexpr uint32_t kBlockDeviceEntrySize = 64;
inline constexpr size_t kNameSize = 36;
// Readers refuse larger metadata copies: nothing real comes near it, and it bounds what a
// hostile geometry can make us allocate.
inline constexpr uint32_t kMaxMetadataSize = 64u << 20;

// Partition attributes.
inline constexpr uint32_t kAttrReadonly = 0x1;
inline constexpr uint32_t kAttrSlotSuffixed = 0x2;
inline constexpr uint32_t kAttrUpdated = 0x4;
inline constexpr uint32_t kAttrDisabled = 0x8;
// Header flags.
inline constexpr uint32_t kHeaderFlagVirtualAB = 0x1;
// Group and block device flag.
inline constexpr uint32_t kFlagSlotSuffixed = 0x1;
// Extent targets.
inline constexpr uint32_t kTargetLinear = 0;
inline constexpr uint32_t kTargetZero = 1;

struct Geometry {
  uint32_t metadata_max_size = 0;
  uint32_t metadata_slot_count = 0;
  uint32_t logical_block_size = 0;
};

struct Partition {
  std::string name;
  uint32_t attributes = 0;
  uint32_t first_extent_index = 0;
  uint32_t num_extents = 0;
  uint32_t group_index = 0;
};

struct Extent {
  uint64_t num_sectors = 0;
  uint32_t target_type = kTargetLinear;
  uint64_t target_data = 0;  // first physical sector for a linear extent
  uint32_t target_source = 0;
};

struct Group {
  std::string name;
  uint32_t flags = 0;
  uint64_t maximum_size = 0;
};

struct BlockDevice {
  uint64_t first_logical_sector = 0;
  uint32_t alignment = 0;
  uint32_t alignment_offset = 0;
  uint64_t size = 0;
  std::string name;
  uint32_t flags = 0;
};

struct Metadata {
  Geometry geometry;
  uint16_t major_version = kMajorVersion;
  uint16_t minor_version = 0;
  uint32_t header_size = kHeaderSizeV10_0;
  uint32_t tables_size = 0;  // as read; the writer computes its own
  uint32_t flags = 0;        // header flags (v10.2 only)
  std::vector<Partition> partitions;
  std::vector<Extent> extents;
  std::vector<Group> groups;
  std::vector<BlockDevice> block_devices;
};

// Bytes from the start of a full super device to the end of its metadata copies.
uint64_t MetadataAreaEnd(const Geometry& g);
// Byte offsets of the metadata copies of a slot in a full super image.
uint64_t PrimaryMetadataOffset(const Geometry& g, uint32_t slot);
uint64_t BackupMetadataOffset(const Geometry& g, uint32_t slot);

// Reads a geometry block (at least 52 bytes). False with *error on a bad magic, size, checksum
// or value.
bool ParseGeometry(const uint8_t* p, size_t len, Geometry* g, std::string* error);
// The 4096-byte geometry block with its checksum.
std::vector<uint8_t> SerializeGeometry(const Geometry& g);

// Parses one metadata copy: p holds the header and tables (len may be longer). Applies the
// checks of a careful reader: versions, sizes, both checksums, table bounds, indexes, extents
// inside their device and not overlapping, the metadata area before the first logical sector.
bool ParseMetadata(const uint8_t* p, size_t len, const Geometry& g, Metadata* m, std::string* error);
// The bytes needed before ParseMetadata can run: the header size from the first 128 bytes and
// the tables size. False when the first bytes are not a usable header.
bool MetadataBlobSize(const uint8_t* p, size_t len, const Geometry& g, uint64_t* size, std::string* error);
// Header and tables, with both checksums; the header size follows the minor version.
std::vector<uint8_t> SerializeMetadata(const Metadata& m);

// The version a writer gives the metadata: 10.2 when a header flag is set, 10.1 when a
// partition is updated or disabled, 10.0 otherwise (kept at 10.2 when it already was).
void SetWriterVersion(Metadata* m);

// Names of slot s as suffix: "_a", "_b", ...
std::string SlotSuffix(uint32_t slot);
// Appends the slot suffix to every slot-suffixed partition, group and block device name and
// clears those flags, as a reader of one slot sees them.
void ApplySlotSuffixes(Metadata* m, uint32_t slot);

// Text forms used by lpdump.
std::string AttributesText(uint32_t attrs);
std::string HeaderFlagsText(uint32_t flags);
std::string SlotSuffixedFlagText(uint32_t flags);

}  // namespace orvex::lp
