// img2simg: writes an Android sparse image of a raw image.
//
//   img2simg RAW_IMAGE SPARSE_IMAGE [BLOCK_SIZE]
//
// Blocks in holes of the raw file become DONT_CARE chunks without being read, blocks that repeat
// one 32-bit word become FILL chunks, the rest RAW chunks. The raw file is read in fixed pieces,
// and the output appears under its name only when it is complete. Nothing is printed on success,
// as the packaged tool does.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform.h"
#include "platform_io.h"
#include "sparse/sparse_convert.h"
#include "transfer_list/output_file.h"

namespace {

using namespace orvex;

constexpr uint32_t kMinBlockSize = 1024;
constexpr uint32_t kMaxBlockSize = 64u << 20;

void Usage(std::FILE* f) {
  std::fprintf(f,
               "usage: img2simg RAW_IMAGE SPARSE_IMAGE [BLOCK_SIZE]\n"
               "  Converts a raw image into an Android sparse image. BLOCK_SIZE is a multiple of 4\n"
               "  from 1024 to 67108864 bytes; default 4096. A last partial block is padded with zeros.\n");
}

int Fail(const std::string& msg) {
  std::fprintf(stderr, "img2simg: error: %s\n", msg.c_str());
  return 1;
}

bool ParseBlockSize(const std::string& s, uint32_t* out) {
  if (s.empty() || s.size() > 9) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v < kMinBlockSize || v > kMaxBlockSize || v % 4 != 0) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args = platform::ProgramArguments(argc, argv);
  if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
    Usage(stdout);
    return 0;
  }
  if (args.size() != 2 && args.size() != 3) {
    Usage(stderr);
    return 2;
  }
  const std::string rawPath = args[0], outPath = args[1];
  uint32_t blockSize = 4096;
  if (args.size() == 3 && !ParseBlockSize(args[2], &blockSize))
    return Fail("invalid block size '" + args[2] + "' (a multiple of 4 from 1024 to 67108864)");
  if (SameFile(rawPath, outPath)) return Fail("the output " + outPath + " is the input");
  if (platform::KindOf(outPath) == platform::PathKind::kFolder) return Fail(outPath + " is a folder");

  const int raw = platform::OpenForRead(rawPath);
  if (raw < 0) return Fail("cannot open " + rawPath + ": " + std::strerror(errno));
  const int64_t size = platform::SizeOfFile(raw);
  if (!platform::IsRegularFile(raw) || size < 0) {
    platform::CloseFile(raw);
    return Fail(rawPath + " is not a regular file");
  }
  std::string error;
  OutputFile out;
  bool ok = out.Open(outPath, &error);
  sparse::SparseStats stats;
  ok = ok && sparse::SparseFromRaw(raw, static_cast<uint64_t>(size), blockSize, out.fd(), nullptr, &stats, &error);
  platform::CloseFile(raw);
  if (!ok) return Fail(rawPath + ": " + error);
  if (!out.Commit(&error)) return Fail(error);
  return 0;
}
