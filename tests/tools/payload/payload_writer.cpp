#include "payload_writer.h"

#include <brotli/decode.h>
#include <brotli/encode.h>
#include <bzlib.h>
#include <lzma.h>
#include <zstd.h>

#include <stdexcept>

#include "data_stream.h"
#include "test_support.h"

namespace orvex::test::payload_writer {

namespace {

void Varint(std::string& o, uint64_t v) {
  while (v >= 0x80) {
    o += static_cast<char>((v & 0x7f) | 0x80);
    v >>= 7;
  }
  o += static_cast<char>(v);
}
void FieldNum(std::string& o, uint32_t f, uint64_t v) {
  Varint(o, uint64_t(f) << 3);
  Varint(o, v);
}
void FieldBytes(std::string& o, uint32_t f, const std::string& b) {
  Varint(o, (uint64_t(f) << 3) | 2);
  Varint(o, b.size());
  o += b;
}
std::string Extent(const Ext& e) {
  std::string o;
  FieldNum(o, 1, e.start);
  FieldNum(o, 2, e.num);
  return o;
}
void BigEndian(std::string& o, uint64_t v, int n) {
  for (int i = n - 1; i >= 0; --i) o += static_cast<char>((v >> (8 * i)) & 0xff);
}
std::string OffTOut(int64_t v) {
  uint64_t m = v < 0 ? uint64_t(-v) : uint64_t(v);
  std::string o;
  for (int i = 0; i < 8; ++i) o += static_cast<char>((m >> (8 * i)) & 0xff);
  if (v < 0) o[7] = static_cast<char>(o[7] | 0x80);
  return o;
}
int64_t OffTIn(const std::string& b, size_t at) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(b[at + i]);
  const bool neg = v >> 63;
  v &= ~(uint64_t(1) << 63);
  return neg ? -int64_t(v) : int64_t(v);
}

std::string Bunzip(const std::string& in) {
  bz_stream s{};
  BZ2_bzDecompressInit(&s, 0, 0);
  std::string out;
  char buf[65536];
  s.next_in = const_cast<char*>(in.data());
  s.avail_in = static_cast<unsigned>(in.size());
  int r;
  do {
    s.next_out = buf;
    s.avail_out = sizeof buf;
    r = BZ2_bzDecompress(&s);
    out.append(buf, sizeof buf - s.avail_out);
  } while (r == BZ_OK && (s.avail_in || s.avail_out == 0));
  BZ2_bzDecompressEnd(&s);
  if (r != BZ_STREAM_END) throw std::runtime_error("bad bzip2 stream in a bsdiff patch");
  return out;
}

bool AllZero(const std::string& s) { return s.find_first_not_of('\0') == std::string::npos; }

}  // namespace

std::string Sha256Of(const std::string& bytes) {
  orvex::payload::Sha256 h;
  h.Update(bytes.data(), bytes.size());
  return h.Final();
}

std::string Compress(Comp c, const std::string& data) {
  std::string out;
  switch (c) {
    case Comp::kBzip2: {
      unsigned len = static_cast<unsigned>(data.size() + data.size() / 100 + 700);
      out.resize(len);
      if (BZ2_bzBuffToBuffCompress(out.data(), &len, const_cast<char*>(data.data()), static_cast<unsigned>(data.size()),
                                   9, 0, 0) != BZ_OK)
        throw std::runtime_error("bzip2 failed");
      out.resize(len);
      break;
    }
    case Comp::kXz: {
      out.resize(lzma_stream_buffer_bound(data.size()));
      size_t pos = 0;
      if (lzma_easy_buffer_encode(1, LZMA_CHECK_CRC32, nullptr, reinterpret_cast<const uint8_t*>(data.data()),
                                  data.size(), reinterpret_cast<uint8_t*>(out.data()), &pos, out.size()) != LZMA_OK)
        throw std::runtime_error("xz failed");
      out.resize(pos);
      break;
    }
    case Comp::kZstd: {
      out.resize(ZSTD_compressBound(data.size()));
      size_t n = ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 3);
      if (ZSTD_isError(n)) throw std::runtime_error("zstd failed");
      out.resize(n);
      break;
    }
    case Comp::kBrotli: {
      size_t n = BrotliEncoderMaxCompressedSize(data.size());
      if (n == 0) n = data.size() + 1024;
      out.resize(n);
      if (!BrotliEncoderCompress(5, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_GENERIC, data.size(),
                                 reinterpret_cast<const uint8_t*>(data.data()), &n,
                                 reinterpret_cast<uint8_t*>(out.data())))
        throw std::runtime_error("brotli failed");
      out.resize(n);
      break;
    }
  }
  return out;
}

