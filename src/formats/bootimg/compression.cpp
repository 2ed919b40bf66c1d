#include "bootimg/compression.h"

#include <bzlib.h>
#include <lz4.h>
#include <lz4frame.h>
#include <lz4hc.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace orvex::bootimg {

namespace {

constexpr uint32_t kLz4LegacyMagic = 0x184C2102;
constexpr size_t kLz4LegacyBlock = 8 << 20;
constexpr size_t kChunk = 1 << 16;

// Shared frame for the stream decompressors: an input buffer refilled from the source and a
// running count of the output against the limit.
class Decoder : public Reader {
 public:
  Decoder(Reader& in, uint64_t limit, const char* what) : in_(in), limit_(limit), what_(what), buf_(kChunk) {}
  size_t Read(void* out, size_t n) override {
    if (n == 0 || done_) return 0;
    size_t got = Produce(static_cast<uint8_t*>(out), n);
    produced_ += got;
    if (produced_ > limit_)
      throw Error(std::string("the ") + what_ + " data expands past " + std::to_string(limit_) +
                  " bytes: refusing to unpack it");
    return got;
  }

 protected:
  // Fills up to n bytes; 0 at the end (and sets done_).
  virtual size_t Produce(uint8_t* out, size_t n) = 0;
  // Makes input available; false at the end of the source.
  bool Refill() {
    if (avail_ > 0) return true;
    avail_ = in_.Read(buf_.data(), buf_.size());
    next_ = buf_.data();
    return avail_ > 0;
  }
  // After a stream ended: true when another stream follows, false when only zeros (or
  // nothing) are left.
  bool MoreStreams() {
    for (;;) {
      while (avail_ > 0 && *next_ == 0) {
        ++next_;
        --avail_;
      }
      if (avail_ > 0) return true;
      if (!Refill()) return false;
    }
  }
  [[noreturn]] void Corrupt(const std::string& detail) {
    throw Error(std::string("corrupt ") + what_ + " data" + (detail.empty() ? "" : ": " + detail));
  }

  Reader& in_;
  uint64_t limit_;
  const char* what_;
  std::vector<uint8_t> buf_;
  const uint8_t* next_ = nullptr;
  size_t avail_ = 0;
  uint64_t produced_ = 0;
  bool done_ = false;
};

class GzipDecoder : public Decoder {
 public:
  GzipDecoder(Reader& in, uint64_t limit) : Decoder(in, limit, "gzip") {
    if (inflateInit2(&z_, 15 + 16) != Z_OK) throw Error("cannot start zlib");
  }
  ~GzipDecoder() override { inflateEnd(&z_); }

 protected:
  size_t Produce(uint8_t* out, size_t n) override {
    z_.next_out = out;
    z_.avail_out = uInt(n > (1u << 30) ? (1u << 30) : n);
    const uInt want = z_.avail_out;
    while (z_.avail_out == want) {
      if (!Refill()) {
        if (!started_) {
          done_ = true;
          return 0;
        }
        Corrupt("the stream is cut short");
      }
      started_ = true;
      z_.next_in = const_cast<Bytef*>(next_);
      z_.avail_in = uInt(avail_);
      int rc = inflate(&z_, Z_NO_FLUSH);
      next_ = z_.next_in;
      avail_ = z_.avail_in;
      if (rc == Z_STREAM_END) {
        started_ = false;
        // Another gzip member may follow; anything else after the data is not ours to read.
        if (!MoreStreams() || *next_ != 0x1f) {
          done_ = true;
          break;
        }
        inflateReset(&z_);
      } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
        Corrupt(z_.msg ? z_.msg : "");
      }
    }
    return want - z_.avail_out;
  }

 private:
  z_stream z_{};
  bool started_ = false;
};

