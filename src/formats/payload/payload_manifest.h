#pragma once
// The header and manifest of an A/B OTA payload ("CrAU", major version 2): what the extractor
// needs from the manifest, read by a small protobuf reader of our own.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace orvex::payload {

// Every failure of the payload code: one line that names what is wrong.
class PayloadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The operation types of the manifest.
enum class OpType : uint32_t {
  kReplace = 0,
  kReplaceBz = 1,
  kMove = 2,
  kBsdiff = 3,
  kSourceCopy = 4,
  kSourceBsdiff = 5,
  kZero = 6,
  kDiscard = 7,
  kReplaceXz = 8,
  kPuffdiff = 9,
  kBrotliBsdiff = 10,
  kZucchini = 11,
  kLz4diffBsdiff = 12,
  kLz4diffPuffdiff = 13,
  kReplaceZstd = 14,
};
std::string OpTypeName(uint32_t type);
// Operations that read the source partition.
bool NeedsSource(uint32_t type);

// A start_block of this value marks a sparse hole.
constexpr uint64_t kSparseHole = ~uint64_t{0};

struct Extent {
  uint64_t start_block = 0;
  uint64_t num_blocks = 0;
};

struct InstallOperation {
  uint32_t type = 0;
  bool has_type = false;
  uint64_t data_offset = 0;
  uint64_t data_length = 0;
  std::vector<Extent> src_extents;
  uint64_t src_length = 0;  // 0 when not given
  std::vector<Extent> dst_extents;
  uint64_t dst_length = 0;  // 0 when not given
  std::string data_sha256;  // empty when not given
  std::string src_sha256;
};

struct PartitionInfo {
  bool present = false;
  uint64_t size = 0;
  std::string hash;  // empty when not given
};

struct PartitionUpdate {
  std::string name;
  PartitionInfo old_info;
  PartitionInfo new_info;
  std::vector<InstallOperation> operations;
};

struct Manifest {
  uint32_t block_size = 4096;
  uint32_t minor_version = 0;
  uint64_t signatures_offset = 0;
  uint64_t signatures_size = 0;
  bool partial_update = false;
  std::vector<PartitionUpdate> partitions;
};

constexpr size_t kHeaderSize = 24;

struct Header {
  uint64_t version = 0;
  uint64_t manifest_size = 0;
  uint32_t metadata_signature_size = 0;
  // Where the data blobs start: header, manifest and metadata signature.
  uint64_t DataOffset() const { return kHeaderSize + manifest_size + metadata_signature_size; }
};

// Reads the 24-byte header; throws PayloadError on a wrong magic or version. file_size bounds
// the manifest and signature sizes (the whole payload must hold them).
Header ParseHeader(std::string_view bytes, uint64_t file_size);
// Parses the manifest bytes. Unknown fields are skipped; malformed ones throw PayloadError.
Manifest ParseManifest(std::string_view bytes);

// The checks that need no data: operation types known, extents inside the partition and the
// file, blobs inside the payload. Throws PayloadError naming the partition and operation.
void ValidatePartition(const Manifest& m, const PartitionUpdate& p, uint64_t data_offset, uint64_t file_size);
// The size of the new partition: new_partition_info.size, or the end of its last extent when the
// manifest gives none.
uint64_t NewPartitionSize(const Manifest& m, const PartitionUpdate& p);

}  // namespace orvex::payload
