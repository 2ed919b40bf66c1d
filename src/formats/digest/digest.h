#pragma once
// Message digests for the checksums that firmware containers carry (MD5, SHA-1, SHA-256). The
// build picks the backend: OpenSSL's libcrypto where it is found (it is faster, with the
// processor's SHA instructions), otherwise our own implementations (md5.h, sha1.h, sha256.h),
// which give the same bytes.
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace orvex::digest {

enum class Kind { kMd5, kSha1, kSha256 };

// Digest length in bytes: 16, 20 or 32.
size_t SizeOf(Kind kind);
// "OpenSSL" or "built-in": the backend this build uses.
const char* BackendName();

class Digest {
 public:
  explicit Digest(Kind kind);
  ~Digest();
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;
  void Update(const void* data, size_t len);
  // The raw digest bytes; ends the digest (a later Update starts nothing new).
  std::string Final();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Raw bytes as lower-case hex digits.
std::string Hex(std::string_view bytes);
// The digest of one buffer, raw.
std::string DigestOf(Kind kind, const void* data, size_t len);

}  // namespace orvex::digest
