// The digests on our own implementations (systems without OpenSSL's libcrypto).
#include <variant>

#include "digest.h"
#include "md5.h"
#include "sha1.h"
#include "sha256.h"

namespace orvex::digest {

struct Digest::Impl {
  std::variant<Md5, Sha1, Sha256> state;
};

const char* BackendName() { return "built-in"; }

Digest::Digest(Kind kind) : impl_(new Impl) {
  if (kind == Kind::kMd5) impl_->state.emplace<Md5>();
  else if (kind == Kind::kSha1) impl_->state.emplace<Sha1>();
  else impl_->state.emplace<Sha256>();
}
Digest::~Digest() = default;

void Digest::Update(const void* data, size_t len) {
  std::visit([&](auto& s) { s.Update(data, len); }, impl_->state);
}

std::string Digest::Final() {
  return std::visit(
      [](auto& s) {
        const auto out = s.Final();
        return std::string(reinterpret_cast<const char*>(out.data()), out.size());
      },
      impl_->state);
}

}  // namespace orvex::digest
