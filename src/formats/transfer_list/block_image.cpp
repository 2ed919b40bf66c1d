#include "transfer_list/block_image.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "platform_io.h"
#include "sparse/sparse_format.h"
#include "sparse/sparse_reader.h"

namespace orvex::transfer_list {

namespace {

constexpr size_t kBufferBytes = 1u << 20;  // 256 blocks
constexpr uint64_t kBufferBlocks = kBufferBytes / kBlockSize;

std::string Errno(const char* what) { return std::string(what) + ": " + strerror(errno); }

// The whole range, or false with errno EIO when the file ends first.
bool PreadFull(int fd, void* buf, size_t len, uint64_t off) {
  errno = 0;
  if (platform::ReadAllAt(fd, buf, len, off)) return true;
  if (errno == 0) errno = EIO;
  return false;
}

bool PwriteFull(int fd, const void* buf, size_t len, uint64_t off) {
  errno = 0;
  if (platform::WriteAllAt(fd, buf, len, off)) return true;
  if (errno == 0) errno = EIO;
  return false;
}

// Copies len bytes between two files: in the kernel where it can, else through one buffer.
class RangeCopier {
 public:
  bool Copy(int in, uint64_t in_off, int out, uint64_t out_off, uint64_t len, std::string* error) {
    while (len > 0 && use_kernel_) {
      const int64_t n = platform::CopyRange(in, in_off, out, out_off, std::min<uint64_t>(len, 1u << 30));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EBADF)) {
        use_kernel_ = false;
        break;
      }
      if (n < 0) {
        *error = Errno("cannot copy data");
        return false;
      }
      if (n == 0) {
        *error = "the data file ended early";
        return false;
      }
      in_off += static_cast<uint64_t>(n);
      out_off += static_cast<uint64_t>(n);
      len -= static_cast<uint64_t>(n);
    }
    if (len > 0 && !buffer_) buffer_.reset(new char[kBufferBytes]);
    while (len > 0) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(len, kBufferBytes));
      if (!PreadFull(in, buffer_.get(), n, in_off)) {
        *error = errno == EIO ? "the data file ended early" : Errno("cannot read the data file");
        return false;
      }
      if (!PwriteFull(out, buffer_.get(), n, out_off)) {
        *error = Errno("cannot write the image");
        return false;
      }
      in_off += n;
      out_off += n;
      len -= n;
    }
    return true;
  }

 private:
  bool use_kernel_ = true;
  std::unique_ptr<char[]> buffer_;
};

// Gathers copies that continue one another in both files into one call: each call into the
// kernel costs, and a list splits its data into many short commands.
class CopyQueue {
 public:
  CopyQueue(int in, int out) : in_(in), out_(out) {}
  bool Add(uint64_t in_off, uint64_t out_off, uint64_t len, std::string* error) {
    if (len_ > 0 && in_off == in_off_ + len_ && out_off == out_off_ + len_ && len_ < kMaxBytes) {
      len_ += len;
      return true;
    }
    if (!Flush(error)) return false;
    in_off_ = in_off;
    out_off_ = out_off;
    len_ = len;
    return true;
  }
  bool Flush(std::string* error) {
    if (len_ == 0) return true;
    const uint64_t len = len_;
    len_ = 0;
    return copier_.Copy(in_, in_off_, out_, out_off_, len, error);
  }

 private:
  static constexpr uint64_t kMaxBytes = uint64_t{256} << 20;
  int in_, out_;
  RangeCopier copier_;
  uint64_t in_off_ = 0, out_off_ = 0, len_ = 0;
};

bool IsZeroBlock(const char* p) {
  static const char zeros[kBlockSize] = {};
  return memcmp(p, zeros, kBlockSize) == 0;
}

// Blocks of the image looked at a window at a time: read into the caller's buffer.
constexpr uint64_t kWindowBlocks = 4096;  // 16 MiB

class Window {
 public:
  bool Map(int fd, uint64_t off, size_t len, char* buffer, std::string* error) {
    if (!PreadFull(fd, buffer, len, off)) {
      *error = errno == EIO ? "the image ended early" : Errno("cannot read the image");
      return false;
    }
    data_ = buffer;
    return true;
  }
  const char* data() const { return data_; }

 private:
  const char* data_ = nullptr;
};

// A run of the source image's blocks and how to learn their contents.
struct Run {
  enum Kind { kData, kFill, kZero, kDontCare } kind;
  uint64_t first_block;
  uint64_t blocks;
  uint64_t file_offset;  // kData: where the run's bytes start in the image file
  uint32_t fill;         // kFill: the repeated 32-bit word
};

