#include "erofs_image.h"

#include <lz4.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace orvex::erofs {
namespace {

constexpr uint64_t kSuperOffset = 1024;
constexpr uint32_t kMagic = 0xE0F5E1E2;
constexpr uint32_t kNullAddr = 0xFFFFFFFF;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t Le64(const uint8_t* p) { return Le32(p) | (static_cast<uint64_t>(Le32(p + 4)) << 32); }

uint64_t AlignUp(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }
uint64_t DivRoundUp(uint64_t v, uint64_t d) { return v / d + (v % d != 0); }

std::string NidText(uint64_t nid) { return "inode " + std::to_string(nid); }

// Reads small runs of an index table without taking the cache lock for every record.
class Window {
 public:
  explicit Window(const Source& src) : src_(src) {}
  const uint8_t* Get(uint64_t off, size_t len, const char* what) {
    CheckRange(src_.Size(), off, len, what);
    if (off >= start_ && off + len <= start_ + buf_.size()) return buf_.data() + (off - start_);
    const size_t want = static_cast<size_t>(std::min<uint64_t>(std::max<size_t>(len, kWindow), src_.Size() - off));
    buf_.resize(want);
    src_.ReadAt(off, buf_.data(), want);
    start_ = off;
    return buf_.data();
  }

 private:
  static constexpr size_t kWindow = 64 * 1024;
  const Source& src_;
  std::vector<uint8_t> buf_;
  uint64_t start_ = 0;
};

// ---- compressed files ---------------------------------------------------------------------

constexpr uint16_t kAdviseCompacted2B = 0x1;
constexpr uint16_t kAdviseBigPcluster1 = 0x2;
constexpr uint16_t kAdviseBigPcluster2 = 0x4;
constexpr uint16_t kAdviseInlinePcluster = 0x8;
constexpr uint16_t kAdviseInterlacedPcluster = 0x10;
constexpr uint16_t kAdviseFragmentPcluster = 0x20;
constexpr uint16_t kAdviseKnown = 0x3f;

constexpr uint8_t kTypePlain = 0;
constexpr uint8_t kTypeHead1 = 1;
constexpr uint8_t kTypeNonHead = 2;
constexpr uint8_t kTypeHead2 = 3;
constexpr uint32_t kD0CblkCnt = 0x800;

struct Lcluster {
  uint8_t type = 0;
  uint32_t clusterofs = 0;   // heads
  uint64_t pblk = 0;         // heads
  bool partial = false;      // heads (full index only)
  uint32_t cblkcnt = 0;      // non-heads carrying the block count of their pcluster
  uint64_t nextpackoff = 0;  // the byte after the index pack holding this record
};

class ZMap {
 public:
  ZMap(const Image& img, const Inode& inode) : img_(img), inode_(inode), win_(img.source()) {
    const Superblock& sb = img.sb();
    if (inode.size == 0) return;
    const uint64_t hpos = AlignUp(inode.end(), 8);
    const uint8_t* h = win_.Get(hpos, 8, "compression header");
    advise_ = Le16(h + 4);
    alg_[0] = h[6] & 0xf;
    alg_[1] = h[6] >> 4;
    const uint8_t clusterbits = h[7];
    idata_size_ = Le16(h + 2);
    if (advise_ & ~kAdviseKnown) Fail("has unknown compression flags 0x" + Hex(advise_));
    if ((advise_ & kAdviseFragmentPcluster) || (clusterbits & 0x80))
      Fail("uses fragments, which this reader does not support");
    if (inode.layout == kLayoutCompressedFull && (advise_ & kAdviseCompacted2B))
      Fail("uses extent records, which this reader does not support");
    lclusterbits_ = sb.blkszbits + (clusterbits & 7);
    if ((clusterbits & 0x78) != 0) Fail("has an invalid cluster size");
    if ((advise_ & (kAdviseBigPcluster1 | kAdviseBigPcluster2)) && !(sb.feature_incompat & kIncompatComprCfgs))
      Fail("uses big physical clusters without the feature flag");
    if (inode.layout == kLayoutCompressedCompact) {
      if (!(advise_ & kAdviseBigPcluster1) != !(advise_ & kAdviseBigPcluster2))
        Fail("has inconsistent big cluster flags");
      if (lclusterbits_ > 14) Fail("has a logical cluster too large for compact indexes");
    }
    lcsize_ = uint64_t{1} << lclusterbits_;
    blksz_ = sb.block_size;
    nlc_ = DivRoundUp(inode.size, lcsize_);
    totalidx_ = DivRoundUp(inode.size, blksz_);
    // Every logical cluster needs at least two bytes of index: refuse sizes the image cannot index.
    if (nlc_ > img.image_size()) Fail("claims a size of " + std::to_string(inode.size) + " bytes that its index cannot describe");
    if (inode.layout == kLayoutCompressedFull) {
      index_base_ = hpos + 16;
    } else {
      index_base_ = hpos + 8;
      initial4b_ = static_cast<uint32_t>(((32 - index_base_ % 32) / 4) & 7);
      compact2b_ = 0;
      if ((advise_ & kAdviseCompacted2B) && initial4b_ < totalidx_)
        compact2b_ = (totalidx_ - initial4b_) / 16 * 16;
    }
  }

