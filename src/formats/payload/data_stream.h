#pragma once
// Streaming pieces of the extractor: SHA-256, byte sources over a file range and over the
// decompressors the payload uses, and the readers and writers of a partition's extents. Nothing
// here holds more than a fixed buffer, whatever the blob or partition size.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "digest/digest.h"
#include "payload_manifest.h"

namespace orvex::payload {

class Sha256 {
 public:
  void Update(const void* data, size_t n) { d_.Update(data, n); }
  std::string Final() { return d_.Final(); }  // 32 raw bytes
 private:
  digest::Digest d_{digest::Kind::kSha256};
};
std::string ToHex(const std::string& bytes);

// Reads a file at absolute offsets; every read is checked.
class InputFile {
 public:
  explicit InputFile(const std::string& path);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  uint64_t size() const { return size_; }
  const std::string& path() const { return path_; }
  // Reads exactly n bytes at off; throws PayloadError when the file ends first.
  void ReadAt(uint64_t off, void* buf, size_t n) const;

 private:
  std::string path_;
  int fd_ = -1;
  uint64_t size_ = 0;
};

// A pull source of bytes: Read returns 0 at the end only.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual size_t Read(uint8_t* buf, size_t n) = 0;
};

// Bytes [off, off + len) of a file, optionally hashed as they go by.
class RangeSource : public ByteSource {
 public:
  RangeSource(const InputFile& f, uint64_t off, uint64_t len, Sha256* hash = nullptr)
      : f_(f), off_(off), left_(len), hash_(hash) {}
  size_t Read(uint8_t* buf, size_t n) override;
  uint64_t left() const { return left_; }

 private:
  const InputFile& f_;
  uint64_t off_, left_;
  Sha256* hash_;
};

enum class Codec { kNone, kBzip2, kXz, kZstd, kBrotli };
const char* CodecName(Codec c);
// A decompressing source over another; throws PayloadError on corrupt data or data that ends
// inside a stream.
std::unique_ptr<ByteSource> MakeDecoder(Codec c, ByteSource& in);

// Writes a stream of bytes across a list of extents of an output file. Holes in the list are
// skipped; all-zero blocks are left as holes of the (fresh, zero-filled) file when skip_zeros.
class ExtentWriter {
 public:
  ExtentWriter(int fd, const std::vector<Extent>& extents, uint32_t block_size, bool skip_zeros);
  // Throws when the data runs past the extents.
  void Write(const uint8_t* data, size_t n);
  uint64_t written() const { return pos_; }
  uint64_t capacity() const { return total_; }

 private:
  int fd_;
  const std::vector<Extent>& ex_;
  uint32_t bs_;
  bool skip_zeros_;
  uint64_t total_ = 0, pos_ = 0;
  size_t idx_ = 0;
  uint64_t in_extent_ = 0;
};

// Reads the bytes of a list of extents of a source image, in order (a hole reads as zeros).
class ExtentReader {
 public:
  ExtentReader(const InputFile& f, const std::vector<Extent>& extents, uint32_t block_size);
  uint64_t size() const { return total_; }
  // Reads n bytes at logical offset pos of the concatenated extents.
  void ReadAt(uint64_t pos, uint8_t* buf, size_t n) const;

 private:
  const InputFile& f_;
  std::vector<uint64_t> starts_;  // logical start of each extent
  const std::vector<Extent>& ex_;
  uint32_t bs_;
  uint64_t total_ = 0;
};

// pwrite of the whole buffer; throws on failure (a full disk names itself).
void WriteFully(int fd, const void* data, size_t n, uint64_t off);

}  // namespace orvex::payload
