#include "sparse/sparse_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "platform_io.h"
#include "sparse/sparse_format.h"

namespace orvex::sparse {

namespace {

// A chunk's total_sz is 32-bit: keep RAW chunks well below that.
constexpr uint64_t kMaxRawChunkBytes = 64ull << 20;
constexpr uint64_t kMaxChunkBlocks = 0xFFFFFFFFull;

bool PwriteAll(int fd, const void* buf, size_t len, uint64_t off) { return platform::WriteAllAt(fd, buf, len, off); }

}  // namespace

SparseWriter::~SparseWriter() {
  if (own_fd_ && fd_ >= 0) platform::CloseFile(fd_);
}

bool SparseWriter::Fail(const std::string& what, int err) {
  if (error_.empty()) error_ = what + (err ? std::string(": ") + strerror(err) : "");
  return false;
}

bool SparseWriter::Open(const std::string& path, uint32_t block_size, uint64_t total_blocks,
                        std::string* error) {
  int fd = platform::CreateForWrite(path);
  if (fd < 0) {
    *error = "cannot create " + path + ": " + strerror(errno);
    return false;
  }
  own_fd_ = true;
  return OpenFd(fd, block_size, total_blocks, error);
}

bool SparseWriter::OpenFd(int fd, uint32_t block_size, uint64_t total_blocks,
                          std::string* error) {
  fd_ = fd;
  if (block_size == 0 || block_size % 4 != 0 || total_blocks > 0xFFFFFFFFull) {
    *error = "block size or block count cannot be stored in a sparse image";
    return false;
  }
  block_size_ = block_size;
  total_blocks_ = total_blocks;
  // The header is rewritten by Finish(); reserve its place now.
  FileHeader h{};
  file_pos_ = 0;
  if (!Write(&h, sizeof(h))) {
    *error = error_;
    return false;
  }
  return true;
}

bool SparseWriter::Write(const void* p, size_t n) {
  if (!PwriteAll(fd_, p, n, file_pos_)) return Fail("cannot write sparse image", errno);
  file_pos_ += n;
  return true;
}

bool SparseWriter::FlushPending() {
  if (pending_type_ == 0) return true;
  ChunkHeader c{};
  c.chunk_type = pending_type_;
  c.chunk_sz = static_cast<uint32_t>(pending_blocks_);
  c.total_sz = kChunkHeaderSize;
  if (pending_type_ == kChunkRaw) {
    c.total_sz += static_cast<uint32_t>(pending_blocks_ * block_size_);
    if (!PwriteAll(fd_, &c, sizeof(c), pending_header_pos_))
      return Fail("cannot write sparse image", errno);
  } else if (pending_type_ == kChunkFill) {
    c.total_sz += 4;
    if (!Write(&c, sizeof(c)) || !Write(&pending_fill_, 4)) return false;
  } else {
    if (!Write(&c, sizeof(c))) return false;
  }
  ++chunk_count_;
  pending_type_ = 0;
  pending_blocks_ = 0;
  return true;
}

bool SparseWriter::AddRaw(const void* data, uint64_t blocks) {
  auto* p = static_cast<const unsigned char*>(data);
  if (next_block_ + blocks > total_blocks_) return Fail("sparse image: more blocks than declared");
  const uint64_t max_blocks = std::max<uint64_t>(1, kMaxRawChunkBytes / block_size_);
  while (blocks > 0) {
    if (pending_type_ != kChunkRaw || pending_blocks_ >= max_blocks) {
      if (!FlushPending()) return false;
      pending_type_ = kChunkRaw;
      pending_header_pos_ = file_pos_;
      ChunkHeader placeholder{};
      if (!Write(&placeholder, sizeof(placeholder))) return false;
    }
    const uint64_t n = std::min(blocks, max_blocks - pending_blocks_);
    if (!Write(p, static_cast<size_t>(n * block_size_))) return false;
    p += n * block_size_;
    pending_blocks_ += n;
    next_block_ += n;
    blocks -= n;
  }
  return true;
}

bool SparseWriter::AddFill(uint32_t pattern, uint64_t blocks) {
  if (next_block_ + blocks > total_blocks_) return Fail("sparse image: more blocks than declared");
  while (blocks > 0) {
    if (pending_type_ != kChunkFill || pending_fill_ != pattern ||
        pending_blocks_ >= kMaxChunkBlocks) {
      if (!FlushPending()) return false;
      pending_type_ = kChunkFill;
      pending_fill_ = pattern;
    }
    const uint64_t n = std::min(blocks, kMaxChunkBlocks - pending_blocks_);
    pending_blocks_ += n;
    next_block_ += n;
    blocks -= n;
  }
  return true;
}

bool SparseWriter::AddDontCare(uint64_t blocks) {
  if (next_block_ + blocks > total_blocks_) return Fail("sparse image: more blocks than declared");
  while (blocks > 0) {
    if (pending_type_ != kChunkDontCare || pending_blocks_ >= kMaxChunkBlocks) {
      if (!FlushPending()) return false;
      pending_type_ = kChunkDontCare;
    }
    const uint64_t n = std::min(blocks, kMaxChunkBlocks - pending_blocks_);
    pending_blocks_ += n;
    next_block_ += n;
    blocks -= n;
  }
  return true;
}

bool SparseWriter::Finish() {
  if (next_block_ < total_blocks_ && !AddDontCare(total_blocks_ - next_block_)) return false;
  if (!FlushPending()) return false;
  FileHeader h{};
  h.magic = kMagic;
  h.major_version = kMajorVersion;
  h.minor_version = 0;
  h.file_hdr_sz = kFileHeaderSize;
  h.chunk_hdr_sz = kChunkHeaderSize;
  h.blk_sz = block_size_;
  h.total_blks = static_cast<uint32_t>(total_blocks_);
  h.total_chunks = static_cast<uint32_t>(chunk_count_);
  h.image_checksum = 0;
  if (!PwriteAll(fd_, &h, sizeof(h), 0)) return Fail("cannot write sparse image header", errno);
  if (!platform::SetFileSize(fd_, file_pos_) && errno != EINVAL)
    return Fail("cannot size sparse image", errno);
  if (own_fd_) {
    int fd = fd_;
    fd_ = -1;
    if (platform::CloseFile(fd) != 0) return Fail("cannot close sparse image", errno);
  }
  return true;
}

bool WriteSparseFromRaw(int raw_fd, uint32_t block_size, uint64_t total_blocks,
                        const std::function<bool(uint64_t)>& in_use, const std::string& out_path,
                        std::string* error) {
  SparseWriter w;
  if (!w.Open(out_path, block_size, total_blocks, error)) return false;
  constexpr size_t kBatchBytes = 1 << 20;
  const uint64_t batch_blocks = std::max<uint64_t>(1, kBatchBytes / block_size);
  std::unique_ptr<unsigned char[]> buf(new unsigned char[batch_blocks * block_size]);

  // Next data byte at or after a position, per SEEK_DATA; the whole file counts as data when the
  // file system cannot tell.
  uint64_t data_start = 0, data_end = 0;  // current known data extent [start, end)
  bool seek_works = true;
  auto in_hole = [&](uint64_t off) -> bool {
    if (!seek_works) return false;
    if (off >= data_start && off < data_end) return false;
    switch (platform::NextDataRegion(raw_fd, off, &data_start, &data_end)) {
      case platform::Region::kOnlyHole:  // no data after off
        data_start = data_end = UINT64_MAX;
        return true;
      case platform::Region::kUnknown:
        seek_works = false;
        return false;
      case platform::Region::kData:
        break;
    }
    return off < data_start;
  };

  uint64_t blk = 0;
  while (blk < total_blocks) {
    if (!in_use(blk)) {
      uint64_t end = blk + 1;
      while (end < total_blocks && !in_use(end)) ++end;
      if (!w.AddDontCare(end - blk)) break;
      blk = end;
      continue;
    }
    if (in_hole(blk * block_size)) {
      // A used block inside a hole of the raw file: zeros, written as a FILL of 0.
      uint64_t end = blk + 1;
      while (end < total_blocks && in_use(end) && end * block_size < data_start) ++end;
      if (!w.AddFill(0, end - blk)) break;
      blk = end;
      continue;
    }
    // A run of used blocks: read them in one go and classify block by block.
    uint64_t end = blk + 1;
    while (end < total_blocks && end - blk < batch_blocks && in_use(end)) ++end;
    const size_t bytes = static_cast<size_t>((end - blk) * block_size);
    size_t got = 0;
    while (got < bytes) {
      const int64_t n = platform::ReadAt(raw_fd, buf.get() + got, bytes - got, blk * block_size + got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        *error = std::string("cannot read raw image: ") + strerror(errno);
        return false;
      }
      if (n == 0) {  // short file: the rest reads as zeros
        memset(buf.get() + got, 0, bytes - got);
        break;
      }
      got += static_cast<size_t>(n);
    }
    // Consecutive data blocks go out as one RAW piece; uniform blocks as FILL.
    bool ok = true;
    uint64_t raw_from = 0, raw_len = 0;
    const uint64_t count = end - blk;
    for (uint64_t i = 0; i < count && ok; ++i) {
      const unsigned char* b = buf.get() + i * block_size;
      uint32_t word;
      memcpy(&word, b, 4);
      bool same = true;
      for (size_t k = 4; k < block_size; k += 4) {
        if (memcmp(b + k, &word, 4) != 0) {
          same = false;
          break;
        }
      }
      if (!same) {
        if (raw_len == 0) raw_from = i;
        ++raw_len;
        continue;
      }
      if (raw_len > 0) {
        ok = w.AddRaw(buf.get() + raw_from * block_size, raw_len);
        raw_len = 0;
      }
      ok = ok && w.AddFill(word, 1);
    }
    if (ok && raw_len > 0) ok = w.AddRaw(buf.get() + raw_from * block_size, raw_len);
    if (!ok) break;
    blk = end;
  }
  if (!w.error().empty() || !w.Finish()) {
    *error = w.error();
    return false;
  }
  return true;
}

}  // namespace orvex::sparse
