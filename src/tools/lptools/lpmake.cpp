// lpmake: builds a super image from a partition layout, with the partition images placed at
// the extents it allocates; without images it writes the metadata-only form.
//
//   lpmake --metadata-size=N --metadata-slots=N (--device-size=N|auto | --device=NAME:SIZE[:ALIGN[:OFF]])
//          [--group=NAME:MAX]... [--partition=NAME:ATTRS:SIZE[:GROUP]]... [--image=NAME=FILE]...
//          [--sparse] [--virtual-ab] [...] --output=FILE

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <iostream>
#include <map>

#include "lp/lp_builder.h"
#include "lp/lp_image.h"
#include "lp/lp_reader.h"
#include "options.h"
#include "platform_io.h"

namespace {

using namespace orvex;

const char kUsage[] =
    "usage: lpmake [options]\n"
    "Builds a super image (dynamic partitions) and its LP metadata.\n"
    "  -d, --device-size=SIZE|auto      size of the super device in bytes\n"
    "  -D, --device=NAME:SIZE[:ALIGNMENT[:ALIGNMENT_OFFSET]]\n"
    "                                   a block device (instead of --device-size)\n"
    "  -m, --metadata-size=SIZE         bytes per metadata copy\n"
    "  -s, --metadata-slots=COUNT       number of metadata slots\n"
    "  -p, --partition=NAME:ATTRS:SIZE[:GROUP]\n"
    "                                   a partition; ATTRS is none or readonly; SIZE 0 with an image\n"
    "                                   takes the image's size\n"
    "  -i, --image=NAME=FILE            contents of a partition (raw or Android sparse)\n"
    "  -g, --group=NAME:MAXIMUM_SIZE    a partition group (0 = no limit)\n"
    "  -n, --super-name=NAME            name of the super device (default super)\n"
    "  -b, --block-size=SIZE            logical block size (default 4096)\n"
    "      --alignment=BYTES            alignment of partitions (default 1048576)\n"
    "      --alignment-offset=BYTES     alignment offset\n"
    "  -x, --auto-slot-suffixing        mark partitions, groups and devices slot-suffixed\n"
    "  -F, --force-full-image           write a full image even without images\n"
    "  -S, --sparse                     write an Android sparse image\n"
    "      --virtual-ab                 mark the metadata for virtual A/B\n"
    "  -o, --output=FILE                output file\n"
    "Without --image or --force-full-image only the geometry and metadata are written.\n"
    "Exit codes: 0 success, 1 the layout cannot be built or written, 64 bad usage.\n";

std::vector<std::string> SplitOn(const std::string& s, char sep) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t p = s.find(sep, start);
    out.push_back(s.substr(start, p == std::string::npos ? std::string::npos : p - start));
    if (p == std::string::npos) return out;
    start = p + 1;
  }
}

int Usage(const std::string& what) {
  std::cerr << "lpmake: " << what << "\n";
  return 64;
}

