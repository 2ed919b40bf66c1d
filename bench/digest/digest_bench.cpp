// MD5, SHA-1 and SHA-256 over the same bytes, ours and OpenSSL's, in MiB/s. The data is a 64 MiB
// buffer of random bytes hashed again and again up to the size asked for (default 1 GiB), in
// 4 MiB pieces as the tools feed them, so the disk plays no part.
//   digest_bench [MiB]
#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "digest/md5.h"
#include "digest/sha1.h"
#include "digest/sha256.h"

namespace {

constexpr size_t kBuffer = 64u << 20, kPiece = 4u << 20;

template <typename Feed>
double Seconds(uint64_t total, Feed feed) {
  const auto start = std::chrono::steady_clock::now();
  feed(total);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

template <typename H>
std::string Ours(const std::vector<uint8_t>& buf, uint64_t total) {
  H h;
  for (uint64_t done = 0; done < total; done += kPiece) h.Update(buf.data() + done % kBuffer, kPiece);
  const auto out = h.Final();
  return std::string(reinterpret_cast<const char*>(out.data()), out.size());
}

std::string Theirs(const EVP_MD* md, const std::vector<uint8_t>& buf, uint64_t total) {
  EVP_MD_CTX* c = EVP_MD_CTX_new();
  EVP_DigestInit_ex(c, md, nullptr);
  for (uint64_t done = 0; done < total; done += kPiece) EVP_DigestUpdate(c, buf.data() + done % kBuffer, kPiece);
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_DigestFinal_ex(c, out, &n);
  EVP_MD_CTX_free(c);
  return std::string(reinterpret_cast<const char*>(out), n);
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const uint64_t total = (mib << 20) / kPiece * kPiece;
  std::vector<uint8_t> buf(kBuffer);
  std::mt19937_64 rng(1);
  for (size_t i = 0; i < kBuffer; i += 8) {
    const uint64_t v = rng();
    for (int k = 0; k < 8; ++k) buf[i + k] = static_cast<uint8_t>(v >> (8 * k));
  }
  std::printf("%-8s %12s %12s %8s\n", "digest", "ours MiB/s", "OpenSSL", "ratio");
  auto row = [&](const char* name, auto ours, const EVP_MD* md) {
    std::string a, b;
    const double ta = Seconds(total, [&](uint64_t t) { a = ours(buf, t); });
    const double tb = Seconds(total, [&](uint64_t t) { b = Theirs(md, buf, t); });
    const double m = static_cast<double>(total) / (1 << 20);
    std::printf("%-8s %12.0f %12.0f %8.2f%s\n", name, m / ta, m / tb, tb / ta, a == b ? "" : "  DIGESTS DIFFER");
    return a == b;
  };
  bool ok = row("MD5", Ours<orvex::digest::Md5>, EVP_md5());
  ok = row("SHA-1", Ours<orvex::digest::Sha1>, EVP_sha1()) && ok;
  ok = row("SHA-256", Ours<orvex::digest::Sha256>, EVP_sha256()) && ok;
  std::printf("%llu MiB each; ratio = OpenSSL's time / ours (below 1: OpenSSL is faster)\n",
              static_cast<unsigned long long>(total >> 20));
  return ok ? 0 : 1;
}
