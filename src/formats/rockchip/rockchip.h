#pragma once
// The Rockchip repacker's formats. Unpacking {image} writes the folder {image}.dump; a sub-image
// (RSCE resource, KRNL/PARM wrapped, LOADER/TOS, Android boot, a bare gzip ramdisk, or an RKAF
// firmware on its own)
// records what packing needs in {image}.cfg beside it, a whole RKFW update image in image.cfg
// inside the folder. Packing an untouched folder gives the same image byte for byte.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "rk_cfg.h"
#include "rk_io.h"

namespace orvex::rk {

using Log = std::function<void(const std::string&)>;

enum class Kind { kRkfw, kRkaf, kRsce, kKrnl, kParm, kLoader, kAndroid, kGzip, kUnknown };
Kind DetectKind(const File& f);
const char* KindName(Kind kind);

// Unpacks image into {image}.dump (an earlier folder of that name is replaced).
void UnpackImage(const std::string& image, const Log& log);
// Packs folder by cfg; with an empty cfg: folder/image.cfg, else {folder without .dump}.cfg.
// Returns the path of the image written.
std::string PackFolder(const std::string& folder, const std::string& cfg, const Log& log);

// One partition of the parameter file's mtdparts list (sizes and starts in 512-byte sectors).
struct MtdPart {
  std::string name;
  uint64_t start = 0, size = 0;
  bool grow = false;  // "-": the rest of the device
};
std::vector<MtdPart> ParseMtdParts(const std::string& parameterText);
// The value of "KEY:" in a parameter text, trimmed; empty when absent.
std::string ParameterValue(const std::string& parameterText, const std::string& key);
// FIRMWARE_VER "a.b.c" packed as (a << 24) | (b << 16) | c; false when it does not parse.
bool ParseFirmwareVersion(const std::string& text, uint32_t* out);
// The bytes an image fills in its partition: the expanded size of an Android sparse image,
// otherwise the file size.
uint64_t PartitionBytes(const std::string& path);

// Format workers, used by UnpackImage/PackFolder.
void UnpackRsce(const File& in, const std::string& dump, Cfg& cfg, const Log& log);
void PackRsce(const Cfg& cfg, const std::string& dump, const std::string& out, const Log& log);
void UnpackWrapped(const File& in, const std::string& dump, Cfg& cfg, const Log& log);
void PackWrapped(const Cfg& cfg, const std::string& dump, const std::string& out, const Log& log);
void UnpackLoader(const File& in, const std::string& dump, Cfg& cfg, const Log& log);
void PackLoader(const Cfg& cfg, const std::string& dump, const std::string& out, const Log& log);
void UnpackRkaf(const File& in, const std::string& dump, Cfg& cfg, const Log& log);
void PackRkaf(const Cfg& cfg, const std::string& dump, const std::string& out, const Log& log);
void UnpackRkfw(const File& in, const std::string& dump, Cfg& cfg, const Log& log);
void PackRkfw(const Cfg& cfg, const std::string& dump, const std::string& out, const Log& log);

}  // namespace orvex::rk