std::string Serialize(const Payload& p, Layout* layout) {
  std::string manifest, blobs;
  std::vector<std::vector<uint64_t>> offsets, op_offsets;
  FieldNum(manifest, 3, p.block_size);
  FieldNum(manifest, 12, p.minor_version);
  for (const Part& part : p.parts) {
    std::string pm;
    FieldBytes(pm, 1, part.name);
    std::string info;
    FieldNum(info, 1, part.size);
    if (!part.hash.empty()) FieldBytes(info, 2, part.hash);
    FieldBytes(pm, 7, info);
    offsets.emplace_back();
    std::vector<uint64_t> op_rel;
    for (const Op& op : part.ops) {
      std::string om;
      FieldNum(om, 1, op.type);
      if (!op.blob.empty()) {
        FieldNum(om, 2, blobs.size());
        FieldNum(om, 3, op.blob.size());
      }
      for (const Ext& e : op.src) FieldBytes(om, 4, Extent(e));
      if (op.src_length) FieldNum(om, 5, op.src_length);
      for (const Ext& e : op.dst) FieldBytes(om, 6, Extent(e));
      if (op.dst_length) FieldNum(om, 7, op.dst_length);
      if (!op.blob.empty() && op.data_hash) FieldBytes(om, 8, Sha256Of(op.blob));
      if (!op.src_hash.empty()) FieldBytes(om, 9, op.src_hash);
      std::string head;
      Varint(head, (8u << 3) | 2);
      Varint(head, om.size());
      op_rel.push_back(pm.size() + head.size());
      FieldBytes(pm, 8, om);
      offsets.back().push_back(blobs.size());
      blobs += op.blob;
    }
    std::string head;
    Varint(head, (13u << 3) | 2);
    Varint(head, pm.size());
    for (auto& r : op_rel) r += 24 + manifest.size() + head.size();
    op_offsets.push_back(op_rel);
    FieldBytes(manifest, 13, pm);
  }
  std::string out = "CrAU";
  BigEndian(out, 2, 8);
  BigEndian(out, manifest.size(), 8);
  BigEndian(out, 0, 4);
  out += manifest;
  if (layout) {
    layout->manifest_offset = 24;
    layout->manifest_size = manifest.size();
    layout->data_offset = out.size();
    layout->blob_offsets = offsets;
    layout->op_offsets = op_offsets;
    for (auto& v : layout->blob_offsets)
      for (auto& o : v) o += out.size();
  }
  return out + blobs;
}

Part FullPartition(const std::string& name, const std::string& image, uint32_t bs, uint64_t chunk_blocks) {
  Part part;
  part.name = name;
  part.size = image.size();
  part.hash = Sha256Of(image);
  const uint32_t kinds[] = {0, 1, 8, 14};  // REPLACE, REPLACE_BZ, REPLACE_XZ, REPLACE_ZSTD
  size_t next = 0, zeros = 0, data_ops = 0;
  const uint64_t blocks = (image.size() + bs - 1) / bs;
  for (uint64_t b = 0; b < blocks; b += chunk_blocks) {
    const uint64_t n = std::min(chunk_blocks, blocks - b);
    const std::string chunk = image.substr(b * bs, n * bs);
    Op op;
    if (AllZero(chunk)) {
      op.type = (zeros++ % 2) ? 7 : 6;  // ZERO, DISCARD
      op.dst.push_back({b, n});
    } else {
      op.type = kinds[next++ % 4];
      std::string data = chunk;
      if (n >= 2 && (data_ops++ % 2)) {
        const uint64_t h = n / 2;
        op.dst = {{b + h, n - h}, {b, h}};
        data = image.substr((b + h) * bs, (n - h) * bs) + image.substr(b * bs, h * bs);
      } else {
        op.dst.push_back({b, n});
      }
      switch (op.type) {
        case 0: op.blob = data; break;
        case 1: op.blob = Compress(Comp::kBzip2, data); break;
        case 8: op.blob = Compress(Comp::kXz, data); break;
        default: op.blob = Compress(Comp::kZstd, data); break;
      }
    }
    part.ops.push_back(std::move(op));
  }
  return part;
}

