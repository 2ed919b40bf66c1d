// The payload extractor: checks the whole manifest first (so that nothing is written for a
// payload that cannot be applied), then builds one image after the other.
#include "payload_extract.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "bspatch.h"
#include "data_stream.h"
#include "platform.h"
#include "platform_io.h"
#include "platform_tree.h"

namespace orvex::payload {

namespace {

constexpr size_t kChunk = 1 << 20;
// The manifest is parsed in memory; real ones are a few MiB at most.
constexpr uint64_t kMaxManifest = 256ull << 20;

// A file (a link to one counts) that can be read as an image.
bool IsFile(const std::string& p) { return platform::FileSizeOrMarker(p) >= 0; }

// Makes a folder and the folders above it that are missing.
void MakeFolders(const std::string& dir) {
  if (dir.empty() || platform::IsDirectory(dir)) return;
  size_t end = dir.size();
  while (end > 1 && platform::IsSeparator(dir[end - 1])) --end;
  size_t cut = end;
  while (cut > 0 && !platform::IsSeparator(dir[cut - 1])) --cut;
  // The parent keeps its separator, so that "C:\x" has the parent "C:\", not "C:".
  const std::string parent = cut ? dir.substr(0, cut) : ".", name = dir.substr(cut, end - cut);
  if (cut) MakeFolders(parent);
  const int fd = platform::OpenFolder(parent);
  int made = -1;
  if (fd >= 0) {
    made = platform::MakeFolderAt(fd, name, 0755);
    if (made != 0 && errno == EEXIST) made = 0;
    platform::CloseFolder(fd);
  }
  if (made != 0 || !platform::IsDirectory(dir))
    throw PayloadError("cannot create the folder " + dir + ": " + (made != 0 ? std::strerror(errno) : "a file is in the way"));
}

// True when both paths name one file (the source image given as the output).
bool SameFile(const std::string& a, const std::string& b) {
  platform::EntryInfo ia, ib;
  const int fa = platform::OpenForRead(a), fb = platform::OpenForRead(b);
  const bool same = fa >= 0 && fb >= 0 && platform::InfoOf(fa, &ia) && platform::InfoOf(fb, &ib) &&
                    ia.device == ib.device && ia.inode == ib.inode;
  if (fa >= 0) platform::CloseFile(fa);
  if (fb >= 0) platform::CloseFile(fb);
  return same;
}

std::string Join(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

// A queue of operation numbers with a fixed capacity: the producer waits while it is full.
class BoundedQueue {
 public:
  explicit BoundedQueue(size_t cap) : cap_(cap) {}
  // False when the queue was closed for an error.
  bool Push(size_t v) {
    std::unique_lock<std::mutex> l(m_);
    not_full_.wait(l, [&] { return q_.size() < cap_ || aborted_; });
    if (aborted_) return false;
    q_.push_back(v);
    not_empty_.notify_one();
    return true;
  }
  // False when there is nothing more to do.
  bool Pop(size_t* v) {
    std::unique_lock<std::mutex> l(m_);
    not_empty_.wait(l, [&] { return !q_.empty() || closed_ || aborted_; });
    if (aborted_ || q_.empty()) return false;
    *v = q_.front();
    q_.pop_front();
    not_full_.notify_one();
    return true;
  }
  void Close() {
    std::lock_guard<std::mutex> l(m_);
    closed_ = true;
    not_empty_.notify_all();
  }
  void Abort() {
    std::lock_guard<std::mutex> l(m_);
    aborted_ = true;
    not_empty_.notify_all();
    not_full_.notify_all();
  }

 private:
  size_t cap_;
  std::deque<size_t> q_;
  bool closed_ = false, aborted_ = false;
  std::mutex m_;
  std::condition_variable not_full_, not_empty_;
};

struct Job {
  const InputFile& payload;
  uint64_t data_start;
  const Manifest& m;
  const PartitionUpdate& p;
  const InputFile* old;  // null for a full partition
  int fd;
  bool fresh;            // the image starts zero-filled (not from a copy of the source image)
};

std::string Where(const PartitionUpdate& p, size_t i) {
  return "partition " + p.name + ", operation " + std::to_string(i) + " (" + OpTypeName(p.operations[i].type) + ")";
}

void CheckHash(Sha256& h, const std::string& want, const char* what) {
  if (want.empty()) return;
  const std::string got = h.Final();
  if (got != want)
    throw PayloadError(std::string(what) + " hash mismatch (expected " + ToHex(want) + ", got " + ToHex(got) + ")");
}

// Hashes bytes of the payload in a pass of their own (the patch streams are read out of order).
void CheckBlobHash(const Job& j, const InstallOperation& op, uint8_t* buf) {
  if (op.data_sha256.empty()) return;
  Sha256 h;
  RangeSource s(j.payload, j.data_start + op.data_offset, op.data_length, &h);
  while (s.Read(buf, kChunk)) {
  }
  CheckHash(h, op.data_sha256, "data");
}

Codec CodecOf(uint32_t type) {
  switch (static_cast<OpType>(type)) {
    case OpType::kReplaceBz: return Codec::kBzip2;
    case OpType::kReplaceXz: return Codec::kXz;
    case OpType::kReplaceZstd: return Codec::kZstd;
    default: return Codec::kNone;
  }
}

void RunOperation(const Job& j, size_t index, uint8_t* buf) {
  const InstallOperation& op = j.p.operations[index];
  const uint32_t bs = j.m.block_size;
  ExtentWriter out(j.fd, op.dst_extents, bs, j.fresh);
  const uint64_t expected = op.dst_length ? op.dst_length : out.capacity();
  switch (static_cast<OpType>(op.type)) {
    case OpType::kReplace:
    case OpType::kReplaceBz:
    case OpType::kReplaceXz:
    case OpType::kReplaceZstd: {
      Sha256 h;
      RangeSource blob(j.payload, j.data_start + op.data_offset, op.data_length, op.data_sha256.empty() ? nullptr : &h);
      auto dec = MakeDecoder(CodecOf(op.type), blob);
      try {
        while (size_t n = dec->Read(buf, kChunk)) out.Write(buf, n);
      } catch (const PayloadError&) {
        // A damaged blob usually upsets the decoder first: name the damage when the hash can.
        while (blob.Read(buf, kChunk)) {
        }
        CheckHash(h, op.data_sha256, "data");
        throw;
      }
      while (blob.Read(buf, kChunk)) {
      }  // bytes after the end of the compressed stream still count for the hash
      CheckHash(h, op.data_sha256, "data");
      if (op.type != static_cast<uint32_t>(OpType::kReplace) && out.written() != expected)
        throw PayloadError("decompressed to " + std::to_string(out.written()) + " bytes, the extents hold " +
                           std::to_string(expected));
      if (!j.fresh && out.written() < out.capacity()) {
        // A short REPLACE blob is padded with zeros; a fresh image holds them already.
        std::memset(buf, 0, kChunk);
        while (out.written() < out.capacity())
          out.Write(buf, static_cast<size_t>(std::min<uint64_t>(out.capacity() - out.written(), kChunk)));
      }
      break;
    }
    case OpType::kZero:
    case OpType::kDiscard:
      if (!j.fresh) {
        std::memset(buf, 0, kChunk);
        for (uint64_t left = out.capacity(); left;) {
          const size_t k = static_cast<size_t>(std::min<uint64_t>(left, kChunk));
          out.Write(buf, k);
          left -= k;
        }
      }
      break;
    case OpType::kMove:
    case OpType::kSourceCopy: {
      ExtentReader src(*j.old, op.src_extents, bs);
      Sha256 h;
      for (uint64_t pos = 0; pos < src.size();) {
        const size_t k = static_cast<size_t>(std::min<uint64_t>(src.size() - pos, kChunk));
        src.ReadAt(pos, buf, k);
        if (!op.src_sha256.empty()) h.Update(buf, k);
        out.Write(buf, k);
        pos += k;
      }
      CheckHash(h, op.src_sha256, "source");
      break;
    }
    case OpType::kBsdiff:
    case OpType::kSourceBsdiff:
    case OpType::kBrotliBsdiff: {
      CheckBlobHash(j, op, buf);
      ExtentReader src(*j.old, op.src_extents, bs);
      if (!op.src_sha256.empty()) {
        Sha256 h;
        for (uint64_t pos = 0; pos < src.size();) {
          const size_t k = static_cast<size_t>(std::min<uint64_t>(src.size() - pos, kChunk));
          src.ReadAt(pos, buf, k);
          h.Update(buf, k);
          pos += k;
        }
        CheckHash(h, op.src_sha256, "source");
      }
      ExtentOldData old(src, op.src_length ? op.src_length : src.size());
      const uint64_t made = ApplyBsPatch(j.payload, j.data_start + op.data_offset, op.data_length, old,
                                         out.capacity(), [&](const uint8_t* d, size_t n) { out.Write(d, n); });
      if (made != expected)
        throw PayloadError("the patch made " + std::to_string(made) + " bytes, the operation needs " +
                           std::to_string(expected));
      break;
    }
    default:
      throw PayloadError("this operation is not supported");
  }
}

// Operations that update the partition in place (minor version 1) start from the source image.
bool UpdatesInPlace(const PartitionUpdate& p) {
  for (const auto& op : p.operations)
    if (op.type == static_cast<uint32_t>(OpType::kMove) || op.type == static_cast<uint32_t>(OpType::kBsdiff))
      return true;
  return false;
}

bool NeedsSourceImage(const PartitionUpdate& p) {
  for (const auto& op : p.operations)
    if (NeedsSource(op.type)) return true;
  return false;
}

class OutputFile {
 public:
  OutputFile(const std::string& final_path) : final_(final_path), temp_(final_path + ".part") {
    platform::RemoveFile(temp_);
    fd_ = platform::CreateForWrite(temp_, true);
    if (fd_ < 0) throw PayloadError("cannot create " + temp_ + ": " + std::strerror(errno));
  }
  ~OutputFile() {
    if (fd_ >= 0) platform::CloseFile(fd_);
    if (!committed_) platform::RemoveFile(temp_);
  }
  int fd() const { return fd_; }
  const std::string& temp() const { return temp_; }
  void Commit() {
    if (platform::CloseFile(fd_) != 0) {
      fd_ = -1;
      throw PayloadError("cannot write " + temp_ + ": " + std::strerror(errno));
    }
    fd_ = -1;
    if (!platform::RenameReplacing(temp_, final_))
      throw PayloadError("cannot rename " + temp_ + " to " + final_ + ": " + std::strerror(errno));
    committed_ = true;
  }

 private:
  std::string final_, temp_;
  int fd_ = -1;
  bool committed_ = false;
};

void ExtractPartition(const ExtractOptions& opt, const InputFile& payload, const PayloadSummary& s,
                      const PartitionUpdate& p) {
  const std::string image = ImageFileName(p.name);
  const uint64_t size = NewPartitionSize(s.manifest, p);
  std::unique_ptr<InputFile> old;
  if (NeedsSourceImage(p)) old = std::make_unique<InputFile>(FindSourceImage(opt.old_dir, p.name));
  const bool in_place = UpdatesInPlace(p);

  const std::string final_path = Join(opt.out_dir, image);
  // An image of an earlier run goes first, so that a failure leaves none under the final name;
  // not when it is the source image itself (the payload then updates it in its place).
  if (platform::KindOf(final_path) != platform::PathKind::kMissing && !(old && SameFile(old->path(), final_path)))
    platform::RemoveFile(final_path);
  OutputFile out(final_path);
  if (in_place) {
    // The image starts as a copy of the source image; blocks no operation touches stay as they were.
    std::unique_ptr<uint8_t[]> buf(new uint8_t[kChunk]);
    const uint64_t n = std::min(size, old->size());
    for (uint64_t pos = 0; pos < n;) {
      const size_t k = static_cast<size_t>(std::min<uint64_t>(n - pos, kChunk));
      old->ReadAt(pos, buf.get(), k);
      WriteFully(out.fd(), buf.get(), k, pos);
      pos += k;
    }
  }
  if (!platform::SetFileSize(out.fd(), size))
    throw PayloadError("cannot size " + image + " to " + std::to_string(size) + " bytes: " + std::strerror(errno));

  const Job job{payload, s.header.DataOffset(), s.manifest, p, old.get(), out.fd(), !in_place};
  // One thread per core by default, at most 16: each holds about 10 MiB of buffers and decoder state.
  unsigned threads = opt.threads ? opt.threads : std::clamp(std::thread::hardware_concurrency(), 1u, 16u);
  threads = std::max(1u, std::min<unsigned>(threads, std::max<size_t>(1, p.operations.size())));

  uint64_t total = 0;
  for (const auto& op : p.operations)
    for (const auto& e : op.dst_extents) total += e.num_blocks;
  std::atomic<uint64_t> done{0};
  std::mutex report_m;
  int shown = -1;
  auto report = [&](int pct) {
    std::lock_guard<std::mutex> l(report_m);
    if (pct > shown && opt.progress) opt.progress(image, pct);
    shown = std::max(shown, pct);
  };
  report(0);

  BoundedQueue queue(threads * 2);
  std::mutex err_m;
  std::string error;
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t) {
    pool.emplace_back([&] {
      std::unique_ptr<uint8_t[]> buf(new uint8_t[kChunk]);
      size_t i;
      while (queue.Pop(&i)) {
        try {
          RunOperation(job, i, buf.get());
        } catch (const std::exception& e) {
          std::lock_guard<std::mutex> l(err_m);
          if (error.empty()) error = Where(p, i) + ": " + e.what();
          queue.Abort();
          return;
        }
        uint64_t blocks = 0;
        for (const auto& e : p.operations[i].dst_extents) blocks += e.num_blocks;
        const uint64_t now = done.fetch_add(blocks) + blocks;
        // 99 at most until the image is verified.
        if (total) report(static_cast<int>(std::min<uint64_t>(99, now * 100 / total)));
      }
    });
  }
  for (size_t i = 0; i < p.operations.size(); ++i)
    if (!queue.Push(i)) break;
  queue.Close();
  for (auto& t : pool) t.join();
  if (!error.empty()) throw PayloadError(error);

  if (!p.new_info.hash.empty()) {
    // Read back through a descriptor of its own: the output is open for writing only.
    const InputFile back(out.temp());
    Sha256 h;
    std::unique_ptr<uint8_t[]> buf(new uint8_t[kChunk]);
    for (uint64_t pos = 0; pos < size;) {
      const size_t k = static_cast<size_t>(std::min<uint64_t>(size - pos, kChunk));
      back.ReadAt(pos, buf.get(), k);
      h.Update(buf.get(), k);
      pos += k;
    }
    const std::string got = h.Final();
    if (got != p.new_info.hash)
      throw PayloadError("partition " + p.name + ": the extracted image does not match the partition hash (expected " +
                         ToHex(p.new_info.hash) + ", got " + ToHex(got) + ")");
  }
  // The source image is closed before the new one takes its name: Windows renames nothing over
  // an open file.
  old.reset();
  out.Commit();
  report(100);
}

}  // namespace

std::string ImageFileName(const std::string& partition) { return partition + "_a.img"; }

std::string FindSourceImage(const std::string& old_dir, const std::string& partition) {
  for (const std::string& n : {partition + "_a.img", partition + ".img"}) {
    const std::string p = Join(old_dir, n);
    if (IsFile(p)) return p;
  }
  throw PayloadError("partition " + partition + ": no source image " + partition + "_a.img or " + partition +
                     ".img in " + old_dir);
}

PayloadSummary ReadPayloadSummary(const std::string& path) {
  InputFile f(path);
  PayloadSummary s;
  s.file_size = f.size();
  if (f.size() < kHeaderSize) throw PayloadError("not an OTA payload (shorter than its header)");
  char h[kHeaderSize];
  f.ReadAt(0, h, kHeaderSize);
  s.header = ParseHeader(std::string_view(h, kHeaderSize), f.size());
  if (s.header.manifest_size > kMaxManifest)
    throw PayloadError("the manifest is implausibly large (" + std::to_string(s.header.manifest_size) + " bytes)");
  std::string manifest(static_cast<size_t>(s.header.manifest_size), '\0');
  f.ReadAt(kHeaderSize, manifest.data(), manifest.size());
  s.manifest = ParseManifest(manifest);
  return s;
}

void Extract(const ExtractOptions& opt) {
  const PayloadSummary s = ReadPayloadSummary(opt.payload);
  InputFile payload(opt.payload);
  std::vector<const PartitionUpdate*> chosen;
  for (const std::string& want : opt.only) {
    auto it = std::find_if(s.manifest.partitions.begin(), s.manifest.partitions.end(),
                           [&](const PartitionUpdate& p) { return p.name == want; });
    if (it == s.manifest.partitions.end()) throw PayloadError("the payload has no partition " + want);
  }
  for (const auto& p : s.manifest.partitions)
    if (opt.only.empty() || std::find(opt.only.begin(), opt.only.end(), p.name) != opt.only.end())
      chosen.push_back(&p);
  // Everything that can be checked without the data is checked before anything is written.
  for (const PartitionUpdate* p : chosen) ValidatePartition(s.manifest, *p, s.header.DataOffset(), payload.size());
  for (const PartitionUpdate* p : chosen) {
    if (!NeedsSourceImage(*p)) continue;
    if (opt.old_dir.empty())
      throw PayloadError("partition " + p->name +
                         " is an incremental update: give the folder of the source images with --old DIR");
    FindSourceImage(opt.old_dir, p->name);
  }
  MakeFolders(opt.out_dir);
  for (const PartitionUpdate* p : chosen) ExtractPartition(opt, payload, s, *p);
}

}  // namespace orvex::payload
