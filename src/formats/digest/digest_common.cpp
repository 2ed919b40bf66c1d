#include "digest.h"

namespace orvex::digest {

size_t SizeOf(Kind kind) {
  switch (kind) {
    case Kind::kMd5: return 16;
    case Kind::kSha1: return 20;
    default: return 32;
  }
}

std::string Hex(std::string_view bytes) {
  static const char* d = "0123456789abcdef";
  std::string s;
  s.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    s += d[c >> 4];
    s += d[c & 15];
  }
  return s;
}

std::string DigestOf(Kind kind, const void* data, size_t len) {
  Digest d(kind);
  d.Update(data, len);
  return d.Final();
}

}  // namespace orvex::digest
