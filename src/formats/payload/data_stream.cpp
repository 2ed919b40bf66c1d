// Streaming SHA-256, file ranges, decompressors and extent I/O of the payload extractor.
#include "data_stream.h"

#include <brotli/decode.h>
#include <bzlib.h>
#include <lzma.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform_io.h"

namespace orvex::payload {

std::string ToHex(const std::string& bytes) {
  static const char* d = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += d[c >> 4];
    out += d[c & 15];
  }
  return out;
}

InputFile::InputFile(const std::string& path) : path_(path) {
  fd_ = platform::OpenForRead(path);
  if (fd_ < 0) throw PayloadError("cannot open " + path + ": " + std::strerror(errno));
  const int64_t size = platform::IsRegularFile(fd_) ? platform::SizeOfFile(fd_) : -1;
  if (size < 0) {
    platform::CloseFile(fd_);
    throw PayloadError(path + " is not a regular file");
  }
  size_ = static_cast<uint64_t>(size);
}
InputFile::~InputFile() {
  if (fd_ >= 0) platform::CloseFile(fd_);
}
void InputFile::ReadAt(uint64_t off, void* buf, size_t n) const {
  if (off > size_ || n > size_ - off)
    throw PayloadError(path_ + " ends at byte " + std::to_string(size_) + ", reading " + std::to_string(n) +
                       " bytes at " + std::to_string(off) + " (truncated file?)");
  errno = 0;
  if (!platform::ReadAllAt(fd_, buf, n, off))
    throw PayloadError("cannot read " + path_ + ": " + (errno ? std::strerror(errno) : "unexpected end"));
}

size_t RangeSource::Read(uint8_t* buf, size_t n) {
  n = static_cast<size_t>(std::min<uint64_t>(n, left_));
  if (!n) return 0;
  f_.ReadAt(off_, buf, n);
  if (hash_) hash_->Update(buf, n);
  off_ += n;
  left_ -= n;
  return n;
}

const char* CodecName(Codec c) {
  switch (c) {
    case Codec::kBzip2: return "bzip2";
    case Codec::kXz: return "xz";
    case Codec::kZstd: return "zstd";
    case Codec::kBrotli: return "brotli";
    default: return "plain";
  }
}

namespace {

constexpr size_t kInBuf = 256 * 1024;

// The shared part of the decoders: an input buffer refilled from the inner source.
class BufferedDecoder : public ByteSource {
 protected:
  explicit BufferedDecoder(ByteSource& in) : in_(in), buf_(new uint8_t[kInBuf]) {}
  // Refills when empty; false at the end of the input.
  bool Fill() {
    if (avail_) return true;
    avail_ = in_.Read(buf_.get(), kInBuf);
    next_ = buf_.get();
    return avail_ != 0;
  }
  ByteSource& in_;
  std::unique_ptr<uint8_t[]> buf_;
  const uint8_t* next_ = nullptr;
  size_t avail_ = 0;
  bool done_ = false;
};

class PlainSource : public ByteSource {
 public:
  explicit PlainSource(ByteSource& in) : in_(in) {}
  size_t Read(uint8_t* buf, size_t n) override { return in_.Read(buf, n); }

 private:
  ByteSource& in_;
};

class BzipSource : public BufferedDecoder {
 public:
  explicit BzipSource(ByteSource& in) : BufferedDecoder(in) {
    std::memset(&s_, 0, sizeof s_);
    if (BZ2_bzDecompressInit(&s_, 0, 0) != BZ_OK) throw PayloadError("bzip2 decoder cannot start");
  }
  ~BzipSource() override { BZ2_bzDecompressEnd(&s_); }
  size_t Read(uint8_t* out, size_t n) override {
    size_t got = 0;
    while (got < n && !done_) {
      const bool more = Fill();  // without input the decoder may still hold output
      s_.next_in = reinterpret_cast<char*>(const_cast<uint8_t*>(next_));
      s_.avail_in = static_cast<unsigned>(avail_);
      s_.next_out = reinterpret_cast<char*>(out + got);
      s_.avail_out = static_cast<unsigned>(std::min<size_t>(n - got, 1u << 30));
      const unsigned before = s_.avail_out;
      int r = BZ2_bzDecompress(&s_);
      got += before - s_.avail_out;
      next_ = reinterpret_cast<const uint8_t*>(s_.next_in);
      avail_ = s_.avail_in;
      if (r == BZ_STREAM_END) {
        // A blob may hold several concatenated streams, as pbzip2 writes them.
        if (!avail_ && !Fill()) {
          done_ = true;
        } else {
          BZ2_bzDecompressEnd(&s_);
          std::memset(&s_, 0, sizeof s_);
          if (BZ2_bzDecompressInit(&s_, 0, 0) != BZ_OK) throw PayloadError("bzip2 decoder cannot start");
        }
      } else if (r != BZ_OK) {
        throw PayloadError("corrupt bzip2 data (code " + std::to_string(r) + ")");
      } else if (!more && before == s_.avail_out) {
        throw PayloadError("bzip2 data ends early");
      }
    }
    return got;
  }

