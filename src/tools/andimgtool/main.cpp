// AndImgTool: unpacks an Android boot, recovery or vendor_boot image into a folder, and packs
// such a folder back into an image.
//
//   AndImgTool IMAGE FOLDER     unpack (IMAGE is a file)
//   AndImgTool FOLDER IMAGE     pack (FOLDER holds config.ini)
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "bootimg/unpacked_folder.h"
#include "platform.h"

#ifndef ORVEX_VERSION_TEXT
#define ORVEX_VERSION_TEXT "0"
#endif

namespace {

void Usage(std::ostream& o) {
  o << "usage: AndImgTool [options] IMAGE FOLDER    unpack a boot, recovery or vendor_boot image\n"
       "       AndImgTool [options] FOLDER IMAGE    pack an unpacked folder into an image\n"
       "\n"
       "The folder holds config.ini (every header field), one file per part, and each ramdisk as its\n"
       "compressed file plus an editable folder with a list of owners, modes, links and device nodes.\n"
       "An untouched folder packs into the same image byte for byte.\n"
       "\n"
       "options:\n"
       "  --max-ramdisk-size BYTES   refuse a ramdisk that expands past BYTES (default 1 GiB)\n"
       "  --no-ramdisk-folders       keep the ramdisks only as their compressed files\n"
       "  -h, --help                 show this help\n"
       "  --version                  show the version\n";
}

}  // namespace

int main(int argc, char** argv) {
  orvex::bootimg::UnpackOptions opt;
  const std::vector<std::string> argl = orvex::platform::ProgramArguments(argc, argv);
  const size_t argn = argl.size();
  std::vector<std::string> args;
  for (size_t i = 0; i < argn; ++i) {
    const std::string& a = argl[i];
    if (a == "-h" || a == "--help") {
      Usage(std::cout);
      return 0;
    } else if (a == "--version") {
      std::cout << "AndImgTool " << ORVEX_VERSION_TEXT << "\n";
      return 0;
    } else if (a == "--max-ramdisk-size" && i + 1 < argn) {
      char* end = nullptr;
      const std::string& n = argl[++i];
      unsigned long long v = std::strtoull(n.c_str(), &end, 10);
      if (!end || *end || v == 0) {
        std::cerr << "AndImgTool: error: --max-ramdisk-size needs a positive number of bytes\n";
        return 2;
      }
      opt.max_ramdisk_bytes = v;
    } else if (a == "--no-ramdisk-folders") {
      opt.extract_ramdisks = false;
    } else if (a == "--") {
      for (++i; i < argn; ++i) args.push_back(argl[i]);
    } else if (a.size() > 1 && a[0] == '-') {
      std::cerr << "AndImgTool: error: unknown option " << a << "\n";
      Usage(std::cerr);
      return 2;
    } else {
      args.push_back(a);
    }
  }
  if (args.size() != 2) {
    Usage(std::cerr);
    return 2;
  }
  try {
    if (orvex::platform::IsDirectory(args[0])) {
      std::cout << "Packing " << args[0] << " into " << args[1] << "\n";
      orvex::bootimg::PackImage(args[0], args[1], std::cout);
      std::cout << "Done: " << args[1] << "\n";
    } else {
      std::cout << "Unpacking " << args[0] << " into " << args[1] << "\n";
      orvex::bootimg::UnpackImage(args[0], args[1], std::cout, opt);
      std::cout << "Done: " << args[1] << "\n";
    }
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << "AndImgTool: error: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