  void ForEach(const std::function<bool(const Extent&)>& fn) {
    if (inode_.size == 0) return;
    const bool ztail = advise_ & kAdviseInlinePcluster;
    struct Head {
      uint64_t lcn;
      uint64_t la;
      uint8_t type;
      uint64_t pblk;
      bool partial;
      int64_t blocks;  // -1 until known
    };
    bool have = false;
    Head cur{};
    uint64_t last_nextpackoff = 0;

    auto emit = [&](uint64_t end, bool last) -> bool {
      Extent e;
      e.la = cur.la;
      e.llen = end - cur.la;
      e.kind = cur.type == kTypePlain ? ExtentKind::kRaw : ExtentKind::kCompressed;
      e.algorithm = cur.type == kTypeHead2 ? alg_[1] : alg_[0];
      e.interlaced = cur.type == kTypePlain && (advise_ & kAdviseInterlacedPcluster);
      if (last && ztail) {
        if (idata_size_ == 0) Fail("has an empty inline tail cluster");
        e.pa = last_nextpackoff;
        e.plen = idata_size_;
        e.inline_data = true;
        if (e.pa % blksz_ + e.plen > blksz_) Fail("has an inline tail cluster that crosses a block boundary");
      } else {
        uint64_t blocks = cur.blocks < 0 ? 1 : static_cast<uint64_t>(cur.blocks);
        e.big_pcluster = blocks > 1;
        e.pa = cur.pblk * blksz_;
        e.plen = blocks * blksz_;
      }
      if (e.kind == ExtentKind::kRaw && e.llen > e.plen) Fail("has an uncompressed cluster shorter than its extent");
      if (e.plen > Image::kMaxPclusterBytes) Fail("has a physical cluster of absurd size");
      if (e.llen > Image::kMaxExtentBytes) Fail("has an extent of absurd size");
      if (e.kind == ExtentKind::kCompressed) {
        const uint16_t algs = (img_.sb().feature_incompat & kIncompatComprCfgs) ? img_.sb().available_compr_algs : 1;
        if (e.algorithm != 0 || !(algs & 1))
          Fail("uses compression algorithm " + std::to_string(e.algorithm) + ", which this reader does not support (only LZ4)");
      }
      CheckRange(img_.image_size(), e.pa, e.plen, "compressed data");
      return fn(e);
    };

    // Physical size of the current head's cluster, decided by the record that follows it.
    auto settle_blocks = [&](const Lcluster* next) {
      const bool big1 = advise_ & kAdviseBigPcluster1;
      const bool big2 = advise_ & kAdviseBigPcluster2;
      if ((cur.type == kTypeHead1 && !big1) || ((cur.type == kTypePlain || cur.type == kTypeHead2) && !big2) ||
          next == nullptr) {
        cur.blocks = 1;
      } else if (next->type != kTypeNonHead) {
        cur.blocks = static_cast<int64_t>(lcsize_ / blksz_);
      } else if (next->cblkcnt) {
        cur.blocks = next->cblkcnt;
      } else {
        Fail("has a big cluster without its block count");
      }
    };

    for (uint64_t lcn = 0; lcn < nlc_; ++lcn) {
      const Lcluster rec = Load(lcn);
      last_nextpackoff = rec.nextpackoff;
      if (have && cur.blocks < 0 && lcn == cur.lcn + 1) settle_blocks(&rec);
      if (rec.type == kTypeNonHead) {
        if (lcn == 0) Fail("starts with a continuation cluster");
        continue;
      }
      const uint64_t start = lcn * lcsize_ + rec.clusterofs;
      if (lcn == 0 && rec.clusterofs != 0) Fail("does not start at offset 0");
      if (start >= inode_.size) break;  // a head past the end of the file maps nothing
      if (have) {
        if (cur.blocks < 0) settle_blocks(nullptr);
        if (!emit(start, false)) return;
      }
      cur = Head{lcn, start, rec.type, rec.pblk, rec.partial, -1};
      have = true;
    }
    if (!have) Fail("has no cluster head");
    if (cur.blocks < 0) settle_blocks(nullptr);
    if (ztail) {
      // The inline cluster follows the index records of the last logical cluster.
      last_nextpackoff = Load(nlc_ - 1).nextpackoff;
    }
    emit(inode_.size, true);
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw Error("compressed " + NidText(inode_.nid) + " " + what);
  }
  static std::string Hex(unsigned v) {
    char b[16];
    std::snprintf(b, sizeof b, "%x", v);
    return b;
  }

  Lcluster Load(uint64_t lcn) {
    return inode_.layout == kLayoutCompressedFull ? LoadFull(lcn) : LoadCompact(lcn);
  }

  Lcluster LoadFull(uint64_t lcn) {
    Lcluster r;
    const uint64_t pos = index_base_ + lcn * 8;
    const uint8_t* d = win_.Get(pos, 8, "compression index");
    const uint16_t advise = Le16(d);
    r.type = advise & 3;
    r.nextpackoff = pos + 8;
    if (r.type == kTypeNonHead) {
      uint32_t d0 = Le16(d + 4);
      if (d0 & kD0CblkCnt) {
        if (!(advise_ & (kAdviseBigPcluster1 | kAdviseBigPcluster2))) Fail("has a block count without big clusters");
        r.cblkcnt = d0 & ~kD0CblkCnt;
        if (r.cblkcnt == 0) Fail("has a zero block count");
      }
    } else {
      r.partial = advise & 0x8000;
      r.clusterofs = Le16(d + 2);
      if (r.clusterofs >= lcsize_) Fail("has a cluster offset beyond its cluster");
      r.pblk = Le32(d + 4);
    }
    return r;
  }

