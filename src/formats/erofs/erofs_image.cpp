#include "erofs_image.h"

#include <lz4.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <list>

namespace orvex::erofs {
namespace {

constexpr uint64_t kSuperOffset = 1024;
constexpr uint32_t kMagic = 0xE0F5E1E2;
constexpr uint32_t kNullAddr = 0xFFFFFFFF;
// The file type bits of an inode's mode, as Linux stores them (the image is the same wherever
// it is read).
constexpr uint16_t kModeTypeMask = 0170000;
constexpr uint16_t kModeSocket = 0140000;
constexpr uint16_t kModeSymlink = 0120000;
constexpr uint16_t kModeRegular = 0100000;
constexpr uint16_t kModeBlockDevice = 0060000;
constexpr uint16_t kModeDirectory = 0040000;
constexpr uint16_t kModeCharDevice = 0020000;
constexpr uint16_t kModeFifo = 0010000;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t Le64(const uint8_t* p) { return Le32(p) | (static_cast<uint64_t>(Le32(p + 4)) << 32); }

uint64_t AlignUp(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }
uint64_t DivRoundUp(uint64_t v, uint64_t d) { return v / d + (v % d != 0); }

std::string NidText(uint64_t nid) { return "inode " + std::to_string(nid); }

// Reads small runs of an index table without taking the cache lock for every record. Works on
// the image or on the metabox data, whichever the inode lives in.
class Window {
 public:
  Window(const Image& img, bool in_metabox)
      : img_(img), mbox_(in_metabox), size_(img.SpaceSize(in_metabox)) {}
  const uint8_t* Get(uint64_t off, size_t len, const char* what) {
    CheckRange(size_, off, len, what);
    if (off >= start_ && off + len <= start_ + buf_.size()) return buf_.data() + (off - start_);
    const size_t want = static_cast<size_t>(std::min<uint64_t>(std::max<size_t>(len, kWindow), size_ - off));
    buf_.resize(want);
    if (mbox_) img_.ReadSpace(true, off, buf_.data(), want);
    else img_.source().ReadAt(off, buf_.data(), want);
    start_ = off;
    return buf_.data();
  }

