#include "sparse/sparse_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform_io.h"
#include "sparse/sparse_format.h"

namespace orvex::sparse {

namespace {

bool PreadAll(int fd, void* buf, size_t len, uint64_t off) { return platform::ReadAllAt(fd, buf, len, off); }

}  // namespace

bool SparseReader::Open(int fd, std::string* error) {
  fd_ = fd;
  chunks_.clear();
  const int64_t size = platform::SizeOfFile(fd);
  if (size < 0) {
    *error = std::string("cannot stat sparse image: ") + strerror(errno);
    return false;
  }
  const uint64_t file_size = static_cast<uint64_t>(size);
  FileHeader h;
  if (file_size < sizeof(h) || !PreadAll(fd, &h, sizeof(h), 0)) {
    *error = "sparse image is truncated (no complete file header)";
    return false;
  }
  if (h.magic != kMagic) {
    *error = "not a sparse image (bad magic)";
    return false;
  }
  if (h.major_version != kMajorVersion) {
    *error = "unsupported sparse image version " + std::to_string(h.major_version);
    return false;
  }
  if (h.file_hdr_sz < kFileHeaderSize || h.chunk_hdr_sz < kChunkHeaderSize) {
    *error = "sparse image header sizes are too small";
    return false;
  }
  if (h.blk_sz == 0 || h.blk_sz % 4 != 0 || h.blk_sz > (64u << 20)) {
    *error = "sparse image has an invalid block size " + std::to_string(h.blk_sz);
    return false;
  }
  block_size_ = h.blk_sz;
  total_blocks_ = h.total_blks;

  uint64_t pos = h.file_hdr_sz;
  uint64_t block = 0;
  for (uint32_t i = 0; i < h.total_chunks; ++i) {
    ChunkHeader c;
    if (pos + h.chunk_hdr_sz > file_size || !PreadAll(fd, &c, sizeof(c), pos)) {
      *error = "sparse image is truncated in chunk " + std::to_string(i);
      return false;
    }
    const uint64_t body = pos + h.chunk_hdr_sz;
    const uint64_t blocks = c.chunk_sz;
    uint64_t expect_total = h.chunk_hdr_sz;
    Chunk ch{block, blocks, 0, 0, c.chunk_type};
    switch (c.chunk_type) {
      case kChunkRaw:
        expect_total += blocks * h.blk_sz;
        ch.data_offset = body;
        break;
      case kChunkFill:
        expect_total += 4;
        if (body + 4 > file_size || !PreadAll(fd, &ch.fill, 4, body)) {
          *error = "sparse image is truncated in fill chunk " + std::to_string(i);
          return false;
        }
        break;
      case kChunkDontCare:
        break;
      case kChunkCrc32:
        expect_total += 4;
        break;
      default:
        *error = "sparse image has an unknown chunk type 0x" + [&] {
          char b[8];
          snprintf(b, sizeof(b), "%04X", c.chunk_type);
          return std::string(b);
        }() + " in chunk " + std::to_string(i);
        return false;
    }
    if (c.total_sz != expect_total) {
      *error = "sparse image chunk " + std::to_string(i) + " has an inconsistent size";
      return false;
    }
    if (pos + expect_total > file_size) {
      *error = "sparse image is truncated in chunk " + std::to_string(i);
      return false;
    }
    if (c.chunk_type != kChunkCrc32 && blocks > 0) {
      if (block + blocks > total_blocks_) {
        *error = "sparse image chunks describe more blocks than the header's " +
                 std::to_string(total_blocks_);
        return false;
      }
      chunks_.push_back(ch);
      block += blocks;
    }
    pos += expect_total;
  }
  return true;
}

bool SparseReader::ReadAt(uint64_t offset, void* buf, size_t len, std::string* error) const {
  auto* out = static_cast<unsigned char*>(buf);
  if (offset > expanded_size() || len > expanded_size() - offset) {
    *error = "read past the end of the sparse image";
    return false;
  }
  while (len > 0) {
    const uint64_t blk = offset / block_size_;
    // Last chunk whose first block is <= blk.
    auto it = std::upper_bound(chunks_.begin(), chunks_.end(), blk,
                               [](uint64_t b, const Chunk& c) { return b < c.first_block; });
    uint64_t run_end;  // byte offset where the current piece ends
    const Chunk* c = nullptr;
    if (it != chunks_.begin() && blk < std::prev(it)->first_block + std::prev(it)->blocks) {
      c = &*std::prev(it);
      run_end = (c->first_block + c->blocks) * block_size_;
    } else {
      run_end = it == chunks_.end() ? expanded_size() : it->first_block * block_size_;
    }
    const size_t n = static_cast<size_t>(std::min<uint64_t>(len, run_end - offset));
    if (c && c->type == kChunkRaw) {
      const uint64_t in = c->data_offset + (offset - c->first_block * block_size_);
      if (!PreadAll(fd_, out, n, in)) {
        *error = std::string("cannot read sparse image data: ") +
                 (errno ? strerror(errno) : "unexpected end of file");
        return false;
      }
    } else if (c && c->type == kChunkFill) {
      unsigned char pat[4];
      memcpy(pat, &c->fill, 4);
      // The pattern repeats from the chunk's (block-aligned, so 4-aligned) start.
      for (size_t i = 0; i < n; ++i) out[i] = pat[(offset + i) & 3];
    } else {
      memset(out, 0, n);
    }
    out += n;
    offset += n;
    len -= n;
  }
  return true;
}

}  // namespace orvex::sparse