  static uint32_t DecodeBits(const uint8_t* pack, unsigned lobits, unsigned pos, uint8_t* type) {
    const uint8_t* p = pack + pos / 8;
    const uint32_t v = Le32(p) >> (pos & 7);
    *type = (v >> lobits) & 3;
    return v & ((1u << lobits) - 1);
  }

  Lcluster LoadCompact(uint64_t lcn) {
    Lcluster r;
    if (lcn >= totalidx_) Fail("has an index shorter than the file");
    uint64_t pos = index_base_;
    unsigned shift = 2;
    uint64_t l = lcn;
    if (l >= initial4b_) {
      pos += uint64_t{initial4b_} * 4;
      l -= initial4b_;
      if (l < compact2b_) {
        shift = 1;
      } else {
        pos += compact2b_ * 2;
        l -= compact2b_;
      }
    }
    pos += l << shift;
    unsigned vcnt;
    if (shift == 2) {
      vcnt = 2;
    } else {
      if (lclusterbits_ > 12) Fail("has 2-byte indexes with large clusters");
      vcnt = 16;
    }
    const unsigned packsize = vcnt << shift;
    const uint64_t packstart = pos / packsize * packsize;
    r.nextpackoff = packstart + packsize;
    const uint8_t* pack = win_.Get(packstart, packsize, "compression index");
    const unsigned encodebits = ((packsize - 4) * 8) / vcnt;
    const unsigned lobits = std::max(lclusterbits_, 12u);
    const int i = static_cast<int>((pos - packstart) >> shift);
    uint8_t type;
    uint32_t lo = DecodeBits(pack, lobits, encodebits * i, &type);
    r.type = type;
    const bool big = advise_ & kAdviseBigPcluster1;
    if (type == kTypeNonHead) {
      if (lo & kD0CblkCnt) {
        if (!big) Fail("has a block count without big clusters");
        r.cblkcnt = lo & ~kD0CblkCnt;
        if (r.cblkcnt == 0) Fail("has a zero block count");
      }
      return r;
    }
    if (lo >= lcsize_) Fail("has a cluster offset beyond its cluster");
    r.clusterofs = lo;
    // The pack stores one base block; a head's block is the base plus the blocks of the
    // clusters that precede it in the pack.
    int64_t nblk;
    int64_t j = i;
    if (!big) {
      nblk = 1;
      while (j > 0) {
        --j;
        uint8_t t;
        uint32_t v = DecodeBits(pack, lobits, encodebits * static_cast<unsigned>(j), &t);
        if (t == kTypeNonHead) j -= v;
        if (j >= 0) ++nblk;
      }
    } else {
      nblk = 0;
      while (j > 0) {
        --j;
        uint8_t t;
        uint32_t v = DecodeBits(pack, lobits, encodebits * static_cast<unsigned>(j), &t);
        if (t == kTypeNonHead) {
          if (v & kD0CblkCnt) {
            --j;
            nblk += v & ~kD0CblkCnt;
            continue;
          }
          if (v <= 1) Fail("has a corrupt big cluster index");
          j -= v - 2;
          continue;
        }
        ++nblk;
      }
    }
    r.pblk = uint64_t{Le32(pack + packsize - 4)} + static_cast<uint64_t>(nblk);
    return r;
  }

  const Image& img_;
  const Inode& inode_;
  Window win_;
  uint16_t advise_ = 0;
  uint8_t alg_[2] = {0, 0};
  uint16_t idata_size_ = 0;
  unsigned lclusterbits_ = 12;
  uint64_t lcsize_ = 4096;
  uint64_t blksz_ = 4096;
  uint64_t nlc_ = 0;
  uint64_t totalidx_ = 0;
  uint64_t index_base_ = 0;
  uint32_t initial4b_ = 0;
  uint64_t compact2b_ = 0;
};

const char* PrefixOf(uint8_t index) {
  switch (index) {
    case 1: return "user.";
    case 2: return "system.posix_acl_access";
    case 3: return "system.posix_acl_default";
    case 4: return "trusted.";
    case 5: return "lustre.";
    case 6: return "security.";
    default: return nullptr;
  }
}

}  // namespace

// ---- CRC-32C ------------------------------------------------------------------------------

uint32_t Crc32c(uint32_t crc, const void* data, size_t len) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  const auto* p = static_cast<const uint8_t*>(data);
  while (len--) crc = table[(crc ^ *p++) & 0xff] ^ (crc >> 8);
  return crc;
}

// ---- superblock ---------------------------------------------------------------------------

std::string Superblock::UuidText() const {
  bool zero = std::all_of(uuid.begin(), uuid.end(), [](uint8_t b) { return b == 0; });
  if (zero) return "";
  char buf[40];
  std::snprintf(buf, sizeof buf, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", uuid[0],
                uuid[1], uuid[2], uuid[3], uuid[4], uuid[5], uuid[6], uuid[7], uuid[8], uuid[9], uuid[10], uuid[11],
                uuid[12], uuid[13], uuid[14], uuid[15]);
  return buf;
}