 private:
  static constexpr size_t kWindow = 64 * 1024;
  const Image& img_;
  bool mbox_;
  uint64_t size_;
  std::vector<uint8_t> buf_;
  uint64_t start_ = 0;
};

// ---- compressed files ---------------------------------------------------------------------

constexpr uint16_t kAdviseCompacted2B = 0x1;
constexpr uint16_t kAdviseExtents = 0x1;  // full layout: encoded extent records
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
constexpr uint16_t kPartialRef = 0x8000;

// Encoded extent records: plen carries the algorithm (+1, 0 = stored) in bits 28-31 and the
// partial-reference flag in bit 27.
constexpr uint32_t kExtPlenPartial = 1u << 27;
constexpr unsigned kExtPlenFmtBit = 28;
constexpr uint32_t kExtPlenMask = (1u << 21) - 1;

struct Lcluster {
  uint8_t type = 0;
  uint32_t clusterofs = 0;   // heads
  uint64_t pblk = 0;         // heads
  bool partial = false;      // heads (full index only)
  uint32_t cblkcnt = 0;      // non-heads carrying the block count of their pcluster
  uint64_t nextpackoff = 0;  // the byte after the index pack holding this record
};

std::string HexText(uint64_t v) {
  char b[24];
  std::snprintf(b, sizeof b, "0x%llx", static_cast<unsigned long long>(v));
  return b;
}

class ZMap {
 public:
  ZMap(const Image& img, const Inode& inode)
      : img_(img), inode_(inode), win_(img, inode.in_metabox) {
    const Superblock& sb = img.sb();
    if (inode.size == 0) return;
    blksz_ = sb.block_size;
    const uint64_t hpos = AlignUp(inode.end(), 8);
    const uint8_t* h = win_.Get(hpos, 8, "compression header");
    header_end_ = hpos + 8;
    const uint8_t clusterbits = h[7];
    if (clusterbits & 0x80) {
      // The whole file lives in the packed inode; the rest of the header is its offset there.
      if (!(sb.feature_incompat & kIncompatFragments) || !sb.has_packed)
        Fail("is kept in the packed inode, but the image has none");
      whole_fragment_ = true;
      fragmentoff_ = Le64(h) & ~(uint64_t{1} << 63);
      return;
    }
    advise_ = Le16(h + 4);
    lclusterbits_ = sb.blkszbits + (clusterbits & 15);
    if (inode.layout == kLayoutCompressedFull && (advise_ & kAdviseExtents)) {
      extents_mode_ = true;
      recsz_ = 4u << ((advise_ >> 1) & 3);
      nextents_ = Le32(h) | (uint64_t{Le16(h + 6)} << 32);
      if (advise_ & ~(kAdviseExtents | 0x6 | kAdviseInterlacedPcluster | kAdviseFragmentPcluster))
        Fail("has unknown extent flags " + HexText(advise_));
      if (recsz_ <= 8 && lclusterbits_ > 30) Fail("has an absurd cluster size");
      if ((advise_ & kAdviseFragmentPcluster) && !sb.has_packed)
        Fail("has a fragment, but the image has no packed inode");
      return;
    }
    alg_[0] = h[6] & 0xf;
    alg_[1] = h[6] >> 4;
    if (advise_ & ~kAdviseKnown) Fail("has unknown compression flags " + HexText(advise_));
    if (advise_ & kAdviseFragmentPcluster) {
      if (!(sb.feature_incompat & kIncompatFragments) || !sb.has_packed)
        Fail("has a fragment, but the image has no packed inode");
      fragmentoff_ = Le32(h);
    } else if (advise_ & kAdviseInlinePcluster) {
      idata_size_ = Le16(h + 2);
    }
    if ((clusterbits & 0x70) != 0) Fail("has an invalid cluster size");
    if ((clusterbits & 15) > 7) Fail("has an absurd cluster size");
    if ((advise_ & (kAdviseBigPcluster1 | kAdviseBigPcluster2)) && !(sb.feature_incompat & kIncompatComprCfgs))
      Fail("uses big physical clusters without the feature flag");
    if (inode.layout == kLayoutCompressedCompact) {
      if (!(advise_ & kAdviseBigPcluster1) != !(advise_ & kAdviseBigPcluster2))
        Fail("has inconsistent big cluster flags");
      if (lclusterbits_ > 14) Fail("has a logical cluster too large for compact indexes");
    }
    lcsize_ = uint64_t{1} << lclusterbits_;
    nlc_ = DivRoundUp(inode.size, lcsize_);
    totalidx_ = DivRoundUp(inode.size, blksz_);
    // Every logical cluster needs at least two bytes of index: refuse sizes the image cannot index.
    if (nlc_ > img.SpaceSize(inode.in_metabox)) Fail("claims a size of " + std::to_string(inode.size) + " bytes that its index cannot describe");
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
    if (whole_fragment_) {
      Extent e;
      e.la = 0;
      e.llen = inode_.size;
      e.kind = ExtentKind::kFragment;
      e.pa = fragmentoff_;
      e.plen = inode_.size;
      fn(e);
      return;
    }
    if (extents_mode_) {
      ForEachEncoded(fn);
      return;
    }
    const bool ztail = idata_size_ != 0;
    const bool fragment = advise_ & kAdviseFragmentPcluster;
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
      e.partial = cur.partial;
      if (last && fragment) {
        // The tail extent lives in the packed inode; full indexes keep the offset's high half
        // in the head's block address.
        e.kind = ExtentKind::kFragment;
        e.interlaced = false;
        e.pa = fragmentoff_;
        if (inode_.layout == kLayoutCompressedFull) e.pa |= cur.pblk << 32;
        e.plen = e.llen;
        return fn(e);
      }
      if (last && ztail) {
        e.pa = last_nextpackoff;
        e.plen = idata_size_;
        e.inline_data = true;
        e.in_metabox = inode_.in_metabox;
        if (e.pa % blksz_ + e.plen > blksz_) Fail("has an inline tail cluster that crosses a block boundary");
        Range(img_.SpaceSize(inode_.in_metabox), e.pa, e.plen, "its inline tail cluster");
      } else {
        uint64_t blocks = cur.blocks < 0 ? 1 : static_cast<uint64_t>(cur.blocks);
        e.big_pcluster = blocks > 1;
        e.pa = cur.pblk * blksz_;
        e.plen = blocks * blksz_;
        Range(img_.image_size(), e.pa, e.plen, "its compressed data");
      }
      return Check(e) && fn(e);
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

  void Range(uint64_t size, uint64_t off, uint64_t len, const char* what) const {
    if (off > size || len > size - off)
      Fail(std::string("has ") + what + " outside the image (offset " + std::to_string(off) + ", length " +
           std::to_string(len) + ")");
  }

  // Checks an extent that is read from the image: its algorithm and its sizes.
  bool Check(const Extent& e) const {
    if (e.kind == ExtentKind::kRaw && e.llen > e.plen) Fail("has an uncompressed cluster shorter than its extent");
    if (e.plen > Image::kMaxPclusterBytes) Fail("has a physical cluster of absurd size");
    if (e.kind == ExtentKind::kCompressed) {
      if (e.llen > Image::kMaxDecodedBytes)
        Fail("has a cluster that claims to decode to " + std::to_string(e.llen) + " bytes, more than a cluster may hold");
      const uint16_t algs = (img_.sb().feature_incompat & kIncompatComprCfgs) ? img_.sb().available_compr_algs : 1;
      if (e.algorithm > kAlgZstd) Fail("uses unknown compression algorithm " + std::to_string(e.algorithm));
      if (!((algs >> e.algorithm) & 1))
        Fail(std::string("uses ") + AlgorithmName(e.algorithm) + " compression, which the superblock does not declare");
    }
    return true;
  }

  // Full-layout files with encoded extent records instead of logical cluster indexes.
  void ForEachEncoded(const std::function<bool(const Extent&)>& fn) {
    const bool fragment = advise_ & kAdviseFragmentPcluster;
    const bool interlaced = advise_ & kAdviseInterlacedPcluster;
    uint64_t pos = AlignUp(header_end_, recsz_);
    auto make = [&](uint64_t la, uint64_t end, uint32_t plen_raw, uint64_t pa, bool last) -> Extent {
      Extent e;
      e.la = la;
      e.llen = end - la;
      if (last && fragment) {
        e.kind = ExtentKind::kFragment;
        e.pa = plen_raw;
        if (recsz_ > 4) e.pa |= pa << 32;
        e.plen = e.llen;
        return e;
      }
      const uint32_t plen = plen_raw & kExtPlenMask;
      if (plen == 0) {
        e.kind = ExtentKind::kHole;
        return e;
      }
      const unsigned fmt = plen_raw >> kExtPlenFmtBit;
      e.pa = pa;
      e.plen = plen;
      e.partial = plen_raw & kExtPlenPartial;
      if (fmt) {
        e.kind = ExtentKind::kCompressed;
        e.algorithm = static_cast<uint8_t>(fmt - 1);
      } else {
        e.kind = ExtentKind::kRaw;
        e.interlaced = interlaced && pa % blksz_ == 0;
      }
      Range(img_.image_size(), e.pa, e.plen, "its compressed data");
      Check(e);
      return e;
    };
    if (recsz_ <= 8) {
      // One record per logical cluster.
      const uint64_t lcsize = uint64_t{1} << lclusterbits_;
      const uint64_t nlc = DivRoundUp(inode_.size, lcsize);
      if (nlc > img_.SpaceSize(inode_.in_metabox) / recsz_) Fail("claims more extents than the image holds");
      uint64_t pa = 0;
      if (recsz_ == 4) {
        pa = Le64(win_.Get(pos, 8, "extent records"));
        pos += 8;
      }
      for (uint64_t lcn = 0; lcn < nlc; ++lcn) {
        const uint8_t* r = win_.Get(pos + lcn * recsz_, recsz_, "extent records");
        const uint32_t plen_raw = Le32(r);
        uint64_t this_pa = pa;
        if (recsz_ == 8) this_pa = Le32(r + 4);
        else pa += plen_raw & kExtPlenMask;
        const uint64_t la = lcn * lcsize;
        const Extent e = make(la, std::min(la + lcsize, inode_.size), plen_raw, this_pa, lcn + 1 == nlc);
        if (!fn(e)) return;
      }
      return;
    }
    // Records with their own logical start, in increasing order.
    if (nextents_ == 0) Fail("has no extent records");
    if (nextents_ > img_.SpaceSize(inode_.in_metabox) / recsz_) Fail("claims more extents than the image holds");
    uint64_t covered = 0;
    for (uint64_t k = 0; k < nextents_; ++k) {
      const uint8_t* r = win_.Get(pos + k * recsz_, recsz_, "extent records");
      const uint32_t plen_raw = Le32(r);
      const uint64_t pa = Le32(r + 4) | (uint64_t{Le32(r + 8)} << 32);
      uint64_t la = Le32(r + 12);
      if (recsz_ >= 32) la |= uint64_t{Le32(r + 16)} << 32;
      uint64_t end = inode_.size;
      if (k + 1 < nextents_) {
        const uint8_t* n = win_.Get(pos + (k + 1) * recsz_, recsz_, "extent records");
        end = Le32(n + 12);
        if (recsz_ >= 32) end |= uint64_t{Le32(n + 16)} << 32;
      }
      if (la < covered || end < la || end > inode_.size) Fail("has extent records out of order");
      if (la > covered) {
        Extent hole;
        hole.la = covered;
        hole.llen = la - covered;
        hole.kind = ExtentKind::kHole;
        if (!fn(hole)) return;
      }
      if (end == la) continue;
      if (!fn(make(la, end, plen_raw, pa, k + 1 == nextents_))) return;
      covered = end;
    }
    if (covered < inode_.size) {
      Extent hole;
      hole.la = covered;
      hole.llen = inode_.size - covered;
      hole.kind = ExtentKind::kHole;
      fn(hole);
    }
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
        r.cblkcnt = std::max<uint32_t>(d0 & ~kD0CblkCnt, 1);  // 0 (a tail kept elsewhere) counts as 1
      }
    } else {
      r.partial = advise & kPartialRef;
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
        r.cblkcnt = std::max<uint32_t>(lo & ~kD0CblkCnt, 1);  // 0 (a tail kept elsewhere) counts as 1
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
  uint64_t header_end_ = 0;
  bool whole_fragment_ = false;
  uint64_t fragmentoff_ = 0;
  bool extents_mode_ = false;
  unsigned recsz_ = 0;
  uint64_t nextents_ = 0;
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
  static const char* compat[] = {"sb_csum", "mtime", "xattr_filter", "shared_ea_in_metabox", "plain_xattr_pfx"};
  std::string out;
  auto add = [&](const std::string& n) {
    if (!out.empty()) out += ' ';
    out += n;
  };
  for (unsigned i = 0; i < 32; ++i)
    if (feature_compat & (1u << i)) add(i < 5 ? compat[i] : "compat_bit" + std::to_string(i));
  if (feature_incompat) add(IncompatNames(feature_incompat));
  return out;
}

std::string IncompatNames(uint32_t bits) {
  static const char* names[] = {"lz4_0padding", "big_pcluster", "chunked_file", "device_table", "ztailpacking",
                                "fragments",    "xattr_prefixes", "48bit",       "metabox"};
  std::string out;
  for (unsigned i = 0; i < 32; ++i) {
    if (!(bits & (1u << i))) continue;
    if (!out.empty()) out += ' ';
    out += i < 9 ? std::string(names[i]) : "incompat_bit" + std::to_string(i);
  }
  return out;
}

const char* AlgorithmName(uint8_t alg) {
  switch (alg) {
    case kAlgLz4: return "lz4";
    case kAlgLzma: return "lzma";
    case kAlgDeflate: return "deflate";
    case kAlgZstd: return "zstd";
    default: return "unknown";
  }
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

// ---- decompressors ------------------------------------------------------------------------

struct Decoders {
  lzma_stream lzma = LZMA_STREAM_INIT;
  bool lzma_used = false;
  z_stream zs{};
  bool zs_ready = false;
  ZSTD_DCtx* zstd = nullptr;
  ~Decoders() {
    if (lzma_used) lzma_end(&lzma);
    if (zs_ready) inflateEnd(&zs);
    if (zstd) ZSTD_freeDCtx(zstd);
  }
};

void DecodersDeleter::operator()(Decoders* d) const { delete d; }

namespace {

// Each decoder writes exactly `out_len` bytes or returns false. A stream may hold more than the
// extent needs (a shared cluster); decoding stops when the extent is full, so no stream can
// make the reader produce more than the extent's length.
bool DecodeLzma(Decoders& d, const uint8_t* in, size_t in_len, uint8_t* out, size_t out_len, uint32_t dict) {
  // The dictionary never needs to be larger than the output of one stream; a small one is also
  // much cheaper to set up for every cluster (measured: 30-80 % faster than the image's 8 MiB).
  const uint32_t want = static_cast<uint32_t>(std::max<uint64_t>(4096, std::min<uint64_t>(dict, out_len)));
  if (lzma_microlzma_decoder(&d.lzma, in_len, out_len, false, want) != LZMA_OK) return false;
  d.lzma_used = true;
  d.lzma.next_in = in;
  d.lzma.avail_in = in_len;
  d.lzma.next_out = out;
  d.lzma.avail_out = out_len;
  while (d.lzma.avail_out > 0) {
    const size_t before_in = d.lzma.avail_in, before_out = d.lzma.avail_out;
    const lzma_ret r = lzma_code(&d.lzma, LZMA_RUN);
    if (r == LZMA_STREAM_END) break;
    if (r != LZMA_OK) return false;
    if (d.lzma.avail_in == before_in && d.lzma.avail_out == before_out) return false;
  }
  return d.lzma.avail_out == 0;
}

bool DecodeDeflate(Decoders& d, const uint8_t* in, size_t in_len, uint8_t* out, size_t out_len) {
  if (!d.zs_ready) {
    if (inflateInit2(&d.zs, -15) != Z_OK) return false;
    d.zs_ready = true;
  } else if (inflateReset(&d.zs) != Z_OK) {
    return false;
  }
  d.zs.next_in = const_cast<Bytef*>(in);
  d.zs.avail_in = static_cast<uInt>(in_len);
  d.zs.next_out = out;
  d.zs.avail_out = static_cast<uInt>(out_len);
  while (d.zs.avail_out > 0) {
    const int r = inflate(&d.zs, Z_SYNC_FLUSH);
    if (r == Z_STREAM_END) break;
    if (r != Z_OK) return false;
    if (d.zs.avail_in == 0) break;
  }
  return d.zs.avail_out == 0;
}

bool DecodeZstd(Decoders& d, const uint8_t* in, size_t in_len, uint8_t* out, size_t out_len) {
  if (!d.zstd) {
    d.zstd = ZSTD_createDCtx();
    if (!d.zstd) return false;
  }
  ZSTD_DCtx_reset(d.zstd, ZSTD_reset_session_and_parameters);
  // Windows beyond 16 MiB are refused: no cluster decodes to more than 12 MiB.
  ZSTD_DCtx_setParameter(d.zstd, ZSTD_d_windowLogMax, 24);
  ZSTD_inBuffer ib{in, in_len, 0};
  ZSTD_outBuffer ob{out, out_len, 0};
  while (ob.pos < ob.size) {
    const size_t before_in = ib.pos, before_out = ob.pos;
    const size_t r = ZSTD_decompressStream(d.zstd, &ob, &ib);
    if (ZSTD_isError(r)) return false;
    if (r == 0 && ib.pos == ib.size) break;
    if (ib.pos == before_in && ob.pos == before_out) return false;
  }
  return ob.pos == ob.size;
}

}  // namespace

// ---- inode streams ------------------------------------------------------------------------

// Random access to the data of one inode (the packed inode, the metabox inode): its extents are
// mapped once, decoded clusters are kept in a small cache. Safe to use from several threads.
class InodeStream {
 public:
  static constexpr size_t kCacheEntries = 4;

  InodeStream(const Image& img, Inode ino) : img_(img), ino_(std::move(ino)) {
    // The extent list is held in memory: bounded by what an image of this size can describe.
    const uint64_t max_extents = img_.image_size() / 1024 + 4096;
    img_.ForEachExtent(ino_, [&](const Extent& e) {
      if (e.kind == ExtentKind::kFragment)
        throw Error(NidText(ino_.nid) + " keeps fragments but is itself the inode that holds them");
      if (!exts_.empty() && e.la != exts_.back().la + exts_.back().llen)
        throw Error(NidText(ino_.nid) + " has overlapping or missing extents");
      if (exts_.size() >= max_extents) throw Error(NidText(ino_.nid) + " has more extents than the image can hold");
      exts_.push_back(e);
      return true;
    });
    if (!exts_.empty() && exts_.back().la + exts_.back().llen != ino_.size)
      throw Error(NidText(ino_.nid) + " has data that ends before the end of the file");
  }
  uint64_t size() const { return ino_.size; }

  void Read(uint64_t off, void* buf, size_t len, const char* what) {
    if (off > ino_.size || len > ino_.size - off)
      throw Error(std::string(what) + " at " + std::to_string(off) + " (" + std::to_string(len) +
                  " bytes) lies past the end of " + NidText(ino_.nid) + " (" + std::to_string(ino_.size) + " bytes)");
    auto* dst = static_cast<uint8_t*>(buf);
    while (len > 0) {
      auto it = std::upper_bound(exts_.begin(), exts_.end(), off, [](uint64_t o, const Extent& e) { return o < e.la; });
      if (it == exts_.begin()) throw Error(NidText(ino_.nid) + " has no extent at " + std::to_string(off));
      const size_t idx = static_cast<size_t>(it - exts_.begin()) - 1;
      const Extent& e = exts_[idx];
      const uint64_t within = off - e.la;
      const size_t n = static_cast<size_t>(std::min<uint64_t>(len, e.llen - within));
      if (e.kind == ExtentKind::kHole) {
        std::memset(dst, 0, n);
      } else if (e.kind == ExtentKind::kRaw && !e.interlaced && !e.inline_data) {
        img_.source().ReadAt(e.pa + within, dst, n);
      } else {
        const auto data = Decoded(idx);
        std::memcpy(dst, data->data() + within, n);
      }
      dst += n;
      off += n;
      len -= n;
    }
  }

 private:
  using Block = std::shared_ptr<const std::vector<uint8_t>>;

  // A decoded extent from the cache, or decoded now. Decoding happens outside the lock, so
  // threads that read different fragments decode at the same time.
  Block Decoded(size_t idx) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (auto it = cache_.begin(); it != cache_.end(); ++it) {
        if (it->first == idx) {
          cache_.splice(cache_.begin(), cache_, it);
          return cache_.front().second;
        }
      }
    }
    // One scratch per thread and stream kind: decoding the packed inode may read the metabox.
    thread_local ReadScratch packed_scratch, metabox_scratch;
    ReadScratch& scratch = ino_.nid == img_.sb().metabox_nid && img_.sb().has_metabox ? metabox_scratch : packed_scratch;
    auto data = std::make_shared<std::vector<uint8_t>>();
    img_.DecodeExtent(ino_, exts_[idx], *data, scratch);
    std::lock_guard<std::mutex> lock(mu_);
    if (cache_.size() >= kCacheEntries) cache_.pop_back();
    cache_.emplace_front(idx, data);
    return data;
  }

