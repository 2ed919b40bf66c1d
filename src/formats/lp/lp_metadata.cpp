#include "lp/lp_metadata.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "digest/sha256.h"

namespace orvex::lp {

using digest::Sha256Of;

namespace {

uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t Get32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
uint64_t Get64(const uint8_t* p) { return uint64_t(Get32(p)) | uint64_t(Get32(p + 4)) << 32; }
void Put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
void Put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}

// A 36-byte name: up to the first NUL when the last byte is NUL, otherwise all 36 bytes.
std::string GetName(const uint8_t* p) {
  size_t n = kNameSize;
  if (p[kNameSize - 1] == 0) n = strnlen(reinterpret_cast<const char*>(p), kNameSize);
  return std::string(reinterpret_cast<const char*>(p), n);
}
void PutName(uint8_t* p, const std::string& name) {
  memset(p, 0, kNameSize);
  memcpy(p, name.data(), std::min(name.size(), kNameSize));
}

struct TableDesc {
  uint32_t offset, num_entries, entry_size;
};
TableDesc GetDesc(const uint8_t* p) { return {Get32(p), Get32(p + 4), Get32(p + 8)}; }

bool Fail(std::string* error, const std::string& what) {
  if (error) *error = what;
  return false;
}

// The fuzz build accepts wrong checksums, so that mutated tables reach the structural checks.
#ifdef ORVEX_LP_FUZZING
constexpr bool kCheckSums = false;
#else
constexpr bool kCheckSums = true;
#endif

}  // namespace

uint64_t MetadataAreaEnd(const Geometry& g) {
  return kReservedBytes + 2 * (uint64_t(kGeometrySize) + uint64_t(g.metadata_max_size) * g.metadata_slot_count);
}
uint64_t PrimaryMetadataOffset(const Geometry& g, uint32_t slot) {
  return kReservedBytes + 2 * uint64_t(kGeometrySize) + uint64_t(g.metadata_max_size) * slot;
}
uint64_t BackupMetadataOffset(const Geometry& g, uint32_t slot) {
  return PrimaryMetadataOffset(g, 0) + uint64_t(g.metadata_max_size) * g.metadata_slot_count +
         uint64_t(g.metadata_max_size) * slot;
}

bool ParseGeometry(const uint8_t* p, size_t len, Geometry* g, std::string* error) {
  if (len < kGeometryStructSize) return Fail(error, "geometry block is truncated");
  if (Get32(p) != kGeometryMagic) return Fail(error, "no LP geometry magic");
  const uint32_t struct_size = Get32(p + 4);
  if (struct_size != kGeometryStructSize) return Fail(error, "geometry has an unknown size " + std::to_string(struct_size));
  uint8_t copy[kGeometryStructSize];
  memcpy(copy, p, sizeof(copy));
  memset(copy + 8, 0, 32);
  if (kCheckSums && Sha256Of(copy, sizeof(copy)) != [&] {
        std::array<uint8_t, 32> a;
        memcpy(a.data(), p + 8, 32);
        return a;
      }())
    return Fail(error, "geometry checksum does not match");
  Geometry r;
  r.metadata_max_size = Get32(p + 40);
  r.metadata_slot_count = Get32(p + 44);
  r.logical_block_size = Get32(p + 48);
  if (r.metadata_slot_count == 0) return Fail(error, "geometry has no metadata slots");
  if (r.metadata_max_size == 0 || r.metadata_max_size % kSectorSize != 0)
    return Fail(error, "geometry has an invalid metadata size " + std::to_string(r.metadata_max_size));
  if (r.metadata_max_size > kMaxMetadataSize)
    return Fail(error, "geometry has an absurd metadata size " + std::to_string(r.metadata_max_size));
  if (r.logical_block_size == 0 || r.logical_block_size % kSectorSize != 0)
    return Fail(error, "geometry has an invalid logical block size " + std::to_string(r.logical_block_size));
  *g = r;
  return true;
}

std::vector<uint8_t> SerializeGeometry(const Geometry& g) {
  std::vector<uint8_t> out(kGeometrySize, 0);
  Put32(&out[0], kGeometryMagic);
  Put32(&out[4], kGeometryStructSize);
  Put32(&out[40], g.metadata_max_size);
  Put32(&out[44], g.metadata_slot_count);
  Put32(&out[48], g.logical_block_size);
  auto sum = Sha256Of(out.data(), kGeometryStructSize);
  memcpy(&out[8], sum.data(), 32);
  return out;
}

