#include "rk_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "digest/digest.h"

namespace orvex::rk {

namespace {

struct CrcTables {
  uint32_t t[8][256];
  CrcTables() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i << 24;
      for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C10DB7u : c << 1;
      t[0][i] = c;
    }
    for (int k = 1; k < 8; ++k)
      for (uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 24];
  }
};
const CrcTables kCrc;

std::string Errno(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

uint32_t RkCrc(uint32_t crc, const void* data, size_t len) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  const auto& t = kCrc.t;
  while (len >= 8) {
    const uint32_t a = crc ^ (uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]);
    crc = t[7][a >> 24] ^ t[6][(a >> 16) & 0xFF] ^ t[5][(a >> 8) & 0xFF] ^ t[4][a & 0xFF] ^ t[3][p[4]] ^ t[2][p[5]] ^
          t[1][p[6]] ^ t[0][p[7]];
    p += 8;
    len -= 8;
  }
  while (len--) crc = (crc << 8) ^ t[0][(crc >> 24) ^ *p++];
  return crc;
}

Digest::Digest(Kind kind)
    : ctx_(new digest::Digest(kind == kSha1     ? digest::Kind::kSha1
                              : kind == kSha256 ? digest::Kind::kSha256
                                                : digest::Kind::kMd5)) {}
Digest::~Digest() { delete static_cast<digest::Digest*>(ctx_); }
void Digest::Update(const void* data, size_t len) { static_cast<digest::Digest*>(ctx_)->Update(data, len); }
std::string Digest::Final() { return static_cast<digest::Digest*>(ctx_)->Final(); }

std::string Hex(std::string_view bytes) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (unsigned char c : bytes) {
    s += d[c >> 4];
    s += d[c & 15];
  }
  return s;
}

std::string Unhex(std::string_view text) {
  auto v = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (text.size() % 2) throw Error("odd number of hex digits: " + std::string(text.substr(0, 40)));
  std::string out;
  for (size_t i = 0; i < text.size(); i += 2) {
    const int a = v(text[i]), b = v(text[i + 1]);
    if (a < 0 || b < 0) throw Error("not a hex text: " + std::string(text.substr(0, 40)));
    out += static_cast<char>(a << 4 | b);
  }
  return out;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}
File::File(File&& o) noexcept : fd_(o.fd_), size_(o.size_), path_(std::move(o.path_)) { o.fd_ = -1; }

void File::OpenRead(const std::string& path) {
  path_ = path;
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) throw Error(Errno("cannot open", path));
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) throw Error("not a regular file: " + path);
  size_ = static_cast<uint64_t>(st.st_size);
}

void File::Create(const std::string& path) {
  path_ = path;
  ::unlink(path.c_str());
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd_ < 0) throw Error(Errno("cannot create", path));
  size_ = 0;
}

