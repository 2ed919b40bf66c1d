// brotli: compresses or decompresses one file with named input and output.
//
//   brotli [--decompress] --in FILE --out FILE [--force] [--quality N] [--lgwin N] [--verbose]
//
// Streams with fixed buffers, so memory does not grow with the file. The output appears under its
// name only when the whole stream was written; a truncated or corrupt input is an error.
#include <brotli/decode.h>
#include <brotli/encode.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform.h"
#include "platform_io.h"

#include "transfer_list/output_file.h"
#include "transfer_list/progress_line.h"

namespace {

using namespace orvex;

constexpr size_t kBufferBytes = 1u << 20;

struct Options {
  bool decompress = false, force = false, verbose = false;
  std::string in, out;
  int quality = 11;
  int lgwin = -1;  // -1: chosen from the input size
};

void Usage(std::FILE* f) {
  std::fprintf(f,
               "usage: brotli [--decompress] --in FILE --out FILE [options]\n"
               "  -d, --decompress   decompress (default: compress)\n"
               "  -i, --in FILE      input file\n"
               "  -o, --out FILE     output file; an existing one is kept unless --force is given\n"
               "  -f, --force        replace an existing output file\n"
               "  -q, --quality N    compression quality 0 to 11 (default 11)\n"
               "  -w, --lgwin N      window size 2^N - 16 bytes, N of 10 to 24; 0 or unset: fitted to the input\n"
               "  -v, --verbose      show progress and a summary\n"
               "  -h, --help         show this help\n"
               "  -V, --version      show the library version\n");
}

int Fail(const std::string& msg) {
  std::fprintf(stderr, "brotli: error: %s\n", msg.c_str());
  return 1;
}

bool ParseInt(const std::string& s, int lo, int hi, int* out) {
  if (s.empty() || s.size() > 3) return false;
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < lo || v > hi) return false;
  *out = v;
  return true;
}

// 0 on success, else the exit code for a usage error.
int ParseArgs(const std::vector<std::string>& args, Options* o) {
  for (size_t i = 0; i < args.size(); ++i) {
    std::string a = args[i], value;
    bool hasValue = false;
    if (a.rfind("--", 0) == 0) {
      size_t eq = a.find('=');
      if (eq != std::string::npos) {
        value = a.substr(eq + 1);
        a.resize(eq);
        hasValue = true;
      }
    }
    auto take = [&](std::string* dst) {
      if (hasValue) {
        *dst = value;
        return true;
      }
      if (i + 1 >= args.size()) return false;
      *dst = args[++i];
      return true;
    };
    std::string v;
    if (a == "-h" || a == "--help") {
      Usage(stdout);
      return -1;
    } else if (a == "-V" || a == "--version") {
      const uint32_t ver = BrotliDecoderVersion();
      std::printf("brotli (libbrotli %u.%u.%u)\n", ver >> 24, (ver >> 12) & 0xFFF, ver & 0xFFF);
      return -1;
    } else if (a == "-d" || a == "--decompress") {
      o->decompress = true;
    } else if (a == "-f" || a == "--force") {
      o->force = true;
    } else if (a == "-v" || a == "--verbose") {
      o->verbose = true;
    } else if (a == "-i" || a == "--in") {
      if (!take(&o->in)) return 2;
    } else if (a == "-o" || a == "--out") {
      if (!take(&o->out)) return 2;
    } else if (a == "-q" || a == "--quality") {
      if (!take(&v) || !ParseInt(v, BROTLI_MIN_QUALITY, BROTLI_MAX_QUALITY, &o->quality)) {
        std::fprintf(stderr, "brotli: --quality needs a number from 0 to 11\n");
        return 2;
      }
    } else if (a == "-w" || a == "--lgwin") {
      int w = 0;
      if (!take(&v) || !ParseInt(v, 0, BROTLI_MAX_WINDOW_BITS, &w) || (w != 0 && w < BROTLI_MIN_WINDOW_BITS)) {
        std::fprintf(stderr, "brotli: --lgwin needs 0 or a number from 10 to 24\n");
        return 2;
      }
      o->lgwin = w == 0 ? -1 : w;
    } else {
      std::fprintf(stderr, "brotli: unknown argument %s\n", a.c_str());
      return 2;
    }
  }
  if (o->in.empty() || o->out.empty()) {
    std::fprintf(stderr, "brotli: both --in and --out are needed\n");
    return 2;
  }
  return 0;
}

