#include "lp/lp_dump.h"

#include <algorithm>
#include <tuple>

namespace orvex::lp {

namespace {
const char kSeparator[] = "------------------------\n";

std::string DeviceName(const Metadata& m, uint32_t index) {
  return index < m.block_devices.size() ? m.block_devices[index].name : "?";
}
}  // namespace

std::string DumpText(const Metadata& m) {
  std::string o;
  o += "Metadata version: " + std::to_string(m.major_version) + "." + std::to_string(m.minor_version) + "\n";
  o += "Metadata size: " + std::to_string(uint64_t(m.header_size) + m.tables_size) + " bytes\n";
  o += "Metadata max size: " + std::to_string(m.geometry.metadata_max_size) + " bytes\n";
  o += "Metadata slot count: " + std::to_string(m.geometry.metadata_slot_count) + "\n";
  o += "Header flags: " + HeaderFlagsText(m.flags) + "\n";
  o += "Partition table:\n";
  o += kSeparator;
  struct Line {
    std::string device;
    uint64_t start, sectors;
    std::string partition;
  };
  std::vector<Line> layout;
  for (const Partition& p : m.partitions) {
    o += "  Name: " + p.name + "\n";
    o += "  Group: " + (p.group_index < m.groups.size() ? m.groups[p.group_index].name : std::string("?")) + "\n";
    o += "  Attributes: " + AttributesText(p.attributes) + "\n";
    o += "  Extents:\n";
    uint64_t first = 0;
    for (uint32_t i = 0; i < p.num_extents; ++i) {
      const uint64_t idx = uint64_t(p.first_extent_index) + i;
      if (idx >= m.extents.size()) break;
      const Extent& e = m.extents[idx];
      o += "    " + std::to_string(first) + " .. " + std::to_string(first + e.num_sectors - 1) + " ";
      if (e.target_type == kTargetLinear) {
        const std::string dev = DeviceName(m, e.target_source);
        o += "linear " + dev + " " + std::to_string(e.target_data) + "\n";
        layout.push_back({dev, e.target_data, e.num_sectors, p.name});
      } else {
        o += "zero\n";
      }
      first += e.num_sectors;
    }
    o += kSeparator;
  }
  o += "Super partition layout:\n";
  o += kSeparator;
  std::stable_sort(layout.begin(), layout.end(), [](const Line& a, const Line& b) {
    return std::tie(a.device, a.start) < std::tie(b.device, b.start);
  });
  for (const Line& l : layout)
    o += l.device + ": " + std::to_string(l.start) + " .. " + std::to_string(l.start + l.sectors) + ": " + l.partition +
         " (" + std::to_string(l.sectors) + " sectors)\n";
  o += kSeparator;
  o += "Block device table:\n";
  o += kSeparator;
  for (const BlockDevice& d : m.block_devices) {
    o += "  Partition name: " + d.name + "\n";
    o += "  First sector: " + std::to_string(d.first_logical_sector) + "\n";
    o += "  Size: " + std::to_string(d.size) + " bytes\n";
    o += "  Flags: " + SlotSuffixedFlagText(d.flags) + "\n";
    o += kSeparator;
  }
  o += "Group table:\n";
  o += kSeparator;
  for (const Group& g : m.groups) {
    o += "  Name: " + g.name + "\n";
    o += "  Maximum size: " + std::to_string(g.maximum_size) + " bytes\n";
    o += "  Flags: " + SlotSuffixedFlagText(g.flags) + "\n";
    o += kSeparator;
  }
  return o;
}

}  // namespace orvex::lp
