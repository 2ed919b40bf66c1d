#include "sha1.h"

#include "sha_x86.h"

#include <algorithm>
#include <cstring>

namespace orvex::digest {

namespace {
inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
inline uint32_t Be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
}  // namespace

Sha1::Sha1() : h_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0} {}

void Sha1::Blocks(const uint8_t* p, size_t count) {
  if (count && UseShaInstructions()) return Sha1BlocksSha(h_, p, count);
  for (; count; --count, p += 64) {
    // The message schedule as a ring of 16 words.
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = Be32(p + 4 * i);
    uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4];
    auto next = [&w](int i) {
      const uint32_t v = Rotl(w[(i + 13) & 15] ^ w[(i + 8) & 15] ^ w[(i + 2) & 15] ^ w[i & 15], 1);
      w[i & 15] = v;
      return v;
    };
    auto round = [&](uint32_t f, uint32_t k, uint32_t wi) {
      const uint32_t t = Rotl(a, 5) + f + e + k + wi;
      e = d;
      d = c;
      c = Rotl(b, 30);
      b = a;
      a = t;
    };
    for (int i = 0; i < 16; ++i) round(d ^ (b & (c ^ d)), 0x5a827999, w[i]);
    for (int i = 16; i < 20; ++i) round(d ^ (b & (c ^ d)), 0x5a827999, next(i));
    for (int i = 20; i < 40; ++i) round(b ^ c ^ d, 0x6ed9eba1, next(i));
    for (int i = 40; i < 60; ++i) round((b & c) | (d & (b | c)), 0x8f1bbcdc, next(i));
    for (int i = 60; i < 80; ++i) round(b ^ c ^ d, 0xca62c1d6, next(i));
    h_[0] += a;
    h_[1] += b;
    h_[2] += c;
    h_[3] += d;
    h_[4] += e;
  }
}

void Sha1::Update(const void* data, size_t len) {
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

std::array<uint8_t, 20> Sha1::Final() {
  const uint64_t bits = total_ * 8;
  uint8_t pad[72] = {0x80};
  const size_t padLen = (used_ < 56 ? 56 : 120) - used_;
  for (int i = 0; i < 8; ++i) pad[padLen + i] = uint8_t(bits >> (56 - 8 * i));
  Update(pad, padLen + 8);
  std::array<uint8_t, 20> out;
  for (int i = 0; i < 5; ++i)
    for (int k = 0; k < 4; ++k) out[4 * i + k] = uint8_t(h_[i] >> (24 - 8 * k));
  return out;
}

}  // namespace orvex::digest
