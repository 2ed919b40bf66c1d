// The Rockchip repacker (installed as imgRePackerRK106 and imgRePackerRK107; both names run the
// same program and accept the same images).
//   imgRePackerRK106 IMAGE          unpack IMAGE into IMAGE.dump (+ IMAGE.cfg, or image.cfg inside)
//   imgRePackerRK106 FOLDER         pack FOLDER (IMAGE.dump) back into IMAGE
//   imgRePackerRK106 FOLDER CFG     pack FOLDER into the image that CFG names, beside CFG
#include <cstdio>
#include <string>
#include <vector>

#include "platform.h"
#include "rockchip.h"

namespace {

const char* Prog(const char* argv0) {
  const std::string a = argv0 ? argv0 : "";
  return a.find("RK107") != std::string::npos ? "imgRePackerRK107" : "imgRePackerRK106";
}

void Usage(FILE* f, const char* prog) {
  std::fprintf(f,
               "Usage: %s IMAGE         unpack a Rockchip image into IMAGE.dump\n"
               "       %s FOLDER        pack IMAGE.dump back into IMAGE (image.cfg inside, or IMAGE.cfg beside)\n"
               "       %s FOLDER CFG    pack FOLDER into the image CFG names (written beside CFG)\n"
               "       %s --help | --version\n"
               "Images: RKFW update.img (image.cfg inside the folder), RKAF firmware, RSCE resource,\n"
               "KRNL/PARM wrapped, LOADER/TOS second-stage loader and Android boot images (IMAGE.cfg beside).\n"
               "Before packing, every partition image is checked against its size in the parameter file.\n",
               prog, prog, prog, prog);
}

}  // namespace

int main(int argc, char** argv) {
  // Arguments as UTF-8 on every system (Windows hands main() its arguments in the ANSI code page).
  const std::vector<std::string> args = orvex::platform::ProgramArguments(argc, argv);
  const int argn = static_cast<int>(args.size()) + 1;
  const char* prog = Prog(argv[0]);
  const std::string first = argn > 1 ? args[0] : "";
  if (first == "--help" || first == "-h") {
    Usage(stdout, prog);
    return 0;
  }
  if (first == "--version") {
    std::printf("%s %s\n", prog, ORVEX_VERSION_TEXT);
    return 0;
  }
  if (argn < 2 || argn > 3 || first.empty()) {
    Usage(stderr, prog);
    return 2;
  }
  auto say = [](const std::string& s) {
    std::printf("%s\n", s.c_str());
    std::fflush(stdout);
  };
  try {
    if (orvex::rk::IsDir(first)) {
      const std::string out = orvex::rk::PackFolder(first, argn == 3 ? args[1] : "", say);
      say("Packed " + out);
    } else {
      if (argn == 3) {
        Usage(stderr, prog);
        return 2;
      }
      orvex::rk::UnpackImage(first, say);
      say("Unpacked to " + first + ".dump");
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", prog, e.what());
    return 1;
  }
  return 0;
}
