#include "ext4/text_file.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform_io.h"
#include "platform_tree.h"

namespace orvex::ext4 {

namespace {

constexpr size_t kWriteBatch = 1 << 16;

std::string DirOf(const std::string& path) {
  const size_t s = path.find_last_of("/\\");
  if (s == std::string::npos) return ".";
  return s == 0 ? path.substr(0, 1) : path.substr(0, s);
}

std::string NameOf(const std::string& path) {
  const size_t s = path.find_last_of("/\\");
  return s == std::string::npos ? path : path.substr(s + 1);
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string* out, bool* exists, std::string* error) {
  out->clear();
  const int fd = platform::OpenForRead(path);
  if (fd < 0) {
    if (errno == ENOENT) {
      *exists = false;
      return true;
    }
    *error = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  *exists = true;
  char buf[1 << 16];
  uint64_t off = 0;
  for (;;) {
    const int64_t n = platform::ReadAt(fd, buf, sizeof(buf), off);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = "cannot read " + path + ": " + strerror(errno);
      platform::CloseFile(fd);
      return false;
    }
    if (n == 0) break;
    out->append(buf, static_cast<size_t>(n));
    off += static_cast<uint64_t>(n);
  }
  platform::CloseFile(fd);
  return true;
}

LineReader::~LineReader() = default;

bool LineReader::Open(const std::string& path, std::string* error) {
  path_ = path;
  bool exists = false;
  if (!ReadWholeFile(path, &data_, &exists, error)) return false;
  if (!exists) {
    *error = "cannot open " + path + ": " + strerror(ENOENT);
    return false;
  }
  open_ = true;
  pos_ = 0;
  return true;
}

bool LineReader::Next(std::string* line) {
  line->clear();
  if (!open_ || pos_ >= data_.size()) return false;
  const size_t nl = data_.find('\n', pos_);
  const size_t end = nl == std::string::npos ? data_.size() : nl;
  line->assign(data_, pos_, end - pos_);
  last_had_newline_ = nl != std::string::npos;
  pos_ = last_had_newline_ ? nl + 1 : data_.size();
  if (!line->empty() && line->back() == '\r') {
    line->pop_back();
    if (last_had_newline_) saw_crlf_ = true;
  }
  return true;
}

TextWriter::~TextWriter() {
  if (fd_ >= 0) platform::CloseFile(fd_);
}

bool TextWriter::Open(const std::string& path, std::string* error) {
  path_ = path;
  fd_ = platform::CreateForWrite(path);
  if (fd_ < 0) {
    *error = "cannot create " + path + ": " + strerror(errno);
    return false;
  }
  return true;
}

void TextWriter::Drain() {
  if (fd_ < 0 || pending_.empty()) return;
  if (!failed_ && !platform::WriteAllAt(fd_, pending_.data(), pending_.size(), written_)) {
    failed_ = true;
    errno_ = errno ? errno : EIO;
  }
  written_ += pending_.size();
  pending_.clear();
}

void TextWriter::Write(const std::string& s) {
  if (fd_ < 0) return;
  pending_ += s;
  if (pending_.size() >= kWriteBatch) Drain();
}

void TextWriter::Line(const std::string& s) {
  Write(s);
  Write(eol_);
}

bool TextWriter::Close(std::string* error) {
  if (fd_ < 0) return !failed_;
  Drain();
  if (platform::CloseFile(fd_) != 0 && !failed_) {
    failed_ = true;
    errno_ = errno;
  }
  fd_ = -1;
  if (failed_) {
    *error = "cannot write " + path_ + ": " + strerror(errno_ ? errno_ : EIO);
    return false;
  }
  return true;
}

int CreateTempBeside(const std::string& path, const std::string& infix, std::string* tmp,
                     std::string* error) {
  // The clock and the address of a local seed the names; CreateNewFile refuses a taken one.
  int local = 0;
  uint64_t seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                  reinterpret_cast<uintptr_t>(&local);
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    std::string suffix;
    for (int i = 0; i < 6; ++i) suffix += kChars[(seed >> (16 + 6 * i)) % 36];
    *tmp = path + infix + suffix;
    const int fd = platform::CreateNewFile(*tmp);
    if (fd >= 0) return fd;
    if (errno != EEXIST) break;
  }
  *error = "cannot create a temporary file beside " + path + ": " + strerror(errno);
  return -1;
}

bool WriteFileAtomic(const std::string& path, const std::string& content, std::string* error) {
  uint32_t mode = 0644;
  const int dirfd = platform::OpenFolder(DirOf(path));
  if (dirfd >= 0) {
    platform::EntryInfo info;
    if (platform::InfoAt(dirfd, NameOf(path), &info)) {
      mode = info.mode & 07777;
    }
    platform::CloseFolder(dirfd);
  }
  std::string tmp;
  const int fd = CreateTempBeside(path, ".tmp", &tmp, error);
  if (fd < 0) return false;
  if (!platform::WriteAllAt(fd, content.data(), content.size(), 0)) {
    *error = "cannot write " + tmp + ": " + strerror(errno ? errno : EIO);
    platform::CloseFile(fd);
    platform::RemoveFile(tmp);
    return false;
  }
  if (platform::TreeKeepsOwners() && !platform::SetMode(fd, mode)) {
    *error = "cannot finish " + tmp + ": " + strerror(errno);
    platform::CloseFile(fd);
    platform::RemoveFile(tmp);
    return false;
  }
  const bool synced = platform::SyncFile(fd);
  const int sync_errno = errno;
  if (platform::CloseFile(fd) != 0 || !synced) {
    *error = "cannot finish " + tmp + ": " + strerror(synced ? errno : sync_errno);
    platform::RemoveFile(tmp);
    return false;
  }
  if (!platform::RenameReplacing(tmp, path)) {
    *error = "cannot replace " + path + ": " + strerror(errno);
    platform::RemoveFile(tmp);
    return false;
  }
  return true;
}

}  // namespace orvex::ext4
