#include "lp/lp_reader.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform_io.h"
#include "sparse/sparse_format.h"

namespace orvex::lp {

namespace {

bool PreadAll(int fd, void* buf, size_t len, uint64_t off) { return platform::ReadAllAt(fd, buf, len, off); }

class FileSource : public ImageSource {
 public:
  FileSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~FileSource() override { platform::CloseFile(fd_); }
  uint64_t Size() const override { return size_; }
  int RawFd() const override { return fd_; }
  bool ReadAt(uint64_t offset, void* buf, size_t len, std::string* error) const override {
    if (offset > size_ || len > size_ - offset) {
      *error = "read past the end of the image";
      return false;
    }
    if (!PreadAll(fd_, buf, len, offset)) {
      *error = std::string("cannot read the image: ") + (errno ? strerror(errno) : "unexpected end of file");
      return false;
    }
    return true;
  }

 private:
  int fd_;
  uint64_t size_;
};

class SparseSource : public ImageSource {
 public:
  explicit SparseSource(int fd) : fd_(fd) {}
  ~SparseSource() override { platform::CloseFile(fd_); }
  bool Open(std::string* error) { return reader_.Open(fd_, error); }
  uint64_t Size() const override { return reader_.expanded_size(); }
  bool ReadAt(uint64_t offset, void* buf, size_t len, std::string* error) const override {
    return reader_.ReadAt(offset, buf, len, error);
  }
  bool IsSparse() const override { return true; }

 private:
  int fd_;
  sparse::SparseReader reader_;
};

class BytesSource : public ImageSource {
 public:
  BytesSource(const uint8_t* d, size_t n) : d_(d), n_(n) {}
  uint64_t Size() const override { return n_; }
  bool ReadAt(uint64_t offset, void* buf, size_t len, std::string* error) const override {
    if (offset > n_ || len > n_ - offset) {
      *error = "read past the end of the image";
      return false;
    }
    memcpy(buf, d_ + offset, len);
    return true;
  }

 private:
  const uint8_t* d_;
  size_t n_;
};

bool ReadGeometryAt(const ImageSource& src, uint64_t off, Geometry* g, std::string* error) {
  uint8_t buf[kGeometryStructSize];
  if (!src.ReadAt(off, buf, sizeof(buf), error)) return false;
  return ParseGeometry(buf, sizeof(buf), g, error);
}

// One metadata copy at off: the fixed header first, then exactly header + tables.
bool ReadMetadataAt(const ImageSource& src, uint64_t off, const Geometry& g, Metadata* m, std::string* error) {
  uint8_t head[kHeaderSizeV10_0];
  if (!src.ReadAt(off, head, sizeof(head), error)) return false;
  uint64_t size = 0;
  if (!MetadataBlobSize(head, sizeof(head), g, &size, error)) return false;
  if (off > src.Size() || size > src.Size() - off) {
    *error = "metadata runs past the end of the image";
    return false;
  }
  std::vector<uint8_t> blob(size);
  if (!src.ReadAt(off, blob.data(), blob.size(), error)) return false;
  return ParseMetadata(blob.data(), blob.size(), g, m, error);
}

}  // namespace

std::unique_ptr<ImageSource> OpenImageSource(const std::string& path, std::string* error) {
  int fd = platform::OpenForRead(path);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + strerror(errno);
    return nullptr;
  }
  const int64_t size = platform::IsRegularFile(fd) ? platform::SizeOfFile(fd) : -1;
  if (size < 0) {
    *error = path + " is not a regular file";
    platform::CloseFile(fd);
    return nullptr;
  }
  unsigned char magic[4] = {};
  if (size >= 4 && PreadAll(fd, magic, 4, 0) && sparse::HasSparseMagic(magic)) {
    auto s = std::make_unique<SparseSource>(fd);
    if (!s->Open(error)) return nullptr;
    return s;
  }
  return std::make_unique<FileSource>(fd, static_cast<uint64_t>(size));
}

std::unique_ptr<ImageSource> MemorySource(const uint8_t* data, size_t len) {
  return std::make_unique<BytesSource>(data, len);
}

bool ReadSuperGeometry(const ImageSource& src, Geometry* g, bool* empty_image, std::string* error) {
  std::string e0, e1, e2;
  *empty_image = false;
  if (ReadGeometryAt(src, 0, g, &e0)) {
    *empty_image = true;
    return true;
  }
  if (ReadGeometryAt(src, kReservedBytes, g, &e1)) return true;
  if (ReadGeometryAt(src, kReservedBytes + kGeometrySize, g, &e2)) return true;
  *error = "no valid LP geometry (primary: " + e1 + "; backup: " + e2 + ")";
  return false;
}

bool ReadSuperMetadata(const ImageSource& src, uint32_t slot, ReadResult* out, std::string* error) {
  ReadResult r;
  std::string e0, e1, e2;
  Geometry g;
  if (ReadGeometryAt(src, 0, &g, &e0)) {
    r.empty_image = true;
    if (!ReadMetadataAt(src, kGeometrySize, g, &r.metadata, &e1)) {
      *error = "metadata is damaged: " + e1;
      return false;
    }
    slot = 0;
  } else {
    if (!ReadGeometryAt(src, kReservedBytes, &g, &e1)) {
      if (!ReadGeometryAt(src, kReservedBytes + kGeometrySize, &g, &e2)) {
        *error = "no valid LP geometry (primary: " + e1 + "; backup: " + e2 + ")";
        return false;
      }
      r.used_backup_geometry = true;
    }
    if (slot >= g.metadata_slot_count) {
      *error = "slot " + std::to_string(slot) + " does not exist (the image has " +
               std::to_string(g.metadata_slot_count) + ")";
      return false;
    }
    if (!ReadMetadataAt(src, PrimaryMetadataOffset(g, slot), g, &r.metadata, &e1)) {
      if (!ReadMetadataAt(src, BackupMetadataOffset(g, slot), g, &r.metadata, &e2)) {
        *error = "metadata of slot " + std::to_string(slot) + " is damaged (primary: " + e1 + "; backup: " + e2 + ")";
        return false;
      }
      r.used_backup_metadata = true;
    }
  }
  ApplySlotSuffixes(&r.metadata, slot);
  *out = std::move(r);
  return true;
}

}  // namespace orvex::lp