bool MetadataBlobSize(const uint8_t* p, size_t len, const Geometry& g, uint64_t* size, std::string* error) {
  if (len < kHeaderSizeV10_0) return Fail(error, "metadata header is truncated");
  if (Get32(p) != kHeaderMagic) return Fail(error, "no LP metadata header magic");
  const uint16_t major = Get16(p + 4), minor = Get16(p + 6);
  if (major != kMajorVersion || minor > kMaxMinorVersion)
    return Fail(error, "unsupported metadata version " + std::to_string(major) + "." + std::to_string(minor));
  const uint32_t header_size = Get32(p + 8);
  const uint32_t expected = minor < 2 ? kHeaderSizeV10_0 : kHeaderSizeV10_2;
  if (header_size != expected) return Fail(error, "metadata header size " + std::to_string(header_size) + " does not match its version");
  const uint32_t tables_size = Get32(p + 44);
  if (tables_size > g.metadata_max_size)
    return Fail(error, "metadata tables (" + std::to_string(tables_size) + " bytes) exceed the metadata size");
  *size = uint64_t(header_size) + tables_size;
  return true;
}

bool ParseMetadata(const uint8_t* p, size_t len, const Geometry& g, Metadata* m, std::string* error) {
  uint64_t need = 0;
  if (!MetadataBlobSize(p, len, g, &need, error)) return false;
  if (len < need) return Fail(error, "metadata is truncated");
  Metadata r;
  r.geometry = g;
  r.major_version = Get16(p + 4);
  r.minor_version = Get16(p + 6);
  r.header_size = Get32(p + 8);
  r.tables_size = Get32(p + 44);
  {
    std::vector<uint8_t> hdr(p, p + r.header_size);
    memset(&hdr[12], 0, 32);
    auto sum = Sha256Of(hdr.data(), hdr.size());
    if (kCheckSums && memcmp(sum.data(), p + 12, 32) != 0) return Fail(error, "metadata header checksum does not match");
  }
  r.flags = r.header_size >= kHeaderSizeV10_2 ? Get32(p + 128) : 0;
  const uint8_t* tables = p + r.header_size;
  {
    auto sum = Sha256Of(tables, r.tables_size);
    if (kCheckSums && memcmp(sum.data(), p + 48, 32) != 0) return Fail(error, "metadata tables checksum does not match");
  }
  const TableDesc descs[4] = {GetDesc(p + 80), GetDesc(p + 92), GetDesc(p + 104), GetDesc(p + 116)};
  const uint32_t sizes[4] = {kPartitionEntrySize, kExtentEntrySize, kGroupEntrySize, kBlockDeviceEntrySize};
  const char* names[4] = {"partition", "extent", "group", "block device"};
  for (int i = 0; i < 4; ++i) {
    const TableDesc& d = descs[i];
    if (d.entry_size != sizes[i])
      return Fail(error, std::string(names[i]) + " table has an entry size of " + std::to_string(d.entry_size));
    if (uint64_t(d.offset) + uint64_t(d.num_entries) * d.entry_size > r.tables_size)
      return Fail(error, std::string(names[i]) + " table lies outside the metadata tables");
  }
  for (uint32_t i = 0; i < descs[0].num_entries; ++i) {
    const uint8_t* e = tables + descs[0].offset + uint64_t(i) * kPartitionEntrySize;
    Partition pt{GetName(e), Get32(e + 36), Get32(e + 40), Get32(e + 44), Get32(e + 48)};
    r.partitions.push_back(pt);
  }
  for (uint32_t i = 0; i < descs[1].num_entries; ++i) {
    const uint8_t* e = tables + descs[1].offset + uint64_t(i) * kExtentEntrySize;
    r.extents.push_back({Get64(e), Get32(e + 8), Get64(e + 12), Get32(e + 20)});
  }
  for (uint32_t i = 0; i < descs[2].num_entries; ++i) {
    const uint8_t* e = tables + descs[2].offset + uint64_t(i) * kGroupEntrySize;
    r.groups.push_back({GetName(e), Get32(e + 36), Get64(e + 40)});
  }
  for (uint32_t i = 0; i < descs[3].num_entries; ++i) {
    const uint8_t* e = tables + descs[3].offset + uint64_t(i) * kBlockDeviceEntrySize;
    r.block_devices.push_back({Get64(e), Get32(e + 8), Get32(e + 12), Get64(e + 16), GetName(e + 24), Get32(e + 60)});
  }

  const uint32_t attr_mask = r.minor_version >= 1 ? 0xF : 0x3;
  for (const Partition& pt : r.partitions) {
    if (pt.attributes & ~attr_mask) return Fail(error, "partition " + pt.name + " has unknown attributes");
    if (uint64_t(pt.first_extent_index) + pt.num_extents > r.extents.size())
      return Fail(error, "partition " + pt.name + " refers to extents past the extent table");
    if (pt.group_index >= r.groups.size()) return Fail(error, "partition " + pt.name + " refers to a missing group");
  }
  if (r.block_devices.empty()) return Fail(error, "metadata has no block device");
  // No partition is larger than all block devices together (zero extents included): sizes
  // are multiplied and summed by every reader, and nothing real comes near.
  uint64_t all_devices = 0;
  for (const BlockDevice& d : r.block_devices) all_devices = d.size > UINT64_MAX - all_devices ? UINT64_MAX : all_devices + d.size;
  for (const Partition& pt : r.partitions) {
    uint64_t sectors = 0;
    for (uint32_t i = 0; i < pt.num_extents; ++i) {
      const uint64_t n = r.extents[uint64_t(pt.first_extent_index) + i].num_sectors;
      if (n > all_devices / kSectorSize - std::min(sectors, all_devices / kSectorSize))
        return Fail(error, "partition " + pt.name + " is larger than its block devices");
      sectors += n;
    }
  }
  const BlockDevice& super = r.block_devices[0];
  if (super.first_logical_sector > UINT64_MAX / kSectorSize || MetadataAreaEnd(g) > super.first_logical_sector * kSectorSize)
    return Fail(error, "the first logical sector lies inside the metadata area");
  // Every linear extent lies between its device's first logical sector and its end, and no two
  // overlap: a table that breaks this would make an unpack read metadata as data or a flash
  // write one partition over another.
  struct Span {
    uint32_t dev;
    uint64_t start, end;
  };
  std::vector<Span> spans;
  for (const Extent& e : r.extents) {
    if (e.target_type == kTargetZero) continue;
    if (e.target_type != kTargetLinear) return Fail(error, "extent has an unknown target type " + std::to_string(e.target_type));
    if (e.target_source >= r.block_devices.size()) return Fail(error, "extent refers to a missing block device");
    const BlockDevice& d = r.block_devices[e.target_source];
    const uint64_t dev_end = d.size / kSectorSize;
    if (e.target_data < d.first_logical_sector || e.target_data > dev_end || e.num_sectors > dev_end - e.target_data)
      return Fail(error, "extent at sector " + std::to_string(e.target_data) + " lies outside block device " + d.name);
    spans.push_back({e.target_source, e.target_data, e.target_data + e.num_sectors});
  }
  std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) {
    return a.dev != b.dev ? a.dev < b.dev : a.start < b.start;
  });
  for (size_t i = 1; i < spans.size(); ++i)
    if (spans[i].dev == spans[i - 1].dev && spans[i].start < spans[i - 1].end)
      return Fail(error, "extents overlap at sector " + std::to_string(spans[i].start));
  *m = std::move(r);
  return true;
}

