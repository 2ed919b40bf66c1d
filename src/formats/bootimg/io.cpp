#include "bootimg/io.h"

#include <cerrno>
#include <cstring>

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

File::File(const std::string& path, const char* mode) : path_(path) {
  f_ = std::fopen(path.c_str(), mode);
  if (!f_) throw Error("cannot open " + path + ": " + std::strerror(errno));
}

File::~File() {
  if (f_) std::fclose(f_);
}

File& File::operator=(File&& o) noexcept {
  if (this != &o) {
    if (f_) std::fclose(f_);
    f_ = o.f_;
    path_ = std::move(o.path_);
    o.f_ = nullptr;
  }
  return *this;
}

uint64_t File::Size() const {
  if (fseeko(f_, 0, SEEK_END) != 0) throw Error("cannot seek in " + path_);
  off_t end = ftello(f_);
  if (end < 0) throw Error("cannot tell the size of " + path_);
  return uint64_t(end);
}

void File::ReadAt(uint64_t offset, void* out, size_t n) const {
  if (fseeko(f_, off_t(offset), SEEK_SET) != 0 || std::fread(out, 1, n, f_) != n)
    throw Error("cannot read " + std::to_string(n) + " bytes at " + std::to_string(offset) + " of " + path_);
}

void File::Close() {
  if (!f_) return;
  bool bad = std::ferror(f_) != 0;
  if (std::fclose(f_) != 0) bad = true;
  f_ = nullptr;
  if (bad) throw Error("cannot write " + path_);
}

size_t RegionReader::Read(void* out, size_t n) {
  if (left_ == 0 || n == 0) return 0;
  if (n > left_) n = size_t(left_);
  if (fseeko(f_.get(), off_t(pos_), SEEK_SET) != 0) throw Error("cannot seek in " + f_.path());
  size_t got = std::fread(out, 1, n, f_.get());
  if (got == 0) throw Error("unexpected end of " + f_.path());
  pos_ += got;
  left_ -= got;
  return got;
}

size_t FileReader::Read(void* out, size_t n) {
  size_t got = std::fread(out, 1, n, f_.get());
  if (got == 0 && std::ferror(f_.get())) throw Error("cannot read " + f_.path());
  return got;
}

void FileWriter::Write(const void* data, size_t n) {
  if (n && std::fwrite(data, 1, n, f_.get()) != n) throw Error("cannot write " + f_.path() + ": " + std::strerror(errno));
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
