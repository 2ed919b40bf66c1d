// libFuzzer target: the patch engine on hostile patches. The input's first two bytes give the
// length of the old data that follows them; the rest is the patch.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bspatch.h"

namespace {

class BytesOld : public orvex::payload::OldData {
 public:
  BytesOld(const uint8_t* d, size_t n) : d_(d), n_(n) {}
  uint64_t size() const override { return n_; }
  void ReadAt(uint64_t pos, uint8_t* buf, size_t n) const override {
    if (pos > n_ || n > n_ - pos) std::abort();  // the engine must never ask for bytes outside
    for (size_t i = 0; i < n; ++i) buf[i] = d_[pos + i];
  }

 private:
  const uint8_t* d_;
  size_t n_;
};

std::string PatchFile() {
  static std::string path = [] {
    char tmpl[] = "/tmp/bspatch-fuzz-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0) std::abort();
    close(fd);
    return std::string(tmpl);
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvex::payload;
  if (size < 2) return 0;
  const size_t old_len = std::min<size_t>(size - 2, data[0] | (data[1] << 8));
  const uint8_t* patch = data + 2 + old_len;
  const size_t patch_len = size - 2 - old_len;
  FILE* f = std::fopen(PatchFile().c_str(), "wb");
  if (!f) std::abort();
  std::fwrite(patch, 1, patch_len, f);
  std::fclose(f);
  try {
    InputFile in(PatchFile());
    uint64_t produced = 0;
    const uint64_t announced = ApplyBsPatch(in, 0, patch_len, BytesOld(data + 2, old_len), 1 << 20,
                                            [&](const uint8_t*, size_t n) { produced += n; });
    if (produced != announced) std::abort();  // the engine hands out exactly what it announced
  } catch (const PayloadError&) {
  }
  return 0;
}