void SetWriterVersion(Metadata* m) {
  uint16_t minor = 0;
  for (const Partition& p : m->partitions)
    if (p.attributes & (kAttrUpdated | kAttrDisabled)) minor = 1;
  if (m->flags != 0 || m->minor_version >= 2) minor = 2;
  m->major_version = kMajorVersion;
  m->minor_version = minor;
  m->header_size = minor >= 2 ? kHeaderSizeV10_2 : kHeaderSizeV10_0;
}

std::vector<uint8_t> SerializeMetadata(const Metadata& m) {
  const uint32_t np = uint32_t(m.partitions.size()), ne = uint32_t(m.extents.size()), ng = uint32_t(m.groups.size()),
                 nb = uint32_t(m.block_devices.size());
  const uint32_t off_p = 0, off_e = off_p + np * kPartitionEntrySize, off_g = off_e + ne * kExtentEntrySize,
                 off_b = off_g + ng * kGroupEntrySize, tables_size = off_b + nb * kBlockDeviceEntrySize;
  std::vector<uint8_t> out(m.header_size + tables_size, 0);
  uint8_t* t = out.data() + m.header_size;
  for (uint32_t i = 0; i < np; ++i) {
    uint8_t* e = t + off_p + i * kPartitionEntrySize;
    const Partition& p = m.partitions[i];
    PutName(e, p.name);
    Put32(e + 36, p.attributes);
    Put32(e + 40, p.first_extent_index);
    Put32(e + 44, p.num_extents);
    Put32(e + 48, p.group_index);
  }
  for (uint32_t i = 0; i < ne; ++i) {
    uint8_t* e = t + off_e + i * kExtentEntrySize;
    const Extent& x = m.extents[i];
    Put64(e, x.num_sectors);
    Put32(e + 8, x.target_type);
    Put64(e + 12, x.target_data);
    Put32(e + 20, x.target_source);
  }
  for (uint32_t i = 0; i < ng; ++i) {
    uint8_t* e = t + off_g + i * kGroupEntrySize;
    const Group& g = m.groups[i];
    PutName(e, g.name);
    Put32(e + 36, g.flags);
    Put64(e + 40, g.maximum_size);
  }
  for (uint32_t i = 0; i < nb; ++i) {
    uint8_t* e = t + off_b + i * kBlockDeviceEntrySize;
    const BlockDevice& d = m.block_devices[i];
    Put64(e, d.first_logical_sector);
    Put32(e + 8, d.alignment);
    Put32(e + 12, d.alignment_offset);
    Put64(e + 16, d.size);
    PutName(e + 24, d.name);
    Put32(e + 60, d.flags);
  }
  uint8_t* h = out.data();
  Put32(h, kHeaderMagic);
  Put16(h + 4, m.major_version);
  Put16(h + 6, m.minor_version);
  Put32(h + 8, m.header_size);
  Put32(h + 44, tables_size);
  const uint32_t descs[4][3] = {{off_p, np, kPartitionEntrySize},
                                {off_e, ne, kExtentEntrySize},
                                {off_g, ng, kGroupEntrySize},
                                {off_b, nb, kBlockDeviceEntrySize}};
  for (int i = 0; i < 4; ++i)
    for (int k = 0; k < 3; ++k) Put32(h + 80 + 12 * i + 4 * k, descs[i][k]);
  if (m.header_size >= kHeaderSizeV10_2) Put32(h + 128, m.flags);
  auto tsum = Sha256Of(t, tables_size);
  memcpy(h + 48, tsum.data(), 32);
  auto hsum = Sha256Of(h, m.header_size);
  memcpy(h + 12, hsum.data(), 32);
  return out;
}

