#pragma once
// The SHA-1 and SHA-256 block functions on the processor's SHA instructions (x86 SHA extensions),
// for builds without OpenSSL. Whether they are used is decided at run time.
#include <cstddef>
#include <cstdint>

namespace orvex::digest {

// True when the processor has the SHA extensions (with SSSE3 and SSE4.1) and they are allowed.
bool UseShaInstructions();
// Tests switch the instructions off to check the portable code on the same machine.
void AllowShaInstructions(bool allow);

void Sha1BlocksSha(uint32_t state[5], const uint8_t* p, size_t count);
void Sha256BlocksSha(uint32_t state[8], const uint8_t* p, size_t count);

}  // namespace orvex::digest
