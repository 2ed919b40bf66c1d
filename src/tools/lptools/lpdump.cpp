// lpdump: prints the LP metadata of a super image (raw, sparse or metadata-only) as text.
//
//   lpdump [-s SLOT | --slot=SLOT] [-a | --all] [-d | --dump-metadata-size] FILE
#include <iostream>

#include "lp/lp_dump.h"
#include "lp/lp_reader.h"
#include "options.h"

namespace {

const char kUsage[] =
    "usage: lpdump [options] SUPER_IMAGE\n"
    "Prints the dynamic partition metadata of a super image (raw, Android sparse or metadata-only).\n"
    "  -s, --slot=SLOT             metadata slot to print: a number or a, _a, b, _b (default 0)\n"
    "  -a, --all                   print every slot\n"
    "  -d, --dump-metadata-size    print only where the partition data starts, in bytes\n"
    "  -h, --help                  this help\n"
    "Exit codes: 0 success, 64 bad usage, 66 unreadable metadata.\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace orvex;
  std::ios::sync_with_stdio(false);
  std::vector<lptools::Option> opts;
  std::vector<std::string> words;
  std::string error;
  if (!lptools::SplitArgs(argc, argv, {"s", "slot"}, &opts, &words, &error)) {
    std::cerr << "lpdump: " << error << "\n" << kUsage;
    return 64;
  }
  uint32_t slot = 0;
  bool all = false, size_only = false;
  for (const auto& o : opts) {
    if (o.name == "h" || o.name == "help") {
      std::cout << kUsage;
      return 0;
    } else if (o.name == "s" || o.name == "slot") {
      if (!lptools::ParseSlot(o.value, &slot)) {
        std::cerr << "lpdump: invalid slot '" << o.value << "'\n";
        return 64;
      }
    } else if (o.name == "a" || o.name == "all") {
      all = true;
    } else if (o.name == "d" || o.name == "dump-metadata-size") {
      size_only = true;
    } else if (o.name == "j" || o.name == "json") {
      std::cerr << "lpdump: JSON output is not supported\n";
      return 64;
    } else {
      std::cerr << "lpdump: unknown option -" << o.name << "\n" << kUsage;
      return 64;
    }
  }
  if (words.size() != 1) {
    std::cerr << kUsage;
    return 64;
  }
  auto src = lp::OpenImageSource(words[0], &error);
  if (!src) {
    std::cerr << "lpdump: " << error << "\nFailed to read metadata.\n";
    return 66;
  }
  lp::Geometry g;
  bool empty = false;
  if (!lp::ReadSuperGeometry(*src, &g, &empty, &error)) {
    std::cerr << "lpdump: " << error << "\nFailed to read metadata.\n";
    return 66;
  }
  const uint32_t slots = empty ? 1 : g.metadata_slot_count;
  uint32_t first = slot, last = slot;
  if (all) {
    first = 0;
    last = slots - 1;
  }
  if (!all && slot >= slots && !empty) {
    std::cerr << "lpdump: slot " << slot << " does not exist (the image has " << slots << ")\n";
    return 64;
  }
  std::string out;
  for (uint32_t s = first; s <= last; ++s) {
    lp::ReadResult r;
    if (!lp::ReadSuperMetadata(*src, s, &r, &error)) {
      std::cout << out;
      std::cerr << "lpdump: " << error << "\nFailed to read metadata.\n";
      return 66;
    }
    if (r.used_backup_geometry) std::cerr << "lpdump: the primary geometry is damaged, the backup is used\n";
    if (r.used_backup_metadata)
      std::cerr << "lpdump: the primary metadata of slot " << s << " is damaged, the backup is used\n";
    if (size_only) {
      std::cout << r.metadata.block_devices[0].first_logical_sector * lp::kSectorSize << "\n";
      return 0;
    }
    if (s != first) out += "\n";
    if (slots > 1) out += "Slot " + std::to_string(s) + ":\n";
    out += lp::DumpText(r.metadata);
  }
  std::cout << out;
  std::cout.flush();
  return std::cout ? 0 : 74;
}