 private:
  bz_stream s_;
};

class XzSource : public BufferedDecoder {
 public:
  explicit XzSource(ByteSource& in) : BufferedDecoder(in) {
    // 128 MiB is far above what the xz presets need (64 MiB for -9) and bounds hostile headers.
    if (lzma_stream_decoder(&s_, 128u << 20, LZMA_CONCATENATED) != LZMA_OK) throw PayloadError("xz decoder cannot start");
  }
  ~XzSource() override { lzma_end(&s_); }
  size_t Read(uint8_t* out, size_t n) override {
    size_t got = 0;
    while (got < n && !done_) {
      const bool more = Fill();
      s_.next_in = next_;
      s_.avail_in = avail_;
      s_.next_out = out + got;
      s_.avail_out = n - got;
      lzma_ret r = lzma_code(&s_, more ? LZMA_RUN : LZMA_FINISH);
      got = static_cast<size_t>(s_.next_out - out);
      next_ = s_.next_in;
      avail_ = s_.avail_in;
      if (r == LZMA_STREAM_END) done_ = true;
      else if (r == LZMA_BUF_ERROR && !more) throw PayloadError("xz data ends early");
      else if (r == LZMA_MEMLIMIT_ERROR) throw PayloadError("xz data needs more than 128 MiB of memory");
      else if (r != LZMA_OK) throw PayloadError("corrupt xz data (code " + std::to_string(r) + ")");
    }
    return got;
  }

 private:
  lzma_stream s_ = LZMA_STREAM_INIT;
};

class ZstdSource : public BufferedDecoder {
 public:
  explicit ZstdSource(ByteSource& in) : BufferedDecoder(in), d_(ZSTD_createDStream()) {
    if (!d_) throw PayloadError("zstd decoder cannot start");
    ZSTD_DCtx_setParameter(d_, ZSTD_d_windowLogMax, 27);  // 128 MiB windows at most
  }
  ~ZstdSource() override { ZSTD_freeDStream(d_); }
  size_t Read(uint8_t* out, size_t n) override {
    ZSTD_outBuffer ob{out, n, 0};
    while (ob.pos < n && !done_) {
      const bool more = Fill();
      if (!more && !frame_open_) {
        done_ = true;
        break;
      }
      // Without input the decoder may still hold output of the frame.
      const size_t before = ob.pos;
      ZSTD_inBuffer ib{next_, avail_, 0};
      size_t r = ZSTD_decompressStream(d_, &ob, &ib);
      if (ZSTD_isError(r)) throw PayloadError(std::string("corrupt zstd data: ") + ZSTD_getErrorName(r));
      frame_open_ = r != 0;
      next_ += ib.pos;
      avail_ -= ib.pos;
      if (!more && frame_open_ && ob.pos == before) throw PayloadError("zstd data ends early");
    }
    return ob.pos;
  }

