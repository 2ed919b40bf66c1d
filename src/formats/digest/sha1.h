#pragma once
// SHA-1 (FIPS 180-4), written from the standard. Kept for the checksums that container formats
// carry; never for anything that has to resist an attacker.
#include <array>
#include <cstddef>
#include <cstdint>

namespace orvex::digest {

class Sha1 {
 public:
  Sha1();
  void Update(const void* data, size_t len);
  std::array<uint8_t, 20> Final();

 private:
  void Blocks(const uint8_t* p, size_t count);
  uint32_t h_[5];
  uint8_t buf_[64];
  size_t used_ = 0;
  uint64_t total_ = 0;
};

}  // namespace orvex::digest
