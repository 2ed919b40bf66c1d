// libFuzzer target: the fuzz input is a boot or vendor_boot image in memory. The header and the
// vendor ramdisk table are parsed, the parts listed, and a header that parsed is written again
// and must parse to the same layout. Only orvex::bootimg::Error may come out of the parser.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "bootimg/bootimg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvex::bootimg;
  if (size == 0) return 0;
  try {
    Header h = ParseHeader(data, size < kMaxHeaderBytes ? size : kMaxHeaderBytes, size);
    std::FILE* mem = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!mem) return 0;
    File f(mem, "fuzz input");
    ReadVendorRamdiskTable(f, h);
    auto parts = ListParts(h);
    for (const auto& p : parts)
      if (p.offset + p.size > size) std::abort();  // the parser promised every part is inside
    if (h.type == ImageType::VendorBoot && h.version >= 4) {
      // What the writer would lay out: the entries end to end and a table of 108-byte entries.
      h.table_entry_size = kVendorTableEntrySize;
      h.table_size = uint32_t(h.ramdisks.size()) * kVendorTableEntrySize;
      h.table_entry_num = uint32_t(h.ramdisks.size());
    }
    std::vector<uint8_t> again = SerializeHeader(h);
    std::vector<uint8_t> image(ImageSize(h), 0);
    std::copy(again.begin(), again.end(), image.begin());
    Header back = ParseHeader(image.data(), image.size() < kMaxHeaderBytes ? image.size() : kMaxHeaderBytes, image.size());
    if (ListParts(back).size() != ListParts(h).size()) std::abort();
    if (back.cmdline != h.cmdline && h.type == ImageType::Boot) std::abort();
  } catch (const Error&) {
  }
  return 0;
}