class XzDecoder : public Decoder {
 public:
  XzDecoder(Reader& in, uint64_t limit, bool alone) : Decoder(in, limit, alone ? "lzma" : "xz") {
    lzma_ret rc = alone ? lzma_alone_decoder(&s_, 512u << 20)
                        : lzma_stream_decoder(&s_, 512u << 20, LZMA_CONCATENATED);
    if (rc != LZMA_OK) throw Error("cannot start liblzma");
  }
  ~XzDecoder() override { lzma_end(&s_); }

 protected:
  size_t Produce(uint8_t* out, size_t n) override {
    s_.next_out = out;
    s_.avail_out = n;
    while (s_.avail_out == n) {
      lzma_action action = LZMA_RUN;
      if (!Refill()) action = LZMA_FINISH;
      s_.next_in = next_;
      s_.avail_in = avail_;
      lzma_ret rc = lzma_code(&s_, action);
      next_ = s_.next_in;
      avail_ = s_.avail_in;
      if (rc == LZMA_STREAM_END) {
        done_ = true;
        break;
      }
      if (rc == LZMA_BUF_ERROR && action == LZMA_FINISH) Corrupt("the stream is cut short");
      if (rc != LZMA_OK) Corrupt("liblzma error " + std::to_string(int(rc)));
    }
    return n - s_.avail_out;
  }

 private:
  lzma_stream s_ = LZMA_STREAM_INIT;
};

class Bzip2Decoder : public Decoder {
 public:
  Bzip2Decoder(Reader& in, uint64_t limit) : Decoder(in, limit, "bzip2") {
    if (BZ2_bzDecompressInit(&s_, 0, 0) != BZ_OK) throw Error("cannot start libbz2");
  }
  ~Bzip2Decoder() override { BZ2_bzDecompressEnd(&s_); }

 protected:
  size_t Produce(uint8_t* out, size_t n) override {
    if (n > (1u << 30)) n = 1u << 30;
    s_.next_out = reinterpret_cast<char*>(out);
    s_.avail_out = unsigned(n);
    while (s_.avail_out == n) {
      if (!Refill()) Corrupt("the stream is cut short");
      s_.next_in = const_cast<char*>(reinterpret_cast<const char*>(next_));
      s_.avail_in = unsigned(avail_);
      int rc = BZ2_bzDecompress(&s_);
      next_ = reinterpret_cast<const uint8_t*>(s_.next_in);
      avail_ = s_.avail_in;
      if (rc == BZ_STREAM_END) {
        if (!MoreStreams()) {
          done_ = true;
          break;
        }
        char* next_out = s_.next_out;
        unsigned avail_out = s_.avail_out;
        BZ2_bzDecompressEnd(&s_);
        s_ = bz_stream{};
        if (BZ2_bzDecompressInit(&s_, 0, 0) != BZ_OK) throw Error("cannot start libbz2");
        s_.next_out = next_out;
        s_.avail_out = avail_out;
      } else if (rc != BZ_OK) {
        Corrupt("libbz2 error " + std::to_string(rc));
      }
    }
    return n - s_.avail_out;
  }

 private:
  bz_stream s_{};
};

class ZstdDecoder : public Decoder {
 public:
  ZstdDecoder(Reader& in, uint64_t limit) : Decoder(in, limit, "zstd"), d_(ZSTD_createDStream()) {
    if (!d_) throw Error("cannot start libzstd");
    ZSTD_DCtx_setParameter(d_, ZSTD_d_windowLogMax, 27);
  }
  ~ZstdDecoder() override { ZSTD_freeDStream(d_); }

 protected:
  size_t Produce(uint8_t* out, size_t n) override {
    ZSTD_outBuffer o{out, n, 0};
    while (o.pos == 0) {
      if (!Refill()) {
        if (mid_frame_) Corrupt("the stream is cut short");
        done_ = true;
        return 0;
      }
      if (!mid_frame_ && !MoreStreams()) {
        done_ = true;
        return 0;
      }
      ZSTD_inBuffer i{next_, avail_, 0};
      size_t rc = ZSTD_decompressStream(d_, &o, &i);
      if (ZSTD_isError(rc)) Corrupt(ZSTD_getErrorName(rc));
      mid_frame_ = rc != 0;
      next_ += i.pos;
      avail_ -= i.pos;
    }
    return o.pos;
  }

