// imgextractor: unpacks an ext4 partition image (raw or sparse) into a folder with its attribute,
// context and options files; with -s prints the image's superblock information instead.
//
//   imgextractor IMAGE OUTDIR        extract into OUTDIR/<FolderName> and OUTDIR/config
//   imgextractor IMAGE -s            print "EXT4 superblock info:" and key: value lines
#include <cctype>
#include <cstring>
#include <string_view>
#include <iostream>
#include <string>
#include <vector>

#include "ext4/extractor.h"
#include "platform.h"

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
  const std::vector<std::string> argv_utf8 = orvex::platform::ProgramArguments(argc, argv);
  const int n = static_cast<int>(argv_utf8.size());
  std::vector<std::string> args;
  for (int i = 0; i < n; ++i) {
    const std::string a = argv_utf8[i];
    if (a == "-s") {
      info = true;
    } else if (a == "-v") {
      verbose = true;
    } else if (a == "-h" || a == "--help") {
      Usage(std::cout);
      return 0;
    } else if (a == "--") {
      for (++i; i < n; ++i) args.push_back(argv_utf8[i]);
    } else if (a.size() > 1 && a[0] == '-') {
      std::cerr << "imgextractor: error: unknown option " << a << "\n";
      Usage(std::cerr);
      return 2;
    } else {
      args.push_back(a);
    }
  }
  // Started under its information name with just an image, it prints the information.
  std::string self = argc > 0 && argv[0] ? argv[0] : "";
  const std::string_view exe = orvex::platform::kExeSuffix;
  if (!exe.empty() && self.size() > exe.size()) {
    std::string tail = self.substr(self.size() - exe.size());
    for (char& ch : tail) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    if (tail == exe) self.resize(self.size() - exe.size());
  }
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
