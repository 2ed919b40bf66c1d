#pragma once
// Builds LP metadata the way lpmake lays it out: the super device's first logical sector after
// the metadata copies, groups and partitions in the order given, each partition's space taken
// first-fit from the free regions (each starting on the device alignment), so that the same
// inputs always give the same extents.
#include <cstdint>
#include <string>
#include <vector>

#include "lp/lp_metadata.h"

namespace orvex::lp {

struct DeviceSpec {
  std::string name;
  uint64_t size = 0;
  uint32_t alignment = 0;  // bytes; 0 = the logical block size
  uint32_t alignment_offset = 0;
};

class Builder {
 public:
  // devices[0] is the super device that holds the metadata. metadata_max_size is rounded up to a
  // sector multiple.
  bool Init(const std::vector<DeviceSpec>& devices, uint32_t metadata_max_size, uint32_t slot_count,
            uint32_t logical_block_size, std::string* error);
  bool AddGroup(const std::string& name, uint64_t maximum_size, std::string* error);
  bool AddPartition(const std::string& name, const std::string& group, uint32_t attributes, std::string* error);
  // Grows the partition (only growth is needed here) to size rounded up to the logical block size.
  bool ResizePartition(const std::string& name, uint64_t size, std::string* error);
  void SetHeaderFlags(uint32_t flags) { header_flags_ = flags; }
  // Marks every partition, every group but the default one and every block device slot-suffixed.
  void SetAutoSlotSuffixing() { auto_suffix_ = true; }

  Metadata Export() const;
  const Geometry& geometry() const { return geometry_; }
  uint64_t PartitionSize(const std::string& name) const;

 private:
  struct Part {
    std::string name;
    size_t group;
    uint32_t attributes;
    std::vector<Extent> extents;
    uint64_t Sectors() const;
  };
  Part* FindPart(const std::string& name);
  std::vector<BlockDevice> devices_;
  std::vector<Group> groups_;
  std::vector<Part> parts_;
  Geometry geometry_;
  uint32_t header_flags_ = 0;
  bool auto_suffix_ = false;
};

// Size of a device that just holds the given partitions ("--device-size=auto").
uint64_t AutoDeviceSize(uint32_t metadata_max_size, uint32_t slot_count, uint32_t alignment,
                        const std::vector<uint64_t>& partition_sizes, uint32_t logical_block_size);

// True for a name that may stand in the tables: 1 to 36 characters of [A-Za-z0-9_].
bool IsPlainName(const std::string& name);

}  // namespace orvex::lp
