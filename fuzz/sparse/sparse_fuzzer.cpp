// libFuzzer target: the fuzz input is an Android sparse image. The reader opens it and reads the
// expanded image in pieces of several sizes across its whole claimed length (bounded), as the
// ext4 tools do through it. Refusals are expected answers; a crash, a sanitizer report or a
// read past a buffer is a finding.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "sparse/sparse_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  orvex::fuzz::InputFile in(data, size);
  if (!in.ok()) return 0;
  orvex::sparse::SparseReader reader;
  std::string error;
  if (!reader.Open(in.fd(), &error)) return 0;
  std::vector<char> buf(70000);
  const uint64_t total = reader.expanded_size();
  // Pieces of odd sizes that straddle chunk boundaries, then a few far offsets.
  uint64_t pos = 0;
  for (int i = 0; i < 64 && pos < total; ++i) {
    const size_t len = static_cast<size_t>(std::min<uint64_t>(total - pos, 1 + (i * 7919u) % buf.size()));
    if (!reader.ReadAt(pos, buf.data(), len, &error)) break;
    pos += len;
  }
  for (uint64_t off : {total / 2, total - 1, total, total + 1, UINT64_MAX - 4})
    reader.ReadAt(off, buf.data(), 4, &error);
  return 0;
}
