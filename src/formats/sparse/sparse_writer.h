#pragma once
// Streaming writer for Android sparse images (format 1.0, 28-byte file header, 12-byte chunk
// headers). Chunks are appended in output order; adjacent chunks of the same kind are merged, so
// callers may feed one block at a time. The file header is written last, when the counts are known.
#include <cstdint>
#include <functional>
#include <string>

namespace orvex::sparse {

class SparseWriter {
 public:
  SparseWriter() = default;
  ~SparseWriter();
  SparseWriter(const SparseWriter&) = delete;
  SparseWriter& operator=(const SparseWriter&) = delete;

  // Creates (truncates) the output file. total_blocks is the size of the expanded image.
  bool Open(const std::string& path, uint32_t block_size, uint64_t total_blocks,
            std::string* error);
  // Writes to an already open descriptor (not owned) that must be positioned at 0 and seekable.
  bool OpenFd(int fd, uint32_t block_size, uint64_t total_blocks, std::string* error);

  // blocks * block_size bytes of data.
  bool AddRaw(const void* data, uint64_t blocks);
  bool AddFill(uint32_t pattern, uint64_t blocks);
  bool AddDontCare(uint64_t blocks);

  // Pads with DONT_CARE up to total_blocks, flushes the open chunk and writes the file header.
  bool Finish();

  uint64_t blocks_written() const { return next_block_; }
  size_t chunks_written() const { return chunk_count_; }
  const std::string& error() const { return error_; }

 private:
  bool FlushPending();
  bool Fail(const std::string& what, int err = 0);
  bool Write(const void* p, size_t n);

  int fd_ = -1;
  bool own_fd_ = false;
  uint32_t block_size_ = 0;
  uint64_t total_blocks_ = 0;
  uint64_t next_block_ = 0;
  uint64_t file_pos_ = 0;
  size_t chunk_count_ = 0;
  // The chunk being accumulated: its type (0 = none), length and, for RAW, where its header sits.
  uint16_t pending_type_ = 0;
  uint64_t pending_blocks_ = 0;
  uint32_t pending_fill_ = 0;
  uint64_t pending_header_pos_ = 0;
  std::string error_;
};

// Converts a raw image (open descriptor, expanded size = total_blocks * block_size) into a sparse
// image at out_path. Blocks for which in_use(block) is false become DONT_CARE without being read;
// used blocks that repeat one 32-bit word become FILL, the rest RAW. Holes of the raw file are
// detected with SEEK_DATA/SEEK_HOLE and never read.
bool WriteSparseFromRaw(int raw_fd, uint32_t block_size, uint64_t total_blocks,
                        const std::function<bool(uint64_t)>& in_use, const std::string& out_path,
                        std::string* error);

}  // namespace orvex::sparse
