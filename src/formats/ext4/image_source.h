#pragma once
// A partition image opened for reading, raw or Android sparse (detected by its magic), with a
// libext2fs I/O manager on top so that libext2fs reads through it. Read-only.
#include <ext2fs/ext2fs.h>

#include <cstdint>
#include <memory>
#include <string>

#include "sparse/sparse_reader.h"

namespace orvex::ext4 {

class ImageSource {
 public:
  ImageSource() = default;
  ~ImageSource();
  ImageSource(const ImageSource&) = delete;
  ImageSource& operator=(const ImageSource&) = delete;

  bool Open(const std::string& path, std::string* error);
  bool is_sparse() const { return sparse_ != nullptr; }
  // Size of the (expanded) image in bytes.
  uint64_t size() const { return size_; }
  // Reads exactly len bytes at offset; false (with *error) on I/O error or past the end.
  bool ReadAt(uint64_t offset, void* buf, size_t len, std::string* error) const;

  // The I/O manager that reads through this source. Pass Ext2Name() as the device name to
  // ext2fs_open2 together with this manager; only one source can be served at a time.
  io_manager Manager();
  std::string Ext2Name() const { return "orvex-image"; }
  // Text of the last read error seen by the I/O manager (empty when none).
  const std::string& last_io_error() const { return last_io_error_; }

 private:
  friend struct IoGlue;
  int fd_ = -1;
  uint64_t size_ = 0;
  std::unique_ptr<sparse::SparseReader> sparse_;
  mutable std::string last_io_error_;
};

// Human text for a libext2fs / com_err error code.
std::string Ext2Error(errcode_t code);

}  // namespace orvex::ext4
