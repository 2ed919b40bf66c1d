#include "ext4/image_source.h"

#include <et/com_err.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform_io.h"
#include "platform_tree.h"
#include "sparse/sparse_format.h"

namespace orvex::ext4 {

namespace {
IoTarget* g_target = nullptr;  // the target served by the I/O manager
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

IoTarget::~IoTarget() {
  if (g_target == this) g_target = nullptr;
}

bool IoTarget::WriteAt(uint64_t, const void*, size_t, std::string* error) {
  *error = "the image is open for reading only";
  return false;
}

ImageSource::~ImageSource() {
  if (fd_ >= 0) platform::CloseFile(fd_);
}

bool ImageSource::Open(const std::string& path, std::string* error) {
  fd_ = platform::OpenForRead(path);
  if (fd_ < 0) {
    *error = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  const int64_t size = platform::SizeOfFile(fd_);
  if (size < 0) {
    *error = "cannot find the size of " + path + ": " + strerror(errno);
    return false;
  }
  // Besides files, block devices count (when their size is known); folders never do.
  if (!platform::IsRegularFile(fd_)) {
    const int dir = size > 0 ? platform::OpenFolder(path) : -1;
    if (dir >= 0) platform::CloseFolder(dir);
    if (size == 0 || dir >= 0) {
      *error = path + " is not a file";
      return false;
    }
  }
  size_ = static_cast<uint64_t>(size);
  unsigned char magic[4] = {0, 0, 0, 0};
  if (size_ >= 4 && platform::ReadAllAt(fd_, magic, 4, 0) && sparse::HasSparseMagic(magic)) {
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
    const int64_t n = platform::ReadAt(fd_, p, len, offset);
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

ImageFile::~ImageFile() {
  if (fd_ >= 0) platform::CloseFile(fd_);
}

bool ImageFile::Create(const std::string& path, uint64_t size, std::string* error) {
  path_ = path;
  // Created, then opened again for reading as well: libext2fs reads back what it wrote.
  const int w = platform::CreateForWrite(path);
  if (w < 0) {
    *error = "cannot create " + path + ": " + strerror(errno);
    return false;
  }
  const bool sized = platform::SetFileSize(w, size);
  const int e = errno;
  platform::CloseFile(w);
  if (!sized) {
    *error = "cannot size " + path + ": " + strerror(e);
    return false;
  }
  fd_ = platform::OpenForUpdate(path);
  if (fd_ < 0) {
    *error = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  return true;
}

bool ImageFile::ReadAt(uint64_t offset, void* buf, size_t len, std::string* error) const {
  if (fd_ >= 0 && platform::ReadAllAt(fd_, buf, len, offset)) return true;
  *error = "cannot read " + path_ + " at " + std::to_string(offset) + ": " +
           (errno ? strerror(errno) : "unexpected end of the file");
  return false;
}

bool ImageFile::WriteAt(uint64_t offset, const void* buf, size_t len, std::string* error) {
  if (fd_ >= 0 && platform::WriteAllAt(fd_, buf, len, offset)) return true;
  *error = "cannot write " + path_ + ": " + strerror(errno ? errno : EIO);
  return false;
}

bool ImageFile::Close(std::string* error) {
  if (fd_ < 0) return true;
  const int rc = platform::CloseFile(fd_);
  fd_ = -1;
  if (rc != 0) {
    *error = "cannot write " + path_ + ": " + strerror(errno);
    return false;
  }
  return true;
}

// libext2fs I/O manager over the current IoTarget; writes fail on a read-only one. A channel on
// a writable target keeps the last single blocks read or written (libext2fs updates inode tables
// and bitmaps a block at a time) and writes them back when they leave, on a flush and on close.
struct IoGlue {
  static constexpr size_t kSlots = 32;
  struct Slot {
    uint64_t block = 0;
    uint64_t used = 0;  // last use, for eviction; 0 = empty
    bool dirty = false;
    std::vector<char> data;
  };
  struct Channel {
    IoTarget* target = nullptr;
    std::vector<Slot> slots;  // empty for read-only targets
    uint64_t clock = 0;
  };

  static Channel* Of(io_channel io) { return static_cast<Channel*>(io->private_data); }

  static errcode_t Fail(Channel* c, const std::string& err, errcode_t code) {
    c->target->last_io_error_ = err;
    return code;
  }
  static errcode_t WriteBack(io_channel io, Slot& s) {
    if (!s.used || !s.dirty) return 0;
    Channel* c = Of(io);
    std::string err;
    if (!c->target->WriteAt(s.block * io->block_size, s.data.data(), s.data.size(), &err))
      return Fail(c, err, EXT2_ET_SHORT_WRITE);
    s.dirty = false;
    return 0;
  }
  // Writes back (and with drop, forgets) the cached blocks that meet [off, off + len).
  static errcode_t Settle(io_channel io, uint64_t off, uint64_t len, bool drop) {
    const uint64_t bs = static_cast<uint64_t>(io->block_size);
    for (Slot& s : Of(io)->slots) {
      if (!s.used || s.block * bs >= off + len || (s.block + 1) * bs <= off) continue;
      if (errcode_t rc = WriteBack(io, s)) return rc;
      if (drop) s.used = 0;
    }
    return 0;
  }
  static errcode_t SettleAll(io_channel io, bool drop) {
    for (Slot& s : Of(io)->slots) {
      if (errcode_t rc = WriteBack(io, s)) return rc;
      if (drop) s.used = 0;
    }
    return 0;
  }
  // The slot of a block, or a free (or least recently used, written back) one for it.
  static errcode_t SlotFor(io_channel io, uint64_t block, Slot** out, bool* hit) {
    Channel* c = Of(io);
    Slot* victim = &c->slots[0];
    for (Slot& s : c->slots) {
      if (s.used && s.block == block) {
        s.used = ++c->clock;
        *out = &s;
        *hit = true;
        return 0;
      }
      if (s.used < victim->used) victim = &s;
    }
    if (errcode_t rc = WriteBack(io, *victim)) return rc;
    victim->block = block;
    victim->used = ++c->clock;
    victim->dirty = false;
    victim->data.resize(static_cast<size_t>(io->block_size));
    *out = victim;
    *hit = false;
    return 0;
  }

  static errcode_t Open(const char* name, int flags, io_channel* channel) {
    if (!g_target) return EXT2_ET_BAD_DEVICE_NAME;
    if ((flags & IO_FLAG_RW) && !g_target->writable()) return EXT2_ET_RO_FILSYS;
    io_channel io = nullptr;
    errcode_t rc = ext2fs_get_memzero(sizeof(struct_io_channel), &io);
    if (rc) return rc;
    io->magic = EXT2_ET_MAGIC_IO_CHANNEL;
    io->manager = g_target->Manager();
    rc = ext2fs_get_mem(strlen(name) + 1, &io->name);
    if (rc) {
      ext2fs_free_mem(&io);
      return rc;
    }
    strcpy(io->name, name);
    io->block_size = 1024;
    io->refcount = 1;
    auto* c = new Channel;
    c->target = g_target;
    if (g_target->writable()) c->slots.resize(kSlots);
    io->private_data = c;
    *channel = io;
    return 0;
  }
  static errcode_t Close(io_channel io) {
    if (--io->refcount > 0) return 0;
    const errcode_t rc = SettleAll(io, true);
    delete Of(io);
    ext2fs_free_mem(&io->name);
    ext2fs_free_mem(&io);
    return rc;
  }
  static errcode_t SetBlksize(io_channel io, int blksize) {
    if (io->block_size != blksize) {
      if (errcode_t rc = SettleAll(io, true)) return rc;
    }
    io->block_size = blksize;
    return 0;
  }
  // A negative count is a byte count, as libext2fs passes it for the superblock.
  static bool Span(io_channel io, unsigned long long block, int count, uint64_t* off,
                   uint64_t* len) {
    *len = count < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(count))
                     : static_cast<uint64_t>(count) * io->block_size;
    if (block > (UINT64_MAX / 2) / static_cast<uint64_t>(io->block_size)) return false;
    *off = block * static_cast<uint64_t>(io->block_size);
    return true;
  }
  static errcode_t Read64(io_channel io, unsigned long long block, int count, void* data) {
    Channel* c = Of(io);
    uint64_t off = 0, len = 0;
    if (!Span(io, block, count, &off, &len)) return EXT2_ET_SHORT_READ;
    std::string err;
    if (count == 1 && !c->slots.empty()) {
      Slot* s = nullptr;
      bool hit = false;
      if (errcode_t rc = SlotFor(io, block, &s, &hit)) return rc;
      if (!hit && !c->target->ReadAt(off, s->data.data(), s->data.size(), &err)) {
        s->used = 0;
        memset(data, 0, static_cast<size_t>(len));
        return Fail(c, err, EXT2_ET_SHORT_READ);
      }
      memcpy(data, s->data.data(), s->data.size());
      return 0;
    }
    if (!c->slots.empty()) {
      if (errcode_t rc = Settle(io, off, len, false)) return rc;
    }
    if (!c->target->ReadAt(off, data, static_cast<size_t>(len), &err)) {
      // Leave defined bytes behind for callers that ignore the error.
      memset(data, 0, static_cast<size_t>(len));
      return Fail(c, err, EXT2_ET_SHORT_READ);
    }
    return 0;
  }
  static errcode_t Read(io_channel io, unsigned long block, int count, void* data) {
    return Read64(io, block, count, data);
  }
  static errcode_t WriteBytes(io_channel io, uint64_t off, uint64_t len, const void* data) {
    Channel* c = Of(io);
    if (!c->target->writable()) return EXT2_ET_RO_FILSYS;
    if (errcode_t rc = Settle(io, off, len, true)) return rc;
    std::string err;
    if (!c->target->WriteAt(off, data, static_cast<size_t>(len), &err))
      return Fail(c, err, EXT2_ET_SHORT_WRITE);
    return 0;
  }
  static errcode_t Write64(io_channel io, unsigned long long block, int count, const void* data) {
    Channel* c = Of(io);
    if (!c->target->writable()) return EXT2_ET_RO_FILSYS;
    uint64_t off = 0, len = 0;
    if (!Span(io, block, count, &off, &len)) return EXT2_ET_SHORT_WRITE;
    if (count == 1) {
      Slot* s = nullptr;
      bool hit = false;
      if (errcode_t rc = SlotFor(io, block, &s, &hit)) return rc;
      memcpy(s->data.data(), data, s->data.size());
      s->dirty = true;
      return 0;
    }
    return WriteBytes(io, off, len, data);
  }
  static errcode_t Write(io_channel io, unsigned long block, int count, const void* data) {
    return Write64(io, block, count, data);
  }
  static errcode_t WriteByte(io_channel io, unsigned long offset, int size, const void* data) {
    if (size < 0) return EXT2_ET_INVALID_ARGUMENT;
    return WriteBytes(io, offset, static_cast<uint64_t>(size), data);
  }
  static errcode_t Flush(io_channel io) { return SettleAll(io, false); }
  static errcode_t SetOption(io_channel, const char*, const char*) {
    return EXT2_ET_INVALID_ARGUMENT;
  }
};

io_manager IoTarget::Manager() {
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
  g_target = this;
  return &manager;
}

}  // namespace orvex::ext4
