#pragma once
// Shared pieces of the Rockchip containers: little-endian fields, the Rockchip CRC-32, digests,
// files read and written by offset, checked paths from inside an image, and the one-pass copy
// that splits an image into files while its checksums run.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace orvex::rk {

// Every failure: one line that says what is wrong with which file.
class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& what) : std::runtime_error(what) {}
};

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
inline void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint64_t AlignUp(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

// The Rockchip CRC-32: polynomial 0x04C10DB7, most significant bit first, initial value 0, no
// final inversion.
uint32_t RkCrc(uint32_t crc, const void* data, size_t len);

// SHA-1, SHA-256 or MD5 (the digest library).
class Digest {
 public:
  enum Kind { kSha1, kSha256, kMd5 };
  explicit Digest(Kind kind);
  ~Digest();
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;
  void Update(const void* data, size_t len);
  std::string Final();  // raw bytes
 private:
  void* ctx_;
};
std::string Hex(std::string_view bytes);
std::string Unhex(std::string_view text);  // throws Error on a bad digit

class File {
 public:
  File() = default;
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& o) noexcept;
  void OpenRead(const std::string& path);
  // A new file; an existing file of that name is replaced, a link is never followed.
  void Create(const std::string& path);
  void ReadAt(uint64_t offset, void* buf, size_t len) const;
  std::string ReadString(uint64_t offset, size_t len) const;
  void WriteAt(uint64_t offset, const void* buf, size_t len);
  uint64_t size() const { return size_; }
  const std::string& path() const { return path_; }
  void Close();

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
  std::string path_;
};

// Runs a digest on a thread of its own over buffers handed to it in order, so that the digest of
// a large image overlaps its reading and writing. Buffers come from a small rotating pool.
class DigestWorker {
 public:
  DigestWorker(Digest* digest, size_t bufferSize, int buffers = 3);
  ~DigestWorker();
  DigestWorker(const DigestWorker&) = delete;
  DigestWorker& operator=(const DigestWorker&) = delete;
  // The next buffer of the pool, once the worker is done with it.
  uint8_t* Next();
  // Hands [0, len) of the buffer last returned by Next() to the digest.
  void Submit(size_t len);
  // Waits until everything handed over has been digested.
  void Drain();

 private:
  struct Impl;
  Impl* impl_;
};

// Writes a file front to back through a buffer, feeding what it writes to the running sums (the
// MD5 on a worker thread).
class SeqWriter {
 public:
  explicit SeqWriter(const std::string& path);
  ~SeqWriter();
  // Starts or ends the MD5 over the bytes written from now on; StopMd5 waits for the digest.
  void StartMd5(Digest* md5);
  void StopMd5();
  void Write(const void* data, size_t len);
  void Zeros(uint64_t len);
  // Copies len bytes of a file from its start.
  void CopyFrom(const std::string& path, uint64_t len);
  uint64_t pos() const { return pos_; }
  void Flush();
  void Close();
  // The CRC, switched on and off around the region it covers.
  bool crcOn = false;
  uint32_t crc = 0;

 private:
  File file_;
  std::vector<uint8_t> own_;
  uint8_t* buf_ = nullptr;
  size_t fill_ = 0;
  DigestWorker* md5_ = nullptr;
  uint64_t pos_ = 0, written_ = 0;
};

// A part of the input copied to a file of its own.
struct Piece {
  uint64_t offset = 0, length = 0;
  std::string path;
};
// Reads [0, end) of the input once, writing each piece to its file; md5 (when set) sees
// [0, md5End) and the CRC [crcFrom, crcTo).
struct StreamSums {
  Digest* md5 = nullptr;
  uint64_t md5End = 0;
  bool crc = false;
  uint64_t crcFrom = 0, crcTo = 0;
  uint32_t crcValue = 0;
};
void SplitStream(const File& in, uint64_t end, std::vector<Piece> pieces, StreamSums* sums);

// A relative path from inside an image that may be created below the output folder: parts
// separated by '/', none empty, ".", ".." or holding a backslash, colon or control byte.
bool IsSafeRelPath(std::string_view path);
// A fixed-size text field up to its first NUL (the whole field when it has none).
std::string FieldText(const uint8_t* p, size_t size);
// Creates the folders of a path below root (root itself must exist).
void MakeParents(const std::string& root, const std::string& rel);
std::string JoinPath(const std::string& dir, const std::string& rel);
uint64_t FileSizeOf(const std::string& path);  // throws Error when it is not a readable file
std::string ReadWhole(const std::string& path, uint64_t limit);
void WriteWhole(const std::string& path, std::string_view bytes);
bool IsDir(const std::string& path);
bool IsRegularFile(const std::string& path);

// The last component of a path, and the folder part with its trailing slash.
inline std::string BaseName(const std::string& path) {
  const size_t s = path.find_last_of('/');
  return s == std::string::npos ? path : path.substr(s + 1);
}
inline std::string DirName(const std::string& path) {
  const size_t s = path.find_last_of('/');
  return s == std::string::npos ? "" : path.substr(0, s + 1);
}
inline bool EndsWith(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// Writes a new image under a temporary name and renames it over the old one when complete: a
// failed or interrupted pack leaves the previous image as it was.
template <typename F>
void WriteReplacing(const std::string& out, F write) {
  const std::string tmp = out + ".tmp~";
  try {
    write(tmp);
  } catch (...) {
    ::unlink(tmp.c_str());
    throw;
  }
  if (::rename(tmp.c_str(), out.c_str()) != 0) {
    ::unlink(tmp.c_str());
    throw Error("cannot rename the new image to " + out);
  }
}

}  // namespace orvex::rk
