// Header and manifest of an OTA payload. The manifest is a proto2 message; the reader below
// knows the wire format (varints, fixed 32/64, length-delimited) and the handful of fields the
// extractor uses, and skips every other field by its wire type.
#include "payload_manifest.h"

#include <limits>

namespace orvex::payload {

namespace {

uint64_t BigEndian(std::string_view b, size_t at, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v = (v << 8) | static_cast<uint8_t>(b[at + i]);
  return v;
}

enum WireType : uint32_t { kVarint = 0, kFixed64 = 1, kBytes = 2, kFixed32 = 5 };

class Reader {
 public:
  Reader(std::string_view data, const char* what) : d_(data), what_(what) {}
  bool Done() const { return pos_ >= d_.size(); }

  uint64_t Varint() {
    uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (pos_ >= d_.size()) Fail("truncated number");
      const uint8_t b = static_cast<uint8_t>(d_[pos_++]);
      if (shift == 63 && b > 1) Fail("number too long");
      v |= uint64_t(b & 0x7f) << shift;
      if (!(b & 0x80)) return v;
    }
    Fail("number too long");
  }
  // The next field's number and wire type.
  void Tag(uint32_t* field, uint32_t* wire) {
    const uint64_t key = Varint();
    if ((key >> 3) == 0 || (key >> 3) > 0x1fffffff) Fail("bad field number");
    *field = static_cast<uint32_t>(key >> 3);
    *wire = static_cast<uint32_t>(key & 7);
  }
  std::string_view Bytes() {
    const uint64_t n = Varint();
    if (n > d_.size() - pos_) Fail("field runs past the end");
    std::string_view v = d_.substr(pos_, n);
    pos_ += n;
    return v;
  }
  void Skip(uint32_t wire) {
    switch (wire) {
      case kVarint: Varint(); return;
      case kFixed64: Advance(8); return;
      case kFixed32: Advance(4); return;
      case kBytes: Bytes(); return;
      default: Fail("unsupported wire type " + std::to_string(wire));
    }
  }
  // A scalar field with the expected wire type.
  uint64_t Number(uint32_t wire) {
    if (wire != kVarint) Fail("wrong wire type for a number");
    return Varint();
  }
  std::string_view Message(uint32_t wire) {
    if (wire != kBytes) Fail("wrong wire type for a message");
    return Bytes();
  }
  [[noreturn]] void Fail(const std::string& why) const {
    throw PayloadError(std::string("corrupt manifest (") + what_ + "): " + why);
  }

