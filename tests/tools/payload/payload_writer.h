#pragma once
// A payload writer for the tests, written from the format description: header, manifest in the
// protobuf wire format, blobs. It builds full payloads with every full operation type from real
// images and incremental ones whose patches come from the bsdiff program.
#include <cstdint>
#include <string>
#include <vector>

namespace orvex::test::payload_writer {

struct Ext {
  uint64_t start = 0, num = 0;
};

struct Op {
  uint32_t type = 0;
  std::string blob;
  std::vector<Ext> src, dst;
  uint64_t src_length = 0, dst_length = 0;
  std::string src_hash;   // raw SHA-256 of the source bytes; empty to leave out
  bool data_hash = true;  // give the blob's SHA-256
};

struct Part {
  std::string name;
  uint64_t size = 0;
  std::string hash;  // raw SHA-256 of the new image; empty to leave out
  std::vector<Op> ops;
};

struct Payload {
  uint32_t block_size = 4096;
  uint32_t minor_version = 0;
  std::vector<Part> parts;
};

// Where the pieces of a serialized payload lie, for tests that damage them.
struct Layout {
  uint64_t manifest_offset = 0, manifest_size = 0, data_offset = 0;
  std::vector<std::vector<uint64_t>> blob_offsets;  // per partition, per operation (absolute)
  std::vector<std::vector<uint64_t>> op_offsets;    // where each operation's message starts (absolute)
};

std::string Serialize(const Payload& p, Layout* layout = nullptr);

std::string Sha256Of(const std::string& bytes);
enum class Comp { kBzip2, kXz, kZstd, kBrotli };
std::string Compress(Comp c, const std::string& data);

// A full partition from an image: chunks of chunk_blocks blocks; zero chunks become ZERO and
// DISCARD in turn, the others REPLACE, REPLACE_BZ, REPLACE_XZ and REPLACE_ZSTD in turn, every
// other one written to its two halves in reverse order (two extents).
Part FullPartition(const std::string& name, const std::string& image, uint32_t bs = 4096, uint64_t chunk_blocks = 4);
// An incremental partition from two versions of an image: unchanged chunks by SOURCE_COPY,
// changed ones by SOURCE_BSDIFF (BSDIFF40, then BSDF2 with plain and bzip2 streams) and
// BROTLI_BSDIFF (BSDF2 with brotli streams) in turn, chunks beyond the old image by REPLACE_XZ.
// Patches are made by the bsdiff program in tmp_dir.
Part DeltaPartition(const std::string& name, const std::string& old_image, const std::string& new_image,
                    const std::string& tmp_dir, uint32_t bs = 4096, uint64_t chunk_blocks = 4);
// A patch of old into new by the bsdiff program (BSDIFF40), re-encoded as BSDF2 with the given
// compressor codes (0 none, 1 bzip2, 2 brotli) unless codes is empty.
std::string MakePatch(const std::string& old_bytes, const std::string& new_bytes, const std::string& tmp_dir,
                      const std::vector<int>& codes = {});

}  // namespace orvex::test::payload_writer
