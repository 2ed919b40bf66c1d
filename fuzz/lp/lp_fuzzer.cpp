// libFuzzer target: the fuzz input is the start of a super image in memory (metadata-only form,
// or a full image cut after its metadata). Every slot the geometry names (up to 8) is read and
// printed as lpdump does; the input is also parsed directly as one metadata copy. Bad input must
// give an error result; a crash, a sanitizer report or a leak is a finding.
#include <cstddef>
#include <cstdint>
#include <string>

#include "lp/lp_dump.h"
#include "lp/lp_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace lp = orvex::lp;
  auto src = lp::MemorySource(data, size);
  std::string error;
  lp::Geometry g;
  bool empty = false;
  size_t sum = 0;
  if (lp::ReadSuperGeometry(*src, &g, &empty, &error)) {
    const uint32_t slots = empty ? 1 : (g.metadata_slot_count < 8 ? g.metadata_slot_count : 8);
    for (uint32_t s = 0; s < slots; ++s) {
      lp::ReadResult r;
      if (lp::ReadSuperMetadata(*src, s, &r, &error)) sum += lp::DumpText(r.metadata).size();
    }
  }
  lp::Metadata m;
  const lp::Geometry fixed{65536, 2, 4096};
  if (lp::ParseMetadata(data, size, fixed, &m, &error)) sum += lp::DumpText(m).size();
  return sum == 1 ? 1 : 0;
}
