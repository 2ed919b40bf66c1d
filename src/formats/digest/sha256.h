#pragma once
// SHA-256 (FIPS 180-4), written from the standard.
#include <array>
#include <cstddef>
#include <cstdint>

namespace orvex::digest {

class Sha256 {
 public:
  Sha256();
  void Update(const void* data, size_t len);
  std::array<uint8_t, 32> Final();

 private:
  void Block(const uint8_t* p);
  void Blocks(const uint8_t* p, size_t count);
  uint32_t h_[8];
  uint8_t buf_[64];
  size_t used_ = 0;
  uint64_t total_ = 0;
};

std::array<uint8_t, 32> Sha256Of(const void* data, size_t len);

}  // namespace orvex::digest