  const Image& img_;
  Inode ino_;
  std::vector<Extent> exts_;
  std::mutex mu_;
  std::list<std::pair<size_t, Block>> cache_;
};

Image::Image(std::shared_ptr<const Source> src, size_t cache_pages) : src_(std::move(src)) {
  ParseSuperblock();
  cache_ = std::make_unique<BlockCache>(*src_, cache_pages);
  LoadPrefixes();
}

Image::~Image() = default;

namespace {
// The inode streams this thread is opening: an inode stream that needs itself is refused
// instead of waiting for itself.
thread_local const void* t_opening_packed = nullptr;
thread_local const void* t_opening_metabox = nullptr;
}  // namespace

std::unique_ptr<InodeStream> Image::OpenStream(uint64_t nid, const char* what) const {
  const Inode ino = ReadInode(nid);
  if (ino.type != FileType::kRegular) throw Error(std::string("the ") + what + " is not a regular file");
  return std::make_unique<InodeStream>(*this, ino);
}

InodeStream& Image::Packed() const {
  if (t_opening_packed == this) throw Error("the packed inode refers to itself");
  std::lock_guard<std::mutex> lock(packed_mu_);
  if (packed_) return *packed_;
  if (!sb_.has_packed) throw Error("a file refers to a fragment, but the image has no packed inode");
  t_opening_packed = this;
  try {
    packed_ = OpenStream(sb_.packed_nid, "packed inode");
  } catch (...) {
    t_opening_packed = nullptr;
    throw;
  }
  t_opening_packed = nullptr;
  return *packed_;
}

InodeStream& Image::Metabox() const {
  if (t_opening_metabox == this) throw Error("the metabox inode refers to itself");
  std::lock_guard<std::mutex> lock(metabox_mu_);
  if (metabox_) return *metabox_;
  if (!sb_.has_metabox) throw Error("an inode lies in the metabox, but the image has none");
  t_opening_metabox = this;
  try {
    metabox_ = OpenStream(sb_.metabox_nid, "metabox inode");
  } catch (...) {
    t_opening_metabox = nullptr;
    throw;
  }
  t_opening_metabox = nullptr;
  return *metabox_;
}

void Image::ReadSpace(bool in_metabox, uint64_t off, void* buf, size_t len) const {
  if (!in_metabox) {
    CheckRange(src_->Size(), off, len, "metadata");
    cache_->Read(off, buf, len);
    return;
  }
  Metabox().Read(off, buf, len, "metadata in the metabox");
}

uint64_t Image::SpaceSize(bool in_metabox) const { return in_metabox ? Metabox().size() : src_->Size(); }

void Image::ReadPacked(uint64_t off, void* buf, size_t len) const { Packed().Read(off, buf, len, "a fragment"); }

void Image::ParseSuperblock() {
  const uint64_t size = src_->Size();
  if (size < kSuperOffset + 128)
    throw Error("not an EROFS image: the file has only " + std::to_string(size) + " bytes");
  uint8_t b[144] = {};
  src_->ReadAt(kSuperOffset, b, 128);
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
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", unknown);
    throw Error(std::string("unsupported EROFS features ") + hex + " (" + IncompatNames(unknown) + ")");
  }
  if (dirblkbits != 0) throw Error("unsupported EROFS directory block size 2^" + std::to_string(s.blkszbits + dirblkbits));
  if (s.extra_devices != 0)
    throw Error("the image keeps data on " + std::to_string(s.extra_devices) +
                " extra devices, which this reader does not support");

