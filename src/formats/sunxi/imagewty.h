#pragma once
// Allwinner IMAGEWTY firmware images: a 1024-byte image header, one 1024-byte item header per
// file, then the file data. Unpacking {image} writes {image}.dump with every file and image.cfg
// ([DIR_DEF], [FILELIST], [IMAGE_CFG], and [IMAGE_LAYOUT] with the raw header fields that make
// an untouched folder pack back byte for byte). Encrypted images are refused.
#include <functional>
#include <string>

namespace orvex::aw {

using Log = std::function<void(const std::string&)>;

// An IMAGEWTY image, or an Android boot image (boot.fex, recovery.fex) whose folder gets a
// {image}.cfg beside it.
void UnpackImage(const std::string& image, const Log& log);
// Packs a folder: image.cfg inside (firmware, written as the folder's name without ".dump"), or
// the given .cfg of a boot image (written beside the .cfg under the name it records).
std::string PackFolder(const std::string& folder, const std::string& cfg, const Log& log);

}  // namespace orvex::aw