std::string Superblock::FeatureNames() const {
  static const char* compat[] = {"sb_csum", "mtime", "xattr_filter"};
  static const char* incompat[] = {"lz4_0padding", "big_pcluster", "chunked_file", "device_table",
                                   "ztailpacking", "fragments", "xattr_prefixes"};
  std::string out;
  auto add = [&](const char* n) {
    if (!out.empty()) out += ' ';
    out += n;
  };
  for (unsigned i = 0; i < 32; ++i)
    if (feature_compat & (1u << i)) add(i < 3 ? compat[i] : ("compat_bit" + std::to_string(i)).c_str());
  for (unsigned i = 0; i < 32; ++i)
    if (feature_incompat & (1u << i)) add(i < 7 ? incompat[i] : ("incompat_bit" + std::to_string(i)).c_str());
  return out;
}

const char* FileTypeName(FileType t) {
  switch (t) {
    case FileType::kRegular: return "regular file";
    case FileType::kDirectory: return "directory";
    case FileType::kSymlink: return "symbolic link";
    case FileType::kCharDevice: return "character device";
    case FileType::kBlockDevice: return "block device";
    case FileType::kFifo: return "fifo";
    case FileType::kSocket: return "socket";
  }
  return "?";
}

Image::Image(std::shared_ptr<const Source> src, size_t cache_pages) : src_(std::move(src)) {
  ParseSuperblock();
  cache_ = std::make_unique<BlockCache>(*src_, cache_pages);
}

Image::~Image() = default;

void Image::ParseSuperblock() {
  const uint64_t size = src_->Size();
  if (size < kSuperOffset + 128)
    throw Error("not an EROFS image: the file has only " + std::to_string(size) + " bytes");
  uint8_t b[128];
  src_->ReadAt(kSuperOffset, b, sizeof b);
  if (Le32(b) != kMagic) throw Error("not an EROFS image: no superblock magic at offset 1024");
  Superblock& s = sb_;
  s.checksum = Le32(b + 4);
  s.feature_compat = Le32(b + 8);
  s.blkszbits = b[12];
  s.sb_extslots = b[13];
  s.root_nid = Le16(b + 14);
  s.inos = Le64(b + 16);
  s.build_time = Le64(b + 24);
  s.build_time_nsec = Le32(b + 32);
  s.blocks = Le32(b + 36);
  s.meta_blkaddr = Le32(b + 40);
  s.xattr_blkaddr = Le32(b + 44);
  std::memcpy(s.uuid.data(), b + 48, 16);
  s.volume_name.assign(reinterpret_cast<const char*>(b + 64), strnlen(reinterpret_cast<const char*>(b + 64), 16));
  s.feature_incompat = Le32(b + 80);
  const uint16_t u84 = Le16(b + 84);
  s.extra_devices = Le16(b + 86);
  const uint8_t dirblkbits = b[90];

  if (s.blkszbits < 9 || s.blkszbits > 16)
    throw Error("corrupt superblock: block size 2^" + std::to_string(s.blkszbits) + " is not supported");
  s.block_size = 1u << s.blkszbits;
  const uint64_t sb_size = 128 + 16 * uint64_t{s.sb_extslots};
  if (sb_size > 4096 - kSuperOffset) throw Error("corrupt superblock: too many extension slots");

  if (s.HasChecksum()) {
    const uint64_t len = s.block_size > kSuperOffset ? s.block_size - kSuperOffset : s.block_size;
    CheckRange(size, kSuperOffset, len, "superblock checksum area");
    std::vector<uint8_t> area(len);
    src_->ReadAt(kSuperOffset, area.data(), len);
    std::memset(area.data() + 4, 0, 4);
    const uint32_t crc = Crc32c(0xFFFFFFFFu, area.data(), area.size());
    if (crc != s.checksum) {
      char msg[128];
      std::snprintf(msg, sizeof msg, "corrupt superblock: checksum 0x%08x does not match the stored 0x%08x", crc,
                    s.checksum);
      throw Error(msg);
    }
  }

  const uint32_t unknown = s.feature_incompat & ~kIncompatSupported;
  if (unknown) {
    Superblock tmp;
    tmp.feature_incompat = unknown;
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", unknown);
    throw Error(std::string("unsupported EROFS features ") + hex + " (" + tmp.FeatureNames() + ")");
  }
  if (dirblkbits != 0) throw Error("unsupported EROFS directory block size");
  if (s.extra_devices != 0)
    throw Error("the image keeps data on " + std::to_string(s.extra_devices) +
                " extra devices, which this reader does not support");
  if (s.blocks != 0 && uint64_t{s.blocks} * s.block_size > size)
    throw Error("image is truncated: the superblock gives " + std::to_string(uint64_t{s.blocks} * s.block_size) +
                " bytes, the file has " + std::to_string(size));
  if (uint64_t{s.meta_blkaddr} * s.block_size >= size) throw Error("corrupt superblock: inode area lies beyond the image");

  if (s.feature_incompat & kIncompatComprCfgs) {
    s.available_compr_algs = u84;
    if (s.available_compr_algs == 0) throw Error("corrupt superblock: no compression algorithm");
    // One record per algorithm: a u16 length then the record, each aligned to 4 bytes.
    uint64_t pos = kSuperOffset + sb_size;
    for (unsigned alg = 0; alg < 16; ++alg) {
      if (!(s.available_compr_algs & (1u << alg))) continue;
      pos = AlignUp(pos, 4);
      uint8_t lenb[2];
      CheckRange(size, pos, 2, "compression configuration");
      src_->ReadAt(pos, lenb, 2);
      const uint16_t len = Le16(lenb);
      pos += 2;
      CheckRange(size, pos, len, "compression configuration");
      if (alg == 0 && len >= 4) {
        uint8_t cfg[4];
        src_->ReadAt(pos, cfg, 4);
        s.lz4_max_distance = Le16(cfg);
        s.lz4_max_pclusterblks = Le16(cfg + 2);
      }
      pos += len;
    }
  } else {
    s.lz4_max_distance = u84;
  }
}

