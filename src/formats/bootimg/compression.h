#pragma once
// Ramdisk compressions: detection by the first bytes, streaming decompression with a bound on
// the output, and compression in the same form.
#include <cstdint>
#include <memory>
#include <string>

#include "bootimg/io.h"

namespace orvex::bootimg {

enum class Compression { None, Gzip, Lz4Legacy, Lz4Frame, Xz, Lzma, Bzip2, Zstd, Unknown };

// None: a plain cpio archive; Unknown: data in no form this library knows.
Compression DetectCompression(const uint8_t* p, size_t n);
// "none", "gzip", "lz4-legacy", "lz4", "xz", "lzma", "bzip2", "zstd", "unknown".
const char* CompressionName(Compression c);
// Throws on an unknown name.
Compression CompressionFromName(const std::string& name);
// The file-name suffix a ramdisk in this form is kept under: ".cpio.gz", ".cpio" ...
const char* CompressionSuffix(Compression c);

// Decompresses `in` as it is read. Concatenated streams are read one after the other and
// trailing zero padding is ignored. Reading more than `limit` bytes of output throws.
std::unique_ptr<Reader> OpenDecompressor(Compression c, Reader& in, uint64_t limit);

// Compresses everything `in` gives into `out`. level -1 picks the usual level of the form.
void Compress(Compression c, Reader& in, Writer& out, int level = -1);

}  // namespace orvex::bootimg
