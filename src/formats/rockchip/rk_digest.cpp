// The digests of the Rockchip containers, through the project's digest library.
#include "digest/digest.h"
#include "rk_io.h"

namespace orvex::rk {

namespace {
void UpdateDigest(void* ctx, const void* data, size_t len) { static_cast<digest::Digest*>(ctx)->Update(data, len); }
}  // namespace

Digest::Digest(Kind kind)
    : ctx_(new digest::Digest(kind == kSha1     ? digest::Kind::kSha1
                              : kind == kSha256 ? digest::Kind::kSha256
                                                : digest::Kind::kMd5)),
      update_(UpdateDigest) {}

Digest::~Digest() { delete static_cast<digest::Digest*>(ctx_); }

std::string Digest::Final() { return static_cast<digest::Digest*>(ctx_)->Final(); }

}  // namespace orvex::rk
