#pragma once
// Random-access reader for Android sparse images: indexes the chunk list once, then serves reads
// of the expanded image by offset. Nothing but the chunk index is held in memory.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orvex::sparse {

class SparseReader {
 public:
  // Indexes the sparse image on the open descriptor (not owned). Every header field, chunk size
  // and data offset is checked against the file; on failure returns false and sets *error.
  bool Open(int fd, std::string* error);

  uint32_t block_size() const { return block_size_; }
  uint64_t total_blocks() const { return total_blocks_; }
  uint64_t expanded_size() const { return total_blocks_ * block_size_; }
  size_t chunk_count() const { return chunks_.size(); }

  // Reads [offset, offset + len) of the expanded image. Areas of DONT_CARE chunks and blocks
  // past the last chunk read as zero. Returns false (and sets *error) on an I/O error or when the
  // range passes the end of the expanded image.
  bool ReadAt(uint64_t offset, void* buf, size_t len, std::string* error) const;

  struct Chunk {
    uint64_t first_block;  // in the expanded image
    uint64_t blocks;
    uint64_t data_offset;  // RAW: file offset of the data
    uint32_t fill;         // FILL: the 32-bit pattern
    uint16_t type;
  };
  // The RAW, FILL and DONT_CARE chunks in output order (CRC32 chunks left out). Blocks past the
  // last chunk up to total_blocks() are not covered by any chunk.
  const std::vector<Chunk>& chunks() const { return chunks_; }

 private:
  int fd_ = -1;
  uint32_t block_size_ = 0;
  uint64_t total_blocks_ = 0;
  std::vector<Chunk> chunks_;  // output-ordered, without CRC32 chunks
};

}  // namespace orvex::sparse