void Image::ReadMeta(uint64_t off, void* buf, size_t len) const { cache_->Read(off, buf, len); }

// ---- inodes -------------------------------------------------------------------------------

Inode Image::ReadInode(uint64_t nid) const {
  const uint64_t size = src_->Size();
  const uint64_t base = uint64_t{sb_.meta_blkaddr} * sb_.block_size;
  if (nid >= (size >> 5)) throw Error(NidText(nid) + " lies outside the image");
  Inode ino;
  ino.nid = nid;
  ino.pos = base + nid * 32;
  uint8_t d[64];
  CheckRange(size, ino.pos, 32, "inode");
  ReadMeta(ino.pos, d, 32);
  ino.format = Le16(d);
  if (ino.format & ~0xF) throw Error(NidText(nid) + " has an unsupported format 0x" + std::to_string(ino.format));
  ino.extended = ino.format & 1;
  ino.layout = (ino.format >> 1) & 7;
  if (ino.layout > kLayoutChunkBased) throw Error(NidText(nid) + " has an unknown data layout " + std::to_string(ino.layout));
  ino.xattr_icount = Le16(d + 2);
  ino.mode = Le16(d + 4);
  if (ino.extended) {
    ino.inode_size = 64;
    CheckRange(size, ino.pos, 64, "inode");
    ReadMeta(ino.pos, d, 64);
    ino.size = Le64(d + 8);
    ino.raw_u = Le32(d + 16);
    ino.uid = Le32(d + 24);
    ino.gid = Le32(d + 28);
    ino.mtime = Le64(d + 32);
    ino.mtime_nsec = Le32(d + 40);
    ino.nlink = Le32(d + 44);
  } else {
    ino.inode_size = 32;
    ino.nlink = Le16(d + 6);
    ino.size = Le32(d + 8);
    ino.mtime = sb_.build_time + Le32(d + 12);
    ino.mtime_nsec = sb_.build_time_nsec;
    ino.raw_u = Le32(d + 16);
    ino.uid = Le16(d + 24);
    ino.gid = Le16(d + 26);
  }
  if (ino.mtime_nsec >= 1000000000u) ino.mtime_nsec = 0;
  ino.xattr_size = ino.xattr_icount ? 12 + 4 * (uint32_t{ino.xattr_icount} - 1) : 0;
  if (ino.pos + ino.inode_size + ino.xattr_size > size)
    throw Error(NidText(nid) + " has an attribute area that runs past the end of the image");
  switch (ino.mode & S_IFMT) {
    case S_IFREG: ino.type = FileType::kRegular; break;
    case S_IFDIR: ino.type = FileType::kDirectory; break;
    case S_IFLNK: ino.type = FileType::kSymlink; break;
    case S_IFCHR: ino.type = FileType::kCharDevice; break;
    case S_IFBLK: ino.type = FileType::kBlockDevice; break;
    case S_IFIFO: ino.type = FileType::kFifo; break;
    case S_IFSOCK: ino.type = FileType::kSocket; break;
    default: throw Error(NidText(nid) + " has an invalid file type (mode 0" + std::to_string(ino.mode) + ")");
  }
  if (ino.IsCompressed() && ino.type != FileType::kRegular && ino.type != FileType::kDirectory &&
      ino.type != FileType::kSymlink)
    throw Error(NidText(nid) + " is a special file with compressed data");
  return ino;
}

// ---- extended attributes ------------------------------------------------------------------

std::vector<Xattr> Image::ReadXattrs(const Inode& inode) const {
  std::vector<Xattr> out;
  if (inode.xattr_size == 0) return out;
  std::vector<uint8_t> area(inode.xattr_size);
  ReadMeta(inode.pos + inode.inode_size, area.data(), area.size());
  const unsigned shared = area[4];
  uint64_t p = 12 + 4 * uint64_t{shared};
  if (p > area.size()) throw Error(NidText(inode.nid) + " has more shared attributes than its attribute area holds");

  auto add = [&](uint8_t name_len, uint8_t index, const uint8_t* name, const uint8_t* value, uint16_t value_size) {
    const char* prefix = PrefixOf(index);
    if (!prefix) return;  // an attribute namespace we do not know: left out, as the kernel does
    Xattr x;
    x.name = prefix;
    x.name.append(reinterpret_cast<const char*>(name), name_len);
    x.value.assign(reinterpret_cast<const char*>(value), value_size);
    out.push_back(std::move(x));
  };

  const uint64_t shared_base = uint64_t{sb_.xattr_blkaddr} * sb_.block_size;
  for (unsigned k = 0; k < shared; ++k) {
    const uint32_t id = Le32(&area[12 + 4 * k]);
    const uint64_t pos = shared_base + uint64_t{id} * 4;
    uint8_t e[4];
    CheckRange(src_->Size(), pos, 4, "shared attribute");
    ReadMeta(pos, e, 4);
    const uint8_t nlen = e[0];
    const uint16_t vsize = Le16(e + 2);
    std::vector<uint8_t> body(size_t{nlen} + vsize);
    CheckRange(src_->Size(), pos + 4, body.size(), "shared attribute");
    ReadMeta(pos + 4, body.data(), body.size());
    add(nlen, e[1], body.data(), body.data() + nlen, vsize);
  }
  while (p + 4 <= area.size()) {
    const uint8_t* e = &area[p];
    const uint8_t nlen = e[0];
    const uint16_t vsize = Le16(e + 2);
    const uint64_t esize = AlignUp(4 + uint64_t{nlen} + vsize, 4);
    if (p + esize > area.size()) throw Error(NidText(inode.nid) + " has an attribute that runs past its attribute area");
    add(nlen, e[1], e + 4, e + 4 + nlen, vsize);
    p += esize;
  }
  return out;
}

