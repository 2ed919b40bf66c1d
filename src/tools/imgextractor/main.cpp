// imgextractor: unpacks an ext4 partition image (raw or sparse) into a folder with its attribute,
// context and options files; with -s prints the image's superblock information instead.
//
//   imgextractor IMAGE OUTDIR        extract into OUTDIR/<FolderName> and OUTDIR/config
//   imgextractor IMAGE -s            print "EXT4 superblock info:" and key: value lines
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "ext4/extractor.h"

namespace {

void Usage(std::ostream& o) {
  o << "usage: imgextractor IMAGE OUTDIR     extract an ext4 image (raw or sparse)\n"
       "       imgextractor IMAGE -s         print the superblock information\n"
       "options: -v  list every extracted path\n";
}

}  // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  bool info = false, verbose = false;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-s") {
      info = true;
    } else if (a == "-v") {
      verbose = true;
    } else if (a == "-h" || a == "--help") {
      Usage(std::cout);
      return 0;
    } else if (a == "--") {
      for (++i; i < argc; ++i) args.push_back(argv[i]);
    } else if (a.size() > 1 && a[0] == '-') {
      std::cerr << "imgextractor: error: unknown option " << a << "\n";
      Usage(std::cerr);
      return 2;
    } else {
      args.push_back(a);
    }
  }
  // Started under its information name with just an image, it prints the information.
  const std::string self = argv[0];
  if (!info && args.size() == 1 && self.size() > 0 && self.back() == '_') info = true;

  if (info) {
    if (args.size() != 1) {
      Usage(std::cerr);
      return 2;
    }
    return orvex::ext4::PrintImageInfo(args[0], std::cout, std::cerr);
  }
  if (args.size() != 2) {
    Usage(std::cerr);
    return 2;
  }
  orvex::ext4::ExtractOptions o;
  o.image = args[0];
  o.outdir = args[1];
  o.verbose = verbose;
  return orvex::ext4::ExtractImage(o, std::cout, std::cerr);
}
