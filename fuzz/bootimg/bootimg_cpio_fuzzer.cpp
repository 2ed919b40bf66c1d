// libFuzzer target: the fuzz input is a ramdisk, compressed in any form the library detects or a
// plain cpio archive. It is decompressed (bounded), extracted into a scratch folder and packed
// again from that folder; the extraction must never leave a link in the folder. Only
// orvex::bootimg::Error may come out.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bootimg/compression.h"
#include "bootimg/ramdisk_tree.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvex::bootimg;
  static const fs::path scratch = fs::temp_directory_path() / ("bootimg-cpio-fuzz-" + std::to_string(getpid()));
  std::error_code ec;
  fs::remove_all(scratch, ec);
  fs::create_directories(scratch, ec);
  const std::string tree = (scratch / "tree").string(), list = (scratch / "list.txt").string();
  try {
    Compression c = DetectCompression(data, size);
    if (c == Compression::Unknown) c = Compression::None;
    MemoryReader in(data, size);
    auto dec = OpenDecompressor(c, in, 8u << 20);
    ExtractCpio(*dec, tree, list, ExtractLimits{4096});
    for (auto it = fs::recursive_directory_iterator(scratch); it != fs::recursive_directory_iterator(); ++it)
      if (fs::is_symlink(it->symlink_status())) std::abort();
    StringWriter out;
    BuildCpio(tree, list, out);
    MemoryReader again(out.s.data(), out.s.size());
    fs::remove_all(tree, ec);
    ExtractCpio(again, tree, list);
  } catch (const Error&) {
  }
  fs::remove_all(scratch, ec);
  return 0;
}
