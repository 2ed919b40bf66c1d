#pragma once
// MD5 (RFC 1321), written from the RFC. Kept for the checksums that container formats carry;
// never for anything that has to resist an attacker.
#include <array>
#include <cstddef>
#include <cstdint>

namespace orvex::digest {

class Md5 {
 public:
  Md5();
  void Update(const void* data, size_t len);
  std::array<uint8_t, 16> Final();

 private:
  void Blocks(const uint8_t* p, size_t count);
  uint32_t h_[4];
  uint8_t buf_[64];
  size_t used_ = 0;
  uint64_t total_ = 0;
};

}  // namespace orvex::digest
