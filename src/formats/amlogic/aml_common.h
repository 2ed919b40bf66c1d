#pragma once
// Small pieces both Amlogic containers share: little-endian fields, the Amlogic CRC, SHA-1,
// files read and written by offset, and the checks on names that come from inside an image.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "digest/digest.h"

namespace orvex::aml {

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
inline uint64_t Get64(const uint8_t* p) { return Get32(p) | static_cast<uint64_t>(Get32(p + 4)) << 32; }
inline void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void Put64(uint8_t* p, uint64_t v) {
  Put32(p, static_cast<uint32_t>(v));
  Put32(p + 4, static_cast<uint32_t>(v >> 32));
}

// The Amlogic CRC-32: reflected 0xEDB88320, initial value all ones, no final inversion. It is
// the bitwise NOT of the zlib CRC, so it runs on zlib's fast implementation.
class AmlCrc {
 public:
  void Update(const void* data, size_t len);
  uint32_t Value() const { return ~zlib_; }

 private:
  unsigned long zlib_ = 0;
};

class Sha1 {
 public:
  void Update(const void* data, size_t len) { d_.Update(data, len); }
  std::string HexDigest() { return digest::Hex(d_.Final()); }  // 40 lower-case hex digits; ends the hash

 private:
  digest::Digest d_{digest::Kind::kSha1};
};

// A file read or written by offset. Every call reports failure with a one-line reason.
class File {
 public:
  File() = default;
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  bool OpenRead(const std::string& path, std::string* error);
  // Creates a new file for writing; an existing file or link of that name is removed first and
  // never followed.
  bool Create(const std::string& path, std::string* error);
  bool ReadAt(uint64_t offset, void* buf, size_t len, std::string* error) const;
  bool WriteAt(uint64_t offset, const void* buf, size_t len, std::string* error);
  // Sets the size of a created file (growing leaves a hole where the file system has them).
  bool SetSize(uint64_t size, std::string* error);
  uint64_t size() const { return size_; }
  bool Close(std::string* error);

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
  std::string path_;
};

// True when a name from inside an image may become a file name in the output folder: not
// empty, no separator, no "..", no control character, no quote.
bool IsSafeItemName(std::string_view name);
// A fixed-size text field: the text up to its first NUL; false when the field has no NUL.
bool FieldText(const uint8_t* p, size_t size, std::string* out);
std::string ToLowerAscii(std::string_view s);
// Creates one folder level (an existing folder is fine).
bool MakeFolder(const std::string& path, std::string* error);
std::string JoinPath(const std::string& dir, const std::string& name);
// True when the path names a regular file (a link to one counts).
bool IsFile(const std::string& path);
// Removes a file; a missing one is fine.
void RemovePath(const std::string& path);
// Renames a file over another of the new name.
bool RenamePath(const std::string& from, const std::string& to, std::string* error);
// The names of the regular files in a folder (links and folders left out), unsorted.
bool ListRegularFiles(const std::string& dir, std::vector<std::string>* names, std::string* error);

inline constexpr size_t kCopyBuffer = 4u << 20;

// Copies run on the calling thread while the CRC and the SHA-1 of what was copied run on two
// worker threads, each in the order the pieces were handed over. Buffers come from a small pool;
// a buffer is free again when both workers are done with it.
class HashPipeline {
 public:
  explicit HashPipeline(size_t bufferSize, int buffers = 4);
  ~HashPipeline();
  HashPipeline(const HashPipeline&) = delete;
  HashPipeline& operator=(const HashPipeline&) = delete;
  size_t buffer_size() const { return size_; }
  // A free buffer (waits for one).
  uint8_t* Acquire();
  // Hands [p, p + len) of an acquired buffer to the CRC worker and/or the SHA-1 worker.
  void Crc(uint8_t* buffer, const uint8_t* p, size_t len, AmlCrc* crc);
  void Sha(uint8_t* buffer, const uint8_t* p, size_t len, Sha1* sha);
  // Gives up the caller's hold on the buffer.
  void Release(uint8_t* buffer);
  // Waits until every piece handed over has been hashed.
  void Drain();

 private:
  struct Impl;
  Impl* impl_;
  size_t size_;
};

}  // namespace orvex::aml
