// The digests of the Rockchip containers, through OpenSSL's libcrypto.
#include <openssl/evp.h>

#include "rk_io.h"

namespace orvex::rk {

namespace {
void UpdateEvp(void* ctx, const void* data, size_t len) { EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(ctx), data, len); }
}  // namespace

Digest::Digest(Kind kind) : ctx_(EVP_MD_CTX_new()), update_(UpdateEvp) {
  if (!ctx_) throw Error("out of memory for a digest");
  const EVP_MD* md = kind == kSha1 ? EVP_sha1() : kind == kSha256 ? EVP_sha256() : EVP_md5();
  if (EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(ctx_), md, nullptr) != 1) {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_));
    throw Error("the digest is not available");
  }
}

Digest::~Digest() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_)); }

std::string Digest::Final() {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(ctx_), out, &n);
  return std::string(reinterpret_cast<char*>(out), n);
}

}  // namespace orvex::rk
