#include "sparse/sparse_convert.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform_io.h"
#include "sparse/sparse_format.h"
#include "sparse/sparse_writer.h"

namespace orvex::sparse {

namespace {

constexpr size_t kBufferBytes = 1u << 20;
// The largest block size accepted; real images use 4096.
constexpr uint32_t kMaxBlockSize = 64u << 20;

std::string Hex(uint32_t v, int digits) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%0*" PRIX32, digits, v);
  return b;
}

// A positioned read of exactly len bytes; the error names a short file apart from an I/O error.
bool ReadExactly(int fd, void* buf, size_t len, uint64_t off, std::string* error) {
  errno = 0;
  if (platform::ReadAllAt(fd, buf, len, off)) return true;
  *error = errno ? std::string("cannot read the sparse image: ") + std::strerror(errno)
                 : "the sparse image ended early (it changed while being read?)";
  return false;
}

bool WriteOut(int fd, const void* buf, size_t len, uint64_t off, std::string* error) {
  if (platform::WriteAllAt(fd, buf, len, off)) return true;
  *error = std::string("cannot write the output: ") + std::strerror(errno ? errno : EIO);
  return false;
}

const std::array<uint32_t, 256>& CrcTable() {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  return table;
}

// CRC-32 arithmetic over GF(2): a 32x32 bit matrix as its 32 columns, applied to a register.
uint32_t MatrixTimes(const uint32_t* mat, uint32_t vec) {
  uint32_t sum = 0;
  for (int i = 0; vec; ++i, vec >>= 1)
    if (vec & 1) sum ^= mat[i];
  return sum;
}

void MatrixSquare(uint32_t* square, const uint32_t* mat) {
  for (int n = 0; n < 32; ++n) square[n] = MatrixTimes(mat, mat[n]);
}

}  // namespace

uint32_t Crc32Zeros(uint32_t crc, uint64_t len) {
  if (len == 0) return crc;
  // The operator of one zero bit on the register, squared up to one zero byte, then to the powers
  // of two that make up len: the checksum of any run of zeros in 64 steps at most.
  uint32_t odd[32], even[32];
  odd[0] = 0xEDB88320u;
  for (int n = 1; n < 32; ++n) odd[n] = 1u << (n - 1);
  MatrixSquare(even, odd);  // two zero bits
  MatrixSquare(odd, even);  // four
  uint32_t reg = ~crc;
  for (;;) {
    MatrixSquare(even, odd);  // first round: one zero byte
    if (len & 1) reg = MatrixTimes(even, reg);
    len >>= 1;
    if (len == 0) break;
    MatrixSquare(odd, even);
    if (len & 1) reg = MatrixTimes(odd, reg);
    len >>= 1;
    if (len == 0) break;
  }
  return ~reg;
}

