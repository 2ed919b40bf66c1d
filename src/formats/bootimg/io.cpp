#include "bootimg/io.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "platform_io.h"

namespace orvex::bootimg {

void ReadExact(Reader& r, void* out, size_t n, const char* what) {
  auto* p = static_cast<uint8_t*>(out);
  while (n > 0) {
    size_t got = r.Read(p, n);
    if (got == 0) throw Error(std::string("unexpected end of data in ") + what);
    p += got;
    n -= got;
  }
}

namespace {
constexpr size_t kWriteBuffer = 1 << 20;
}

File::File(const std::string& path, const char* mode) : path_(path) {
  const bool write = mode[0] == 'w';
  fd_ = write ? platform::CreateForWrite(path) : platform::OpenForRead(path);
  if (fd_ < 0) throw Error("cannot open " + path + ": " + std::strerror(errno));
  if (!write && !platform::IsRegularFile(fd_)) {
    Release();
    throw Error("not a regular file: " + path);
  }
  if (write) wbuf_.reserve(kWriteBuffer);
}

File::~File() {
  if (fd_ < 0) return;
  try {
    Flush();
  } catch (const Error&) {
  }
  Release();
}

File::File(File&& o) noexcept
    : fd_(o.fd_), path_(std::move(o.path_)), pos_(o.pos_), wbuf_(std::move(o.wbuf_)), failed_(o.failed_) {
  o.fd_ = -1;
}

File& File::operator=(File&& o) noexcept {
  if (this != &o) {
    this->~File();
    new (this) File(std::move(o));
  }
  return *this;
}

void File::Release() noexcept {
  if (fd_ >= 0) platform::CloseFile(fd_);
  fd_ = -1;
}

uint64_t File::Size() const {
  const_cast<File*>(this)->Flush();
  const int64_t n = platform::SizeOfFile(fd_);
  if (n < 0) throw Error("cannot tell the size of " + path_);
  return uint64_t(n);
}

void File::ReadAt(uint64_t offset, void* out, size_t n) const {
  if (!platform::ReadAllAt(fd_, out, n, offset))
    throw Error("cannot read " + std::to_string(n) + " bytes at " + std::to_string(offset) + " of " + path_);
}

size_t File::Read(void* out, size_t n) {
  if (n == 0) return 0;
  const int64_t got = platform::ReadAt(fd_, out, n, pos_);
  if (got < 0) throw Error("cannot read " + path_ + ": " + std::strerror(errno));
  pos_ += uint64_t(got);
  return size_t(got);
}

void File::Write(const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  if (n >= kWriteBuffer) {
    Flush();
    if (!platform::WriteAllAt(fd_, p, n, pos_)) {
      failed_ = true;
      throw Error("cannot write " + path_ + ": " + std::strerror(errno));
    }
    pos_ += n;
    return;
  }
  if (wbuf_.size() + n > kWriteBuffer) Flush();
  wbuf_.insert(wbuf_.end(), p, p + n);
}

void File::Flush() {
  if (wbuf_.empty() || fd_ < 0) return;
  const bool ok = platform::WriteAllAt(fd_, wbuf_.data(), wbuf_.size(), pos_);
  pos_ += wbuf_.size();
  wbuf_.clear();
  if (!ok) {
    failed_ = true;
    throw Error("cannot write " + path_ + ": " + std::strerror(errno));
  }
}

void File::Close() {
  if (fd_ < 0) return;
  bool bad = failed_;
  try {
    Flush();
  } catch (const Error&) {
    bad = true;
  }
  if (platform::CloseFile(fd_) != 0) bad = true;
  fd_ = -1;
  if (bad) throw Error("cannot write " + path_);
}

size_t RegionReader::Read(void* out, size_t n) {
  if (left_ == 0 || n == 0) return 0;
  if (n > left_) n = size_t(left_);
  f_.ReadAt(pos_, out, n);
  pos_ += n;
  left_ -= n;
  return n;
}

size_t MemoryReader::Read(void* out, size_t n) {
  if (n > left_) n = left_;
  if (n) std::memcpy(out, p_, n);
  p_ += n;
  left_ -= n;
  return n;
}

uint64_t Copy(Reader& r, Writer& w) {
  std::vector<uint8_t> buf(1 << 20);
  uint64_t total = 0;
  for (;;) {
    size_t got = r.Read(buf.data(), buf.size());
    if (got == 0) return total;
    w.Write(buf.data(), got);
    total += got;
  }
}

void WriteZeros(Writer& w, uint64_t n) {
  static const uint8_t zeros[4096] = {};
  while (n > 0) {
    size_t k = n > sizeof zeros ? sizeof zeros : size_t(n);
    w.Write(zeros, k);
    n -= k;
  }
}

}  // namespace orvex::bootimg
