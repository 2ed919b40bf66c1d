#pragma once
// Applies a binary patch in the bsdiff layout (magic "BSDIFF40" with bzip2 streams, or "BSDF2"
// with a compressor per stream: none, bzip2 or brotli), streaming: the old data is read where
// the control stream points, the three streams are decoded as they are consumed and the new
// data leaves in pieces.
#include <cstdint>
#include <functional>

#include "data_stream.h"

namespace orvex::payload {

// Random access to the old bytes of a patch.
class OldData {
 public:
  virtual ~OldData() = default;
  virtual uint64_t size() const = 0;
  virtual void ReadAt(uint64_t pos, uint8_t* buf, size_t n) const = 0;
};

// The old bytes as the concatenated source extents of an image, cut to `length` bytes when the
// operation gives a source length.
class ExtentOldData : public OldData {
 public:
  ExtentOldData(const ExtentReader& r, uint64_t length) : r_(r), size_(length) {}
  uint64_t size() const override { return size_; }
  void ReadAt(uint64_t pos, uint8_t* buf, size_t n) const override { r_.ReadAt(pos, buf, n); }

 private:
  const ExtentReader& r_;
  uint64_t size_;
};

using ByteSink = std::function<void(const uint8_t*, size_t)>;

// Applies the patch stored in bytes [off, off + len) of `file` to `old` and hands the new bytes
// to `out`. Returns the new size the patch announced (and produced). The new size must not
// exceed max_new_size. Throws PayloadError on a malformed or hostile patch.
uint64_t ApplyBsPatch(const InputFile& file, uint64_t off, uint64_t len, const OldData& old, uint64_t max_new_size,
                      const ByteSink& out);

}  // namespace orvex::payload
