// Our digests against the published vectors, OpenSSL and the coreutils sum programs.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "digest/digest.h"
#include "digest/md5.h"
#include "digest/sha1.h"
#include "digest/sha256.h"
#include "digest/sha_x86.h"
#include "test_support.h"

namespace {

using orvex::digest::Digest;
using orvex::digest::Hex;
using orvex::digest::Kind;
using namespace orvex::test;

template <typename H>
std::string Ours(const std::string& data, const std::vector<size_t>& pieces = {}) {
  H h;
  size_t at = 0;
  for (size_t i = 0; at < data.size(); ++i) {
    const size_t n = pieces.empty() ? data.size() : std::min(pieces[i % pieces.size()], data.size() - at);
    h.Update(data.data() + at, n);
    at += n;
  }
  const auto out = h.Final();
  return Hex(std::string(reinterpret_cast<const char*>(out.data()), out.size()));
}

std::string Reference(const EVP_MD* md, const std::string& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(data.data(), data.size(), out, &n, md, nullptr);
  return Hex(std::string(reinterpret_cast<const char*>(out), n));
}

// Runs body once with the processor's SHA instructions (where it has them) and once on the
// portable code.
template <typename Body>
void BothWays(Body body) {
  for (bool sha : {true, false}) {
    orvex::digest::AllowShaInstructions(sha);
    SCOPED_TRACE(sha && orvex::digest::UseShaInstructions() ? "SHA instructions" : "portable code");
    body();
  }
  orvex::digest::AllowShaInstructions(true);
}

struct Vector {
  std::string input, md5, sha1, sha256;
};

// RFC 1321 appendix A.5 and the FIPS 180-2 examples (SHA-256 of the digits string is not published
// there; the length sweep below covers it against OpenSSL).
const std::vector<Vector>& Vectors() {
  static const std::vector<Vector> v = {
      {"", "d41d8cd98f00b204e9800998ecf8427e", "da39a3ee5e6b4b0d3255bfef95601890afd80709",
       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72", "a9993e364706816aba3e25717850c26c9cd0d89d",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0", "c12252ceda8be8994d5fa0290a47231c1d16aae3",
       "f7846f55cf23e14eebeab5b4e1550cad5b509e3348fbc4efa3a1413d393cb650"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "8215ef0796a20bcaaae116d3876c664a",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1", "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a", "50abf5706a150990a08b2c5ea40fa0e585554732", ""},
  };
  return v;
}

TEST(DigestVectors, PublishedVectorsAndPaddingEdges) {
  BothWays([] {
  for (const Vector& v : Vectors()) {
    EXPECT_EQ(Ours<orvex::digest::Md5>(v.input), v.md5) << '"' << v.input << '"';
    EXPECT_EQ(Ours<orvex::digest::Sha1>(v.input), v.sha1) << '"' << v.input << '"';
    if (!v.sha256.empty()) EXPECT_EQ(Ours<orvex::digest::Sha256>(v.input), v.sha256) << '"' << v.input << '"';
  }
  // A million 'a' (the standards' long vector), fed one byte at a time for part of it.
  const std::string million(1000000, 'a');
  EXPECT_EQ(Ours<orvex::digest::Md5>(million, {1, 999999}), "7707d6ae4e027c70eea2a935c2296f21");
  EXPECT_EQ(Ours<orvex::digest::Sha1>(million, {1, 999999}), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
  EXPECT_EQ(Ours<orvex::digest::Sha256>(million, {1, 999999}),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  // Every length from 0 to 200 crosses the 55/56/63/64-byte padding cases.
  std::string s;
  for (int n = 0; n <= 200; ++n, s += static_cast<char>('A' + n % 26)) {
    EXPECT_EQ(Ours<orvex::digest::Md5>(s), Reference(EVP_md5(), s)) << n;
    EXPECT_EQ(Ours<orvex::digest::Sha1>(s), Reference(EVP_sha1(), s)) << n;
    EXPECT_EQ(Ours<orvex::digest::Sha256>(s), Reference(EVP_sha256(), s)) << n;
  }
  });
}

// A few MiB of random bytes split at odd places, as the tools feed their buffers.
TEST(DigestRandomData, MatchesOpenSslAndCoreutilsAtOddBoundaries) {
  std::mt19937_64 rng(20261208);
  std::string data(5 * 1024 * 1024 + 37, '\0');
  for (auto& c : data) c = static_cast<char>(rng());
  const std::vector<std::vector<size_t>> splits = {{}, {1}, {63, 65, 1}, {4096 * 3 + 7}, {1 << 20, 13, 64 * 1000 + 1}};
  const std::string md5 = Reference(EVP_md5(), data), sha1 = Reference(EVP_sha1(), data),
                    sha256 = Reference(EVP_sha256(), data);
  BothWays([&] {
    for (const auto& split : splits) {
      EXPECT_EQ(Ours<orvex::digest::Md5>(data, split), md5);
      EXPECT_EQ(Ours<orvex::digest::Sha1>(data, split), sha1);
      EXPECT_EQ(Ours<orvex::digest::Sha256>(data, split), sha256);
    }
  });
  TempDir t;
  const std::string file = (t.path() / "random.bin").string();
  std::ofstream(file, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
  for (const auto& [tool, want] : {std::pair<std::string, std::string>{"md5sum", md5}, {"sha1sum", sha1},
                                   {"sha256sum", sha256}}) {
    const CommandResult r = RunCommand(tool + " " + ShQuote(file));
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(r.output.substr(0, want.size()), want) << tool;
  }
}

// The front the tools use, on whichever backend this build took, gives the same bytes.
TEST(DigestFront, EveryKindMatchesOurs) {
  std::mt19937 rng(7);
  std::string data(300001, '\0');
  for (auto& c : data) c = static_cast<char>(rng());
  const std::pair<Kind, std::string> kinds[] = {{Kind::kMd5, Ours<orvex::digest::Md5>(data)},
                                               {Kind::kSha1, Ours<orvex::digest::Sha1>(data)},
                                               {Kind::kSha256, Ours<orvex::digest::Sha256>(data)}};
  for (const auto& [kind, want] : kinds) {
    Digest d(kind);
    for (size_t at = 0; at < data.size(); at += 4097) d.Update(data.data() + at, std::min<size_t>(4097, data.size() - at));
    const std::string raw = d.Final();
    EXPECT_EQ(raw.size(), orvex::digest::SizeOf(kind)) << orvex::digest::BackendName();
    EXPECT_EQ(Hex(raw), want) << orvex::digest::BackendName();
    EXPECT_EQ(Hex(orvex::digest::DigestOf(kind, data.data(), data.size())), want);
  }
}

}  // namespace
