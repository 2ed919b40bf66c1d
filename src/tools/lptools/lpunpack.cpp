// lpunpack: writes one raw image per logical partition of a super image (raw or Android sparse,
// read in place) into an output folder.
//
//   lpunpack [-p NAME]... [-S SLOT | --slot=SLOT] SUPER_IMAGE [OUTPUT_DIR]
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <set>

#include "lp/lp_builder.h"
#include "lp/lp_image.h"
#include "lp/lp_reader.h"
#include "options.h"
#include "platform.h"
#include "platform_io.h"

namespace {

using namespace orvex;

const char kUsage[] =
    "usage: lpunpack [options] SUPER_IMAGE [OUTPUT_DIR]\n"
    "Writes every logical partition of a super image (raw or Android sparse) as OUTPUT_DIR/NAME.img.\n"
    "Unmapped space and zero blocks stay holes; a partition without extents gives an empty file.\n"
    "  -p, --partition=NAME   extract only this partition (may be repeated)\n"
    "  -S, --slot=SLOT        metadata slot to read: a number or a, _a, b, _b (default 0)\n"
    "  -h, --help             this help\n"
    "OUTPUT_DIR defaults to the current folder and is created when missing.\n"
    "Exit codes: 0 success, 1 a partition could not be written, 64 bad usage, 66 unreadable metadata.\n";

// Writes one partition; false with *error. The output never follows a link that stands where
// the image goes.
bool Extract(const lp::ImageSource& src, const lp::Metadata& m, const lp::Partition& part, const std::string& out,
             uint8_t* buf, std::string* error) {
  uint64_t total = 0;
  for (uint32_t i = 0; i < part.num_extents; ++i) {
    const lp::Extent& e = m.extents[part.first_extent_index + i];
    if (e.target_type == lp::kTargetLinear && e.target_source != 0) {
      *error = "partition " + part.name + " lies on block device " + m.block_devices[e.target_source].name +
               ", which this image does not hold";
      return false;
    }
    total += e.num_sectors * lp::kSectorSize;
  }
  const platform::PathKind kind = platform::KindOf(out);
  if (kind != platform::PathKind::kMissing && kind != platform::PathKind::kFile) {
    if (kind == platform::PathKind::kFolder || !platform::RemoveFile(out)) {
      *error = "cannot replace " + out;
      return false;
    }
  }
  int fd = platform::CreateForWrite(out, /*noFollow=*/true);
  if (fd < 0) {
    *error = "cannot create " + out + ": " + strerror(errno);
    return false;
  }
  auto fail = [&](const std::string& what) {
    *error = what;
    platform::CloseFile(fd);
    platform::RemoveFile(out);
    return false;
  };
  if (!platform::SetFileSize(fd, total)) return fail("cannot size " + out + ": " + strerror(errno));
  const uint32_t bs = m.geometry.logical_block_size;
  uint64_t logical = 0;
  for (uint32_t i = 0; i < part.num_extents; ++i) {
    const lp::Extent& e = m.extents[part.first_extent_index + i];
    const uint64_t len = e.num_sectors * lp::kSectorSize;
    if (e.target_type == lp::kTargetLinear) {
      std::string cerr;
      if (!lp::CopyToFile(src, e.target_data * lp::kSectorSize, fd, logical, len, bs, buf, &cerr))
        return fail("partition " + part.name + ": " + cerr);
    }
    logical += len;  // a zero extent stays a hole
  }
  if (platform::CloseFile(fd) != 0) {
    *error = "cannot write " + out + ": " + strerror(errno);
    platform::RemoveFile(out);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  std::vector<lptools::Option> opts;
  std::vector<std::string> words;
  std::string error;
  if (!lptools::SplitArgs(argc, argv, {"p", "partition", "S", "s", "slot"}, &opts, &words, &error)) {
    std::cerr << "lpunpack: " << error << "\n" << kUsage;
    return 64;
  }
  uint32_t slot = 0;
  std::vector<std::string> wanted;
  for (const auto& o : opts) {
    if (o.name == "h" || o.name == "help") {
      std::cout << kUsage;
      return 0;
    } else if (o.name == "p" || o.name == "partition") {
      wanted.push_back(o.value);
    } else if (o.name == "S" || o.name == "s" || o.name == "slot") {
      if (!lptools::ParseSlot(o.value, &slot)) {
        std::cerr << "lpunpack: invalid slot '" << o.value << "'\n";
        return 64;
      }
    } else {
      std::cerr << "lpunpack: unknown option -" << o.name << "\n" << kUsage;
      return 64;
    }
  }
  if (words.empty() || words.size() > 2) {
    std::cerr << kUsage;
    return 64;
  }
  const std::string image = words[0];
  const std::string outdir = words.size() > 1 ? words[1] : ".";

  auto src = lp::OpenImageSource(image, &error);
  if (!src) {
    std::cerr << "lpunpack: " << error << "\n";
    return 66;
  }
  lp::ReadResult r;
  if (!lp::ReadSuperMetadata(*src, slot, &r, &error)) {
    std::cerr << "lpunpack: " << error << "\nFailed to read metadata.\n";
    return 66;
  }
  if (r.used_backup_geometry) std::cerr << "lpunpack: the primary geometry is damaged, the backup is used\n";
  if (r.used_backup_metadata) std::cerr << "lpunpack: the primary metadata is damaged, the backup is used\n";
  const lp::Metadata& m = r.metadata;

  int failures = 0;
  for (const std::string& w : wanted) {
    bool found = std::any_of(m.partitions.begin(), m.partitions.end(), [&](const lp::Partition& p) { return p.name == w; });
    if (!found) {
      std::cerr << "lpunpack: partition '" << w << "' is not in the metadata\n";
      ++failures;
    }
  }
  std::error_code ec;
  std::filesystem::create_directories(platform::ToPath(outdir), ec);
  if (!std::filesystem::is_directory(platform::ToPath(outdir), ec)) {
    std::cerr << "lpunpack: cannot create the output folder " << outdir << "\n";
    return 1;
  }
  std::unique_ptr<uint8_t[]> buf(new uint8_t[lp::kCopyBufferBytes]);
  std::set<std::string> done;
  for (const lp::Partition& p : m.partitions) {
    if (!wanted.empty() && std::find(wanted.begin(), wanted.end(), p.name) == wanted.end()) continue;
    // Names become file names: plain names only, each once.
    if (!lp::IsPlainName(p.name)) {
      std::cerr << "lpunpack: skipping a partition with an unusable name\n";
      ++failures;
      continue;
    }
    if (!done.insert(p.name).second) {
      std::cerr << "lpunpack: partition '" << p.name << "' appears twice; the second is skipped\n";
      ++failures;
      continue;
    }
    std::cout << "Attempting to extract partition '" << p.name << "'..." << std::endl;
    if (!Extract(*src, m, p, outdir + "/" + p.name + ".img", buf.get(), &error)) {
      std::cerr << "lpunpack: " << error << "\n";
      ++failures;
    }
  }
  return failures ? 1 : 0;
}
