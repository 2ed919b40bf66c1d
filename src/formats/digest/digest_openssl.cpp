// The digests on OpenSSL's libcrypto (assembly and the processor's SHA instructions).
#include <openssl/evp.h>

#include <new>

#include "digest.h"

namespace orvex::digest {

struct Digest::Impl {
  EVP_MD_CTX* ctx = nullptr;
  ~Impl() { EVP_MD_CTX_free(ctx); }
};

const char* BackendName() { return "OpenSSL"; }

Digest::Digest(Kind kind) : impl_(new Impl) {
  const EVP_MD* md = kind == Kind::kMd5 ? EVP_md5() : kind == Kind::kSha1 ? EVP_sha1() : EVP_sha256();
  impl_->ctx = EVP_MD_CTX_new();
  if (!impl_->ctx || EVP_DigestInit_ex(impl_->ctx, md, nullptr) != 1) throw std::bad_alloc();
}
Digest::~Digest() = default;

void Digest::Update(const void* data, size_t len) {
  if (len) EVP_DigestUpdate(impl_->ctx, data, len);
}

std::string Digest::Final() {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_DigestFinal_ex(impl_->ctx, out, &n);
  return std::string(reinterpret_cast<const char*>(out), n);
}

}  // namespace orvex::digest
