// bsdiff-layout patches: a 32-byte header (magic, control length, diff length, new size), then
// the control, diff and extra streams back to back. The control stream is a list of triples
// (x, y, z): x bytes of diff added byte-wise to the old data at the old cursor, y bytes copied
// from the extra stream, then the old cursor moves by z. Bytes of the old cursor that fall
// outside the old data contribute nothing, as in the reference bspatch.
#include "bspatch.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace orvex::payload {

namespace {

// 8 bytes little-endian magnitude, the top bit of the last byte the sign.
int64_t OffTIn(const uint8_t* b) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | b[i];
  const bool negative = v >> 63;
  v &= ~(uint64_t{1} << 63);
  return negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
}

void ReadExact(ByteSource& s, uint8_t* buf, size_t n, const char* what) {
  while (n) {
    size_t r = s.Read(buf, n);
    if (!r) throw PayloadError(std::string("corrupt patch: the ") + what + " stream ends early");
    buf += r;
    n -= r;
  }
}

Codec CodecFor(uint8_t code) {
  switch (code) {
    case 0: return Codec::kNone;
    case 1: return Codec::kBzip2;
    case 2: return Codec::kBrotli;
    default: throw PayloadError("corrupt patch: unknown compressor " + std::to_string(code));
  }
}

}  // namespace

uint64_t ApplyBsPatch(const InputFile& file, uint64_t off, uint64_t len, const OldData& old, uint64_t max_new_size,
                      const ByteSink& out) {
  if (len < 32) throw PayloadError("corrupt patch: shorter than its header");
  uint8_t h[32];
  file.ReadAt(off, h, 32);
  Codec codecs[3];
  if (std::memcmp(h, "BSDIFF40", 8) == 0) {
    codecs[0] = codecs[1] = codecs[2] = Codec::kBzip2;
  } else if (std::memcmp(h, "BSDF2", 5) == 0) {
    for (int i = 0; i < 3; ++i) codecs[i] = CodecFor(h[5 + i]);
  } else {
    throw PayloadError("corrupt patch: unknown magic");
  }
  const int64_t ctrl_len = OffTIn(h + 8), diff_len = OffTIn(h + 16), new_size = OffTIn(h + 24);
  const uint64_t body = len - 32;
  if (ctrl_len < 0 || diff_len < 0 || new_size < 0 || static_cast<uint64_t>(ctrl_len) > body ||
      static_cast<uint64_t>(diff_len) > body - static_cast<uint64_t>(ctrl_len))
    throw PayloadError("corrupt patch: stream lengths do not fit the patch");
  if (static_cast<uint64_t>(new_size) > max_new_size)
    throw PayloadError("corrupt patch: new size " + std::to_string(new_size) + " exceeds the destination (" +
                       std::to_string(max_new_size) + " bytes)");

  const uint64_t c0 = off + 32, d0 = c0 + static_cast<uint64_t>(ctrl_len), e0 = d0 + static_cast<uint64_t>(diff_len);
  RangeSource ctrl_raw(file, c0, static_cast<uint64_t>(ctrl_len));
  RangeSource diff_raw(file, d0, static_cast<uint64_t>(diff_len));
  RangeSource extra_raw(file, e0, off + len - e0);
  auto ctrl = MakeDecoder(codecs[0], ctrl_raw);
  auto diff = MakeDecoder(codecs[1], diff_raw);
  auto extra = MakeDecoder(codecs[2], extra_raw);

  constexpr size_t kChunk = 256 * 1024;
  std::unique_ptr<uint8_t[]> buf(new uint8_t[kChunk]), oldbuf(new uint8_t[kChunk]);
  const int64_t old_size = static_cast<int64_t>(std::min<uint64_t>(old.size(), INT64_MAX / 2));
  int64_t new_pos = 0, old_pos = 0;
  while (new_pos < new_size) {
    uint8_t t[24];
    ReadExact(*ctrl, t, 24, "control");
    const int64_t x = OffTIn(t), y = OffTIn(t + 8), z = OffTIn(t + 16);
    if (x < 0 || y < 0 || x > new_size - new_pos || y > new_size - new_pos - x)
      throw PayloadError("corrupt patch: a control entry runs past the new size");
    for (int64_t done = 0; done < x;) {
      const size_t k = static_cast<size_t>(std::min<int64_t>(x - done, kChunk));
      ReadExact(*diff, buf.get(), k, "diff");
      // The part of [old_pos, old_pos + k) inside the old data.
      const int64_t from = std::max<int64_t>(old_pos, 0), to = std::min<int64_t>(old_pos + static_cast<int64_t>(k), old_size);
      if (from < to) {
        old.ReadAt(static_cast<uint64_t>(from), oldbuf.get(), static_cast<size_t>(to - from));
        uint8_t* dst = buf.get() + (from - old_pos);
        for (int64_t i = 0; i < to - from; ++i) dst[i] = static_cast<uint8_t>(dst[i] + oldbuf[i]);
      }
      out(buf.get(), k);
      done += static_cast<int64_t>(k);
      old_pos += static_cast<int64_t>(k);
    }
    new_pos += x;
    for (int64_t done = 0; done < y;) {
      const size_t k = static_cast<size_t>(std::min<int64_t>(y - done, kChunk));
      ReadExact(*extra, buf.get(), k, "extra");
      out(buf.get(), k);
      done += static_cast<int64_t>(k);
    }
    new_pos += y;
    // The cursor stays within a sane range; far outside the old data it contributes nothing.
    if (z > INT64_MAX / 4 || z < -(INT64_MAX / 4) || old_pos + z > INT64_MAX / 2 || old_pos + z < -(INT64_MAX / 2))
      throw PayloadError("corrupt patch: the old cursor leaves any sensible range");
    old_pos += z;
  }
  return static_cast<uint64_t>(new_size);
}

}  // namespace orvex::payload
