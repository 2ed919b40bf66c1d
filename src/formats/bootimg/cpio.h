#pragma once
// cpio archives in the "new ASCII" form (newc, and its CRC variant on reading), the form of
// Android and Linux ramdisks.
#include <cstdint>
#include <string>

#include "bootimg/io.h"

namespace orvex::bootimg {

struct CpioEntry {
  std::string name;
  uint32_t ino = 0, mode = 0, uid = 0, gid = 0, nlink = 1, mtime = 0;
  uint64_t size = 0;
  uint32_t dev_major = 0, dev_minor = 0, rdev_major = 0, rdev_minor = 0;
};

// File types in the mode word.
constexpr uint32_t kTypeMask = 0170000, kTypeDir = 0040000, kTypeFile = 0100000, kTypeLink = 0120000,
                   kTypeChar = 0020000, kTypeBlock = 0060000, kTypeFifo = 0010000, kTypeSocket = 0140000;

class CpioReader {
 public:
  explicit CpioReader(Reader& in) : in_(in) {}
  // The next entry; false at the trailer. The data of the previous entry is skipped when it was
  // not read.
  bool Next(CpioEntry& e);
  // Reads the current entry's data.
  size_t ReadData(void* out, size_t n);
  uint64_t DataLeft() const { return left_; }
  uint64_t Position() const { return pos_; }

 private:
  void Skip(uint64_t n);
  void Take(void* out, size_t n);
  Reader& in_;
  uint64_t pos_ = 0, left_ = 0, pad_ = 0;
};

class CpioWriter {
 public:
  explicit CpioWriter(Writer& out) : out_(out) {}
  // Writes the header and name; the caller then writes exactly e.size bytes with Data.
  void Begin(const CpioEntry& e);
  void Data(const void* p, size_t n);
  void End();  // padding after the data
  void Finish();  // the trailer entry

 private:
  void Put(const void* p, size_t n) {
    out_.Write(p, n);
    pos_ += n;
  }
  Writer& out_;
  uint64_t pos_ = 0, left_ = 0;
};

// Removes a leading "./" and doubled or trailing separators. Throws for an absolute name or one
// with a ".." component; "." stands for the archive's root.
std::string CleanEntryName(const std::string& name);

}  // namespace orvex::bootimg
