// libFuzzer target: the fuzz input is a sparse image for simg2img. The strict chunk-list check
// runs on it; an image it accepts is expanded into a memory file and must read back exactly as the
// random-access reader sees it. Refusals are expected answers; a crash, a sanitizer report or a
// difference between the two readers is a finding.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "platform_io.h"
#include "sparse/sparse_convert.h"
#include "sparse/sparse_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  orvex::fuzz::InputFile in(data, size);
  if (!in.ok()) return 0;
  orvex::sparse::SparseLayout layout;
  std::string error;
  if (!orvex::sparse::ScanSparse(in.fd(), &layout, &error)) return 0;
  // Large images only cost time (holes, checksums over zeros): keep each run short.
  if (layout.expanded_size() > (16u << 20)) return 0;
  orvex::sparse::SparseReader reader;
  if (!reader.Open(in.fd(), &error)) abort();  // the strict check accepted what the reader refuses
  const int out = memfd_create("fuzz-output", 0);
  if (out < 0) return 0;
  if (orvex::sparse::ExpandSparse({in.fd()}, {layout}, out, nullptr, &error)) {
    const uint64_t total = layout.expanded_size();
    if (orvex::platform::SizeOfFile(out) != static_cast<int64_t>(total)) abort();
    std::vector<char> a(65536), b(65536);
    for (uint64_t pos = 0; pos < total; pos += a.size()) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(a.size(), total - pos));
      if (!orvex::platform::ReadAllAt(out, a.data(), n, pos) || !reader.ReadAt(pos, b.data(), n, &error)) abort();
      if (memcmp(a.data(), b.data(), n) != 0) abort();
    }
  }
  close(out);
  return 0;
}