 private:
  ZSTD_DStream* d_;
  bool frame_open_ = false;
};

class BrotliSource : public BufferedDecoder {
 public:
  explicit BrotliSource(ByteSource& in) : BufferedDecoder(in), s_(BrotliDecoderCreateInstance(nullptr, nullptr, nullptr)) {
    if (!s_) throw PayloadError("brotli decoder cannot start");
  }
  ~BrotliSource() override { BrotliDecoderDestroyInstance(s_); }
  size_t Read(uint8_t* out, size_t n) override {
    size_t got = 0;
    while (got < n && !done_) {
      const bool more = Fill();
      size_t avail_out = n - got;
      uint8_t* next_out = out + got;
      BrotliDecoderResult r = BrotliDecoderDecompressStream(s_, &avail_, &next_, &avail_out, &next_out, nullptr);
      got = static_cast<size_t>(next_out - out);
      if (r == BROTLI_DECODER_RESULT_SUCCESS) done_ = true;
      else if (r == BROTLI_DECODER_RESULT_ERROR)
        throw PayloadError(std::string("corrupt brotli data: ") +
                           BrotliDecoderErrorString(BrotliDecoderGetErrorCode(s_)));
      else if (r == BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT && !more)
        throw PayloadError("brotli data ends early");
    }
    return got;
  }

 private:
  BrotliDecoderState* s_;
};

}  // namespace

std::unique_ptr<ByteSource> MakeDecoder(Codec c, ByteSource& in) {
  switch (c) {
    case Codec::kBzip2: return std::make_unique<BzipSource>(in);
    case Codec::kXz: return std::make_unique<XzSource>(in);
    case Codec::kZstd: return std::make_unique<ZstdSource>(in);
    case Codec::kBrotli: return std::make_unique<BrotliSource>(in);
    default: return std::make_unique<PlainSource>(in);
  }
}

void WriteFully(int fd, const void* data, size_t n, uint64_t off) {
  errno = 0;
  if (!platform::WriteAllAt(fd, data, n, off))
    throw PayloadError(std::string("cannot write the image: ") + (errno ? std::strerror(errno) : "no room"));
}

ExtentWriter::ExtentWriter(int fd, const std::vector<Extent>& extents, uint32_t block_size, bool skip_zeros)
    : fd_(fd), ex_(extents), bs_(block_size), skip_zeros_(skip_zeros) {
  for (const Extent& e : ex_) total_ += e.num_blocks * bs_;
}

namespace {
bool AllZero(const uint8_t* p, size_t n) {
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if (v) return false;
  }
  for (; n; ++p, --n)
    if (*p) return false;
  return true;
}
}  // namespace

void ExtentWriter::Write(const uint8_t* data, size_t n) {
  if (n > total_ - pos_) throw PayloadError("operation output is larger than its destination extents");
  while (n) {
    const Extent& e = ex_[idx_];
    const uint64_t room = e.num_blocks * bs_ - in_extent_;
    const size_t k = static_cast<size_t>(std::min<uint64_t>(room, n));
    if (e.start_block != kSparseHole && !(skip_zeros_ && AllZero(data, k)))
      WriteFully(fd_, data, k, e.start_block * bs_ + in_extent_);
    data += k;
    n -= k;
    pos_ += k;
    in_extent_ += k;
    if (in_extent_ == e.num_blocks * bs_) {
      ++idx_;
      in_extent_ = 0;
    }
  }
}

ExtentReader::ExtentReader(const InputFile& f, const std::vector<Extent>& extents, uint32_t block_size)
    : f_(f), ex_(extents), bs_(block_size) {
  for (const Extent& e : ex_) {
    starts_.push_back(total_);
    total_ += e.num_blocks * bs_;
  }
}

void ExtentReader::ReadAt(uint64_t pos, uint8_t* buf, size_t n) const {
  if (pos > total_ || n > total_ - pos) throw PayloadError("read past the source extents");
  size_t i = static_cast<size_t>(std::upper_bound(starts_.begin(), starts_.end(), pos) - starts_.begin()) - 1;
  while (n) {
    const Extent& e = ex_[i];
    const uint64_t in = pos - starts_[i];
    const size_t k = static_cast<size_t>(std::min<uint64_t>(e.num_blocks * bs_ - in, n));
    if (e.start_block == kSparseHole) std::memset(buf, 0, k);
    else f_.ReadAt(e.start_block * bs_ + in, buf, k);
    buf += k;
    n -= k;
    pos += k;
    ++i;
  }
}

}  // namespace orvex::payload