// ---- data mapping -------------------------------------------------------------------------

void Image::FlatExtents(const Inode& inode, const std::function<bool(const Extent&)>& fn) const {
  const uint64_t size = inode.size;
  if (size == 0) return;
  const uint64_t bs = sb_.block_size;
  const uint64_t nblocks = DivRoundUp(size, bs);
  const bool tail = inode.layout == kLayoutFlatInline;
  const uint64_t lastblk = nblocks - (tail ? 1 : 0);
  if (lastblk > 0) {
    Extent e;
    e.la = 0;
    e.llen = tail ? lastblk * bs : size;
    if (inode.raw_u == kNullAddr) throw Error(NidText(inode.nid) + " has data blocks but no start block");
    e.pa = uint64_t{inode.raw_u} * bs;
    e.plen = e.llen;
    e.kind = ExtentKind::kRaw;
    CheckRange(src_->Size(), e.pa, e.llen, "file data");
    if (!fn(e)) return;
  }
  if (tail) {
    Extent e;
    e.la = lastblk * bs;
    e.llen = size - e.la;
    e.pa = inode.end();
    e.plen = e.llen;
    e.kind = ExtentKind::kRaw;
    e.inline_data = true;
    if (e.pa % bs + e.llen > bs) throw Error(NidText(inode.nid) + " has inline data that crosses a block boundary");
    CheckRange(src_->Size(), e.pa, e.llen, "inline data");
    fn(e);
  }
}

void Image::ChunkExtents(const Inode& inode, const std::function<bool(const Extent&)>& fn) const {
  const uint16_t fmt = inode.raw_u & 0xFFFF;
  if (fmt & ~0x3F) throw Error(NidText(inode.nid) + " has an unsupported chunk format 0x" + std::to_string(fmt));
  const unsigned chunkbits = sb_.blkszbits + (fmt & 0x1F);
  if (chunkbits > 48) throw Error(NidText(inode.nid) + " has an absurd chunk size");
  const bool indexes = fmt & 0x20;
  const uint64_t unit = indexes ? 8 : 4;
  const uint64_t chunk = uint64_t{1} << chunkbits;
  const uint64_t nchunks = DivRoundUp(inode.size, chunk);
  const uint64_t table = AlignUp(inode.end(), unit);
  if (nchunks > src_->Size() / unit) throw Error(NidText(inode.nid) + " has a chunk table larger than the image");
  CheckRange(src_->Size(), table, nchunks * unit, "chunk table");
  Window win(*src_);
  for (uint64_t k = 0; k < nchunks; ++k) {
    const uint8_t* d = win.Get(table + k * unit, unit, "chunk table");
    const uint32_t blk = indexes ? Le32(d + 4) : Le32(d);
    Extent e;
    e.la = k * chunk;
    e.llen = std::min(chunk, inode.size - e.la);
    if (blk == kNullAddr) {
      e.kind = ExtentKind::kHole;
    } else {
      e.kind = ExtentKind::kRaw;
      e.pa = uint64_t{blk} * sb_.block_size;
      e.plen = e.llen;
      CheckRange(src_->Size(), e.pa, e.llen, "chunk data");
    }
    if (!fn(e)) return;
  }
}

void Image::CompressedExtents(const Inode& inode, const std::function<bool(const Extent&)>& fn) const {
  ZMap map(*this, inode);
  map.ForEach(fn);
}

void Image::ForEachExtent(const Inode& inode, const std::function<bool(const Extent&)>& fn) const {
  if (inode.type != FileType::kRegular && inode.type != FileType::kDirectory && inode.type != FileType::kSymlink)
    return;
  switch (inode.layout) {
    case kLayoutFlatPlain:
    case kLayoutFlatInline: FlatExtents(inode, fn); break;
    case kLayoutChunkBased:
      if (!(sb_.feature_incompat & kIncompatChunkedFile))
        throw Error(NidText(inode.nid) + " is chunk-based but the image lacks the chunked-file feature");
      ChunkExtents(inode, fn);
      break;
    default: CompressedExtents(inode, fn); break;
  }
}

