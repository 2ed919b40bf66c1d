// imgpack: Amlogic resource (logo) images.
//   imgpack -d IMAGE DIR   unpack every picture into DIR (with items.cfg, the names and order)
//   imgpack -r DIR IMAGE   pack the pictures of DIR into IMAGE
#include <cstdio>
#include <string>
#include <vector>

#include "platform.h"
#include "res_image.h"

namespace {

void Usage(FILE* f) {
  std::fprintf(f,
               "Usage: imgpack -d IMAGE DIR   unpack an AML_RES! resource image into DIR\n"
               "       imgpack -r DIR IMAGE   pack the pictures of DIR into IMAGE (order from DIR/items.cfg,\n"
               "                              new files after them by name; \".bmp\" is dropped from their names)\n"
               "       imgpack --help | --version\n");
}

}  // namespace

int main(int argc, char** argv) {
  // UTF-8 on both systems (Windows hands main() its arguments in the ANSI code page).
  const std::vector<std::string> args = orvex::platform::ProgramArguments(argc, argv);
  const size_t count = args.size();
  const std::string cmd = count > 0 ? args[0] : "";
  if (cmd == "--help" || cmd == "-h") {
    Usage(stdout);
    return 0;
  }
  if (cmd == "--version") {
    std::printf("imgpack %s\n", ORVEX_VERSION_TEXT);
    return 0;
  }
  auto say = [](const std::string& s) { std::printf("%s\n", s.c_str()); std::fflush(stdout); };
  std::string error;
  bool ok = false;
  if (cmd == "-d" && count == 3) {
    ok = orvex::aml::UnpackResImage(args[1], args[2], say, &error);
  } else if (cmd == "-r" && count == 3) {
    ok = orvex::aml::PackResImage(args[1], args[2], say, &error);
  } else {
    Usage(stderr);
    return 2;
  }
  if (!ok) {
    std::fprintf(stderr, "imgpack: %s\n", error.c_str());
    return 1;
  }
  say("Done.");
  return 0;
}
