#include "erofs_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform_io.h"

namespace orvex::erofs {

void CheckRange(uint64_t size, uint64_t off, uint64_t len, const char* what) {
  if (off > size || len > size - off) {
    throw Error(std::string(what) + " lies outside the image (offset " + std::to_string(off) +
                ", length " + std::to_string(len) + ", image size " + std::to_string(size) + ")");
  }
}

std::unique_ptr<FileSource> FileSource::Open(const std::string& path) {
  int fd = platform::OpenForRead(path);
  if (fd < 0) throw Error("cannot open " + path + ": " + std::strerror(errno));
  // A regular file, or a block device (a partition read in place) that tells its size.
  int64_t size = -1;
  if (platform::IsRegularFile(fd)) {
    size = platform::SizeOfFile(fd);
  } else if (platform::KindOf(path) == platform::PathKind::kOther) {
    size = platform::SizeOfFile(fd);
    if (size <= 0) size = -2;
  } else {
    size = -2;
  }
  if (size < 0) {
    const int e = errno;
    platform::CloseFile(fd);
    if (size == -2) throw Error(path + " is not a regular file");
    throw Error("cannot find the size of " + path + ": " + std::strerror(e));
  }
  return std::unique_ptr<FileSource>(new FileSource(fd, static_cast<uint64_t>(size)));
}

FileSource::~FileSource() { platform::CloseFile(fd_); }

void FileSource::ReadAt(uint64_t off, void* buf, size_t len) const {
  CheckRange(size_, off, len, "read");
  auto* p = static_cast<uint8_t*>(buf);
  while (len > 0) {
    const int64_t n = platform::ReadAt(fd_, p, len, off);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Error(std::string("read error: ") + std::strerror(errno));
    }
    if (n == 0) throw Error("unexpected end of the image file at offset " + std::to_string(off));
    p += n;
    off += static_cast<uint64_t>(n);
    len -= static_cast<size_t>(n);
  }
}

void MemorySource::ReadAt(uint64_t off, void* buf, size_t len) const {
  CheckRange(size_, off, len, "read");
  if (len) std::memcpy(buf, data_ + off, len);
}

BlockCache::BlockCache(const Source& src, size_t max_pages) : src_(src), max_pages_(max_pages ? max_pages : 1) {}

const BlockCache::Page& BlockCache::Get(uint64_t index) {
  auto it = map_.find(index);
  if (it != map_.end()) {
    ++hits_;
    lru_.splice(lru_.begin(), lru_, it->second);
    return *it->second;
  }
  ++misses_;
  const uint64_t start = index * kPageSize;
  const uint64_t size = src_.Size();
  const size_t len = static_cast<size_t>(std::min<uint64_t>(kPageSize, size - start));
  Page page;
  if (map_.size() >= max_pages_) {
    // Reuse the oldest page's buffer.
    page = std::move(lru_.back());
    map_.erase(page.index);
    lru_.pop_back();
  }
  page.index = index;
  page.bytes.resize(len);
  src_.ReadAt(start, page.bytes.data(), len);
  lru_.push_front(std::move(page));
  map_[index] = lru_.begin();
  return lru_.front();
}

void BlockCache::Read(uint64_t off, void* buf, size_t len) {
  CheckRange(src_.Size(), off, len, "metadata");
  auto* out = static_cast<uint8_t*>(buf);
  std::lock_guard<std::mutex> lock(mu_);
  while (len > 0) {
    const uint64_t index = off / kPageSize;
    const size_t in_page = static_cast<size_t>(off % kPageSize);
    const Page& page = Get(index);
    const size_t n = std::min(len, page.bytes.size() - in_page);
    std::memcpy(out, page.bytes.data() + in_page, n);
    out += n;
    off += n;
    len -= n;
  }
}

}  // namespace orvex::erofs