void Image::CheckExtent(const Inode& inode, const Extent& e) const {
  if (e.kind == ExtentKind::kHole) return;
  if (e.kind == ExtentKind::kRaw && e.llen > e.plen)
    throw Error(NidText(inode.nid) + " has a raw extent longer than its data");
  if (e.kind == ExtentKind::kRaw && !e.interlaced) return;  // streamed straight from the image
  // Extents decoded in memory: bounded sizes.
  if (e.llen > kMaxExtentBytes) throw Error(NidText(inode.nid) + " has an extent of absurd size");
  if (e.plen > kMaxPclusterBytes) throw Error(NidText(inode.nid) + " has a physical cluster of absurd size");
  if (e.kind == ExtentKind::kRaw) return;
  // An LZ4 stream grows at most about 255 times when decoded.
  if (e.llen / 255 > e.plen + 16) throw Error(NidText(inode.nid) + " has an extent longer than its cluster can hold");
}

// Bytes of the image an extent needs for decoding.
static uint64_t StoredBytes(const Extent& e) {
  if (e.kind == ExtentKind::kHole) return 0;
  if (e.kind == ExtentKind::kRaw && !e.interlaced) return e.llen;
  return e.plen;
}

void Image::DecodeStored(const Inode& inode, const Extent& e, const uint8_t* in, uint8_t* dst) const {
  if (e.kind == ExtentKind::kHole) {
    std::memset(dst, 0, e.llen);
    return;
  }
  if (e.kind == ExtentKind::kRaw) {
    if (!e.interlaced) {
      std::memcpy(dst, in, e.llen);
      return;
    }
    const uint64_t off = e.la % sb_.block_size;
    const uint64_t right = std::min<uint64_t>(sb_.block_size - off, e.llen);
    if (off + right > e.plen || e.llen - right > e.plen) throw Error(NidText(inode.nid) + " has a corrupt interlaced cluster");
    std::memcpy(dst, in + off, right);
    std::memcpy(dst + right, in, e.llen - right);
    return;
  }
  size_t margin = 0;
  if (sb_.feature_incompat & kIncompatZeroPadding) {
    while (margin < e.plen && in[margin] == 0) ++margin;
    if (margin == e.plen) throw Error(NidText(inode.nid) + " has an empty compressed cluster");
  }
  const int got = LZ4_decompress_safe_partial(reinterpret_cast<const char*>(in + margin), reinterpret_cast<char*>(dst),
                                              static_cast<int>(e.plen - margin), static_cast<int>(e.llen),
                                              static_cast<int>(e.llen));
  if (got != static_cast<int>(e.llen))
    throw Error(NidText(inode.nid) + " has corrupt compressed data at offset " + std::to_string(e.la));
}

void Image::DecodeExtent(const Inode& inode, const Extent& e, std::vector<uint8_t>& out, ReadScratch& scratch) const {
  if (e.llen > kMaxExtentBytes) throw Error(NidText(inode.nid) + " has an extent of absurd size");
  CheckExtent(inode, e);
  const uint64_t need = StoredBytes(e);
  if (scratch.in.size() < need) scratch.in.resize(need);
  if (need) src_->ReadAt(e.pa, scratch.in.data(), need);
  out.resize(e.llen);
  DecodeStored(inode, e, scratch.in.data(), out.data());
}

void Image::ReadData(const Inode& inode, const DataSink& sink, ReadScratch* scratch_in) const {
  ReadScratch local;
  ReadScratch& scratch = scratch_in ? *scratch_in : local;
  constexpr uint64_t kPiece = 1 << 20;
  uint64_t pos = 0;
  auto check_order = [&](const Extent& e) {
    if (e.la != pos) throw Error(NidText(inode.nid) + " has overlapping or missing extents");
    if (e.llen > inode.size - e.la) throw Error(NidText(inode.nid) + " has an extent past the end of the file");
    CheckExtent(inode, e);
    pos = e.la + e.llen;
  };

  if (!inode.IsCompressed()) {
    // Raw runs that are contiguous in the image are read together in large pieces.
    uint64_t run_la = 0, run_pa = 0, run_len = 0;
    auto flush = [&] {
      while (run_len > 0) {
        const uint64_t n = std::min(run_len, kPiece);
        if (scratch.in.size() < n) scratch.in.resize(n);
        src_->ReadAt(run_pa, scratch.in.data(), n);
        sink(run_la, scratch.in.data(), n);
        run_la += n;
        run_pa += n;
        run_len -= n;
      }
    };
    ForEachExtent(inode, [&](const Extent& e) {
      check_order(e);
      if (e.kind == ExtentKind::kRaw) {
        if (run_len > 0 && run_pa + run_len == e.pa && run_la + run_len == e.la) {
          run_len += e.llen;
        } else {
          flush();
          run_la = e.la;
          run_pa = e.pa;
          run_len = e.llen;
        }
      } else {
        flush();
        sink(e.la, nullptr, e.llen);
      }
      return true;
    });
    flush();
  } else {
    // Compressed files: the clusters of a batch of extents are read with one read per
    // contiguous stretch, and decoded output goes to the sink in pieces of about 1 MiB.
    std::vector<Extent> batch;
    std::vector<uint64_t> offsets;
    uint64_t batch_in = 0;
    uint64_t out_la = 0;
    size_t used = 0;
    auto flush_out = [&] {
      if (used) sink(out_la, scratch.out.data(), used);
      out_la += used;
      used = 0;
    };
    auto process = [&] {
      if (batch.empty()) return;
      if (scratch.in.size() < batch_in) scratch.in.resize(batch_in);
      offsets.clear();
      uint64_t off = 0;
      for (const Extent& e : batch) {
        offsets.push_back(off);
        off += StoredBytes(e);
      }
      for (size_t i = 0; i < batch.size();) {
        const uint64_t start = batch[i].pa;
        uint64_t len = StoredBytes(batch[i]);
        size_t j = i + 1;
        while (j < batch.size() && StoredBytes(batch[j]) && batch[j].pa == start + len) len += StoredBytes(batch[j++]);
        if (len) src_->ReadAt(start, scratch.in.data() + offsets[i], len);
        i = j;
      }
      for (size_t i = 0; i < batch.size(); ++i) {
        const Extent& e = batch[i];
        if (e.kind == ExtentKind::kHole) {
          flush_out();
          sink(e.la, nullptr, e.llen);
          out_la = e.la + e.llen;
          continue;
        }
        if (scratch.out.size() < used + e.llen) scratch.out.resize(used + e.llen);
        DecodeStored(inode, e, scratch.in.data() + offsets[i], scratch.out.data() + used);
        used += e.llen;
        if (used >= kPiece) flush_out();
      }
      batch.clear();
      batch_in = 0;
    };
    ForEachExtent(inode, [&](const Extent& e) {
      check_order(e);
      batch.push_back(e);
      batch_in += StoredBytes(e);
      if (batch_in >= kPiece || batch.size() >= 256) process();
      return true;
    });
    process();
    flush_out();
  }
  if (pos != inode.size) throw Error(NidText(inode.nid) + " has data that ends before the end of the file");
}

