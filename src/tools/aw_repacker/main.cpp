// The Allwinner repacker.
//   imgRePacker IMAGE          unpack IMAGE (IMAGEWTY, or boot.fex/recovery.fex) into IMAGE.dump
//   imgRePacker FOLDER         pack IMAGE.dump (image.cfg inside) back into IMAGE
//   imgRePacker FOLDER CFG     pack a boot image folder by its .cfg
#include <cstdio>
#include <string>
#include <vector>

#include "platform.h"
#include "imagewty.h"
#include "rk_io.h"

int main(int argc, char** argv) {
  // Arguments as UTF-8 on every system (Windows hands main() its arguments in the ANSI code page).
  const std::vector<std::string> args = orvex::platform::ProgramArguments(argc, argv);
  const int argn = static_cast<int>(args.size()) + 1;
  const std::string first = argn > 1 ? args[0] : "";
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
  if (argn < 2 || argn > 3 || first.empty() || (argn == 3 && !orvex::rk::IsDir(first))) {
    std::fprintf(stderr, "Usage: imgRePacker IMAGE | FOLDER [CFG]   (--help for more)\n");
    return 2;
  }
  auto say = [](const std::string& s) {
    std::printf("%s\n", s.c_str());
    std::fflush(stdout);
  };
  try {
    if (orvex::rk::IsDir(first)) {
      say("Packed " + orvex::aw::PackFolder(first, argn == 3 ? args[1] : "", say));
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
