#include "lp/lp_image.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "platform_io.h"
#include "lp/lp_reader.h"
#include "sparse/sparse_writer.h"

namespace orvex::lp {

namespace {

constexpr size_t kBufferBytes = kCopyBufferBytes;

bool PwriteAll(int fd, const void* buf, size_t len, uint64_t off) { return platform::WriteAllAt(fd, buf, len, off); }

bool IsZero(const uint8_t* p, size_t n) {
  // Word-wise: compare the first 8 bytes, then the block with itself shifted.
  if (n == 0) return true;
  if (n < 16) return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
  uint64_t w;
  memcpy(&w, p, 8);
  return w == 0 && memcmp(p, p + 8, n - 8) == 0;
}

bool CopyBuffered(const ImageSource& src, uint64_t src_offset, int out_fd, uint64_t out_offset, uint64_t len,
                  uint32_t bs, uint8_t* buf, std::string* error) {
  for (uint64_t done = 0; done < len;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kCopyBufferBytes, len - done));
    if (!src.ReadAt(src_offset + done, buf, n, error)) return false;
    size_t i = 0;
    while (i < n) {
      const size_t piece = std::min<size_t>(bs, n - i);
      if (IsZero(buf + i, piece)) {
        i += piece;
        continue;
      }
      size_t j = i + piece;
      while (j < n && !IsZero(buf + j, std::min<size_t>(bs, n - j))) j += std::min<size_t>(bs, n - j);
      if (!PwriteAll(out_fd, buf + i, j - i, out_offset + done + i)) {
        *error = std::string("cannot write the output: ") + strerror(errno);
        return false;
      }
      i = j;
    }
    done += n;
  }
  return true;
}

// A piece of a partition image placed on the device.
struct Segment {
  uint64_t dev_offset;
  uint64_t length;
  const ImageSource* src;
  uint64_t src_offset;
};

bool CollectSegments(const Metadata& m, const std::map<std::string, std::string>& images,
                     std::vector<std::unique_ptr<ImageSource>>* sources, std::vector<Segment>* segs,
                     std::string* error) {
  for (const auto& [name, path] : images) {
    const Partition* part = nullptr;
    for (const Partition& p : m.partitions)
      if (p.name == name) part = &p;
    if (!part) {
      *error = "image given for unknown partition " + name;
      return false;
    }
    auto src = OpenImageSource(path, error);
    if (!src) return false;
    uint64_t part_size = 0;
    for (uint32_t i = 0; i < part->num_extents; ++i) part_size += m.extents[part->first_extent_index + i].num_sectors * kSectorSize;
    if (src->Size() > part_size) {
      *error = "image " + path + " (" + std::to_string(src->Size()) + " bytes) is larger than partition " + name + " (" +
               std::to_string(part_size) + " bytes) by " + std::to_string(src->Size() - part_size) + " bytes";
      return false;
    }
    uint64_t logical = 0;
    for (uint32_t i = 0; i < part->num_extents && logical < src->Size(); ++i) {
      const Extent& e = m.extents[part->first_extent_index + i];
      const uint64_t len = e.num_sectors * kSectorSize;
      if (e.target_type == kTargetLinear) {
        segs->push_back({e.target_data * kSectorSize, std::min(len, src->Size() - logical), src.get(), logical});
      }
      logical += len;
    }
    sources->push_back(std::move(src));
  }
  std::sort(segs->begin(), segs->end(), [](const Segment& a, const Segment& b) { return a.dev_offset < b.dev_offset; });
  return true;
}

// Blocks of a sparse output: a block that repeats one 32-bit word is a fill, the rest raw data.
bool EmitBlocks(sparse::SparseWriter& w, const uint8_t* p, uint64_t blocks, uint32_t bs) {
  uint64_t raw_from = 0, raw_len = 0;
  for (uint64_t i = 0; i < blocks; ++i) {
    const uint8_t* b = p + i * bs;
    uint32_t word;
    memcpy(&word, b, 4);
    const bool uniform = memcmp(b, b + 4, bs - 4) == 0;
    if (uniform) {
      if (raw_len && !w.AddRaw(p + raw_from * bs, raw_len)) return false;
      raw_len = 0;
      if (!w.AddFill(word, 1)) return false;
    } else {
      if (raw_len == 0) raw_from = i;
      ++raw_len;
    }
  }
  return raw_len == 0 || w.AddRaw(p + raw_from * bs, raw_len);
}

