#pragma once
// extract.erofs: writes the tree of an EROFS image into <out>/<FolderName> and the attribute,
// context and options files into <out>/config.
#include <string>

namespace orvex::extract_erofs {

struct ExtractOptions {
  std::string image;    // -i
  std::string out_dir;  // -o (default: the image name beside the image)
  bool extract = false; // -x; without it only the image summary is printed
  bool overwrite = false;  // -f
  int threads = 0;         // -T; 0 = one per core (at most 8)
};

// Runs the tool; returns the process exit code. Errors go to stderr as
// "extract.erofs: error: ..." lines, progress to stdout.
int Run(const ExtractOptions& opt);

// The image name: file name without its last extension ("vendor_a.img" -> "vendor_a").
std::string ImageName(const std::string& path);

}  // namespace orvex::extract_erofs
