// The Allwinner repacker.
//   imgRePacker IMAGE          unpack IMAGE (IMAGEWTY, or boot.fex/recovery.fex) into IMAGE.dump
//   imgRePacker FOLDER         pack IMAGE.dump (image.cfg inside) back into IMAGE
//   imgRePacker FOLDER CFG     pack a boot image folder by its .cfg
#include <cstdio>
#include <string>

#include "imagewty.h"
#include "rk_io.h"

int main(int argc, char** argv) {
  const std::string first = argc > 1 ? argv[1] : "";
  if (first == "--help" || first == "-h") {
    std::printf(
        "Usage: imgRePacker IMAGE         unpack an IMAGEWTY firmware (image.cfg inside IMAGE.dump) or an\n"
        "                                 Android boot image such as boot.fex (IMAGE.cfg beside IMAGE.dump)\n"
        "       imgRePacker FOLDER        pack IMAGE.dump back into IMAGE\n"
        "       imgRePacker FOLDER CFG    pack FOLDER into the image CFG names\n"
        "Encrypted firmware images are refused.\n");
    return 0;
  }
  if (first == "--version") {
    std::printf("imgRePacker %s\n", ORVEX_VERSION_TEXT);
    return 0;
  }
  if (argc < 2 || argc > 3 || first.empty() || (argc == 3 && !orvex::rk::IsDir(first))) {
    std::fprintf(stderr, "Usage: imgRePacker IMAGE | FOLDER [CFG]   (--help for more)\n");
    return 2;
  }
  auto say = [](const std::string& s) {
    std::printf("%s\n", s.c_str());
    std::fflush(stdout);
  };
  try {
    if (orvex::rk::IsDir(first)) {
      say("Packed " + orvex::aw::PackFolder(first, argc == 3 ? argv[2] : "", say));
    } else {
      orvex::aw::UnpackImage(first, say);
      say("Unpacked to " + first + ".dump");
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "imgRePacker: %s\n", e.what());
    return 1;
  }
  return 0;
}
