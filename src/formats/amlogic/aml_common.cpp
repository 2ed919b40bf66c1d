#include "aml_common.h"

#include <zlib.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform.h"
#include "platform_io.h"
#include "platform_tree.h"

namespace orvex::aml {

void AmlCrc::Update(const void* data, size_t len) {
  const auto* p = static_cast<const Bytef*>(data);
  while (len > 0) {
    const uInt n = len > (1u << 30) ? (1u << 30) : static_cast<uInt>(len);
    zlib_ = crc32(zlib_, p, n);
    p += n;
    len -= n;
  }
}

File::~File() {
  if (fd_ >= 0) platform::CloseFile(fd_);
}

static std::string Reason(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

bool File::OpenRead(const std::string& path, std::string* error) {
  path_ = path;
  fd_ = platform::OpenForRead(path);
  if (fd_ < 0) {
    *error = Reason("cannot open", path);
    return false;
  }
  const int64_t size = platform::IsRegularFile(fd_) ? platform::SizeOfFile(fd_) : -1;
  if (size < 0) {
    *error = "not a regular file: " + path;
    return false;
  }
  size_ = static_cast<uint64_t>(size);
  return true;
}

bool File::Create(const std::string& path, std::string* error) {
  path_ = path;
  const platform::PathKind kind = platform::KindOf(path);
  if (kind == platform::PathKind::kFolder) {
    *error = "a folder is in the way: " + path;
    return false;
  }
  if (kind != platform::PathKind::kMissing) platform::RemoveFile(path);
  fd_ = platform::CreateNewFile(path);
  if (fd_ < 0) {
    *error = Reason("cannot create", path);
    return false;
  }
  return true;
}

bool File::ReadAt(uint64_t offset, void* buf, size_t len, std::string* error) const {
  errno = 0;
  if (!platform::ReadAllAt(fd_, buf, len, offset)) {
    *error = errno ? Reason("cannot read", path_) : "unexpected end of file: " + path_;
    return false;
  }
  return true;
}

bool File::WriteAt(uint64_t offset, const void* buf, size_t len, std::string* error) {
  if (!platform::WriteAllAt(fd_, buf, len, offset)) {
    *error = Reason("cannot write", path_);
    return false;
  }
  return true;
}

bool File::SetSize(uint64_t size, std::string* error) {
  if (platform::SetFileSize(fd_, size)) return true;
  *error = Reason("cannot set the size of", path_);
  return false;
}

bool File::Close(std::string* error) {
  if (fd_ < 0) return true;
  int r = platform::CloseFile(fd_);
  fd_ = -1;
  if (r != 0) {
    *error = Reason("cannot close", path_);
    return false;
  }
  return true;
}

bool IsSafeItemName(std::string_view name) {
  if (name.empty() || name == "." || name.find("..") != std::string_view::npos) return false;
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == '"' || c == ':') return false;
  return true;
}

bool FieldText(const uint8_t* p, size_t size, std::string* out) {
  const void* nul = std::memchr(p, 0, size);
  if (!nul) return false;
  out->assign(reinterpret_cast<const char*>(p), static_cast<const uint8_t*>(nul) - p);
  return true;
}

std::string ToLowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool MakeFolder(const std::string& path, std::string* error) {
  if (platform::IsDirectory(path)) return true;
  size_t end = path.size();
  while (end > 1 && platform::IsSeparator(path[end - 1])) --end;
  size_t cut = end;
  while (cut > 0 && !platform::IsSeparator(path[cut - 1])) --cut;
  // The parent keeps its separator, so that "C:\x" has the parent "C:\", not "C:".
  const std::string parent = cut ? path.substr(0, cut) : ".";
  const int fd = platform::OpenFolder(parent);
  int made = -1;
  if (fd >= 0) {
    made = platform::MakeFolderAt(fd, path.substr(cut, end - cut), 0755);
    if (made != 0 && errno == EEXIST) made = 0;
    platform::CloseFolder(fd);
  }
  if (made == 0 && platform::IsDirectory(path)) return true;
  *error = made != 0 ? Reason("cannot create folder", path) : "a file is in the way: " + path;
  return false;
}

bool IsFile(const std::string& path) { return platform::FileSizeOrMarker(path) >= 0; }

void RemovePath(const std::string& path) { platform::RemoveFile(path); }

bool RenamePath(const std::string& from, const std::string& to, std::string* error) {
  if (platform::RenameReplacing(from, to)) return true;
  *error = "cannot rename " + from + " to " + to + ": " + std::strerror(errno);
  return false;
}

bool ListRegularFiles(const std::string& dir, std::vector<std::string>* names, std::string* error) {
  const int fd = platform::OpenFolder(dir);
  std::vector<std::string> all;
  if (fd < 0 || !platform::ListFolder(fd, &all)) {
    *error = Reason("cannot list the folder", dir);
    if (fd >= 0) platform::CloseFolder(fd);
    return false;
  }
  for (const auto& n : all) {
    platform::EntryInfo info;  // a link is never taken for the file it points to
    if (platform::InfoAt(fd, n, &info) && info.kind == platform::EntryInfo::Kind::kFile) names->push_back(n);
  }
  platform::CloseFolder(fd);
  return true;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

struct HashPipeline::Impl {
  struct Piece {
    uint8_t* buffer;
    const uint8_t* p;
    size_t len;
    void* target;
  };
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::vector<uint8_t>> pool;
  std::vector<uint8_t*> free;
  std::map<uint8_t*, int> holds;
  std::deque<Piece> crcQueue, shaQueue;
  int busy = 0;
  bool stop = false;
  std::thread crcThread, shaThread;

  void Hold(uint8_t* b) { ++holds[b]; }
  void Drop(uint8_t* b) {  // with mu held
    if (--holds[b] == 0) {
      holds.erase(b);
      free.push_back(b);
    }
  }
  void Work(std::deque<Piece>& queue, bool crc) {
    std::unique_lock<std::mutex> lock(mu);
    for (;;) {
      cv.wait(lock, [&] { return stop || !queue.empty(); });
      if (queue.empty()) return;
      Piece piece = queue.front();
      queue.pop_front();
      ++busy;
      lock.unlock();
      if (crc)
        static_cast<AmlCrc*>(piece.target)->Update(piece.p, piece.len);
      else
        static_cast<Sha1*>(piece.target)->Update(piece.p, piece.len);
      lock.lock();
      --busy;
      Drop(piece.buffer);
      cv.notify_all();
    }
  }
};

HashPipeline::HashPipeline(size_t bufferSize, int buffers) : impl_(new Impl), size_(bufferSize) {
  impl_->pool.resize(static_cast<size_t>(buffers));
  for (auto& b : impl_->pool) {
    b.resize(bufferSize);
    impl_->free.push_back(b.data());
  }
  impl_->crcThread = std::thread([this] { impl_->Work(impl_->crcQueue, true); });
  impl_->shaThread = std::thread([this] { impl_->Work(impl_->shaQueue, false); });
}

HashPipeline::~HashPipeline() {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->stop = true;
  }
  impl_->cv.notify_all();
  impl_->crcThread.join();
  impl_->shaThread.join();
  delete impl_;
}

uint8_t* HashPipeline::Acquire() {
  std::unique_lock<std::mutex> lock(impl_->mu);
  impl_->cv.wait(lock, [&] { return !impl_->free.empty(); });
  uint8_t* b = impl_->free.back();
  impl_->free.pop_back();
  impl_->Hold(b);
  return b;
}

void HashPipeline::Crc(uint8_t* buffer, const uint8_t* p, size_t len, AmlCrc* crc) {
  if (len == 0) return;
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->Hold(buffer);
  impl_->crcQueue.push_back({buffer, p, len, crc});
  impl_->cv.notify_all();
}

void HashPipeline::Sha(uint8_t* buffer, const uint8_t* p, size_t len, Sha1* sha) {
  if (len == 0) return;
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->Hold(buffer);
  impl_->shaQueue.push_back({buffer, p, len, sha});
  impl_->cv.notify_all();
}

void HashPipeline::Release(uint8_t* buffer) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->Drop(buffer);
  impl_->cv.notify_all();
}

void HashPipeline::Drain() {
  std::unique_lock<std::mutex> lock(impl_->mu);
  impl_->cv.wait(lock, [&] { return impl_->crcQueue.empty() && impl_->shaQueue.empty() && impl_->busy == 0; });
}

}  // namespace orvex::aml
