#pragma once
// Writing super images from LP metadata: the metadata-only form (geometry at 0, one metadata
// copy) and the full form (geometry twice, every slot's metadata twice, the partition images at
// their extents), raw or Android sparse.
#include <cstdint>
#include <map>
#include <string>

#include "lp/lp_metadata.h"

namespace orvex::lp {

bool WriteEmptyImage(const std::string& out_path, const Metadata& m, std::string* error);

// images maps partition names to image files (raw or sparse). Every image must fit its
// partition. Only single-device metadata can be written as a full image.
bool WriteFullImage(const std::string& out_path, const Metadata& m, const std::map<std::string, std::string>& images,
                    bool sparse, std::string* error);

class ImageSource;

// Copies len bytes of src from src_offset to out_fd at out_offset, leaving zero blocks (of bs
// bytes) and holes of the source unwritten, so that a freshly sized output keeps them as holes.
// A plain-file source is copied inside the kernel where it can be. buf holds kCopyBufferBytes.
inline constexpr size_t kCopyBufferBytes = 1 << 20;
bool CopyToFile(const ImageSource& src, uint64_t src_offset, int out_fd, uint64_t out_offset, uint64_t len,
                uint32_t bs, uint8_t* buf, std::string* error);

// The bytes of the metadata area of a full super device: [0, MetadataAreaEnd).
std::vector<uint8_t> MetadataArea(const Metadata& m);

}  // namespace orvex::lp
