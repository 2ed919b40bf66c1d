#pragma once
// Where the bytes of an EROFS image come from: a file read at offsets, or a buffer in memory
// (the fuzz target). Metadata reads go through a small bounded block cache; bulk file data is
// read straight into the caller's buffer.
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace orvex::erofs {

// Every problem with an image (corruption, unsupported feature, I/O failure) is reported as this
// exception; its text is one line fit for "extract.erofs: error: <text>".
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Source {
 public:
  virtual ~Source() = default;
  virtual uint64_t Size() const = 0;
  // Reads exactly len bytes at off. Throws Error when the range lies outside the image or the
  // read fails.
  virtual void ReadAt(uint64_t off, void* buf, size_t len) const = 0;
};

class FileSource : public Source {
 public:
  static std::unique_ptr<FileSource> Open(const std::string& path);  // throws Error
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  uint64_t Size() const override { return size_; }
  void ReadAt(uint64_t off, void* buf, size_t len) const override;

 private:
  FileSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
  int fd_;
  uint64_t size_;
};

// Does not own the bytes.
class MemorySource : public Source {
 public:
  MemorySource(const void* data, size_t size) : data_(static_cast<const uint8_t*>(data)), size_(size) {}
  uint64_t Size() const override { return size_; }
  void ReadAt(uint64_t off, void* buf, size_t len) const override;

 private:
  const uint8_t* data_;
  size_t size_;
};

// Throws unless [off, off + len) lies inside an image of `size` bytes (overflow-safe).
void CheckRange(uint64_t size, uint64_t off, uint64_t len, const char* what);

// A least-recently-used cache of fixed 4 KiB pages of the image, shared by all threads.
class BlockCache {
 public:
  static constexpr size_t kPageSize = 4096;
  BlockCache(const Source& src, size_t max_pages);
  // Copies [off, off + len) into buf through the cache; the range must lie inside the image.
  void Read(uint64_t off, void* buf, size_t len);
  uint64_t hits() const { return hits_; }
  uint64_t misses() const { return misses_; }

 private:
  struct Page {
    uint64_t index;
    std::vector<uint8_t> bytes;
  };
  const Page& Get(uint64_t index);  // with mu_ held

  const Source& src_;
  size_t max_pages_;
  std::mutex mu_;
  std::list<Page> lru_;  // front = most recently used
  std::unordered_map<uint64_t, std::list<Page>::iterator> map_;
  uint64_t hits_ = 0;
  uint64_t misses_ = 0;
};

}  // namespace orvex::erofs
