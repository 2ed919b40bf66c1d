// SHA-1 and SHA-256 blocks on the x86 SHA extensions (sha1rnds4/sha1nexte/sha1msg1/sha1msg2 and
// sha256rnds2/sha256msg1/sha256msg2), written from Intel's description of the instructions.
#include "sha_x86.h"

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define ORVEX_DIGEST_X86 1
#endif

namespace orvex::digest {

namespace {
std::atomic<bool> g_allowed{true};

bool ProcessorHasSha() {
#ifdef ORVEX_DIGEST_X86
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const bool ssse3 = c & (1u << 9), sse41 = c & (1u << 19);
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  return ssse3 && sse41 && (b & (1u << 29));
#else
  return false;
#endif
}
}  // namespace

bool UseShaInstructions() {
  static const bool has = ProcessorHasSha();
  return has && g_allowed.load(std::memory_order_relaxed);
}

void AllowShaInstructions(bool allow) { g_allowed.store(allow); }

#ifdef ORVEX_DIGEST_X86

__attribute__((target("sha,sse4.1,ssse3"))) void Sha256BlocksSha(uint32_t state[8], const uint8_t* p, size_t count) {
  alignas(16) static const uint32_t kK[64] = {
      0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
      0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
      0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
      0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
      0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
      0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
      0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
      0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
  const __m128i kSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  // The instructions keep the state as ABEF and CDGH.
  __m128i tmp = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);  // CDAB
  __m128i s1 = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);  // EFGH
  __m128i s0 = _mm_alignr_epi8(tmp, s1, 8);     // ABEF
  s1 = _mm_blend_epi16(s1, tmp, 0xF0);          // CDGH
  for (; count; --count, p += 64) {
    const __m128i save0 = s0, save1 = s1;
    __m128i m[4];
    // Unrolled, so that the message words stay in registers.
#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) {
      __m128i& cur = m[g & 3];
      if (g < 4) cur = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * g)), kSwap);
      __m128i msg = _mm_add_epi32(cur, _mm_load_si128(reinterpret_cast<const __m128i*>(kK + 4 * g)));
      s1 = _mm_sha256rnds2_epu32(s1, s0, msg);
      if (g >= 3 && g <= 14) {  // the words of the next group
        __m128i& next = m[(g + 1) & 3];
        next = _mm_add_epi32(next, _mm_alignr_epi8(cur, m[(g - 1) & 3], 4));
        next = _mm_sha256msg2_epu32(next, cur);
      }
      msg = _mm_shuffle_epi32(msg, 0x0E);
      s0 = _mm_sha256rnds2_epu32(s0, s1, msg);
      if (g >= 1 && g <= 12) m[(g - 1) & 3] = _mm_sha256msg1_epu32(m[(g - 1) & 3], cur);
    }
    s0 = _mm_add_epi32(s0, save0);
    s1 = _mm_add_epi32(s1, save1);
  }
  tmp = _mm_shuffle_epi32(s0, 0x1B);        // FEBA
  s1 = _mm_shuffle_epi32(s1, 0xB1);         // DCHG
  s0 = _mm_blend_epi16(tmp, s1, 0xF0);      // DCBA
  s1 = _mm_alignr_epi8(s1, tmp, 8);         // HGFE
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), s0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), s1);
}

__attribute__((target("sha,sse4.1,ssse3"))) void Sha1BlocksSha(uint32_t state[5], const uint8_t* p, size_t count) {
  const __m128i kSwap = _mm_set_epi64x(0x0001020304050607ULL, 0x08090a0b0c0d0e0fULL);
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
  __m128i e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
  for (; count; --count, p += 64) {
    const __m128i saveAbcd = abcd, saveE = e0;
    __m128i m[4], e[2] = {e0, e0};
#pragma GCC unroll 20
    for (int g = 0; g < 20; ++g) {
      __m128i& cur = m[g & 3];
      if (g < 4) cur = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * g)), kSwap);
      e[g & 1] = g == 0 ? _mm_add_epi32(e[0], cur) : _mm_sha1nexte_epu32(e[g & 1], cur);
      e[(g + 1) & 1] = abcd;
      if (g >= 3 && g <= 18) m[(g + 1) & 3] = _mm_sha1msg2_epu32(m[(g + 1) & 3], cur);
      switch (g / 5) {  // the round function is an immediate operand
        case 0: abcd = _mm_sha1rnds4_epu32(abcd, e[g & 1], 0); break;
        case 1: abcd = _mm_sha1rnds4_epu32(abcd, e[g & 1], 1); break;
        case 2: abcd = _mm_sha1rnds4_epu32(abcd, e[g & 1], 2); break;
        default: abcd = _mm_sha1rnds4_epu32(abcd, e[g & 1], 3); break;
      }
      if (g >= 1 && g <= 16) m[(g - 1) & 3] = _mm_sha1msg1_epu32(m[(g - 1) & 3], cur);
      if (g >= 2 && g <= 17) m[(g + 2) & 3] = _mm_xor_si128(m[(g + 2) & 3], cur);
    }
    e0 = _mm_sha1nexte_epu32(e[0], saveE);
    abcd = _mm_add_epi32(abcd, saveAbcd);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1B));
  state[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
}

#else

void Sha256BlocksSha(uint32_t*, const uint8_t*, size_t) {}
void Sha1BlocksSha(uint32_t*, const uint8_t*, size_t) {}

#endif

}  // namespace orvex::digest