bool CheckSingleDevice(const Metadata& m, std::string* error) {
  if (m.block_devices.size() != 1) {
    *error = "full images can be written for one block device only (the metadata has " +
             std::to_string(m.block_devices.size()) + ")";
    return false;
  }
  return true;
}

}  // namespace

bool CopyToFile(const ImageSource& src, uint64_t src_offset, int out_fd, uint64_t out_offset, uint64_t len,
                uint32_t bs, uint8_t* buf, std::string* error) {
  const int in = src.RawFd();
  if (in < 0) return CopyBuffered(src, src_offset, out_fd, out_offset, len, bs, buf, error);
  if (src_offset > src.Size() || len > src.Size() - src_offset) {
    *error = "read past the end of the image";
    return false;
  }
  // Data regions of the source (holes are skipped), each copied inside the kernel; the buffered
  // copy takes over where the file system cannot do that.
  const uint64_t end = src_offset + len;
  uint64_t pos = src_offset;
  bool kernel_copy = true;
  while (pos < end) {
    uint64_t data = 0, hole = 0;
    const platform::Region r = platform::NextDataRegion(in, pos, &data, &hole);
    if (r == platform::Region::kOnlyHole) return true;  // only a hole remains
    if (r == platform::Region::kUnknown)
      return CopyBuffered(src, pos, out_fd, out_offset + (pos - src_offset), end - pos, bs, buf, error);
    if (data >= end) return true;
    pos = data;
    const uint64_t stop = std::min<uint64_t>(end, hole);
    while (pos < stop) {
      const uint64_t n = std::min<uint64_t>(stop - pos, 64u << 20);
      if (kernel_copy) {
        const int64_t got = platform::CopyRange(in, pos, out_fd, out_offset + (pos - src_offset), n);
        if (got > 0) {
          pos += uint64_t(got);
          continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
          *error = std::string("cannot copy image data: ") + strerror(errno);
          return false;
        }
        kernel_copy = false;  // not here: copy through the buffer from now on
      }
      if (!CopyBuffered(src, pos, out_fd, out_offset + (pos - src_offset), n, bs, buf, error)) return false;
      pos += n;
    }
  }
  return true;
}

std::vector<uint8_t> MetadataArea(const Metadata& m) {
  const Geometry& g = m.geometry;
  std::vector<uint8_t> area(MetadataAreaEnd(g), 0);
  const std::vector<uint8_t> geo = SerializeGeometry(g);
  std::copy(geo.begin(), geo.end(), area.begin() + kReservedBytes);
  std::copy(geo.begin(), geo.end(), area.begin() + kReservedBytes + kGeometrySize);
  const std::vector<uint8_t> blob = SerializeMetadata(m);
  for (uint32_t s = 0; s < g.metadata_slot_count; ++s) {
    std::copy(blob.begin(), blob.end(), area.begin() + PrimaryMetadataOffset(g, s));
    std::copy(blob.begin(), blob.end(), area.begin() + BackupMetadataOffset(g, s));
  }
  return area;
}

bool WriteEmptyImage(const std::string& out_path, const Metadata& m, std::string* error) {
  std::vector<uint8_t> bytes = SerializeGeometry(m.geometry);
  const std::vector<uint8_t> blob = SerializeMetadata(m);
  if (blob.size() > m.geometry.metadata_max_size) {
    *error = "the metadata (" + std::to_string(blob.size()) + " bytes) is larger than the metadata size " +
             std::to_string(m.geometry.metadata_max_size);
    return false;
  }
  bytes.insert(bytes.end(), blob.begin(), blob.end());
  int fd = platform::CreateForWrite(out_path);
  if (fd < 0) {
    *error = "cannot create " + out_path + ": " + strerror(errno);
    return false;
  }
  const bool ok = PwriteAll(fd, bytes.data(), bytes.size(), 0);
  const int err = errno;
  if (platform::CloseFile(fd) != 0 || !ok) {
    *error = "cannot write " + out_path + ": " + strerror(ok ? errno : err);
    return false;
  }
  return true;
}

