#pragma once
// Byte streams the boot-image library reads and writes through: files, regions of files, memory.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvex::bootimg {

// Every failure of the library: a one-line message meant for the user.
class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& what) : std::runtime_error(what) {}
};

class Reader {
 public:
  virtual ~Reader() = default;
  // Up to n bytes; 0 only at the end of the stream.
  virtual size_t Read(void* out, size_t n) = 0;
};

class Writer {
 public:
  virtual ~Writer() = default;
  virtual void Write(const void* data, size_t n) = 0;
};

// Reads exactly n bytes or throws `what`.
void ReadExact(Reader& r, void* out, size_t n, const char* what);

// An open file, closed with the object: read at offsets or front to back, or written front to
// back through a buffer. Reached through the platform layer (UTF-8 paths, 64-bit offsets).
class File {
 public:
  File() = default;
  // mode "rb" reads an existing file, "wb" creates or empties one; throws Error naming the path.
  File(const std::string& path, const char* mode);
  ~File();
  File(File&& o) noexcept;
  File& operator=(File&& o) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  const std::string& path() const { return path_; }
  uint64_t Size() const;
  // Reads exactly n bytes at offset.
  void ReadAt(uint64_t offset, void* out, size_t n) const;
  // The next bytes from the current position: up to n, 0 only at the end of the file.
  size_t Read(void* out, size_t n);
  // Appends at the current position (buffered).
  void Write(const void* data, size_t n);
  void Close();  // writes what is buffered; throws when the data could not be written

 private:
  void Flush();
  void Release() noexcept;
  int fd_ = -1;
  std::string path_;
  uint64_t pos_ = 0;
  std::vector<uint8_t> wbuf_;
  bool failed_ = false;
};

// A window [offset, offset + size) of a file, read sequentially.
class RegionReader : public Reader {
 public:
  RegionReader(const File& f, uint64_t offset, uint64_t size) : f_(f), pos_(offset), left_(size) {}
  size_t Read(void* out, size_t n) override;

 private:
  const File& f_;
  uint64_t pos_, left_;
};

class FileReader : public Reader {
 public:
  explicit FileReader(File& f) : f_(f) {}
  size_t Read(void* out, size_t n) override { return f_.Read(out, n); }

 private:
  File& f_;
};

class FileWriter : public Writer {
 public:
  explicit FileWriter(File& f) : f_(f) {}
  void Write(const void* data, size_t n) override { f_.Write(data, n); }

 private:
  File& f_;
};

class MemoryReader : public Reader {
 public:
  MemoryReader(const void* data, size_t size) : p_(static_cast<const uint8_t*>(data)), left_(size) {}
  size_t Read(void* out, size_t n) override;

 private:
  const uint8_t* p_;
  size_t left_;
};

class StringWriter : public Writer {
 public:
  void Write(const void* data, size_t n) override { s.append(static_cast<const char*>(data), n); }
  std::string s;
};

// Counts what passes through and forwards it.
class CountingWriter : public Writer {
 public:
  explicit CountingWriter(Writer* next) : next_(next) {}
  void Write(const void* data, size_t n) override {
    if (next_) next_->Write(data, n);
    count += n;
  }
  uint64_t count = 0;

 private:
  Writer* next_;
};

// Copies the whole stream; returns the byte count.
uint64_t Copy(Reader& r, Writer& w);
void WriteZeros(Writer& w, uint64_t n);

inline uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t Le64(const uint8_t* p) { return uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32; }
inline void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void PutLe64(uint8_t* p, uint64_t v) {
  PutLe32(p, uint32_t(v));
  PutLe32(p + 4, uint32_t(v >> 32));
}

}  // namespace orvex::bootimg