uint32_t Crc32(uint32_t crc, const void* data, size_t len) {
  const auto& t = CrcTable();
  const auto* p = static_cast<const unsigned char*>(data);
  crc = ~crc;
  for (size_t i = 0; i < len; ++i) crc = t[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

bool ScanSparse(int fd, SparseLayout* layout, std::string* error) {
  *layout = SparseLayout{};
  const int64_t signed_size = platform::SizeOfFile(fd);
  if (signed_size < 0) {
    *error = std::string("cannot read the sparse image's size: ") + std::strerror(errno);
    return false;
  }
  const uint64_t size = static_cast<uint64_t>(signed_size);
  FileHeader h;
  if (size < sizeof h) {
    *error = "not a sparse image (shorter than a sparse file header)";
    return false;
  }
  if (!ReadExactly(fd, &h, sizeof h, 0, error)) return false;
  if (h.magic != kMagic) {
    *error = "not a sparse image (bad magic)";
    return false;
  }
  if (h.major_version != kMajorVersion) {
    *error = "unsupported sparse format version " + std::to_string(h.major_version);
    return false;
  }
  if (h.file_hdr_sz < kFileHeaderSize || h.chunk_hdr_sz < kChunkHeaderSize) {
    *error = "the sparse header gives too small header sizes (file " + std::to_string(h.file_hdr_sz) + ", chunk " +
             std::to_string(h.chunk_hdr_sz) + ")";
    return false;
  }
  if (h.blk_sz == 0 || h.blk_sz % 4 != 0 || h.blk_sz > kMaxBlockSize) {
    *error = "invalid block size " + std::to_string(h.blk_sz);
    return false;
  }
  layout->block_size = h.blk_sz;
  layout->total_blocks = h.total_blks;

  uint64_t pos = h.file_hdr_sz;
  uint64_t block = 0;
  const std::string of = " of " + std::to_string(h.total_chunks);
  for (uint32_t i = 0; i < h.total_chunks; ++i) {
    const std::string name = "chunk " + std::to_string(i + 1) + of;
    ChunkHeader c;
    if (pos > size || size - pos < h.chunk_hdr_sz) {
      *error = "the sparse image is truncated: " + name + " is missing";
      return false;
    }
    if (!ReadExactly(fd, &c, sizeof c, pos, error)) return false;
    const uint64_t body = pos + h.chunk_hdr_sz;
    StoredChunk sc{c.chunk_type, block, c.chunk_sz, 0, 0};
    uint64_t payload = 0;
    switch (c.chunk_type) {
      case kChunkRaw: payload = uint64_t{c.chunk_sz} * h.blk_sz; sc.data_offset = body; break;
      case kChunkFill:
      case kChunkCrc32: payload = 4; break;
      case kChunkDontCare: payload = 0; break;
      default:
        *error = name + " has an unknown type " + Hex(c.chunk_type, 4);
        return false;
    }
    if (c.total_sz != h.chunk_hdr_sz + payload) {
      *error = name + " gives a total size of " + std::to_string(c.total_sz) + " bytes where its type and " +
               std::to_string(c.chunk_sz) + " blocks need " + std::to_string(h.chunk_hdr_sz + payload);
      return false;
    }
    if (size - pos < c.total_sz) {
      *error = "the sparse image is truncated: " + name + " ends past the end of the file";
      return false;
    }
    if ((c.chunk_type == kChunkFill || c.chunk_type == kChunkCrc32) && !ReadExactly(fd, &sc.value, 4, body, error))
      return false;
    if (c.chunk_type == kChunkCrc32) {
      sc.blocks = 0;
      layout->has_crc = true;
    } else {
      if (sc.blocks > layout->total_blocks - block) {
        *error = name + " runs past the end of the image (blocks " + std::to_string(block) + " to " +
                 std::to_string(block + sc.blocks) + " of " + std::to_string(layout->total_blocks) + ")";
        return false;
      }
      block += sc.blocks;
    }
    layout->chunks.push_back(sc);
    pos += c.total_sz;
  }
  if (block != layout->total_blocks) {
    *error = "the chunks cover " + std::to_string(block) + " blocks, the header declares " +
             std::to_string(layout->total_blocks);
    return false;
  }
  return true;
}

bool ExpandSparse(const std::vector<int>& fds, const std::vector<SparseLayout>& layouts, int out_fd,
                  const ConvertProgress& progress, std::string* error) {
  uint64_t out_size = 0, work = 0;
  for (const SparseLayout& l : layouts) {
    out_size = std::max(out_size, l.expanded_size());
    work += l.expanded_size();
  }
  // Sized first: a size the file system cannot hold fails before any work.
  if (!platform::SetFileSize(out_fd, out_size)) {
    *error = "cannot make the output " + std::to_string(out_size) + " bytes long: " + std::strerror(errno);
    return false;
  }
  std::unique_ptr<unsigned char[]> buf(new unsigned char[kBufferBytes]);
  uint64_t written_end = 0;  // past this the output has never been written: a hole
  uint64_t done = 0;
  for (size_t k = 0; k < layouts.size(); ++k) {
    const SparseLayout& l = layouts[k];
    const std::string piece = layouts.size() > 1 ? "piece " + std::to_string(k + 1) + ": " : "";
    uint32_t crc = 0;
    size_t index = 0;
    for (const StoredChunk& c : l.chunks) {
      ++index;
      const uint64_t off = c.first_block * l.block_size, len = c.blocks * l.block_size;
      if (c.type == kChunkRaw) {
        for (uint64_t at = 0; at < len;) {
          const size_t n = static_cast<size_t>(std::min<uint64_t>(len - at, kBufferBytes));
          if (!ReadExactly(fds[k], buf.get(), n, c.data_offset + at, error)) {
            *error = piece + *error;
            return false;
          }
          if (l.has_crc) crc = Crc32(crc, buf.get(), n);
          if (!WriteOut(out_fd, buf.get(), n, off + at, error)) return false;
          at += n;
          if (progress) progress(done + c.first_block * l.block_size + at, work);
        }
        written_end = std::max(written_end, off + len);
      } else if (c.type == kChunkFill && c.value == 0 && off >= written_end) {
        // Zeros over a part never written are a hole already.
        if (l.has_crc) crc = Crc32Zeros(crc, len);
      } else if (c.type == kChunkFill) {
        for (size_t i = 0; i < kBufferBytes; i += 4) std::memcpy(buf.get() + i, &c.value, 4);
        for (uint64_t at = 0; at < len;) {
          const size_t n = static_cast<size_t>(std::min<uint64_t>(len - at, kBufferBytes));
          if (l.has_crc) crc = Crc32(crc, buf.get(), n);
          if (!WriteOut(out_fd, buf.get(), n, off + at, error)) return false;
          at += n;
        }
        written_end = std::max(written_end, off + len);
      } else if (c.type == kChunkDontCare) {
        if (l.has_crc) crc = Crc32Zeros(crc, len);
      } else if (c.type == kChunkCrc32 && c.value != crc) {
        *error = piece + "the checksum in chunk " + std::to_string(index) + " (" + Hex(c.value, 8) +
                 ") does not match the data before it (" + Hex(crc, 8) + ")";
        return false;
      }
      if (progress) progress(done + (c.first_block + c.blocks) * l.block_size, work);
    }
    done += l.expanded_size();
  }
  return true;
}

bool SparseFromRaw(int raw_fd, uint64_t raw_size, uint32_t block_size, int out_fd, const ConvertProgress& progress,
                   SparseStats* stats, std::string* error) {
  *stats = SparseStats{};
  if (block_size == 0 || block_size % 4 != 0 || block_size > kMaxBlockSize) {
    *error = "invalid block size " + std::to_string(block_size);
    return false;
  }
  const uint64_t total = raw_size / block_size + (raw_size % block_size ? 1 : 0);
  if (total > 0xFFFFFFFFull) {
    *error = "the image has " + std::to_string(total) + " blocks, more than a sparse image can hold";
    return false;
  }
  SparseWriter w;
  if (!w.OpenFd(out_fd, block_size, total, error)) return false;
  stats->total_blocks = total;
  const uint64_t batch = std::max<uint64_t>(1, kBufferBytes / block_size);
  std::unique_ptr<unsigned char[]> buf(new unsigned char[batch * block_size]);

  // The data region of the raw file that holds or follows the current block.
  uint64_t data_start = 0, data_end = 0;
  bool holes_known = true;
  auto region_at = [&](uint64_t off) {
    if (off >= data_start && off < data_end) return;
    if (!holes_known) return;
    switch (platform::NextDataRegion(raw_fd, off, &data_start, &data_end)) {
      case platform::Region::kData: break;
      case platform::Region::kOnlyHole: data_start = data_end = UINT64_MAX; break;
      case platform::Region::kUnknown:  // everything counts as data
        holes_known = false;
        data_start = 0;
        data_end = UINT64_MAX;
        break;
    }
  };

  uint64_t blk = 0;
  while (blk < total) {
    const uint64_t off = blk * block_size;
    region_at(off);
    if (off < data_start) {
      // Whole blocks before the next data are left out; past the end of the file counts as hole.
      const uint64_t hole_end = data_start >= raw_size ? total : data_start / block_size;
      if (hole_end > blk) {
        if (!w.AddDontCare(hole_end - blk)) break;
        stats->dont_care_blocks += hole_end - blk;
        blk = hole_end;
        continue;
      }
    }
    // Blocks with data, up to the end of this data region (the next hole is left out unread).
    uint64_t end = std::min(total, blk + batch);
    if (data_end != UINT64_MAX) end = std::min(end, std::max(blk + 1, (data_end + block_size - 1) / block_size));
    const uint64_t bytes = (end - blk) * block_size;
    const size_t have = static_cast<size_t>(std::min<uint64_t>(bytes, raw_size - off));
    errno = 0;
    if (!platform::ReadAllAt(raw_fd, buf.get(), have, off)) {
      *error = errno ? std::string("cannot read the raw image: ") + std::strerror(errno)
                     : "the raw image ended early (it changed while being read?)";
      return false;
    }
    std::memset(buf.get() + have, 0, static_cast<size_t>(bytes - have));
    bool ok = true;
    uint64_t raw_from = 0, raw_len = 0;
    for (uint64_t i = 0; i < end - blk && ok; ++i) {
      const unsigned char* b = buf.get() + i * block_size;
      uint32_t word;
      std::memcpy(&word, b, 4);
      bool same = true;
      for (size_t k = 4; k < block_size && same; k += 4) same = std::memcmp(b + k, &word, 4) == 0;
      if (!same) {
        if (raw_len == 0) raw_from = i;
        ++raw_len;
        continue;
      }
      if (raw_len > 0) {
        ok = w.AddRaw(buf.get() + raw_from * block_size, raw_len);
        stats->raw_blocks += raw_len;
        raw_len = 0;
      }
      ok = ok && w.AddFill(word, 1);
      ++stats->fill_blocks;
    }
    if (ok && raw_len > 0) {
      ok = w.AddRaw(buf.get() + raw_from * block_size, raw_len);
      stats->raw_blocks += raw_len;
    }
    if (!ok) break;
    blk = end;
    if (progress) progress(std::min(raw_size, blk * block_size), raw_size);
  }
  if (!w.error().empty() || !w.Finish()) {
    *error = w.error();
    return false;
  }
  stats->chunks = w.chunks_written();
  return true;
}

}  // namespace orvex::sparse
