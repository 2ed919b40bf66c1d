#pragma once
// Writing super images from LP metadata: the metadata-only form (geometry at 0, one metadata
// copy) and the full form (geometry twice, every slot's metadata twice, the partition images at
// their extents), raw or Android sparse.
#include <map>
#include <string>

#include "lp/lp_metadata.h"

namespace orvex::lp {

bool WriteEmptyImage(const std::string& out_path, const Metadata& m, std::string* error);

// images maps partition names to image files (raw or sparse). Every image must fit its
// partition. Only single-device metadata can be written as a full image.
bool WriteFullImage(const std::string& out_path, const Metadata& m, const std::map<std::string, std::string>& images,
                    bool sparse, std::string* error);

// The bytes of the metadata area of a full super device: [0, MetadataAreaEnd).
std::vector<uint8_t> MetadataArea(const Metadata& m);

}  // namespace orvex::lp