void File::ReadAt(uint64_t offset, void* buf, size_t len) const {
  if (offset > size_ || len > size_ - offset) throw Error("read past the end of " + path_);
  uint8_t* p = static_cast<uint8_t*>(buf);
  while (len) {
    const ssize_t n = ::pread(fd_, p, len, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw Error(n == 0 ? "unexpected end of " + path_ : Errno("cannot read", path_));
    p += n;
    offset += static_cast<uint64_t>(n);
    len -= static_cast<size_t>(n);
  }
}

std::string File::ReadString(uint64_t offset, size_t len) const {
  std::string s(len, '\0');
  ReadAt(offset, s.data(), len);
  return s;
}

void File::WriteAt(uint64_t offset, const void* buf, size_t len) {
  const uint8_t* p = static_cast<const uint8_t*>(buf);
  while (len) {
    const ssize_t n = ::pwrite(fd_, p, len, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw Error(Errno("cannot write", path_));
    p += n;
    offset += static_cast<uint64_t>(n);
    len -= static_cast<size_t>(n);
  }
  size_ = std::max(size_, offset);
}

void File::Close() {
  if (fd_ < 0) return;
  const int r = ::close(fd_);
  fd_ = -1;
  if (r != 0) throw Error(Errno("cannot close", path_));
}

namespace {
constexpr size_t kBuffer = 4u << 20;
}

struct DigestWorker::Impl {
  Digest* digest;
  std::vector<std::vector<uint8_t>> pool;
  std::vector<bool> busy;
  size_t current = 0;
  std::deque<std::pair<size_t, size_t>> queue;  // buffer index, length
  std::mutex m;
  std::condition_variable cv;
  bool stop = false;
  std::thread thread;
  void Run() {
    std::unique_lock<std::mutex> lock(m);
    while (true) {
      cv.wait(lock, [&] { return stop || !queue.empty(); });
      if (queue.empty()) return;
      const auto [i, len] = queue.front();
      queue.pop_front();
      lock.unlock();
      digest->Update(pool[i].data(), len);
      lock.lock();
      busy[i] = false;
      cv.notify_all();
    }
  }
};

DigestWorker::DigestWorker(Digest* digest, size_t bufferSize, int buffers) : impl_(new Impl) {
  impl_->digest = digest;
  impl_->pool.assign(static_cast<size_t>(buffers), std::vector<uint8_t>(bufferSize));
  impl_->busy.assign(static_cast<size_t>(buffers), false);
  impl_->current = impl_->pool.size() - 1;
  impl_->thread = std::thread([this] { impl_->Run(); });
}

DigestWorker::~DigestWorker() {
  {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->stop = true;
  }
  impl_->cv.notify_all();
  impl_->thread.join();
  delete impl_;
}

uint8_t* DigestWorker::Next() {
  std::unique_lock<std::mutex> lock(impl_->m);
  impl_->current = (impl_->current + 1) % impl_->pool.size();
  impl_->cv.wait(lock, [&] { return !impl_->busy[impl_->current]; });
  return impl_->pool[impl_->current].data();
}

void DigestWorker::Submit(size_t len) {
  {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->busy[impl_->current] = true;
    impl_->queue.emplace_back(impl_->current, len);
  }
  impl_->cv.notify_all();
}

void DigestWorker::Drain() {
  std::unique_lock<std::mutex> lock(impl_->m);
  impl_->cv.wait(lock, [&] {
    return impl_->queue.empty() && std::none_of(impl_->busy.begin(), impl_->busy.end(), [](bool b) { return b; });
  });
}

SeqWriter::SeqWriter(const std::string& path) : own_(kBuffer), buf_(own_.data()) { file_.Create(path); }
SeqWriter::~SeqWriter() { delete md5_; }

void SeqWriter::StartMd5(Digest* md5) {
  Flush();
  delete md5_;
  md5_ = new DigestWorker(md5, kBuffer);
  buf_ = md5_->Next();
}

void SeqWriter::StopMd5() {
  Flush();
  if (!md5_) return;
  md5_->Drain();
  delete md5_;
  md5_ = nullptr;
  buf_ = own_.data();
}

void SeqWriter::Write(const void* data, size_t len) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (crcOn) crc = RkCrc(crc, p, len);
  pos_ += len;
  while (len) {
    const size_t n = std::min(len, kBuffer - fill_);
    std::memcpy(buf_ + fill_, p, n);
    fill_ += n;
    p += n;
    len -= n;
    if (fill_ == kBuffer) Flush();
  }
}

void SeqWriter::Zeros(uint64_t len) {
  static const std::vector<uint8_t> zero(64 * 1024);
  while (len) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(len, zero.size()));
    Write(zero.data(), n);
    len -= n;
  }
}

void SeqWriter::CopyFrom(const std::string& path, uint64_t len) {
  File in;
  in.OpenRead(path);
  if (in.size() < len) throw Error("file shrank while packing: " + path);
  uint64_t at = 0;
  while (at < len) {
    Flush();
    const size_t n = static_cast<size_t>(std::min<uint64_t>(len - at, kBuffer));
    in.ReadAt(at, buf_, n);
    if (crcOn) crc = RkCrc(crc, buf_, n);
    fill_ = n;
    pos_ += n;
    at += n;
  }
}

void SeqWriter::Flush() {
  if (!fill_) return;
  file_.WriteAt(written_, buf_, fill_);
  written_ += fill_;
  if (md5_) {
    md5_->Submit(fill_);
    buf_ = md5_->Next();
  }
  fill_ = 0;
}

void SeqWriter::Close() {
  StopMd5();
  file_.Close();
}

