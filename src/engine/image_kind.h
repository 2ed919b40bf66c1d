#pragma once
// What a file is, decided from signatures in its bytes.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace orvex {

struct SignatureRow {
  const char* signature;  // "0x" + two upper-case hex digits per byte, in file order
  const char* offset;     // hexadecimal text
  const char* kind;
};
// The table in the order of testing.
const SignatureRow* SignatureTable(size_t* count);

// The ImageKind of a file: a kind of the table, "Signature not found", "Invalid_Handle" (cannot
// be opened) or "File_not_found" (size 0). Never writes.
std::string DetectImageKind(const std::string& path);
// True when the bytes at the offset equal the signature (bytes past the end read as zero).
bool MatchSignature(std::FILE* file, std::string_view signature, std::string_view offset);
uint64_t ParseHex(std::string_view text);

}  // namespace orvex
