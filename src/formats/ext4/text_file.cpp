#include "ext4/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace orvex::ext4 {

LineReader::~LineReader() {
  if (f_) fclose(f_);
}

bool LineReader::Open(const std::string& path, std::string* error) {
  path_ = path;
  f_ = fopen(path.c_str(), "rb");
  if (!f_) {
    *error = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  return true;
}

bool LineReader::Next(std::string* line) {
  line->clear();
  if (!f_) return false;
  char* buf = nullptr;
  size_t cap = 0;
  errno = 0;
  ssize_t n = getline(&buf, &cap, f_);
  if (n < 0) {
    free(buf);
    if (ferror(f_)) error_ = "cannot read " + path_ + ": " + strerror(errno ? errno : EIO);
    return false;
  }
  line->assign(buf, static_cast<size_t>(n));
  free(buf);
  last_had_newline_ = !line->empty() && line->back() == '\n';
  if (last_had_newline_) line->pop_back();
  if (!line->empty() && line->back() == '\r') {
    line->pop_back();
    if (last_had_newline_) saw_crlf_ = true;
  }
  return true;
}

TextWriter::~TextWriter() {
  if (f_) fclose(f_);
}

bool TextWriter::Open(const std::string& path, std::string* error) {
  path_ = path;
  f_ = fopen(path.c_str(), "wb");
  if (!f_) {
    *error = "cannot create " + path + ": " + strerror(errno);
    return false;
  }
  setvbuf(f_, nullptr, _IOFBF, 1 << 16);
  return true;
}

void TextWriter::Write(const std::string& s) {
  if (f_ && !s.empty() && fwrite(s.data(), 1, s.size(), f_) != s.size()) failed_ = true;
}

void TextWriter::Line(const std::string& s) {
  Write(s);
  if (f_ && fputs(eol_, f_) == EOF) failed_ = true;
}

bool TextWriter::Close(std::string* error) {
  if (!f_) return !failed_;
  int rc = fclose(f_);
  f_ = nullptr;
  if (rc != 0 || failed_) {
    *error = "cannot write " + path_ + ": " + strerror(errno ? errno : EIO);
    return false;
  }
  return true;
}

bool WriteFileAtomic(const std::string& path, const std::string& content, std::string* error) {
  mode_t mode = 0644;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;
  std::string tmp = path + ".tmpXXXXXX";
  int fd = mkstemp(tmp.data());
  if (fd < 0) {
    *error = "cannot create a temporary file beside " + path + ": " + strerror(errno);
    return false;
  }
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = "cannot write " + tmp + ": " + strerror(errno);
      close(fd);
      unlink(tmp.c_str());
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (fchmod(fd, mode) != 0 || fsync(fd) != 0 || close(fd) != 0) {
    *error = "cannot finish " + tmp + ": " + strerror(errno);
    unlink(tmp.c_str());
    return false;
  }
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    *error = "cannot replace " + path + ": " + strerror(errno);
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace orvex::ext4