std::string Image::ReadPrefix(const Inode& inode, uint64_t max_bytes) const {
  std::string out;
  const uint64_t want = std::min(max_bytes, inode.size);
  ReadScratch scratch;
  std::vector<uint8_t> buf;
  ForEachExtent(inode, [&](const Extent& e) {
    if (out.size() >= want) return false;
    const uint64_t n = std::min(e.llen, want - out.size());
    if (e.kind == ExtentKind::kHole) {
      out.append(n, '\0');
    } else if (e.kind == ExtentKind::kRaw && !e.interlaced) {
      buf.resize(n);
      src_->ReadAt(e.pa, buf.data(), n);
      out.append(reinterpret_cast<const char*>(buf.data()), n);
    } else {
      DecodeExtent(inode, e, buf, scratch);
      out.append(reinterpret_cast<const char*>(buf.data()), n);
    }
    return out.size() < want;
  });
  return out;
}

// ---- directories and links ----------------------------------------------------------------

std::vector<DirEntry> Image::ReadDir(const Inode& dir) const {
  if (dir.type != FileType::kDirectory) throw Error(NidText(dir.nid) + " is not a directory");
  if (dir.size > kMaxDirectoryBytes) throw Error("directory " + NidText(dir.nid) + " is absurdly large");
  std::vector<uint8_t> data;
  data.reserve(std::min<uint64_t>(dir.size, src_->Size()));
  ReadData(dir, [&](uint64_t, const uint8_t* p, size_t n) {
    if (p) data.insert(data.end(), p, p + n);
    else data.insert(data.end(), n, 0);
  });
  std::vector<DirEntry> out;
  const uint64_t bs = sb_.block_size;
  for (uint64_t start = 0; start < data.size(); start += bs) {
    const uint64_t len = std::min<uint64_t>(bs, data.size() - start);
    const uint8_t* blk = data.data() + start;
    auto corrupt = [&](const std::string& why) {
      return Error("directory " + NidText(dir.nid) + " is corrupt: " + why);
    };
    if (len < 12) throw corrupt("a block too short for an entry");
    const uint32_t first = Le16(blk + 8);
    if (first < 12 || first >= len || first % 12 != 0) throw corrupt("bad name offset " + std::to_string(first));
    const uint32_t count = first / 12;
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* de = blk + i * 12;
      const uint32_t nameoff = Le16(de + 8);
      uint64_t namelen;
      if (nameoff < first || nameoff > len) throw corrupt("name offset " + std::to_string(nameoff) + " out of its block");
      if (i + 1 < count) {
        const uint32_t next = Le16(de + 12 + 8);
        if (next < nameoff) throw corrupt("name offsets out of order");
        namelen = next - nameoff;
      } else {
        namelen = strnlen(reinterpret_cast<const char*>(blk + nameoff), len - nameoff);
      }
      if (nameoff + namelen > len || namelen > 255) throw corrupt("a name runs out of its block");
      DirEntry e;
      e.nid = Le64(de);
      e.file_type = de[10];
      e.name.assign(reinterpret_cast<const char*>(blk + nameoff), namelen);
      out.push_back(std::move(e));
    }
  }
  return out;
}

std::string Image::ReadSymlink(const Inode& link) const {
  if (link.size == 0) throw Error("symbolic link " + NidText(link.nid) + " is empty");
  if (link.size > kMaxSymlinkBytes) throw Error("symbolic link " + NidText(link.nid) + " is absurdly long");
  std::string out;
  ReadData(link, [&](uint64_t, const uint8_t* p, size_t n) {
    if (p) out.append(reinterpret_cast<const char*>(p), n);
    else out.append(n, '\0');
  });
  return out;
}

}  // namespace orvex::erofs
