#include "md5.h"

#include <algorithm>
#include <cstring>

namespace orvex::digest {

namespace {

// The sine table of RFC 1321 (the integer part of 2^32 * |sin(i + 1)|) and the rotations.
constexpr uint32_t kT[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
inline uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

#define ORVEX_MD5_STEP(f, a, b, c, d, k, s, i) a = b + Rotl(a + f(b, c, d) + x[k] + kT[i], s)
inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return y ^ (z & (x ^ y)); }
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

}  // namespace

Md5::Md5() : h_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476} {}

void Md5::Blocks(const uint8_t* p, size_t count) {
  for (; count; --count, p += 64) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = Le32(p + 4 * i);
    uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3];
    // Round 1.
    for (int i = 0; i < 16; i += 4) {
      ORVEX_MD5_STEP(F, a, b, c, d, i, 7, i);
      ORVEX_MD5_STEP(F, d, a, b, c, i + 1, 12, i + 1);
      ORVEX_MD5_STEP(F, c, d, a, b, i + 2, 17, i + 2);
      ORVEX_MD5_STEP(F, b, c, d, a, i + 3, 22, i + 3);
    }
    // Round 2: message words 1, 6, 11, 0, 5, ... (5i + 1 mod 16).
    for (int i = 16; i < 32; i += 4) {
      ORVEX_MD5_STEP(G, a, b, c, d, (5 * i + 1) & 15, 5, i);
      ORVEX_MD5_STEP(G, d, a, b, c, (5 * (i + 1) + 1) & 15, 9, i + 1);
      ORVEX_MD5_STEP(G, c, d, a, b, (5 * (i + 2) + 1) & 15, 14, i + 2);
      ORVEX_MD5_STEP(G, b, c, d, a, (5 * (i + 3) + 1) & 15, 20, i + 3);
    }
    // Round 3: 3i + 5 mod 16.
    for (int i = 32; i < 48; i += 4) {
      ORVEX_MD5_STEP(H, a, b, c, d, (3 * i + 5) & 15, 4, i);
      ORVEX_MD5_STEP(H, d, a, b, c, (3 * (i + 1) + 5) & 15, 11, i + 1);
      ORVEX_MD5_STEP(H, c, d, a, b, (3 * (i + 2) + 5) & 15, 16, i + 2);
      ORVEX_MD5_STEP(H, b, c, d, a, (3 * (i + 3) + 5) & 15, 23, i + 3);
    }
    // Round 4: 7i mod 16.
    for (int i = 48; i < 64; i += 4) {
      ORVEX_MD5_STEP(I, a, b, c, d, (7 * i) & 15, 6, i);
      ORVEX_MD5_STEP(I, d, a, b, c, (7 * (i + 1)) & 15, 10, i + 1);
      ORVEX_MD5_STEP(I, c, d, a, b, (7 * (i + 2)) & 15, 15, i + 2);
      ORVEX_MD5_STEP(I, b, c, d, a, (7 * (i + 3)) & 15, 21, i + 3);
    }
    h_[0] += a;
    h_[1] += b;
    h_[2] += c;
    h_[3] += d;
  }
}
#undef ORVEX_MD5_STEP

void Md5::Update(const void* data, size_t len) {
  const auto* p = static_cast<const uint8_t*>(data);
  total_ += len;
  if (used_) {
    const size_t n = std::min(len, 64 - used_);
    std::memcpy(buf_ + used_, p, n);
    used_ += n;
    p += n;
    len -= n;
    if (used_ < 64) return;
    Blocks(buf_, 1);
    used_ = 0;
  }
  Blocks(p, len / 64);
  p += len / 64 * 64;
  len %= 64;
  std::memcpy(buf_, p, len);
  used_ = len;
}

std::array<uint8_t, 16> Md5::Final() {
  const uint64_t bits = total_ * 8;
  uint8_t pad[72] = {0x80};
  const size_t padLen = (used_ < 56 ? 56 : 120) - used_;
  for (int i = 0; i < 8; ++i) pad[padLen + i] = uint8_t(bits >> (8 * i));
  Update(pad, padLen + 8);
  std::array<uint8_t, 16> out;
  for (int i = 0; i < 4; ++i)
    for (int k = 0; k < 4; ++k) out[4 * i + k] = uint8_t(h_[i] >> (8 * k));
  return out;
}

}  // namespace orvex::digest