bool Number32(const std::string& text, uint32_t* v) {
  uint64_t x = 0;
  if (!lptools::ParseNumber(text, &x) || x > UINT32_MAX) return false;
  *v = uint32_t(x);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  std::vector<lptools::Option> opts;
  std::vector<std::string> words;
  std::string error;
  const std::vector<std::string> valued = {"d", "device-size", "m", "metadata-size", "s", "metadata-slots", "p",
                                           "partition", "o", "output", "b", "block-size", "alignment",
                                           "alignment-offset", "i", "image", "g", "group", "D", "device", "n",
                                           "super-name"};
  if (!lptools::SplitArgs(argc, argv, valued, &opts, &words, &error)) return Usage(error);
  if (argc == 1) {
    std::cerr << kUsage;
    return 64;
  }

  std::string device_size_text, output, super_name = "super";
  uint32_t metadata_size = 0, slots = 0, block_size = 4096, alignment = 1048576, alignment_offset = 0;
  bool sparse_out = false, virtual_ab = false, auto_suffix = false, force_full = false;
  std::vector<lp::DeviceSpec> devices;
  struct GroupArg {
    std::string name;
    uint64_t max;
  };
  std::vector<GroupArg> groups;
  struct PartArg {
    std::string name, group;
    uint32_t attrs;
    uint64_t size;
  };
  std::vector<PartArg> parts;
  std::map<std::string, std::string> images;

  for (const auto& o : opts) {
    const std::string& n = o.name;
    const std::string& v = o.value;
    if (n == "h" || n == "help") {
      std::cout << kUsage;
      return 0;
    } else if (n == "d" || n == "device-size") {
      device_size_text = v;
    } else if (n == "m" || n == "metadata-size") {
      if (!Number32(v, &metadata_size)) return Usage("invalid metadata size '" + v + "'");
    } else if (n == "s" || n == "metadata-slots") {
      if (!Number32(v, &slots)) return Usage("invalid metadata slot count '" + v + "'");
    } else if (n == "b" || n == "block-size") {
      if (!Number32(v, &block_size)) return Usage("invalid block size '" + v + "'");
    } else if (n == "alignment") {
      if (!Number32(v, &alignment)) return Usage("invalid alignment '" + v + "'");
    } else if (n == "alignment-offset") {
      if (!Number32(v, &alignment_offset)) return Usage("invalid alignment offset '" + v + "'");
    } else if (n == "o" || n == "output") {
      output = v;
    } else if (n == "n" || n == "super-name") {
      super_name = v;
    } else if (n == "S" || n == "sparse") {
      sparse_out = true;
    } else if (n == "virtual-ab") {
      virtual_ab = true;
    } else if (n == "x" || n == "auto-slot-suffixing") {
      auto_suffix = true;
    } else if (n == "F" || n == "force-full-image") {
      force_full = true;
    } else if (n == "D" || n == "device") {
      auto f = SplitOn(v, ':');
      lp::DeviceSpec d;
      d.alignment = 1048576;
      if (f.size() < 2 || f.size() > 4 || f[0].empty() || !lptools::ParseNumber(f[1], &d.size) ||
          (f.size() > 2 && !Number32(f[2], &d.alignment)) || (f.size() > 3 && !Number32(f[3], &d.alignment_offset)))
        return Usage("invalid block device '" + v + "' (NAME:SIZE[:ALIGNMENT[:ALIGNMENT_OFFSET]])");
      d.name = f[0];
      devices.push_back(d);
    } else if (n == "g" || n == "group") {
      auto f = SplitOn(v, ':');
      uint64_t max = 0;
      if (f.size() != 2 || !lptools::ParseNumber(f[1], &max)) return Usage("invalid group '" + v + "' (NAME:MAXIMUM_SIZE)");
      groups.push_back({f[0], max});
    } else if (n == "p" || n == "partition") {
      auto f = SplitOn(v, ':');
      PartArg p{"", "default", 0, 0};
      if (f.size() < 3 || f.size() > 4 || !lptools::ParseNumber(f[2], &p.size))
        return Usage("invalid partition '" + v + "' (NAME:ATTRIBUTES:SIZE[:GROUP])");
      p.name = f[0];
      if (f[1] == "readonly")
        p.attrs = lp::kAttrReadonly;
      else if (f[1] != "none")
        return Usage("unknown partition attribute '" + f[1] + "' (none or readonly)");
      if (f.size() == 4) p.group = f[3];
      parts.push_back(p);
    } else if (n == "i" || n == "image") {
      const size_t eq = v.find('=');
      if (eq == std::string::npos || eq == 0 || eq + 1 == v.size()) return Usage("invalid image '" + v + "' (NAME=FILE)");
      if (!images.emplace(v.substr(0, eq), v.substr(eq + 1)).second)
        return Usage("two images for partition " + v.substr(0, eq));
    } else {
      return Usage("unknown option -" + n + "\n" + kUsage);
    }
  }
  if (!words.empty()) return Usage("unexpected argument '" + words[0] + "'");
  if (output.empty()) return Usage("--output is required");
  if (metadata_size == 0 || slots == 0) return Usage("--metadata-size and --metadata-slots must be above 0");
  if (devices.empty() == device_size_text.empty()) return Usage("Must specify --device OR --device-size.");

  // Partition sizes of 0 with an image take the image's size.
  for (PartArg& p : parts) {
    auto it = images.find(p.name);
    if (p.size == 0 && it != images.end()) {
      auto src = lp::OpenImageSource(it->second, &error);
      if (!src) {
        std::cerr << "lpmake: " << error << "\n";
        return 1;
      }
      p.size = src->Size();
    }
  }
  if (!device_size_text.empty()) {
    lp::DeviceSpec d{super_name, 0, alignment, alignment_offset};
    if (device_size_text == "auto") {
      std::vector<uint64_t> sizes;
      for (const PartArg& p : parts) sizes.push_back(p.size);
      d.size = lp::AutoDeviceSize(metadata_size, slots, alignment, sizes, block_size);
    } else if (!lptools::ParseNumber(device_size_text, &d.size)) {
      return Usage("invalid device size '" + device_size_text + "'");
    }
    devices.push_back(d);
  } else if (devices[0].name != super_name) {
    return Usage("the first block device must be the super device '" + super_name + "'");
  }

  lp::Builder b;
  if (!b.Init(devices, metadata_size, slots, block_size, &error)) {
    std::cerr << "lpmake: " << error << "\n";
    return 1;
  }
  for (const GroupArg& g : groups)
    if (!b.AddGroup(g.name, g.max, &error)) {
      std::cerr << "lpmake: " << error << "\n";
      return 1;
    }
  for (const PartArg& p : parts)
    if (!b.AddPartition(p.name, p.group, p.attrs, &error) || !b.ResizePartition(p.name, p.size, &error)) {
      std::cerr << "lpmake: " << error << "\n";
      return 1;
    }
  for (const auto& [name, path] : images) {
    bool known = false;
    for (const PartArg& p : parts) known |= p.name == name;
    if (!known) {
      std::cerr << "lpmake: image " << path << " is given for partition " << name << ", which is not declared\n";
      return 1;
    }
  }
  if (virtual_ab) b.SetHeaderFlags(lp::kHeaderFlagVirtualAB);
  if (auto_suffix) b.SetAutoSlotSuffixing();
  const lp::Metadata m = b.Export();

  const bool full = force_full || !images.empty();
  // Written beside the output and renamed at the end: a failed build leaves no half image and
  // never removes a file that was there before.
  const std::string temp = output + ".lpmake-part";
  bool ok = full ? lp::WriteFullImage(temp, m, images, sparse_out, &error) : lp::WriteEmptyImage(temp, m, &error);
  if (ok && !platform::RenameReplacing(temp, output)) {
    error = "cannot rename " + temp + " to " + output + ": " + strerror(errno);
    ok = false;
  }
  if (!ok) {
    platform::RemoveFile(temp);
    std::cerr << "lpmake: " << error << "\n";
    return 1;
  }
  std::cout << "lpmake: wrote " << (full ? (sparse_out ? "sparse super image " : "super image ") : "super metadata image ")
            << output << " (" << m.partitions.size() << " partitions, " << images.size() << " images)" << std::endl;
  return 0;
}
