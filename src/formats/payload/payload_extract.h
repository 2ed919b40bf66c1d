#pragma once
// Extraction of the partition images of an OTA payload: every operation of a partition runs on a
// pool of threads fed through a bounded queue, each one streaming its blob from the payload into
// its extents of the new image; blob, source and image hashes are checked when the manifest
// carries them. An image appears under its final name only once it is complete and verified.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "payload_manifest.h"

namespace orvex::payload {

// The file name an extracted partition gets: the partition name with the slot-a suffix, as
// system_a.img, so that the firmware-folder unpack finds every main partition, system_ext too.
std::string ImageFileName(const std::string& partition);

struct ExtractOptions {
  std::string payload;
  std::string out_dir;
  std::string old_dir;               // source images of an incremental payload; empty for none
  std::vector<std::string> only;     // partitions to extract; empty for all
  unsigned threads = 0;              // 0: one per core
  // Progress of one partition: its image name and percent done (100 once it is verified).
  std::function<void(const std::string& image, int percent)> progress;
};

struct PayloadSummary {
  Header header;
  Manifest manifest;
  uint64_t file_size = 0;
};

// Reads and parses the header and manifest of a payload file.
PayloadSummary ReadPayloadSummary(const std::string& path);
// Where the source image of a partition is looked for in old_dir: name_a.img, then name.img.
std::string FindSourceImage(const std::string& old_dir, const std::string& partition);
// Extracts the chosen partitions. Throws PayloadError naming the partition and operation on any
// failure; the image being built is removed then.
void Extract(const ExtractOptions& opt);

}  // namespace orvex::payload
