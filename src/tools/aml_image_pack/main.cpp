// AmlImagePack: Amlogic burn images.
//   AmlImagePack -d IMAGE DIR     unpack every item into DIR and write DIR/image.cfg
//   AmlImagePack -r CFG DIR OUT   pack the items CFG lists (files relative to DIR) into OUT
//   AmlImagePack -c IMAGE         check the header CRC and every VERIFY hash
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "burn_image.h"

namespace {

void Usage(FILE* f) {
  std::fprintf(f,
               "Usage: AmlImagePack -d IMAGE DIR      unpack an Amlogic burn image into DIR (items and image.cfg)\n"
               "       AmlImagePack -r CFG DIR OUT    pack the items listed in CFG (paths relative to DIR) into OUT\n"
               "       AmlImagePack -c IMAGE          check an image: header CRC, VERIFY hashes, offsets and sizes\n"
               "       AmlImagePack --help | --version\n");
}

}  // namespace

int main(int argc, char** argv) {
  const std::string cmd = argc > 1 ? argv[1] : "";
  if (cmd == "--help" || cmd == "-h") {
    Usage(stdout);
    return 0;
  }
  if (cmd == "--version") {
    std::printf("AmlImagePack %s\n", ORVEX_VERSION_TEXT);
    return 0;
  }
  auto say = [](const std::string& s) { std::printf("%s\n", s.c_str()); std::fflush(stdout); };
  std::string error;
  bool ok = false;
  if (cmd == "-d" && argc == 4) {
    say(std::string("Unpacking ") + argv[2] + " into " + argv[3]);
    ok = orvex::aml::UnpackBurnImage(argv[2], argv[3], say, &error);
  } else if (cmd == "-r" && argc == 5) {
    say(std::string("Packing ") + argv[4] + " from " + argv[2]);
    ok = orvex::aml::PackBurnImage(argv[2], argv[3], argv[4], say, &error);
  } else if (cmd == "-c" && argc == 3) {
    char tmpl[] = "/tmp/amlcheck.XXXXXX";
    if (!::mkdtemp(tmpl)) {
      std::fprintf(stderr, "AmlImagePack: cannot create a temporary folder\n");
      return 1;
    }
    // The check is an unpack whose output is thrown away.
    ok = orvex::aml::UnpackBurnImage(argv[2], tmpl, [](const std::string&) {}, &error);
    std::string rm = std::string("rm -rf -- '") + tmpl + "'";
    if (std::system(rm.c_str()) != 0) {}
    if (ok) say(std::string(argv[2]) + ": OK");
  } else {
    Usage(stderr);
    return 2;
  }
  if (!ok) {
    std::fprintf(stderr, "AmlImagePack: %s\n", error.c_str());
    return 1;
  }
  say("Done.");
  return 0;
}