 private:
  ZSTD_DStream* d_;
  bool mid_frame_ = false;
};

class Lz4FrameDecoder : public Decoder {
 public:
  Lz4FrameDecoder(Reader& in, uint64_t limit) : Decoder(in, limit, "lz4") {
    if (LZ4F_isError(LZ4F_createDecompressionContext(&d_, LZ4F_VERSION))) throw Error("cannot start liblz4");
  }
  ~Lz4FrameDecoder() override { LZ4F_freeDecompressionContext(d_); }

 protected:
  size_t Produce(uint8_t* out, size_t n) override {
    size_t produced = 0;
    while (produced == 0) {
      if (!Refill()) {
        if (mid_frame_) Corrupt("the stream is cut short");
        done_ = true;
        return 0;
      }
      if (!mid_frame_ && !MoreStreams()) {
        done_ = true;
        return 0;
      }
      size_t out_size = n, in_size = avail_;
      size_t rc = LZ4F_decompress(d_, out, &out_size, next_, &in_size, nullptr);
      if (LZ4F_isError(rc)) Corrupt(LZ4F_getErrorName(rc));
      mid_frame_ = rc != 0;
      next_ += in_size;
      avail_ -= in_size;
      produced = out_size;
    }
    return produced;
  }

 private:
  LZ4F_dctx* d_ = nullptr;
  bool mid_frame_ = false;
};

// The legacy lz4 form the kernel reads: a magic number, then blocks of up to 8 MiB, each after
// its compressed size; another magic number may start a new stream.
class Lz4LegacyDecoder : public Decoder {
 public:
  Lz4LegacyDecoder(Reader& in, uint64_t limit) : Decoder(in, limit, "lz4 legacy") {}

 protected:
  size_t Produce(uint8_t* out, size_t n) override {
    while (pos_ == len_) {
      uint8_t w[4];
      size_t got = Take(w, 4);
      if (got == 0) {
        done_ = true;
        return 0;
      }
      if (got < 4) Corrupt("a block size is cut short");
      uint32_t v = Le32(w);
      if (v == kLz4LegacyMagic) {
        seen_magic_ = true;
        continue;
      }
      if (!seen_magic_) Corrupt("no lz4 legacy magic");
      if (v == 0) {
        // Zero padding after the last block.
        done_ = true;
        return 0;
      }
      if (v > uint32_t(LZ4_compressBound(int(kLz4LegacyBlock)))) Corrupt("block size " + std::to_string(v));
      comp_.resize(v);
      if (Take(comp_.data(), v) != v) Corrupt("a block is cut short");
      block_.resize(kLz4LegacyBlock);
      int r = LZ4_decompress_safe(reinterpret_cast<const char*>(comp_.data()), reinterpret_cast<char*>(block_.data()),
                                  int(v), int(block_.size()));
      if (r < 0) Corrupt("a block does not decode");
      pos_ = 0;
      len_ = size_t(r);
    }
    size_t k = std::min(n, len_ - pos_);
    std::memcpy(out, block_.data() + pos_, k);
    pos_ += k;
    return k;
  }

 private:
  size_t Take(uint8_t* p, size_t n) {
    size_t got = 0;
    while (got < n && Refill()) {
      size_t k = std::min(n - got, avail_);
      std::memcpy(p + got, next_, k);
      next_ += k;
      avail_ -= k;
      got += k;
    }
    return got;
  }
  std::vector<uint8_t> block_, comp_;
  size_t pos_ = 0, len_ = 0;
  bool seen_magic_ = false;
};

class PlainReader : public Decoder {
 public:
  PlainReader(Reader& in, uint64_t limit) : Decoder(in, limit, "cpio") {}