void SplitStream(const File& in, uint64_t end, std::vector<Piece> pieces, StreamSums* sums) {
  std::sort(pieces.begin(), pieces.end(), [](const Piece& a, const Piece& b) { return a.offset < b.offset; });
  std::vector<File> out(pieces.size());
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (pieces[i].offset > end || pieces[i].length > end - pieces[i].offset)
      throw Error("a part lies past the end of " + in.path() + ": " + pieces[i].path);
    out[i].Create(pieces[i].path);
  }
  // Reading stops early when nothing needs the rest of the input.
  uint64_t need = 0;
  for (const Piece& p : pieces) need = std::max(need, p.offset + p.length);
  if (sums) {
    if (sums->md5) need = std::max(need, sums->md5End);
    if (sums->crc) need = std::max(need, sums->crcTo);
  }
  need = std::min(need, end);
  std::vector<uint8_t> own(kBuffer);
  DigestWorker* md5 = sums && sums->md5 ? new DigestWorker(sums->md5, kBuffer) : nullptr;
  std::unique_ptr<DigestWorker> md5Owner(md5);
  size_t first = 0;
  for (uint64_t at = 0; at < need;) {
    uint8_t* const data = md5 ? md5->Next() : own.data();
    const size_t n = static_cast<size_t>(std::min<uint64_t>(need - at, kBuffer));
    in.ReadAt(at, data, n);
    const uint64_t to = at + n;
    if (md5 && at < sums->md5End) md5->Submit(static_cast<size_t>(std::min(to, sums->md5End) - at));
    if (sums && sums->crc && to > sums->crcFrom && at < sums->crcTo) {
      const uint64_t a = std::max(at, sums->crcFrom), b = std::min(to, sums->crcTo);
      sums->crcValue = RkCrc(sums->crcValue, data + (a - at), static_cast<size_t>(b - a));
    }
    while (first < pieces.size() && pieces[first].offset + pieces[first].length <= at) ++first;
    for (size_t i = first; i < pieces.size() && pieces[i].offset < to; ++i) {
      const uint64_t a = std::max(at, pieces[i].offset), b = std::min(to, pieces[i].offset + pieces[i].length);
      if (a < b) out[i].WriteAt(a - pieces[i].offset, data + (a - at), static_cast<size_t>(b - a));
    }
    at = to;
  }
  if (md5) md5->Drain();
  for (File& f : out) f.Close();
}

bool IsSafeRelPath(std::string_view path) {
  if (path.empty() || path.size() > 1024) return false;
  size_t start = 0;
  while (true) {
    const size_t slash = path.find('/', start);
    const std::string_view part = path.substr(start, slash == std::string_view::npos ? path.npos : slash - start);
    if (part.empty() || part == "." || part == "..") return false;
    for (unsigned char c : part)
      if (c < 0x20 || c == 0x7F || c == '\\' || c == ':') return false;
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

std::string FieldText(const uint8_t* p, size_t size) {
  size_t n = 0;
  while (n < size && p[n]) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

std::string JoinPath(const std::string& dir, const std::string& rel) {
  if (dir.empty()) return rel;
  return dir.back() == '/' ? dir + rel : dir + "/" + rel;
}

void MakeParents(const std::string& root, const std::string& rel) {
  size_t at = 0;
  while ((at = rel.find('/', at)) != std::string::npos) {
    const std::string d = JoinPath(root, rel.substr(0, at));
    struct stat st {};
    if (::lstat(d.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) throw Error("not a folder: " + d);
    } else if (::mkdir(d.c_str(), 0755) != 0) {
      throw Error(Errno("cannot create folder", d));
    }
    ++at;
  }
}

uint64_t FileSizeOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw Error(Errno("cannot read", path));
  if (!S_ISREG(st.st_mode)) throw Error("not a regular file: " + path);
  return static_cast<uint64_t>(st.st_size);
}

std::string ReadWhole(const std::string& path, uint64_t limit) {
  File f;
  f.OpenRead(path);
  if (f.size() > limit) throw Error("file too large: " + path);
  return f.ReadString(0, static_cast<size_t>(f.size()));
}

void WriteWhole(const std::string& path, std::string_view bytes) {
  File f;
  f.Create(path);
  f.WriteAt(0, bytes.data(), bytes.size());
  f.Close();
}

bool IsDir(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace orvex::rk
