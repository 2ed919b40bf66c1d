#pragma once
// Recovery's view of a signed update package: the whole-file signature in the zip comment.
#include <cstdint>
#include <string>

#include "test_support.h"

namespace orvex::test {

inline uint32_t U16(const std::string& s, size_t at) { return uint8_t(s[at]) | uint32_t(uint8_t(s[at + 1])) << 8; }

// The checks recovery's package verifier makes, then openssl on the signature it would use.
// Returns an empty text when the whole-file signature holds, else what failed.
inline std::string VerifyWholeFile(const std::string& zip, const TempDir& t) {
  if (zip.size() < 22 + 6) return "too short";
  const uint32_t commentSize = U16(zip, zip.size() - 2), signatureStart = U16(zip, zip.size() - 6);
  if (uint8_t(zip[zip.size() - 4]) != 0xFF || uint8_t(zip[zip.size() - 3]) != 0xFF) return "footer marker";
  if (signatureStart > commentSize || signatureStart <= 6) return "signature start";
  const size_t eocd = zip.size() - commentSize - 22;
  if (zip.compare(eocd, 4, "PK\x05\x06") != 0) return "no directory record before the comment";
  if (U16(zip, eocd + 20) != commentSize) return "comment length";
  if (zip.find("PK\x05\x06", eocd + 1) != std::string::npos) return "second directory-record marker";
  WriteFile(t / "signed.bin", zip.substr(0, zip.size() - commentSize - 2));
  WriteFile(t / "sig.der", zip.substr(zip.size() - signatureStart, signatureStart - 6));
  CommandResult r = RunCommand("openssl cms -verify -binary -inform DER -in " + ShQuote((t / "sig.der").string()) +
                               " -content " + ShQuote((t / "signed.bin").string()) + " -CAfile " +
                               ShQuote((BinDir() / "testkey.x509.pem").string()) + " -purpose any -out /dev/null");
  return r.exit_code == 0 ? "" : "openssl: " + r.output;
}


}  // namespace orvex::test