 protected:
  size_t Produce(uint8_t* out, size_t n) override {
    if (!Refill()) {
      done_ = true;
      return 0;
    }
    size_t k = std::min(n, avail_);
    std::memcpy(out, next_, k);
    next_ += k;
    avail_ -= k;
    return k;
  }
};

// Reads the whole input in chunks and calls feed(data, n, last).
template <class Feed>
void Pump(Reader& in, Feed feed) {
  std::vector<uint8_t> buf(kChunk * 16);
  for (;;) {
    size_t got = in.Read(buf.data(), buf.size());
    feed(buf.data(), got, got == 0);
    if (got == 0) return;
  }
}

}  // namespace

Compression DetectCompression(const uint8_t* p, size_t n) {
  auto starts = [&](const char* m, size_t k) { return n >= k && std::memcmp(p, m, k) == 0; };
  if (starts("\x1f\x8b", 2)) return Compression::Gzip;
  if (starts("\x02\x21\x4c\x18", 4)) return Compression::Lz4Legacy;
  if (starts("\x04\x22\x4d\x18", 4)) return Compression::Lz4Frame;
  if (starts("\xfd" "7zXZ\0", 6)) return Compression::Xz;
  if (starts("BZh", 3) && n >= 4 && p[3] >= '1' && p[3] <= '9') return Compression::Bzip2;
  if (starts("\x28\xb5\x2f\xfd", 4)) return Compression::Zstd;
  if (starts("070701", 6) || starts("070702", 6)) return Compression::None;
  // lzma-alone: a properties byte below 225 (usually 0x5d) and a power-of-two-ish dictionary.
  if (n >= 13 && p[0] == 0x5d && p[1] == 0 && (p[4] & 0x80) == 0 && (p[5] == 0xff || p[12] == 0))
    return Compression::Lzma;
  return Compression::Unknown;
}

const char* CompressionName(Compression c) {
  switch (c) {
    case Compression::None: return "none";
    case Compression::Gzip: return "gzip";
    case Compression::Lz4Legacy: return "lz4-legacy";
    case Compression::Lz4Frame: return "lz4";
    case Compression::Xz: return "xz";
    case Compression::Lzma: return "lzma";
    case Compression::Bzip2: return "bzip2";
    case Compression::Zstd: return "zstd";
    case Compression::Unknown: return "unknown";
  }
  return "unknown";
}

Compression CompressionFromName(const std::string& name) {
  for (Compression c : {Compression::None, Compression::Gzip, Compression::Lz4Legacy, Compression::Lz4Frame,
                        Compression::Xz, Compression::Lzma, Compression::Bzip2, Compression::Zstd,
                        Compression::Unknown})
    if (name == CompressionName(c)) return c;
  throw Error("unknown compression '" + name +
              "' (none, gzip, lz4-legacy, lz4, xz, lzma, bzip2, zstd or unknown)");
}

const char* CompressionSuffix(Compression c) {
  switch (c) {
    case Compression::None: return ".cpio";
    case Compression::Gzip: return ".cpio.gz";
    case Compression::Lz4Legacy:
    case Compression::Lz4Frame: return ".cpio.lz4";
    case Compression::Xz: return ".cpio.xz";
    case Compression::Lzma: return ".cpio.lzma";
    case Compression::Bzip2: return ".cpio.bz2";
    case Compression::Zstd: return ".cpio.zst";
    case Compression::Unknown: return ".bin";
  }
  return ".bin";
}

std::unique_ptr<Reader> OpenDecompressor(Compression c, Reader& in, uint64_t limit) {
  switch (c) {
    case Compression::None: return std::make_unique<PlainReader>(in, limit);
    case Compression::Gzip: return std::make_unique<GzipDecoder>(in, limit);
    case Compression::Lz4Legacy: return std::make_unique<Lz4LegacyDecoder>(in, limit);
    case Compression::Lz4Frame: return std::make_unique<Lz4FrameDecoder>(in, limit);
    case Compression::Xz: return std::make_unique<XzDecoder>(in, limit, false);
    case Compression::Lzma: return std::make_unique<XzDecoder>(in, limit, true);
    case Compression::Bzip2: return std::make_unique<Bzip2Decoder>(in, limit);
    case Compression::Zstd: return std::make_unique<ZstdDecoder>(in, limit);
    case Compression::Unknown: break;
  }
  throw Error("the ramdisk is in no known compression");
}

