#include "lp/lp_builder.h"

#include <algorithm>

namespace orvex::lp {

namespace {

uint64_t AlignUp(uint64_t v, uint64_t a) { return a == 0 ? v : (v + a - 1) / a * a; }

bool Fail(std::string* error, const std::string& what) {
  *error = what;
  return false;
}

}  // namespace

bool IsPlainName(const std::string& name) {
  if (name.empty() || name.size() > kNameSize) return false;
  for (char c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
  return true;
}

uint64_t Builder::Part::Sectors() const {
  uint64_t s = 0;
  for (const Extent& e : extents) s += e.num_sectors;
  return s;
}

bool Builder::Init(const std::vector<DeviceSpec>& devices, uint32_t metadata_max_size, uint32_t slot_count,
                   uint32_t logical_block_size, std::string* error) {
  if (devices.empty()) return Fail(error, "no block device given");
  if (metadata_max_size == 0 || slot_count == 0) return Fail(error, "Invalid metadata parameters.");
  if (logical_block_size == 0 || logical_block_size % kSectorSize != 0)
    return Fail(error, "the block size " + std::to_string(logical_block_size) + " is not a multiple of 512");
  const uint64_t max_size = AlignUp(metadata_max_size, kSectorSize);
  if (max_size > kMaxMetadataSize) return Fail(error, "the metadata size " + std::to_string(max_size) + " is too large");
  geometry_ = {uint32_t(max_size), slot_count, logical_block_size};
  devices_.clear();
  for (size_t i = 0; i < devices.size(); ++i) {
    const DeviceSpec& s = devices[i];
    if (!IsPlainName(s.name)) return Fail(error, "invalid block device name '" + s.name + "'");
    for (const BlockDevice& d : devices_)
      if (d.name == s.name) return Fail(error, "block device " + s.name + " is given twice");
    if (s.alignment % kSectorSize != 0 || s.alignment_offset % kSectorSize != 0)
      return Fail(error, "alignment of block device " + s.name + " is not a multiple of 512");
    const uint64_t align = s.alignment ? s.alignment : logical_block_size;
    const uint64_t reserved = i == 0 ? MetadataAreaEnd(geometry_) : kSectorSize;
    const uint64_t first = AlignUp(reserved, align);
    if (s.size < first + logical_block_size)
      return Fail(error, "block device " + s.name + " (" + std::to_string(s.size) + " bytes) is too small: it needs at least " +
                             std::to_string(first + logical_block_size) + " bytes");
    devices_.push_back({first / kSectorSize, s.alignment, s.alignment_offset, s.size, s.name, 0});
  }
  groups_ = {{"default", 0, 0}};
  parts_.clear();
  return true;
}

bool Builder::AddGroup(const std::string& name, uint64_t maximum_size, std::string* error) {
  if (!IsPlainName(name)) return Fail(error, "invalid group name '" + name + "'");
  for (const Group& g : groups_)
    if (g.name == name) return Fail(error, "group " + name + " is given twice");
  groups_.push_back({name, 0, maximum_size});
  return true;
}

bool Builder::AddPartition(const std::string& name, const std::string& group, uint32_t attributes, std::string* error) {
  if (!IsPlainName(name)) return Fail(error, "invalid partition name '" + name + "'");
  if (FindPart(name)) return Fail(error, "partition " + name + " is given twice");
  size_t gi = groups_.size();
  for (size_t i = 0; i < groups_.size(); ++i)
    if (groups_[i].name == group) gi = i;
  if (gi == groups_.size()) return Fail(error, "partition " + name + " names an unknown group " + group);
  parts_.push_back({name, gi, attributes, {}});
  return true;
}

Builder::Part* Builder::FindPart(const std::string& name) {
  for (Part& p : parts_)
    if (p.name == name) return &p;
  return nullptr;
}

uint64_t Builder::PartitionSize(const std::string& name) const {
  for (const Part& p : parts_)
    if (p.name == name) return p.Sectors() * kSectorSize;
  return 0;
}

bool Builder::ResizePartition(const std::string& name, uint64_t size, std::string* error) {
  Part* part = FindPart(name);
  if (!part) return Fail(error, "unknown partition " + name);
  const uint64_t bs = geometry_.logical_block_size;
  if (size > UINT64_MAX - bs) return Fail(error, "partition " + name + " has an absurd size");
  const uint64_t aligned = AlignUp(size, bs);
  const uint64_t have = part->Sectors() * kSectorSize;
  if (aligned <= have) return true;
  const uint64_t needed_bytes = aligned - have;

  const Group& group = groups_[part->group];
  if (group.maximum_size > 0) {
    uint64_t used = 0;
    for (const Part& p : parts_)
      if (p.group == part->group) used += p.Sectors() * kSectorSize;
    if (used + needed_bytes > group.maximum_size)
      return Fail(error, "Partition " + name + " does not fit group " + group.name + ": it needs " +
                             std::to_string(needed_bytes) + " bytes, the group has " +
                             std::to_string(group.maximum_size > used ? group.maximum_size - used : 0) + " of " +
                             std::to_string(group.maximum_size) + " bytes free, " +
                             std::to_string(used + needed_bytes - group.maximum_size) + " bytes too many");
  }

  // Free regions of every device, in device and sector order.
  struct Region {
    uint32_t dev;
    uint64_t start, end;  // sectors
  };
  std::vector<Region> regions;
  const uint64_t sectors_per_block = bs / kSectorSize;
  for (uint32_t d = 0; d < devices_.size(); ++d) {
    const BlockDevice& dev = devices_[d];
    const uint64_t align = (dev.alignment ? dev.alignment : bs) / kSectorSize;
    std::vector<std::pair<uint64_t, uint64_t>> used;
    for (const Part& p : parts_)
      for (const Extent& e : p.extents)
        if (e.target_type == kTargetLinear && e.target_source == d) used.push_back({e.target_data, e.target_data + e.num_sectors});
    std::sort(used.begin(), used.end());
    uint64_t first = dev.first_logical_sector;
    const uint64_t last = dev.size / kSectorSize;
    auto add = [&](uint64_t s, uint64_t e) {
      // Whole blocks only.
      const uint64_t len = (e - s) / sectors_per_block * sectors_per_block;
      if (len > 0) regions.push_back({d, s, s + len});
    };
    for (const auto& [s, e] : used) {
      if (first < s) add(first, s);
      first = std::max(first, AlignUp(e, align));
    }
    if (first < last) add(first, last);
  }

  uint64_t needed = needed_bytes / kSectorSize;
  for (const Region& r : regions) {
    if (needed == 0) break;
    const uint64_t take = std::min(needed, r.end - r.start);
    if (!part->extents.empty()) {
      Extent& last = part->extents.back();
      if (last.target_type == kTargetLinear && last.target_source == r.dev && last.target_data + last.num_sectors == r.start) {
        last.num_sectors += take;
        needed -= take;
        continue;
      }
    }
    part->extents.push_back({take, kTargetLinear, r.start, r.dev});
    needed -= take;
  }
  if (needed > 0) {
    // Undo nothing: the caller stops on the error. Report the shortfall in bytes.
    return Fail(error, "Not enough space on device for partition " + name + " with size " + std::to_string(aligned) +
                           ": " + std::to_string(needed * kSectorSize) + " bytes short");
  }
  return true;
}

Metadata Builder::Export() const {
  Metadata m;
  m.geometry = geometry_;
  m.flags = header_flags_;
  m.groups = groups_;
  m.block_devices = devices_;
  for (const Part& p : parts_) {
    Partition out{p.name, p.attributes, uint32_t(m.extents.size()), uint32_t(p.extents.size()), uint32_t(p.group)};
    if (auto_suffix_) out.attributes |= kAttrSlotSuffixed;
    for (const Extent& e : p.extents) m.extents.push_back(e);
    m.partitions.push_back(out);
  }
  if (auto_suffix_) {
    for (size_t i = 1; i < m.groups.size(); ++i) m.groups[i].flags |= kFlagSlotSuffixed;
    for (BlockDevice& d : m.block_devices) d.flags |= kFlagSlotSuffixed;
  }
  m.minor_version = 0;
  SetWriterVersion(&m);
  const std::vector<uint8_t> blob = SerializeMetadata(m);
  m.tables_size = uint32_t(blob.size() - m.header_size);
  return m;
}

uint64_t AutoDeviceSize(uint32_t metadata_max_size, uint32_t slot_count, uint32_t alignment,
                        const std::vector<uint64_t>& partition_sizes, uint32_t logical_block_size) {
  Geometry g{uint32_t(AlignUp(metadata_max_size, kSectorSize)), slot_count, logical_block_size};
  const uint64_t align = alignment ? alignment : logical_block_size;
  uint64_t size = AlignUp(MetadataAreaEnd(g), align) + align * partition_sizes.size();
  for (uint64_t s : partition_sizes) size += AlignUp(s, logical_block_size);
  return size;
}

}  // namespace orvex::lp