bool WriteFullImage(const std::string& out_path, const Metadata& m, const std::map<std::string, std::string>& images,
                    bool sparse_out, std::string* error) {
  if (!CheckSingleDevice(m, error)) return false;
  const BlockDevice& dev = m.block_devices[0];
  const uint32_t bs = m.geometry.logical_block_size;
  const uint64_t blob_size = SerializeMetadata(m).size();
  if (blob_size > m.geometry.metadata_max_size) {
    *error = "the metadata (" + std::to_string(blob_size) + " bytes) is larger than the metadata size " +
             std::to_string(m.geometry.metadata_max_size);
    return false;
  }
  if (dev.size % bs != 0 || m.geometry.metadata_max_size % bs != 0 || kGeometrySize % bs != 0) {
    *error = "the block size " + std::to_string(bs) + " must divide the device size, the metadata size and 4096";
    return false;
  }
  std::vector<std::unique_ptr<ImageSource>> sources;
  std::vector<Segment> segs;
  if (!CollectSegments(m, images, &sources, &segs, error)) return false;
  for (const Segment& s : segs)
    if (s.dev_offset % bs != 0) {
      *error = "extent at byte " + std::to_string(s.dev_offset) + " is not aligned to the block size";
      return false;
    }
  const std::vector<uint8_t> area = MetadataArea(m);
  std::unique_ptr<uint8_t[]> buf(new uint8_t[kBufferBytes]);

  if (!sparse_out) {
    int fd = platform::CreateForWrite(out_path);
    if (fd < 0) {
      *error = "cannot create " + out_path + ": " + strerror(errno);
      return false;
    }
    auto fail = [&](const std::string& what) {
      *error = what;
      platform::CloseFile(fd);
      return false;
    };
    if (!platform::SetFileSize(fd, dev.size)) return fail("cannot size " + out_path + ": " + strerror(errno));
    if (!PwriteAll(fd, area.data(), area.size(), 0)) return fail("cannot write " + out_path + ": " + strerror(errno));
    for (const Segment& s : segs)
      if (!CopyToFile(*s.src, s.src_offset, fd, s.dev_offset, s.length, bs, buf.get(), error)) return fail(*error);
    if (platform::CloseFile(fd) != 0) {
      *error = "cannot write " + out_path + ": " + strerror(errno);
      return false;
    }
    return true;
  }

  sparse::SparseWriter w;
  if (!w.Open(out_path, bs, dev.size / bs, error)) return false;
  const uint64_t area_blocks = (area.size() + bs - 1) / bs;
  {
    std::vector<uint8_t> padded(area_blocks * bs, 0);
    std::copy(area.begin(), area.end(), padded.begin());
    if (!EmitBlocks(w, padded.data(), area_blocks, bs)) {
      *error = w.error();
      return false;
    }
  }
  for (const Segment& s : segs) {
    const uint64_t first_block = s.dev_offset / bs;
    if (first_block < w.blocks_written()) {
      *error = "partition data overlaps earlier data at byte " + std::to_string(s.dev_offset);
      return false;
    }
    if (first_block > w.blocks_written() && !w.AddDontCare(first_block - w.blocks_written())) {
      *error = w.error();
      return false;
    }
    for (uint64_t done = 0; done < s.length;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(kBufferBytes, s.length - done));
      if (!s.src->ReadAt(s.src_offset + done, buf.get(), n, error)) return false;
      const size_t whole = (n + bs - 1) / bs * bs;
      memset(buf.get() + n, 0, whole - n);
      if (!EmitBlocks(w, buf.get(), whole / bs, bs)) {
        *error = w.error();
        return false;
      }
      done += n;
    }
  }
  if (!w.Finish()) {
    *error = w.error();
    return false;
  }
  return true;
}

}  // namespace orvex::lp