  // Fields of newer images: zero in older ones.
  s.xattr_prefix_count = b[91];
  s.xattr_prefix_start = Le32(b + 92);
  s.packed_nid = Le64(b + 96);
  s.mkfs_time = Le32(b + 108);
  s.has_packed = (s.feature_incompat & kIncompatFragments) && s.packed_nid != 0;
  if (s.feature_incompat & kIncompat48Bit) {
    const uint64_t rootnid_8b = Le64(b + 112);
    if (rootnid_8b != 0) {
      s.root_nid = rootnid_8b;
      s.blocks |= uint64_t{Le16(b + 14)} << 32;
    }
  }
  if (s.feature_incompat & kIncompatMetabox) {
    if (s.sb_extslots < 1) throw Error("corrupt superblock: the metabox feature without its extension slot");
    src_->ReadAt(kSuperOffset + 128, b + 128, 16);
    s.metabox_nid = Le64(b + 128);
    if (s.metabox_nid & kNidMetaboxBit) throw Error("corrupt superblock: the metabox inode lies in the metabox");
    s.has_metabox = true;
  }

  if (s.blocks != 0 && s.blocks <= (uint64_t{1} << 48) && s.blocks * s.block_size > size)
    throw Error("image is truncated: the superblock gives " + std::to_string(s.blocks * s.block_size) +
                " bytes, the file has " + std::to_string(size));
  if (uint64_t{s.meta_blkaddr} * s.block_size >= size) throw Error("corrupt superblock: inode area lies beyond the image");

