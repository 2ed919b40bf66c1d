#pragma once
// Whole-file conversions between Android sparse images and raw images, for the simg2img and
// img2simg tools. Both stream with fixed buffers: memory holds the chunk list, never the image.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace orvex::sparse {

// Reports bytes done out of a total as the work goes on.
using ConvertProgress = std::function<void(uint64_t done, uint64_t total)>;

// One chunk of a sparse file as stored, CRC32 chunks included.
struct StoredChunk {
  uint16_t type;
  uint64_t first_block;  // in the expanded image (CRC32: the block it follows)
  uint64_t blocks;
  uint64_t data_offset;  // RAW: where the data starts in the sparse file
  uint32_t value;        // FILL: the pattern; CRC32: the checksum
};

struct SparseLayout {
  uint32_t block_size = 0;
  uint64_t total_blocks = 0;
  bool has_crc = false;  // holds at least one CRC32 chunk
  std::vector<StoredChunk> chunks;
  uint64_t expanded_size() const { return total_blocks * block_size; }
};

// Reads and checks the whole chunk list of a sparse file: the header, every chunk's type and
// sizes, that each chunk lies inside the file, and that the chunks cover exactly the header's
// block count. Nothing of the data is read. On failure *error says what is wrong.
bool ScanSparse(int fd, SparseLayout* layout, std::string* error);

// The CRC-32 that sparse files use (that of zlib), continued from crc.
uint32_t Crc32(uint32_t crc, const void* data, size_t len);
// The same continued over len zero bytes, in time that grows with the bits of len only (a
// DONT_CARE chunk may stand for terabytes of zeros).
uint32_t Crc32Zeros(uint32_t crc, uint64_t len);

// Writes the expanded image of one or more sparse files (pieces of one image, each covering the
// whole image, as split sparse images are) into out_fd, an empty regular file: each piece in
// turn writes its RAW and FILL chunks at their offsets; DONT_CARE areas are not written, so a
// later piece fills what an earlier one left out and the rest stays a hole. The file ends up as
// long as the longest piece. CRC32 chunks are checked against the data before them.
bool ExpandSparse(const std::vector<int>& fds, const std::vector<SparseLayout>& layouts, int out_fd,
                  const ConvertProgress& progress, std::string* error);

struct SparseStats {
  uint64_t total_blocks = 0;
  uint64_t raw_blocks = 0, fill_blocks = 0, dont_care_blocks = 0;
  size_t chunks = 0;
};

// Writes a sparse image of the raw file raw_fd (raw_size bytes) into out_fd (an empty regular
// file). Blocks that lie wholly in a hole of the raw file become DONT_CARE without being read;
// blocks that repeat one 32-bit word become FILL; the rest RAW. A last partial block is padded
// with zeros. block_size must be a multiple of 4.
bool SparseFromRaw(int raw_fd, uint64_t raw_size, uint32_t block_size, int out_fd, const ConvertProgress& progress,
                   SparseStats* stats, std::string* error);

}  // namespace orvex::sparse