std::string MakePatch(const std::string& old_bytes, const std::string& new_bytes, const std::string& tmp_dir,
                      const std::vector<int>& codes) {
  const std::string o = tmp_dir + "/old.bin", n = tmp_dir + "/new.bin", p = tmp_dir + "/patch.bin";
  WriteFile(o, old_bytes);
  WriteFile(n, new_bytes);
  auto r = RunCommand("bsdiff " + ShQuote(o) + " " + ShQuote(n) + " " + ShQuote(p));
  if (r.exit_code != 0) throw std::runtime_error("bsdiff failed: " + r.output);
  std::string patch = ReadFile(p);
  if (codes.empty()) return patch;
  if (patch.size() < 32 || patch.compare(0, 8, "BSDIFF40") != 0) throw std::runtime_error("bsdiff wrote no BSDIFF40 patch");
  const int64_t cl = OffTIn(patch, 8), dl = OffTIn(patch, 16), ns = OffTIn(patch, 24);
  const std::string streams[3] = {Bunzip(patch.substr(32, cl)), Bunzip(patch.substr(32 + cl, dl)),
                                  Bunzip(patch.substr(32 + cl + dl))};
  std::string enc[3];
  for (int i = 0; i < 3; ++i)
    enc[i] = codes[i] == 0 ? streams[i] : Compress(codes[i] == 1 ? Comp::kBzip2 : Comp::kBrotli, streams[i]);
  std::string out = "BSDF2";
  for (int i = 0; i < 3; ++i) out += static_cast<char>(codes[i]);
  out += OffTOut(static_cast<int64_t>(enc[0].size())) + OffTOut(static_cast<int64_t>(enc[1].size())) + OffTOut(ns);
  return out + enc[0] + enc[1] + enc[2];
}

Part DeltaPartition(const std::string& name, const std::string& old_image, const std::string& new_image,
                    const std::string& tmp_dir, uint32_t bs, uint64_t chunk_blocks) {
  Part part;
  part.name = name;
  part.size = new_image.size();
  part.hash = Sha256Of(new_image);
  const uint64_t blocks = (new_image.size() + bs - 1) / bs, old_blocks = old_image.size() / bs;
  size_t changed = 0;
  for (uint64_t b = 0; b < blocks; b += chunk_blocks) {
    const uint64_t n = std::min(chunk_blocks, blocks - b);
    const std::string chunk = new_image.substr(b * bs, n * bs);
    Op op;
    op.dst.push_back({b, n});
    if (b + n <= old_blocks) {
      const std::string old = old_image.substr(b * bs, n * bs);
      op.src.push_back({b, n});
      op.src_hash = Sha256Of(old);
      if (old == chunk) {
        op.type = 4;  // SOURCE_COPY
      } else {
        switch (changed++ % 3) {
          case 0: op.type = 5; op.blob = MakePatch(old, chunk, tmp_dir); break;
          case 1: op.type = 5; op.blob = MakePatch(old, chunk, tmp_dir, {0, 1, 0}); break;
          default: op.type = 10; op.blob = MakePatch(old, chunk, tmp_dir, {2, 2, 2}); break;
        }
        op.src_length = old.size();
        op.dst_length = chunk.size();
      }
    } else if (AllZero(chunk)) {
      op.type = 6;
    } else {
      op.type = 8;
      op.blob = Compress(Comp::kXz, chunk);
    }
    part.ops.push_back(std::move(op));
  }
  return part;
}

}  // namespace orvex::test::payload_writer