void Compress(Compression c, Reader& in, Writer& out, int level) {
  std::vector<uint8_t> obuf(kChunk * 16);
  switch (c) {
    case Compression::None:
      Copy(in, out);
      return;
    case Compression::Gzip: {
      z_stream z{};
      if (deflateInit2(&z, level < 0 ? 9 : level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw Error("cannot start zlib");
      // The gzip header names the system that wrote it; zlib takes the one it was built for. A
      // ramdisk is an Android (Unix) file, and the same folder packs into the same bytes on
      // every system.
      gz_header head{};
      head.os = 3;  // Unix
      if (deflateSetHeader(&z, &head) != Z_OK) {
        deflateEnd(&z);
        throw Error("cannot start zlib");
      }
      try {
        Pump(in, [&](const uint8_t* p, size_t n, bool last) {
          z.next_in = const_cast<Bytef*>(p);
          z.avail_in = uInt(n);
          int rc;
          do {
            z.next_out = obuf.data();
            z.avail_out = uInt(obuf.size());
            rc = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
            out.Write(obuf.data(), obuf.size() - z.avail_out);
          } while (z.avail_out == 0 || (last && rc != Z_STREAM_END));
        });
      } catch (...) {
        deflateEnd(&z);
        throw;
      }
      deflateEnd(&z);
      return;
    }
    case Compression::Lz4Legacy: {
      uint8_t magic[4];
      PutLe32(magic, kLz4LegacyMagic);
      out.Write(magic, 4);
      std::vector<uint8_t> block(kLz4LegacyBlock);
      std::vector<uint8_t> comp(static_cast<size_t>(LZ4_compressBound(int(kLz4LegacyBlock))));
      for (;;) {
        size_t fill = 0;
        while (fill < block.size()) {
          size_t got = in.Read(block.data() + fill, block.size() - fill);
          if (got == 0) break;
          fill += got;
        }
        if (fill == 0) break;
        int n = LZ4_compress_HC(reinterpret_cast<const char*>(block.data()), reinterpret_cast<char*>(comp.data()),
                                int(fill), int(comp.size()), level < 0 ? LZ4HC_CLEVEL_MAX : level);
        if (n <= 0) throw Error("lz4 compression failed");
        uint8_t sz[4];
        PutLe32(sz, uint32_t(n));
        out.Write(sz, 4);
        out.Write(comp.data(), size_t(n));
        if (fill < block.size()) break;
      }
      return;
    }
    case Compression::Lz4Frame: {
      LZ4F_preferences_t prefs{};
      prefs.compressionLevel = level < 0 ? LZ4HC_CLEVEL_MAX : level;
      LZ4F_cctx* cctx = nullptr;
      if (LZ4F_isError(LZ4F_createCompressionContext(&cctx, LZ4F_VERSION))) throw Error("cannot start liblz4");
      std::unique_ptr<LZ4F_cctx, decltype(&LZ4F_freeCompressionContext)> guard(cctx, LZ4F_freeCompressionContext);
      std::vector<uint8_t> ibuf(kChunk * 16);
      std::vector<uint8_t> cbuf(LZ4F_compressBound(ibuf.size(), &prefs) + 64);
      size_t n = LZ4F_compressBegin(cctx, cbuf.data(), cbuf.size(), &prefs);
      if (LZ4F_isError(n)) throw Error("lz4 compression failed");
      out.Write(cbuf.data(), n);
      for (;;) {
        size_t got = in.Read(ibuf.data(), ibuf.size());
        if (got == 0) break;
        n = LZ4F_compressUpdate(cctx, cbuf.data(), cbuf.size(), ibuf.data(), got, nullptr);
        if (LZ4F_isError(n)) throw Error("lz4 compression failed");
        out.Write(cbuf.data(), n);
      }
      n = LZ4F_compressEnd(cctx, cbuf.data(), cbuf.size(), nullptr);
      if (LZ4F_isError(n)) throw Error("lz4 compression failed");
      out.Write(cbuf.data(), n);
      return;
    }
    case Compression::Xz:
    case Compression::Lzma: {
      lzma_stream s = LZMA_STREAM_INIT;
      lzma_ret rc;
      uint32_t preset = level < 0 ? 6 : uint32_t(level);
      if (c == Compression::Xz) {
        // The kernel's xz reader checks CRC32 only.
        rc = lzma_easy_encoder(&s, preset, LZMA_CHECK_CRC32);
      } else {
        lzma_options_lzma opt;
        lzma_lzma_preset(&opt, preset);
        rc = lzma_alone_encoder(&s, &opt);
      }
      if (rc != LZMA_OK) throw Error("cannot start liblzma");
      try {
        Pump(in, [&](const uint8_t* p, size_t n, bool last) {
          s.next_in = p;
          s.avail_in = n;
          lzma_ret r;
          do {
            s.next_out = obuf.data();
            s.avail_out = obuf.size();
            r = lzma_code(&s, last ? LZMA_FINISH : LZMA_RUN);
            if (r != LZMA_OK && r != LZMA_STREAM_END) throw Error("xz compression failed");
            out.Write(obuf.data(), obuf.size() - s.avail_out);
          } while (s.avail_out == 0 || (last && r != LZMA_STREAM_END));
        });
      } catch (...) {
        lzma_end(&s);
        throw;
      }
      lzma_end(&s);
      return;
    }
    case Compression::Bzip2: {
      bz_stream s{};
      if (BZ2_bzCompressInit(&s, level < 0 ? 9 : level, 0, 0) != BZ_OK) throw Error("cannot start libbz2");
      try {
        Pump(in, [&](const uint8_t* p, size_t n, bool last) {
          s.next_in = const_cast<char*>(reinterpret_cast<const char*>(p));
          s.avail_in = unsigned(n);
          int r;
          do {
            s.next_out = reinterpret_cast<char*>(obuf.data());
            s.avail_out = unsigned(obuf.size());
            r = BZ2_bzCompress(&s, last ? BZ_FINISH : BZ_RUN);
            if (r < 0) throw Error("bzip2 compression failed");
            out.Write(obuf.data(), obuf.size() - s.avail_out);
          } while (last ? r != BZ_STREAM_END : s.avail_in > 0);
        });
      } catch (...) {
        BZ2_bzCompressEnd(&s);
        throw;
      }
      BZ2_bzCompressEnd(&s);
      return;
    }
    case Compression::Zstd: {
      ZSTD_CCtx* cc = ZSTD_createCCtx();
      if (!cc) throw Error("cannot start libzstd");
      std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> guard(cc, ZSTD_freeCCtx);
      ZSTD_CCtx_setParameter(cc, ZSTD_c_compressionLevel, level < 0 ? 19 : level);
      ZSTD_CCtx_setParameter(cc, ZSTD_c_checksumFlag, 1);
      Pump(in, [&](const uint8_t* p, size_t n, bool last) {
        ZSTD_inBuffer i{p, n, 0};
        size_t left;
        do {
          ZSTD_outBuffer o{obuf.data(), obuf.size(), 0};
          left = ZSTD_compressStream2(cc, &o, &i, last ? ZSTD_e_end : ZSTD_e_continue);
          if (ZSTD_isError(left)) throw Error("zstd compression failed");
          out.Write(obuf.data(), o.pos);
        } while (last ? left != 0 : i.pos < i.size);
      });
      return;
    }
    case Compression::Unknown: break;
  }
  throw Error("cannot compress in an unknown form");
}

}  // namespace orvex::bootimg
