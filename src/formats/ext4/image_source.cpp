#include "ext4/image_source.h"

#include <et/com_err.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sparse/sparse_format.h"

namespace orvex::ext4 {

namespace {
ImageSource* g_source = nullptr;  // the source served by the I/O manager
}

std::string Ext2Error(errcode_t code) {
  static const bool table_loaded = [] {
    initialize_ext2_error_table();
    return true;
  }();
  (void)table_loaded;
  const char* m = error_message(code);
  return m ? m : ("error " + std::to_string(code));
}

ImageSource::~ImageSource() {
  if (g_source == this) g_source = nullptr;
  if (fd_ >= 0) close(fd_);
}

bool ImageSource::Open(const std::string& path, std::string* error) {
  fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) {
    *error = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(fd_, &st) != 0) {
    *error = "cannot stat " + path + ": " + strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
    *error = path + " is not a file";
    return false;
  }
  size_ = static_cast<uint64_t>(st.st_size);
  if (S_ISBLK(st.st_mode)) {
    off_t end = lseek(fd_, 0, SEEK_END);
    size_ = end > 0 ? static_cast<uint64_t>(end) : 0;
  }
  unsigned char magic[4] = {0, 0, 0, 0};
  if (size_ >= 4 && pread(fd_, magic, 4, 0) == 4 && sparse::HasSparseMagic(magic)) {
    sparse_ = std::make_unique<sparse::SparseReader>();
    std::string err;
    if (!sparse_->Open(fd_, &err)) {
      *error = path + ": " + err;
      return false;
    }
    size_ = sparse_->expanded_size();
  }
  return true;
}

bool ImageSource::ReadAt(uint64_t offset, void* buf, size_t len, std::string* error) const {
  if (sparse_) return sparse_->ReadAt(offset, buf, len, error);
  if (offset > size_ || len > size_ - offset) {
    *error = "read past the end of the image (offset " + std::to_string(offset) + ", image " +
             std::to_string(size_) + " bytes): the image is truncated";
    return false;
  }
  auto* p = static_cast<unsigned char*>(buf);
  while (len > 0) {
    ssize_t n = pread(fd_, p, len, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = n < 0 ? std::string("cannot read image: ") + strerror(errno)
                     : "unexpected end of the image";
      return false;
    }
    p += n;
    len -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

// libext2fs I/O manager over the current ImageSource. Read-only: writes fail.
struct IoGlue {
  struct Channel {
    ImageSource* src;
  };

  static errcode_t Open(const char* name, int flags, io_channel* channel) {
    if (!g_source) return EXT2_ET_BAD_DEVICE_NAME;
    if (flags & IO_FLAG_RW) return EXT2_ET_RO_FILSYS;
    io_channel io = nullptr;
    errcode_t rc = ext2fs_get_memzero(sizeof(struct_io_channel), &io);
    if (rc) return rc;
    io->magic = EXT2_ET_MAGIC_IO_CHANNEL;
    io->manager = g_source->Manager();
    rc = ext2fs_get_mem(strlen(name) + 1, &io->name);
    if (rc) {
      ext2fs_free_mem(&io);
      return rc;
    }
    strcpy(io->name, name);
    io->block_size = 1024;
    io->refcount = 1;
    io->private_data = g_source;
    *channel = io;
    return 0;
  }
  static errcode_t Close(io_channel io) {
    if (--io->refcount > 0) return 0;
    ext2fs_free_mem(&io->name);
    ext2fs_free_mem(&io);
    return 0;
  }
  static errcode_t SetBlksize(io_channel io, int blksize) {
    io->block_size = blksize;
    return 0;
  }
  static errcode_t Read64(io_channel io, unsigned long long block, int count, void* data) {
    auto* src = static_cast<ImageSource*>(io->private_data);
    const uint64_t len = count < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(count))
                                   : static_cast<uint64_t>(count) * io->block_size;
    const uint64_t off = block * static_cast<uint64_t>(io->block_size);
    if (block > (UINT64_MAX / 2) / static_cast<uint64_t>(io->block_size)) return EXT2_ET_SHORT_READ;
    std::string err;
    if (!src->ReadAt(off, data, static_cast<size_t>(len), &err)) {
      src->last_io_error_ = err;
      // Leave defined bytes behind for callers that ignore the error.
      memset(data, 0, static_cast<size_t>(len));
      return EXT2_ET_SHORT_READ;
    }
    return 0;
  }
  static errcode_t Read(io_channel io, unsigned long block, int count, void* data) {
    return Read64(io, block, count, data);
  }
  static errcode_t Write(io_channel, unsigned long, int, const void*) { return EXT2_ET_RO_FILSYS; }
  static errcode_t Write64(io_channel, unsigned long long, int, const void*) {
    return EXT2_ET_RO_FILSYS;
  }
  static errcode_t WriteByte(io_channel, unsigned long, int, const void*) {
    return EXT2_ET_RO_FILSYS;
  }
  static errcode_t Flush(io_channel) { return 0; }
  static errcode_t SetOption(io_channel, const char*, const char*) {
    return EXT2_ET_INVALID_ARGUMENT;
  }
};

io_manager ImageSource::Manager() {
  static struct_io_manager manager = [] {
    struct_io_manager m{};
    m.magic = EXT2_ET_MAGIC_IO_MANAGER;
    m.name = "orvex image I/O manager";
    m.open = IoGlue::Open;
    m.close = IoGlue::Close;
    m.set_blksize = IoGlue::SetBlksize;
    m.read_blk = IoGlue::Read;
    m.write_blk = IoGlue::Write;
    m.flush = IoGlue::Flush;
    m.write_byte = IoGlue::WriteByte;
    m.set_option = IoGlue::SetOption;
    m.read_blk64 = IoGlue::Read64;
    m.write_blk64 = IoGlue::Write64;
    return m;
  }();
  g_source = this;
  return &manager;
}

}  // namespace orvex::ext4