bool SparseRuns(int fd, uint64_t* total, std::vector<Run>* runs, std::string* error) {
  sparse::SparseReader reader;
  if (!reader.Open(fd, error)) return false;
  if (reader.block_size() != kBlockSize) {
    *error = "the sparse image has " + std::to_string(reader.block_size()) + "-byte blocks; transfer lists need " +
             std::to_string(kBlockSize);
    return false;
  }
  *total = reader.total_blocks();
  for (const auto& c : reader.chunks()) {
    Run r{Run::kDontCare, c.first_block, c.blocks, c.data_offset, c.fill};
    if (c.type == sparse::kChunkRaw) r.kind = Run::kData;
    else if (c.type == sparse::kChunkFill) r.kind = c.fill == 0 ? Run::kZero : Run::kFill;
    runs->push_back(r);
  }
  return true;
}

// A raw image is used whole; the file's holes are known zeros and are not read.
bool RawRuns(int fd, uint64_t size, std::vector<Run>* runs) {
  const uint64_t total = size / kBlockSize;
  uint64_t block = 0;  // first block not yet covered
  auto add = [&](Run::Kind kind, uint64_t from, uint64_t to) {
    from = std::max(from, block);
    to = std::min(to, total);
    if (from >= to) return;
    if (from > block) runs->push_back({Run::kZero, block, from - block, 0, 0});
    runs->push_back({kind, from, to - from, from * kBlockSize, 0});
    block = to;
  };
  uint64_t pos = 0;
  while (pos < size) {
    uint64_t data = 0, hole = 0;
    const platform::Region r = platform::NextDataRegion(fd, pos, &data, &hole);
    if (r == platform::Region::kOnlyHole) break;
    if (r == platform::Region::kUnknown) {
      add(Run::kData, block, total);  // no hole support: read everything
      return true;
    }
    hole = std::min(hole, size);
    if (data < pos || hole <= data) {  // an answer that makes no sense: read everything from here
      add(Run::kData, block, total);
      return true;
    }
    add(Run::kData, data / kBlockSize, (hole + kBlockSize - 1) / kBlockSize);
    pos = hole;
  }
  if (block < total) runs->push_back({Run::kZero, block, total - block, 0, 0});
  return true;
}

// Splits a range set into commands of at most kBlocksPerCommand blocks each, in order.
void AddCommands(Op op, const RangeSet& ranges, std::vector<Command>* out) {
  Command cur{op, {}, 0};
  uint64_t count = 0;
  for (Range r : ranges) {
    while (r.begin < r.end) {
      const uint64_t take = std::min(r.end - r.begin, kBlocksPerCommand - count);
      cur.ranges.push_back({r.begin, r.begin + take});
      r.begin += take;
      count += take;
      if (count == kBlocksPerCommand) {
        out->push_back(std::move(cur));
        cur = Command{op, {}, 0};
        count = 0;
      }
    }
  }
  if (count > 0) out->push_back(std::move(cur));
}

}  // namespace

bool RebuildImage(const TransferList& list, int data_fd, int out_fd, const Progress& progress, uint64_t* unused_bytes,
                  std::string* error) {
  const int64_t data_length = platform::SizeOfFile(data_fd);
  if (data_length < 0) {
    *error = Errno("cannot read the data file");
    return false;
  }
  const uint64_t data_size = static_cast<uint64_t>(data_length);
  const uint64_t needed = list.new_blocks * kBlockSize;
  if (data_size < needed) {
    *error = "the data file holds " + std::to_string(data_size / kBlockSize) + " blocks (" + std::to_string(data_size) +
             " bytes) but the transfer list takes " + std::to_string(list.new_blocks) + " blocks from it";
    return false;
  }
  if (unused_bytes) *unused_bytes = data_size - needed;
  CopyQueue copies(data_fd, out_fd);
  uint64_t data_off = 0;
  for (const Command& c : list.commands) {
    if (c.op != Op::kNew) continue;
    for (const Range& r : c.ranges) {
      // Pieces of 64 MiB keep the progress moving on long runs.
      for (uint64_t b = r.begin; b < r.end;) {
        const uint64_t n = std::min<uint64_t>(r.end - b, 16384);
        if (!copies.Add(data_off, b * kBlockSize, n * kBlockSize, error)) return false;
        data_off += n * kBlockSize;
        b += n;
        if (progress) progress(data_off, needed);
      }
    }
  }
  if (!copies.Flush(error)) return false;
  // Sized last: blocks no command wrote stay holes, and the copies above extend the file as they
  // go instead of filling holes inside it.
  if (!platform::SetFileSize(out_fd, list.image_blocks * kBlockSize)) {
    *error = Errno("cannot size the image");
    return false;
  }
  return true;
}