  if (s.feature_incompat & kIncompatComprCfgs) {
    s.available_compr_algs = u84;
    if (s.available_compr_algs == 0) throw Error("corrupt superblock: no compression algorithm");
    if (s.available_compr_algs & ~0xF) {
      throw Error("unsupported compression algorithms " + HexText(s.available_compr_algs & ~0xFu) +
                  " (only lz4, lzma, deflate and zstd are known)");
    }
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
      uint8_t cfg[16] = {};
      src_->ReadAt(pos, cfg, std::min<size_t>(len, sizeof cfg));
      if (alg == kAlgLz4 && len >= 4) {
        s.lz4_max_distance = Le16(cfg);
        s.lz4_max_pclusterblks = Le16(cfg + 2);
      } else if (alg == kAlgLzma && len >= 6) {
        s.lzma_dict_size = Le32(cfg);
        if (Le16(cfg + 4) != 0) throw Error("unsupported LZMA stream format " + std::to_string(Le16(cfg + 4)));
        if (s.lzma_dict_size > (8u << 20))
          throw Error("corrupt superblock: LZMA dictionary of " + std::to_string(s.lzma_dict_size) + " bytes");
      } else if (alg == kAlgDeflate && len >= 1) {
        s.deflate_windowbits = cfg[0];
        if (s.deflate_windowbits > 15) throw Error("corrupt superblock: DEFLATE window of 2^" + std::to_string(cfg[0]));
      } else if (alg == kAlgZstd && len >= 2) {
        if (cfg[0] != 0) throw Error("unsupported Zstandard stream format " + std::to_string(cfg[0]));
        s.zstd_windowlog = cfg[1];
      }
      pos += len;
    }
  } else {
    s.lz4_max_distance = u84;
  }
}

