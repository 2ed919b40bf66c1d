// The config file line reader for the Windows erofs programs: the same reading as on Linux, with
// the file opened by its UTF-8 name. (The writers of text_file.cpp are not needed here.)
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "ext4/text_file.h"
#include "wide.h"

namespace orvex::ext4 {

LineReader::~LineReader() {
  if (f_) fclose(f_);
}

bool LineReader::Open(const std::string& path, std::string* error) {
  path_ = path;
  f_ = _wfopen(erofs_compat::Utf8ToWide(path).c_str(), L"rb");
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
  const long n = getline(&buf, &cap, f_);
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

}  // namespace orvex::ext4
