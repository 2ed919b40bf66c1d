// libFuzzer target: the header and manifest of an OTA payload, then the checks the extractor
// makes before it writes anything, with the fuzz input taken as the whole payload file.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "payload_manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvex::payload;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  try {
    const Header h = ParseHeader(bytes, size);
    const Manifest m = ParseManifest(bytes.substr(kHeaderSize, h.manifest_size));
    for (const PartitionUpdate& p : m.partitions) {
      (void)NewPartitionSize(m, p);
      ValidatePartition(m, p, h.DataOffset(), size);
    }
  } catch (const PayloadError&) {
  }
  return 0;
}