bool BuildTransferList(int image_fd, int version, int data_fd, TransferList* list, const Progress& progress,
                       std::string* error) {
  if (version < 1 || version > 4) {
    *error = "unsupported transfer list version " + std::to_string(version) + " (1 to 4 are known)";
    return false;
  }
  const int64_t length = platform::SizeOfFile(image_fd);
  if (length < 0) {
    *error = Errno("cannot read the image");
    return false;
  }
  const uint64_t size = static_cast<uint64_t>(length);
  unsigned char magic[4] = {};
  const bool sparse = size >= 4 && PreadFull(image_fd, magic, 4, 0) && sparse::HasSparseMagic(magic);

  uint64_t total = 0;
  std::vector<Run> runs;
  if (sparse) {
    if (!SparseRuns(image_fd, &total, &runs, error)) return false;
  } else {
    if (size % kBlockSize != 0) {
      *error = "the image size " + std::to_string(size) + " is not a multiple of " + std::to_string(kBlockSize);
      return false;
    }
    total = size / kBlockSize;
    RawRuns(image_fd, size, &runs);
  }
  if (total > kMaxBlocks) {
    *error = "the image has " + std::to_string(total) + " blocks, more than a transfer list can name";
    return false;
  }

  RangeSet news, zeros;
  std::unique_ptr<char[]> buf(new char[kWindowBlocks * kBlockSize]);
  CopyQueue copies(image_fd, data_fd);
  uint64_t data_off = 0;  // the data file is written at explicit offsets
  const uint64_t total_bytes = total * kBlockSize;
  for (const Run& run : runs) {
    switch (run.kind) {
      case Run::kDontCare: break;
      case Run::kZero: AppendRange(&zeros, run.first_block, run.first_block + run.blocks); break;
      case Run::kFill: {
        for (size_t i = 0; i < kBufferBytes; i += 4) memcpy(buf.get() + i, &run.fill, 4);  // 256 blocks
        for (uint64_t done = 0; done < run.blocks;) {
          const uint64_t n = std::min(run.blocks - done, kBufferBlocks);
          if (!PwriteFull(data_fd, buf.get(), n * kBlockSize, data_off)) {
            *error = Errno("cannot write the data file");
            return false;
          }
          data_off += n * kBlockSize;
          done += n;
        }
        AppendRange(&news, run.first_block, run.first_block + run.blocks);
        break;
      }
      case Run::kData: {
        for (uint64_t done = 0; done < run.blocks;) {
          const uint64_t n = std::min(run.blocks - done, kWindowBlocks);
          const uint64_t off = run.file_offset + done * kBlockSize;
          Window window;
          if (!window.Map(image_fd, off, n * kBlockSize, buf.get(), error)) return false;
          // Consecutive blocks with data go to the data file in one in-kernel copy.
          uint64_t span = 0, span_len = 0;
          auto flush = [&]() {
            if (span_len == 0) return true;
            const uint64_t first = run.first_block + done + span;
            AppendRange(&news, first, first + span_len);
            const uint64_t bytes = span_len * kBlockSize;
            span_len = 0;
            if (!copies.Add(off + (first - run.first_block - done) * kBlockSize, data_off, bytes, error)) return false;
            data_off += bytes;
            return true;
          };
          for (uint64_t i = 0; i < n; ++i) {
            if (IsZeroBlock(window.data() + i * kBlockSize)) {
              if (!flush()) return false;
              const uint64_t b = run.first_block + done + i;
              AppendRange(&zeros, b, b + 1);
            } else {
              if (span_len == 0) span = i;
              ++span_len;
            }
          }
          if (!flush()) return false;
          done += n;
          if (progress) progress((run.first_block + done) * kBlockSize, total_bytes);
        }
        break;
      }
    }
  }

  if (!copies.Flush(error)) return false;

  const RangeSet care = Union(news, zeros);
  RangeSet grown;
  for (const Range& r : care)
    grown.push_back({r.begin > kVerityMarginBlocks ? r.begin - kVerityMarginBlocks : 0,
                     std::min(total, r.end + kVerityMarginBlocks)});
  grown = Union(grown, {});
  const RangeSet extended = Subtract(grown, care);
  const RangeSet erase = total > 0 ? Subtract({{0, total}}, grown) : RangeSet{};

  *list = TransferList{};
  list->version = version;
  if (!erase.empty()) list->commands.push_back({Op::kErase, erase, 0});
  AddCommands(Op::kNew, news, &list->commands);
  AddCommands(Op::kZero, zeros, &list->commands);
  AddCommands(Op::kZero, extended, &list->commands);
  list->new_blocks = CountBlocks(news);
  list->zero_blocks = CountBlocks(zeros) + CountBlocks(extended);
  list->erase_blocks = CountBlocks(erase);
  list->total_blocks = list->new_blocks + list->zero_blocks;
  list->image_blocks = total;
  return true;
}

}  // namespace orvex::transfer_list