void Image::LoadPrefixes() {
  if (!(sb_.feature_incompat & kIncompatXattrPrefixes) || sb_.xattr_prefix_count == 0) return;
  // The table lies in the packed inode, or in the metadata area when the image says so.
  const bool in_packed = sb_.has_packed && !(sb_.feature_compat & kCompatPlainXattrPfx);
  uint64_t pos = uint64_t{sb_.xattr_prefix_start} * 4;
  for (unsigned i = 0; i < sb_.xattr_prefix_count; ++i) {
    uint8_t lenb[2];
    if (in_packed) ReadPacked(pos, lenb, 2);
    else ReadSpace(false, pos, lenb, 2);
    const uint16_t len = Le16(lenb);
    if (len < 1 || len > 256) throw Error("corrupt attribute prefix table: an entry of " + std::to_string(len) + " bytes");
    std::vector<uint8_t> body(len);
    if (in_packed) ReadPacked(pos + 2, body.data(), len);
    else ReadSpace(false, pos + 2, body.data(), len);
    const char* base = PrefixOf(body[0]);
    if (!base) throw Error("corrupt attribute prefix table: unknown base index " + std::to_string(body[0]));
    long_prefixes_.push_back(std::string(base) + std::string(reinterpret_cast<const char*>(body.data() + 1), len - 1));
    pos += AlignUp(2 + uint64_t{len}, 4);
  }
}

void Image::ReadMeta(uint64_t off, void* buf, size_t len) const { cache_->Read(off, buf, len); }

// ---- inodes -------------------------------------------------------------------------------