// A file read from its start and one written from its start, each with its own position.
struct Stream {
  int fd;
  uint64_t pos = 0;
};

bool ReadSome(Stream& in, uint8_t* buf, size_t cap, size_t* got) {
  for (;;) {
    const int64_t n = platform::ReadAt(in.fd, buf, cap, in.pos);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    *got = static_cast<size_t>(n);
    in.pos += static_cast<uint64_t>(n);
    return true;
  }
}

bool WriteAll(Stream& out, const uint8_t* p, size_t n) {
  if (!platform::WriteAllAt(out.fd, p, n, out.pos)) return false;
  out.pos += n;
  return true;
}

// The smallest window that holds the whole input, as a compressor does for small files.
int FittedWindow(uint64_t size) {
  int w = BROTLI_MIN_WINDOW_BITS;
  while (w < BROTLI_MAX_WINDOW_BITS && (uint64_t{1} << w) - 16 < size) ++w;
  return w;
}

bool Compress(const Options& o, Stream& in, uint64_t inSize, Stream& out, ProgressLine& progress, uint64_t* outBytes,
              std::string* error) {
  std::unique_ptr<BrotliEncoderState, void (*)(BrotliEncoderState*)> s(BrotliEncoderCreateInstance(nullptr, nullptr, nullptr),
                                                                       BrotliEncoderDestroyInstance);
  if (!s) {
    *error = "out of memory";
    return false;
  }
  BrotliEncoderSetParameter(s.get(), BROTLI_PARAM_QUALITY, static_cast<uint32_t>(o.quality));
  BrotliEncoderSetParameter(s.get(), BROTLI_PARAM_LGWIN, static_cast<uint32_t>(o.lgwin < 0 ? FittedWindow(inSize) : o.lgwin));
  if (inSize > 0 && inSize < (uint64_t{1} << 30))
    BrotliEncoderSetParameter(s.get(), BROTLI_PARAM_SIZE_HINT, static_cast<uint32_t>(inSize));
  std::unique_ptr<uint8_t[]> inBuf(new uint8_t[kBufferBytes]), outBuf(new uint8_t[kBufferBytes]);
  size_t availIn = 0, availOut = kBufferBytes;
  const uint8_t* nextIn = inBuf.get();
  uint8_t* nextOut = outBuf.get();
  bool eof = false;
  uint64_t consumed = 0;
  for (;;) {
    if (availIn == 0 && !eof) {
      if (!ReadSome(in, inBuf.get(), kBufferBytes, &availIn)) {
        *error = std::string("cannot read the input: ") + strerror(errno);
        return false;
      }
      nextIn = inBuf.get();
      eof = availIn == 0;
      consumed += availIn;
      progress.Update(consumed, inSize);
    }
    if (!BrotliEncoderCompressStream(s.get(), eof ? BROTLI_OPERATION_FINISH : BROTLI_OPERATION_PROCESS, &availIn,
                                     &nextIn, &availOut, &nextOut, nullptr)) {
      *error = "compression failed";
      return false;
    }
    const bool finished = BrotliEncoderIsFinished(s.get());
    if (availOut == 0 || finished) {
      const size_t n = kBufferBytes - availOut;
      if (!WriteAll(out, outBuf.get(), n)) {
        *error = std::string("cannot write the output: ") + strerror(errno);
        return false;
      }
      *outBytes += n;
      nextOut = outBuf.get();
      availOut = kBufferBytes;
    }
    if (finished) return true;
  }
}

