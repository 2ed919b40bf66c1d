#pragma once
// Reading the LP metadata of a super image: a full image (raw or Android sparse, read in place)
// or a metadata-only image with its geometry at offset 0.
#include <cstdint>
#include <memory>
#include <string>

#include "lp/lp_metadata.h"
#include "sparse/sparse_reader.h"

namespace orvex::lp {

// Random access to the expanded bytes of an image file.
class ImageSource {
 public:
  virtual ~ImageSource() = default;
  virtual uint64_t Size() const = 0;
  // False (with *error) on an I/O error or a range past Size().
  virtual bool ReadAt(uint64_t offset, void* buf, size_t len, std::string* error) const = 0;
  virtual bool IsSparse() const { return false; }
  // The descriptor of a plain file whose bytes are the image's bytes, -1 otherwise.
  virtual int RawFd() const { return -1; }
};

// Opens a file as raw bytes, or through the sparse reader when it starts with the sparse magic.
std::unique_ptr<ImageSource> OpenImageSource(const std::string& path, std::string* error);
// Bytes in memory (tests, the fuzz target); not copied, must outlive the source.
std::unique_ptr<ImageSource> MemorySource(const uint8_t* data, size_t len);

struct ReadResult {
  Metadata metadata;        // names already carry the slot suffixes
  bool empty_image = false;  // geometry at offset 0, one metadata copy
  bool used_backup_geometry = false;
  bool used_backup_metadata = false;
};

// Reads the metadata of a slot: the primary copies first, the backups when they are damaged.
// A metadata-only image has one copy, which serves every slot.
bool ReadSuperMetadata(const ImageSource& src, uint32_t slot, ReadResult* out, std::string* error);
// The geometry alone (for the slot count): at offset 0 for a metadata-only image, otherwise the
// primary copy, then the backup.
bool ReadSuperGeometry(const ImageSource& src, Geometry* g, bool* empty_image, std::string* error);

}  // namespace orvex::lp
