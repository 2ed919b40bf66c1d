// AmlImagePack: Amlogic burn images.
//   AmlImagePack -d IMAGE DIR     unpack every item into DIR and write DIR/image.cfg
//   AmlImagePack -r CFG DIR OUT   pack the items CFG lists (files relative to DIR) into OUT
//   AmlImagePack -c IMAGE         check the header CRC and every VERIFY hash
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "burn_image.h"
#include "aml_common.h"
#include "platform.h"
#include "platform_tree.h"

namespace {

void Usage(FILE* f) {
  std::fprintf(f,
               "Usage: AmlImagePack -d IMAGE DIR      unpack an Amlogic burn image into DIR (items and image.cfg)\n"
               "       AmlImagePack -r CFG DIR OUT    pack the items listed in CFG (paths relative to DIR) into OUT\n"
               "       AmlImagePack -c IMAGE          check an image: header CRC, VERIFY hashes, offsets and sizes\n"
               "       AmlImagePack --help | --version\n");
}

// A new empty folder under the temporary folder: its name, or "" (the temporary folder stays
// open in *tempFd for the removal).
std::string MakeScratchFolder(int* tempFd) {
  *tempFd = orvex::platform::OpenFolder(orvex::platform::TempFolder());
  if (*tempFd < 0) return "";
  const auto seed = static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
  for (unsigned i = 0; i < 100; ++i) {
    const std::string name = "amlcheck." + std::to_string(seed % 1000000007u + i);
    if (orvex::platform::MakeFolderAt(*tempFd, name, 0700) == 0) return name;
    if (errno != EEXIST) break;
  }
  return "";
}

// Removes the scratch folder with the files the unpack left in it.
void RemoveScratchFolder(int tempFd, const std::string& name) {
  const int fd = orvex::platform::OpenFolderAt(tempFd, name);
  std::vector<std::string> names;
  if (fd >= 0 && orvex::platform::ListFolder(fd, &names))
    for (const auto& n : names) orvex::platform::RemoveAt(fd, n, false);
  if (fd >= 0) orvex::platform::CloseFolder(fd);
  orvex::platform::RemoveAt(tempFd, name, true);
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
    std::printf("AmlImagePack %s\n", ORVEX_VERSION_TEXT);
    return 0;
  }
  auto say = [](const std::string& s) { std::printf("%s\n", s.c_str()); std::fflush(stdout); };
  std::string error;
  bool ok = false;
  if (cmd == "-d" && count == 3) {
    say("Unpacking " + args[1] + " into " + args[2]);
    ok = orvex::aml::UnpackBurnImage(args[1], args[2], say, &error);
  } else if (cmd == "-r" && count == 4) {
    say("Packing " + args[3] + " from " + args[1]);
    ok = orvex::aml::PackBurnImage(args[1], args[2], args[3], say, &error);
  } else if (cmd == "-c" && count == 2) {
    int tempFd = -1;
    const std::string name = MakeScratchFolder(&tempFd);
    if (name.empty()) {
      std::fprintf(stderr, "AmlImagePack: cannot create a folder in %s: %s\n", orvex::platform::TempFolder().c_str(),
                   std::strerror(errno));
      if (tempFd >= 0) orvex::platform::CloseFolder(tempFd);
      return 1;
    }
    // The check is an unpack whose output is thrown away.
    ok = orvex::aml::UnpackBurnImage(args[1], orvex::aml::JoinPath(orvex::platform::TempFolder(), name),
                                     [](const std::string&) {}, &error);
    RemoveScratchFolder(tempFd, name);
    orvex::platform::CloseFolder(tempFd);
    if (ok) say(args[1] + ": OK");
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