bool Decompress(Stream& in, uint64_t inSize, Stream& out, ProgressLine& progress, uint64_t* outBytes, std::string* error) {
  std::unique_ptr<BrotliDecoderState, void (*)(BrotliDecoderState*)> s(BrotliDecoderCreateInstance(nullptr, nullptr, nullptr),
                                                                       BrotliDecoderDestroyInstance);
  if (!s) {
    *error = "out of memory";
    return false;
  }
  std::unique_ptr<uint8_t[]> inBuf(new uint8_t[kBufferBytes]), outBuf(new uint8_t[kBufferBytes]);
  size_t availIn = 0, availOut = kBufferBytes;
  const uint8_t* nextIn = inBuf.get();
  uint8_t* nextOut = outBuf.get();
  uint64_t consumed = 0;
  BrotliDecoderResult r = BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT;
  auto flush = [&]() {
    const size_t n = kBufferBytes - availOut;
    if (!WriteAll(out, outBuf.get(), n)) {
      *error = std::string("cannot write the output: ") + strerror(errno);
      return false;
    }
    *outBytes += n;
    nextOut = outBuf.get();
    availOut = kBufferBytes;
    return true;
  };
  for (;;) {
    if (r == BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT) {
      if (!ReadSome(in, inBuf.get(), kBufferBytes, &availIn)) {
        *error = std::string("cannot read the input: ") + strerror(errno);
        return false;
      }
      if (availIn == 0) {
        *error = "the compressed stream is truncated";
        return false;
      }
      nextIn = inBuf.get();
      consumed += availIn;
      progress.Update(consumed, inSize);
    } else if (r == BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT) {
      if (!flush()) return false;
    } else if (r == BROTLI_DECODER_RESULT_SUCCESS) {
      if (!flush()) return false;
      size_t more = 0;
      uint8_t probe;
      if (availIn != 0 || (ReadSome(in, &probe, 1, &more) && more != 0)) {
        *error = "unexpected data after the end of the compressed stream";
        return false;
      }
      return true;
    } else {
      *error = std::string("corrupt input: ") + BrotliDecoderErrorString(BrotliDecoderGetErrorCode(s.get()));
      return false;
    }
    r = BrotliDecoderDecompressStream(s.get(), &availIn, &nextIn, &availOut, &nextOut, nullptr);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  int usage = ParseArgs(platform::ProgramArguments(argc, argv), &o);
  if (usage == -1) return 0;
  if (usage != 0) {
    Usage(stderr);
    return usage;
  }
  const platform::PathKind outKind = platform::KindOf(o.out);
  if (outKind != platform::PathKind::kMissing) {
    if (SameFile(o.in, o.out)) return Fail("the output " + o.out + " is the input");
    if (!o.force) return Fail(o.out + " already exists (--force replaces it)");
    if (outKind != platform::PathKind::kFile) return Fail(o.out + " is not a regular file");
  }
  const int inFd = platform::OpenForRead(o.in);
  if (inFd < 0) return Fail("cannot open " + o.in + ": " + strerror(errno));
  if (!platform::IsRegularFile(inFd)) {
    platform::CloseFile(inFd);
    return Fail(o.in + " is not a regular file");
  }
  Stream in{inFd};
  const int64_t inLength = platform::SizeOfFile(inFd);
  const uint64_t inSize = inLength > 0 ? static_cast<uint64_t>(inLength) : 0;
  std::string error;
  OutputFile outFile;
  if (!outFile.Open(o.out, &error)) {
    platform::CloseFile(inFd);
    return Fail(error);
  }
  Stream out{outFile.fd()};
  ProgressLine progress(o.decompress ? "brotli: decompressing" : "brotli: compressing", o.verbose);
  uint64_t outBytes = 0;
  const bool ok = o.decompress ? Decompress(in, inSize, out, progress, &outBytes, &error)
                               : Compress(o, in, inSize, out, progress, &outBytes, &error);
  progress.Finish();
  platform::CloseFile(inFd);
  if (!ok) return Fail(o.in + ": " + error);
  if (!outFile.Commit(&error)) return Fail(error);
  if (o.verbose)
    std::printf("brotli: %s: %llu bytes -> %s: %llu bytes\n", o.in.c_str(), static_cast<unsigned long long>(inSize),
                o.out.c_str(), static_cast<unsigned long long>(outBytes));
  return 0;
}
