#pragma once
// A partition image opened for reading, raw or Android sparse (detected by its magic), and a raw
// image opened for writing, each with a libext2fs I/O manager on top so that libext2fs reads and
// writes through our file layer (UTF-8 paths and 64-bit offsets on every system).
#include <sys/types.h>  // ext2fs.h uses mode_t without including it on every system

#include <ext2fs/ext2fs.h>

#include <cstdint>
#include <memory>
#include <string>

#include "sparse/sparse_reader.h"

namespace orvex::ext4 {

// What the I/O manager reads and writes: one image, under the name given to libext2fs.
class IoTarget {
 public:
  virtual ~IoTarget();
  // Exactly len bytes at offset; false with *error on an I/O error or past the end.
  virtual bool ReadAt(uint64_t offset, void* buf, size_t len, std::string* error) const = 0;
  virtual bool WriteAt(uint64_t offset, const void* buf, size_t len, std::string* error);
  virtual bool writable() const { return false; }

  // The I/O manager serving this target. Pass Ext2Name() as the device name to ext2fs_open2 or
  // ext2fs_initialize together with this manager; only one target is served at a time.
  io_manager Manager();
  std::string Ext2Name() const { return "orvex-image"; }
  // Text of the last I/O error seen by the I/O manager (empty when none).
  const std::string& last_io_error() const { return last_io_error_; }

 private:
  friend struct IoGlue;
  mutable std::string last_io_error_;
};

class ImageSource : public IoTarget {
 public:
  ImageSource() = default;
  ~ImageSource() override;
  ImageSource(const ImageSource&) = delete;
  ImageSource& operator=(const ImageSource&) = delete;

  bool Open(const std::string& path, std::string* error);
  bool is_sparse() const { return sparse_ != nullptr; }
  // Size of the (expanded) image in bytes.
  uint64_t size() const { return size_; }
  bool ReadAt(uint64_t offset, void* buf, size_t len, std::string* error) const override;

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
  std::unique_ptr<sparse::SparseReader> sparse_;
};

// A raw image file that libext2fs lays out in place: created (or emptied) and sized first, so
// that every block not written reads as zero.
class ImageFile : public IoTarget {
 public:
  ImageFile() = default;
  ~ImageFile() override;
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;

  // Creates the file (emptying an existing one) with the given size.
  bool Create(const std::string& path, uint64_t size, std::string* error);
  bool ReadAt(uint64_t offset, void* buf, size_t len, std::string* error) const override;
  bool WriteAt(uint64_t offset, const void* buf, size_t len, std::string* error) override;
  bool writable() const override { return true; }
  // The descriptor (for the sparse conversion after the build), -1 when closed.
  int fd() const { return fd_; }
  bool Close(std::string* error);

 private:
  int fd_ = -1;
  std::string path_;
};

// Human text for a libext2fs / com_err error code.
std::string Ext2Error(errcode_t code);

}  // namespace orvex::ext4