Inode Image::ReadInode(uint64_t nid) const {
  Inode ino;
  ino.nid = nid;
  ino.in_metabox = nid & kNidMetaboxBit;
  const uint64_t slot = nid & ~kNidMetaboxBit;
  const uint64_t space = SpaceSize(ino.in_metabox);
  const uint64_t base = ino.in_metabox ? 0 : uint64_t{sb_.meta_blkaddr} * sb_.block_size;
  if (slot >= (space >> 5) || base + slot * 32 >= space) throw Error(NidText(nid) + " lies outside the image");
  ino.pos = base + slot * 32;
  uint8_t d[64];
  CheckRange(space, ino.pos, 32, "inode");
  ReadSpace(ino.in_metabox, ino.pos, d, 32);
  ino.format = Le16(d);
  if (ino.format & ~0x1F) throw Error(NidText(nid) + " has unknown format bits " + HexText(ino.format & ~0x1Fu));
  ino.extended = ino.format & 1;
  ino.layout = (ino.format >> 1) & 7;
  if (ino.layout > kLayoutChunkBased) throw Error(NidText(nid) + " has an unknown data layout " + std::to_string(ino.layout));
  const bool bit4 = ino.format & 0x10;  // NLINK_1 for files, DOT_OMITTED for directories
  ino.xattr_icount = Le16(d + 2);
  ino.mode = Le16(d + 4);
  const bool is_dir = (ino.mode & kModeTypeMask) == kModeDirectory;
  uint64_t startblk_hi = 0;
  if (ino.extended) {
    ino.inode_size = 64;
    CheckRange(space, ino.pos, 64, "inode");
    ReadSpace(ino.in_metabox, ino.pos, d, 64);
    startblk_hi = Le16(d + 6);
    ino.size = Le64(d + 8);
    ino.raw_u = Le32(d + 16);
    ino.uid = Le32(d + 24);
    ino.gid = Le32(d + 28);
    ino.mtime = Le64(d + 32);
    ino.mtime_nsec = Le32(d + 40);
    ino.nlink = Le32(d + 44);
  } else {
    ino.inode_size = 32;
    if (bit4 && !is_dir) {
      ino.nlink = 1;
      startblk_hi = Le16(d + 6);
    } else {
      ino.nlink = Le16(d + 6);
    }
    ino.size = Le32(d + 8);
    ino.mtime = sb_.build_time + Le32(d + 12);
    ino.mtime_nsec = sb_.build_time_nsec;
    ino.raw_u = Le32(d + 16);
    ino.uid = Le16(d + 24);
    ino.gid = Le16(d + 26);
  }
  ino.startblk = ino.raw_u;
  if (ino.layout == kLayoutFlatPlain || ino.layout == kLayoutFlatInline) {
    if (startblk_hi != 0 && !(sb_.feature_incompat & kIncompat48Bit))
      throw Error(NidText(nid) + " has a 48-bit block address in an image without 48-bit addresses");
    if (ino.raw_u != kNullAddr || startblk_hi != 0) ino.startblk |= startblk_hi << 32;
  }
  if (ino.mtime_nsec >= 1000000000u) ino.mtime_nsec = 0;
  ino.xattr_size = ino.xattr_icount ? 12 + 4 * (uint32_t{ino.xattr_icount} - 1) : 0;
  if (ino.pos + ino.inode_size + ino.xattr_size > space)
    throw Error(NidText(nid) + " has an attribute area that runs past the end of the image");
  switch (ino.mode & kModeTypeMask) {
    case kModeRegular: ino.type = FileType::kRegular; break;
    case kModeDirectory: ino.type = FileType::kDirectory; break;
    case kModeSymlink: ino.type = FileType::kSymlink; break;
    case kModeCharDevice: ino.type = FileType::kCharDevice; break;
    case kModeBlockDevice: ino.type = FileType::kBlockDevice; break;
    case kModeFifo: ino.type = FileType::kFifo; break;
    case kModeSocket: ino.type = FileType::kSocket; break;
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
  ReadSpace(inode.in_metabox, inode.pos + inode.inode_size, area.data(), area.size());
  const unsigned shared = area[4];
  uint64_t p = 12 + 4 * uint64_t{shared};
  if (p > area.size()) throw Error(NidText(inode.nid) + " has more shared attributes than its attribute area holds");

  auto add = [&](uint8_t name_len, uint8_t index, const uint8_t* name, const uint8_t* value, uint16_t value_size) {
    std::string prefix;
    if (index & 0x80) {
      const unsigned k = index & 0x7f;
      if (k >= long_prefixes_.size())
        throw Error(NidText(inode.nid) + " has an attribute with long prefix " + std::to_string(k) +
                    ", which the prefix table lacks");
      prefix = long_prefixes_[k];
    } else {
      const char* p = PrefixOf(index);
      if (!p) return;  // an attribute namespace we do not know: left out, as the kernel does
      prefix = p;
    }
    Xattr x;
    x.name = prefix;
    x.name.append(reinterpret_cast<const char*>(name), name_len);
    x.value.assign(reinterpret_cast<const char*>(value), value_size);
    out.push_back(std::move(x));
  };

  const bool shared_in_mbox = sb_.feature_compat & kCompatSharedEaInMetabox;
  const uint64_t shared_base = shared_in_mbox ? 0 : uint64_t{sb_.xattr_blkaddr} * sb_.block_size;
  for (unsigned k = 0; k < shared; ++k) {
    const uint32_t id = Le32(&area[12 + 4 * k]);
    const uint64_t pos = shared_base + uint64_t{id} * 4;
    uint8_t e[4];
    ReadSpace(shared_in_mbox, pos, e, 4);
    const uint8_t nlen = e[0];
    const uint16_t vsize = Le16(e + 2);
    std::vector<uint8_t> body(size_t{nlen} + vsize);
    ReadSpace(shared_in_mbox, pos + 4, body.data(), body.size());
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
    if (inode.raw_u == kNullAddr && inode.startblk == kNullAddr)
      throw Error(NidText(inode.nid) + " has data blocks but no start block");
    if (inode.startblk > (uint64_t{1} << 48)) throw Error(NidText(inode.nid) + " has an absurd start block");
    e.pa = inode.startblk * bs;
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
    e.in_metabox = inode.in_metabox;
    if (e.pa % bs + e.llen > bs) throw Error(NidText(inode.nid) + " has inline data that crosses a block boundary");
    CheckRange(SpaceSize(inode.in_metabox), e.pa, e.llen, "inline data");
    fn(e);
  }
}

void Image::ChunkExtents(const Inode& inode, const std::function<bool(const Extent&)>& fn) const {
  const uint16_t fmt = inode.raw_u & 0xFFFF;
  if (fmt & ~0x7F) throw Error(NidText(inode.nid) + " has an unsupported chunk format " + HexText(fmt));
  const unsigned chunkbits = sb_.blkszbits + (fmt & 0x1F);
  if (chunkbits > 48) throw Error(NidText(inode.nid) + " has an absurd chunk size");
  const bool indexes = fmt & 0x20;
  const bool wide = fmt & 0x40;
  if (wide && !indexes) throw Error(NidText(inode.nid) + " has 48-bit chunk addresses without chunk indexes");
  const uint64_t unit = indexes ? 8 : 4;
  const uint64_t chunk = uint64_t{1} << chunkbits;
  const uint64_t nchunks = DivRoundUp(inode.size, chunk);
  const uint64_t table = AlignUp(inode.end(), unit);
  const uint64_t space = SpaceSize(inode.in_metabox);
  if (nchunks > space / unit) throw Error(NidText(inode.nid) + " has a chunk table larger than the image");
  CheckRange(space, table, nchunks * unit, "chunk table");
  Window win(*this, inode.in_metabox);
  const uint64_t null_addr = wide ? (uint64_t{1} << 48) - 1 : kNullAddr;
  for (uint64_t k = 0; k < nchunks; ++k) {
    const uint8_t* d = win.Get(table + k * unit, unit, "chunk table");
    uint64_t blk = indexes ? Le32(d + 4) : Le32(d);
    if (wide) blk |= uint64_t{Le16(d)} << 32;
    if (indexes && Le16(d + 2) != 0 && blk != null_addr)
      throw Error(NidText(inode.nid) + " keeps a chunk on extra device " + std::to_string(Le16(d + 2)) +
                  ", which the image does not have");
    Extent e;
    e.la = k * chunk;
    e.llen = std::min(chunk, inode.size - e.la);
    if (blk == null_addr) {
      e.kind = ExtentKind::kHole;
    } else {
      e.kind = ExtentKind::kRaw;
      if (blk > (uint64_t{1} << 48)) throw Error(NidText(inode.nid) + " has an absurd chunk address");
      e.pa = blk * sb_.block_size;
      e.plen = e.llen;
      CheckRange(src_->Size(), e.pa, e.llen, "chunk data");
    }
    if (!fn(e)) return;
  }
}

CompressionInfo Image::ReadCompressionInfo(const Inode& inode) const {
  if (!inode.IsCompressed()) throw Error(NidText(inode.nid) + " is not compressed");
  CompressionInfo c;
  if (inode.size == 0) return c;
  uint8_t h[8];
  ReadSpace(inode.in_metabox, AlignUp(inode.end(), 8), h, 8);
  if (h[7] & 0x80) {
    c.whole_fragment = true;
    return c;
  }
  const uint16_t advise = Le16(h + 4);
  if (inode.layout == kLayoutCompressedFull && (advise & kAdviseExtents)) c.extent_records = true;
  else if (inode.layout == kLayoutCompressedFull) c.full_indexes = true;
  c.tail_fragment = advise & kAdviseFragmentPcluster;
  c.inline_tail = !c.tail_fragment && !c.extent_records && (advise & kAdviseInlinePcluster);
  c.interlaced = advise & kAdviseInterlacedPcluster;
  return c;
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
  if (e.kind == ExtentKind::kHole || e.kind == ExtentKind::kFragment) return;
  if (e.kind == ExtentKind::kRaw && e.llen > e.plen)
    throw Error(NidText(inode.nid) + " has a raw extent longer than its data");
  if (e.kind == ExtentKind::kRaw && !e.interlaced && !e.in_metabox) return;  // streamed straight from the image
  // Extents decoded in memory: bounded sizes.
  if (e.llen > kMaxExtentBytes) throw Error(NidText(inode.nid) + " has an extent of absurd size");
  if (e.plen > kMaxPclusterBytes) throw Error(NidText(inode.nid) + " has a physical cluster of absurd size");
  if (e.kind == ExtentKind::kRaw) return;
  if (e.llen > kMaxDecodedBytes)
    throw Error(NidText(inode.nid) + " has a cluster that claims to decode to " + std::to_string(e.llen) +
                " bytes, more than a cluster may hold");
  // An LZ4 stream grows at most about 255 times when decoded.
  if (e.algorithm == kAlgLz4 && e.llen / 255 > e.plen + 16)
    throw Error(NidText(inode.nid) + " has an extent longer than its cluster can hold");
}

// Bytes of the image an extent needs for decoding.
static uint64_t StoredBytes(const Extent& e) {
  if (e.kind == ExtentKind::kHole || e.kind == ExtentKind::kFragment) return 0;
  if (e.kind == ExtentKind::kRaw && !e.interlaced) return e.llen;
  return e.plen;
}

void Image::ReadStored(const Extent& e, uint8_t* buf, uint64_t len) const {
  if (e.in_metabox) ReadSpace(true, e.pa, buf, len);
  else src_->ReadAt(e.pa, buf, len);
}

void Image::DecodeStored(const Inode& inode, const Extent& e, const uint8_t* in, uint8_t* dst,
                         ReadScratch& scratch) const {
  if (e.kind == ExtentKind::kHole) {
    std::memset(dst, 0, e.llen);
    return;
  }
  if (e.kind == ExtentKind::kFragment) {
    ReadPacked(e.pa, dst, e.llen);
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
  const uint8_t* src = in + margin;
  const size_t src_len = e.plen - margin;
  bool ok = false;
  if (e.algorithm == kAlgLz4) {
    const int got = LZ4_decompress_safe_partial(reinterpret_cast<const char*>(src), reinterpret_cast<char*>(dst),
                                                static_cast<int>(src_len), static_cast<int>(e.llen),
                                                static_cast<int>(e.llen));
    ok = got == static_cast<int>(e.llen);
  } else {
    if (!scratch.dec) scratch.dec.reset(new Decoders);
    switch (e.algorithm) {
      case kAlgLzma:
        ok = DecodeLzma(*scratch.dec, src, src_len, dst, e.llen, sb_.lzma_dict_size ? sb_.lzma_dict_size : (8u << 20));
        break;
      case kAlgDeflate: ok = DecodeDeflate(*scratch.dec, src, src_len, dst, e.llen); break;
      case kAlgZstd: ok = DecodeZstd(*scratch.dec, src, src_len, dst, e.llen); break;
      default:
        throw Error(NidText(inode.nid) + " uses unknown compression algorithm " + std::to_string(e.algorithm));
    }
  }
  if (!ok)
    throw Error(NidText(inode.nid) + " has corrupt " + AlgorithmName(e.algorithm) + " data at offset " +
                std::to_string(e.la));
}

void Image::DecodeExtent(const Inode& inode, const Extent& e, std::vector<uint8_t>& out, ReadScratch& scratch) const {
  if (e.llen > kMaxExtentBytes) throw Error(NidText(inode.nid) + " has an extent of absurd size");
  CheckExtent(inode, e);
  const uint64_t need = StoredBytes(e);
  if (scratch.in.size() < need) scratch.in.resize(need);
  if (need) ReadStored(e, scratch.in.data(), need);
  out.resize(e.llen);
  DecodeStored(inode, e, scratch.in.data(), out.data(), scratch);
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
  // A fragment may be as long as the whole file: it is copied in pieces.
  auto send_fragment = [&](const Extent& e) {
    for (uint64_t done = 0; done < e.llen;) {
      const uint64_t n = std::min(e.llen - done, kPiece);
      if (scratch.in.size() < n) scratch.in.resize(n);
      ReadPacked(e.pa + done, scratch.in.data(), n);
      sink(e.la + done, scratch.in.data(), n);
      done += n;
    }
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
      if (e.kind == ExtentKind::kRaw && e.in_metabox) {
        flush();
        if (scratch.in.size() < e.llen) scratch.in.resize(e.llen);
        ReadStored(e, scratch.in.data(), e.llen);
        sink(e.la, scratch.in.data(), e.llen);
      } else if (e.kind == ExtentKind::kRaw) {
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
        if (batch[i].in_metabox) {
          ReadStored(batch[i], scratch.in.data() + offsets[i], StoredBytes(batch[i]));
          ++i;
          continue;
        }
        const uint64_t start = batch[i].pa;
        uint64_t len = StoredBytes(batch[i]);
        size_t j = i + 1;
        while (j < batch.size() && StoredBytes(batch[j]) && !batch[j].in_metabox && batch[j].pa == start + len)
          len += StoredBytes(batch[j++]);
        if (len) src_->ReadAt(start, scratch.in.data() + offsets[i], len);
        i = j;
      }
      // The decoded output buffer is separate from the input; fragments read into the output.
      for (size_t i = 0; i < batch.size(); ++i) {
        const Extent& e = batch[i];
        if (e.kind == ExtentKind::kHole) {
          flush_out();
          sink(e.la, nullptr, e.llen);
          out_la = e.la + e.llen;
          continue;
        }
        if (e.kind == ExtentKind::kFragment && e.llen > kPiece) {
          flush_out();
          std::vector<uint8_t> keep_in;
          keep_in.swap(scratch.in);
          send_fragment(e);
          scratch.in.swap(keep_in);
          out_la = e.la + e.llen;
          continue;
        }
        if (scratch.out.size() < used + e.llen) scratch.out.resize(used + e.llen);
        DecodeStored(inode, e, scratch.in.data() + offsets[i], scratch.out.data() + used, scratch);
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
    } else if (e.kind == ExtentKind::kFragment) {
      buf.resize(n);
      ReadPacked(e.pa, buf.data(), n);
      out.append(reinterpret_cast<const char*>(buf.data()), n);
    } else if (e.kind == ExtentKind::kRaw && !e.interlaced) {
      buf.resize(n);
      ReadStored(e, buf.data(), n);
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
