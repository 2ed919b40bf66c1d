// libFuzzer target: the fuzz input is an Amlogic resource (logo) image, parsed in memory and
// unpacked into a scratch folder as imgpack -d does. A crash, a sanitizer report or a file
// written outside the scratch folder is a finding.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "res_image.h"

#include <zlib.h>

#include <vector>

namespace {

std::string Scratch() {
  static std::string dir = [] {
    char t[] = "/tmp/aml-res-fuzz.XXXXXX";
    if (!mkdtemp(t)) std::abort();
    return std::string(t);
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  orvex::aml::ResImage parsed;
  std::string error;
  orvex::aml::ParseResImageBytes(data, size, &parsed, &error);

  const std::string root = Scratch();
  const std::string image = root + "/in.img", out = root + "/out";
  // Inputs of even length get a correct header CRC, so that the checks behind it are reached.
  std::vector<uint8_t> bytes(data, data + size);
  if (size >= 8 && size % 2 == 0) {
    const uint32_t crc = ~static_cast<uint32_t>(crc32(0, bytes.data() + 4, static_cast<uInt>(size - 4)));
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(crc >> (8 * i));
  }
  int fd = open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || write(fd, bytes.data(), size) != static_cast<ssize_t>(size)) std::abort();
  close(fd);
  orvex::aml::UnpackResImage(image, out, [](const std::string&) {}, &error);
  if (DIR* d = opendir(out.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") unlink((out + "/" + n).c_str());
    }
    closedir(d);
  }
  DIR* d = opendir(root.c_str());
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != ".." && n != "in.img" && n != "out") std::abort();
  }
  closedir(d);
  return 0;
}
