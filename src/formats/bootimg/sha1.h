#pragma once
// SHA-1 (FIPS 180-4), for the boot image id and the ramdisk folder digests.
#include <array>
#include <cstdint>
#include <string>

#include "bootimg/io.h"

namespace orvex::bootimg {

class Sha1 : public Writer {
 public:
  Sha1() { Reset(); }
  void Reset();
  void Write(const void* data, size_t n) override { Update(data, n); }
  void Update(const void* data, size_t n);
  void UpdateLe32(uint32_t v) {
    uint8_t b[4];
    PutLe32(b, v);
    Update(b, 4);
  }
  std::array<uint8_t, 20> Final();
  static std::string Hex(const uint8_t* p, size_t n);

 private:
  void Block(const uint8_t* p);
  uint32_t h_[5];
  uint8_t buf_[64];
  size_t fill_ = 0;
  uint64_t total_ = 0;
};

}  // namespace orvex::bootimg