std::string SlotSuffix(uint32_t slot) {
  if (slot < 26) return std::string("_") + char('a' + slot);
  return "_" + std::to_string(slot);
}

void ApplySlotSuffixes(Metadata* m, uint32_t slot) {
  const std::string suffix = SlotSuffix(slot);
  for (Partition& p : m->partitions)
    if (p.attributes & kAttrSlotSuffixed) {
      p.name += suffix;
      p.attributes &= ~kAttrSlotSuffixed;
    }
  for (Group& g : m->groups)
    if (g.flags & kFlagSlotSuffixed) {
      g.name += suffix;
      g.flags &= ~kFlagSlotSuffixed;
    }
  for (BlockDevice& d : m->block_devices)
    if (d.flags & kFlagSlotSuffixed) {
      d.name += suffix;
      d.flags &= ~kFlagSlotSuffixed;
    }
}

namespace {
std::string JoinFlags(const std::vector<std::string>& names) {
  if (names.empty()) return "none";
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : ",") + n;
  return out;
}
}  // namespace

std::string AttributesText(uint32_t attrs) {
  std::vector<std::string> n;
  if (attrs & kAttrReadonly) n.push_back("readonly");
  if (attrs & kAttrSlotSuffixed) n.push_back("slot-suffixed");
  if (attrs & kAttrUpdated) n.push_back("updated");
  if (attrs & kAttrDisabled) n.push_back("disabled");
  return JoinFlags(n);
}

std::string HeaderFlagsText(uint32_t flags) {
  std::vector<std::string> n;
  if (flags & kHeaderFlagVirtualAB) n.push_back("virtual_ab_device");
  for (int i = 1; i < 32; ++i)
    if (flags & (1u << i)) n.push_back("unknown_flag_bit_" + std::to_string(i));
  return JoinFlags(n);
}

std::string SlotSuffixedFlagText(uint32_t flags) {
  std::vector<std::string> n;
  if (flags & kFlagSlotSuffixed) n.push_back("slot-suffixed");
  return JoinFlags(n);
}

}  // namespace orvex::lp
