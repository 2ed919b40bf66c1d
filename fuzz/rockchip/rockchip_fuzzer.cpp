// libFuzzer target: the fuzz input is handed to the Rockchip repacker's unpack as an image file
// (RKFW, RKAF, RSCE, KRNL/PARM, LOADER or Android boot, by its first bytes). A crash, a
// sanitizer report or anything written outside the scratch folder's in.img.dump / in.img.cfg is
// a finding.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "rockchip.h"

namespace {

std::string Scratch() {
  static std::string dir = [] {
    char t[] = "/tmp/rk-fuzz.XXXXXX";
    if (!mkdtemp(t)) std::abort();
    return std::string(t);
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace fs = std::filesystem;
  const std::string root = Scratch(), image = root + "/in.img";
  int fd = open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) std::abort();
  close(fd);
  try {
    orvex::rk::UnpackImage(image, [](const std::string&) {});
  } catch (const std::exception&) {
  }
  std::error_code ec;
  fs::remove_all(image + ".dump", ec);
  fs::remove(image + ".cfg", ec);
  for (const auto& e : fs::directory_iterator(root))
    if (e.path().filename() != "in.img") std::abort();
  return 0;
}