 private:
  void Advance(size_t n) {
    if (n > d_.size() - pos_) Fail("field runs past the end");
    pos_ += n;
  }
  std::string_view d_;
  const char* what_;
  size_t pos_ = 0;
};

Extent ParseExtent(std::string_view b) {
  Reader r(b, "extent");
  Extent e;
  while (!r.Done()) {
    uint32_t f, w;
    r.Tag(&f, &w);
    if (f == 1) e.start_block = r.Number(w);
    else if (f == 2) e.num_blocks = r.Number(w);
    else r.Skip(w);
  }
  return e;
}

PartitionInfo ParseInfo(std::string_view b) {
  Reader r(b, "partition info");
  PartitionInfo info;
  info.present = true;
  while (!r.Done()) {
    uint32_t f, w;
    r.Tag(&f, &w);
    if (f == 1) info.size = r.Number(w);
    else if (f == 2) info.hash = std::string(r.Message(w));
    else r.Skip(w);
  }
  return info;
}

InstallOperation ParseOperation(std::string_view b) {
  Reader r(b, "operation");
  InstallOperation op;
  while (!r.Done()) {
    uint32_t f, w;
    r.Tag(&f, &w);
    switch (f) {
      case 1: {
        const uint64_t t = r.Number(w);
        if (t > std::numeric_limits<uint32_t>::max()) r.Fail("bad operation type");
        op.type = static_cast<uint32_t>(t);
        op.has_type = true;
        break;
      }
      case 2: op.data_offset = r.Number(w); break;
      case 3: op.data_length = r.Number(w); break;
      case 4: op.src_extents.push_back(ParseExtent(r.Message(w))); break;
      case 5: op.src_length = r.Number(w); break;
      case 6: op.dst_extents.push_back(ParseExtent(r.Message(w))); break;
      case 7: op.dst_length = r.Number(w); break;
      case 8: op.data_sha256 = std::string(r.Message(w)); break;
      case 9: op.src_sha256 = std::string(r.Message(w)); break;
      default: r.Skip(w);
    }
  }
  if (!op.has_type) r.Fail("operation without a type");
  return op;
}

PartitionUpdate ParsePartition(std::string_view b, size_t index) {
  Reader r(b, "partition");
  PartitionUpdate p;
  bool named = false;
  uint32_t f = 0, w = 0;
  try {
    while (!r.Done()) {
      r.Tag(&f, &w);
      switch (f) {
        case 1: p.name = std::string(r.Message(w)); named = true; break;
        case 6: p.old_info = ParseInfo(r.Message(w)); break;
        case 7: p.new_info = ParseInfo(r.Message(w)); break;
        case 8: p.operations.push_back(ParseOperation(r.Message(w))); break;
        default: r.Skip(w);
      }
      f = 0;
    }
  } catch (const PayloadError& e) {
    // Name the partition (when its name came first, as writers put it) and the operation.
    std::string where = "partition " + (named ? p.name : "#" + std::to_string(index));
    if (f == 8) where += ", operation " + std::to_string(p.operations.size());
    throw PayloadError(where + ": " + e.what());
  }
  if (!named) r.Fail("partition #" + std::to_string(index) + " without a name");
  return p;
}

bool SafeName(const std::string& n) {
  if (n.empty() || n.size() > 128 || n == "." || n == "..") return false;
  for (char c : n) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                    c == '-' || c == '.';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

std::string OpTypeName(uint32_t type) {
  static const char* const kNames[] = {"REPLACE",      "REPLACE_BZ",    "MOVE",           "BSDIFF",
                                       "SOURCE_COPY",  "SOURCE_BSDIFF", "ZERO",           "DISCARD",
                                       "REPLACE_XZ",   "PUFFDIFF",      "BROTLI_BSDIFF",  "ZUCCHINI",
                                       "LZ4DIFF_BSDIFF", "LZ4DIFF_PUFFDIFF", "REPLACE_ZSTD"};
  if (type < sizeof(kNames) / sizeof(kNames[0])) return kNames[type];
  return "type " + std::to_string(type);
}

bool NeedsSource(uint32_t type) {
  switch (static_cast<OpType>(type)) {
    case OpType::kMove:
    case OpType::kBsdiff:
    case OpType::kSourceCopy:
    case OpType::kSourceBsdiff:
    case OpType::kPuffdiff:
    case OpType::kBrotliBsdiff:
    case OpType::kZucchini:
    case OpType::kLz4diffBsdiff:
    case OpType::kLz4diffPuffdiff:
      return true;
    default:
      return false;
  }
}

Header ParseHeader(std::string_view b, uint64_t file_size) {
  if (b.size() < kHeaderSize || b.substr(0, 4) != "CrAU") throw PayloadError("not an OTA payload (no CrAU magic)");
  Header h;
  h.version = BigEndian(b, 4, 8);
  if (h.version != 2)
    throw PayloadError("unsupported payload version " + std::to_string(h.version) + " (only version 2 is known)");
  h.manifest_size = BigEndian(b, 12, 8);
  h.metadata_signature_size = static_cast<uint32_t>(BigEndian(b, 20, 4));
  if (h.manifest_size == 0 || h.manifest_size > file_size || h.manifest_size + kHeaderSize > file_size ||
      h.DataOffset() > file_size)
    throw PayloadError("truncated payload: the header announces a " + std::to_string(h.manifest_size) +
                       "-byte manifest and a " + std::to_string(h.metadata_signature_size) +
                       "-byte signature, the file has " + std::to_string(file_size) + " bytes");
  return h;
}

Manifest ParseManifest(std::string_view b) {
  Reader r(b, "manifest");
  Manifest m;
  while (!r.Done()) {
    uint32_t f, w;
    r.Tag(&f, &w);
    switch (f) {
      case 3: {
        const uint64_t bs = r.Number(w);
        if (bs < 512 || bs > (1u << 20) || (bs & (bs - 1))) r.Fail("bad block size " + std::to_string(bs));
        m.block_size = static_cast<uint32_t>(bs);
        break;
      }
      case 4: m.signatures_offset = r.Number(w); break;
      case 5: m.signatures_size = r.Number(w); break;
      case 12: m.minor_version = static_cast<uint32_t>(r.Number(w)); break;
      case 13: {
        const size_t index = m.partitions.size();
        std::string_view body;
        try {
          body = r.Message(w);
        } catch (const PayloadError& e) {
          throw PayloadError("partition #" + std::to_string(index) + ": " + e.what());
        }
        m.partitions.push_back(ParsePartition(body, index));
        break;
      }
      case 16: m.partial_update = r.Number(w) != 0; break;
      default: r.Skip(w);
    }
  }
  for (size_t i = 0; i < m.partitions.size(); ++i) {
    if (!SafeName(m.partitions[i].name))
      throw PayloadError("corrupt manifest: partition " + std::to_string(i) + " has an unusable name");
    for (size_t j = 0; j < i; ++j)
      if (m.partitions[j].name == m.partitions[i].name)
        throw PayloadError("corrupt manifest: partition " + m.partitions[i].name + " appears twice");
  }
  return m;
}

namespace {

// Total bytes of a list of extents; throws when a block number overflows.
uint64_t ExtentBytes(const std::vector<Extent>& ex, uint64_t bs, uint64_t limit_blocks, bool holes_allowed,
                     const std::string& where) {
  uint64_t total = 0;
  for (const Extent& e : ex) {
    if (e.num_blocks == 0) throw PayloadError(where + ": empty extent");
    if (e.start_block == kSparseHole) {
      if (!holes_allowed) throw PayloadError(where + ": a hole among the destination extents");
    } else if (e.start_block > limit_blocks || e.num_blocks > limit_blocks - e.start_block) {
      throw PayloadError(where + ": extent at block " + std::to_string(e.start_block) + " (+" +
                         std::to_string(e.num_blocks) + ") lies outside the partition");
    }
    if (e.num_blocks > (~uint64_t{0} - total) / bs) throw PayloadError(where + ": extents too large");
    total += e.num_blocks * bs;
  }
  return total;
}

}  // namespace

uint64_t NewPartitionSize(const Manifest& m, const PartitionUpdate& p) {
  if (p.new_info.present) return p.new_info.size;
  uint64_t end = 0;
  for (const auto& op : p.operations)
    for (const auto& e : op.dst_extents)
      if (e.start_block != kSparseHole && e.start_block < (~uint64_t{0} / m.block_size) &&
          e.num_blocks < (~uint64_t{0} / m.block_size) - e.start_block)
        end = std::max(end, (e.start_block + e.num_blocks) * m.block_size);
  return end;
}

void ValidatePartition(const Manifest& m, const PartitionUpdate& p, uint64_t data_offset, uint64_t file_size) {
  const uint64_t bs = m.block_size;
  const uint64_t size = NewPartitionSize(m, p);
  const uint64_t blocks = (size + bs - 1) / bs;
  const uint64_t data_room = file_size - data_offset;
  for (size_t i = 0; i < p.operations.size(); ++i) {
    const InstallOperation& op = p.operations[i];
    const std::string where = "partition " + p.name + ", operation " + std::to_string(i) + " (" + OpTypeName(op.type) + ")";
    if (op.type > static_cast<uint32_t>(OpType::kReplaceZstd))
      throw PayloadError(where + ": unknown operation type");
    if (op.dst_extents.empty()) throw PayloadError(where + ": no destination extents");
    const uint64_t dst = ExtentBytes(op.dst_extents, bs, blocks, false, where);
    if (op.dst_length > dst) throw PayloadError(where + ": dst_length exceeds its extents");
    if (op.data_offset > data_room || op.data_length > data_room - op.data_offset)
      throw PayloadError(where + ": data blob at " + std::to_string(op.data_offset) + " (+" +
                         std::to_string(op.data_length) + ") lies beyond the end of the payload (truncated file?)");
    if (!op.data_sha256.empty() && op.data_sha256.size() != 32) throw PayloadError(where + ": bad data hash length");
    if (!op.src_sha256.empty() && op.src_sha256.size() != 32) throw PayloadError(where + ": bad source hash length");
    switch (static_cast<OpType>(op.type)) {
      case OpType::kReplace:
        if (op.data_length > dst) throw PayloadError(where + ": blob larger than its extents");
        break;
      case OpType::kReplaceBz:
      case OpType::kReplaceXz:
      case OpType::kReplaceZstd:
      case OpType::kZero:
      case OpType::kDiscard:
        break;
      case OpType::kMove:
      case OpType::kSourceCopy: {
        const uint64_t src = ExtentBytes(op.src_extents, bs, ~uint64_t{0} / bs, true, where);
        if (src != dst) throw PayloadError(where + ": source and destination sizes differ");
        break;
      }
      case OpType::kBsdiff:
      case OpType::kSourceBsdiff:
      case OpType::kBrotliBsdiff: {
        const uint64_t src = ExtentBytes(op.src_extents, bs, ~uint64_t{0} / bs, true, where);
        if (op.src_length > src) throw PayloadError(where + ": src_length exceeds its extents");
        break;
      }
      default:
        throw PayloadError(where + ": this operation is not supported (" + OpTypeName(op.type) +
                           " patches need their own patch engine)");
    }
  }
  if (!p.new_info.hash.empty() && p.new_info.hash.size() != 32)
    throw PayloadError("partition " + p.name + ": bad partition hash length");
}

}  // namespace orvex::payload
