// libFuzzer target: the fuzz input is a PAC file extracted into a scratch folder as PacExtractor
// does. Inputs of even length get correct CRC-16 sums, so that the checks behind them are reached.
// A crash, a sanitizer report or a file written outside the output folder is a finding.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "pac.h"

namespace {

std::string Scratch() {
  static std::string dir = [] {
    char t[] = "/tmp/pac-fuzz.XXXXXX";
    if (!mkdtemp(t)) std::abort();
    return std::string(t);
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace fs = std::filesystem;
  std::vector<uint8_t> bytes(data, data + size);
  if (size >= orvex::pac::kHeaderSize && size % 2 == 0) {
    const uint16_t c2 = orvex::pac::Crc16(0, bytes.data() + 2124, size - 2124);
    const uint16_t c1 = orvex::pac::Crc16(0, bytes.data(), 2120);
    bytes[2120] = static_cast<uint8_t>(c1);
    bytes[2121] = static_cast<uint8_t>(c1 >> 8);
    bytes[2122] = static_cast<uint8_t>(c2);
    bytes[2123] = static_cast<uint8_t>(c2 >> 8);
  }
  const std::string root = Scratch(), pac = root + "/in.pac", out = root + "/out";
  int fd = open(pac.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || write(fd, bytes.data(), size) != static_cast<ssize_t>(size)) std::abort();
  close(fd);
  try {
    orvex::pac::Extract(pac, out, [](const std::string&) {});
  } catch (const std::exception&) {
  }
  std::error_code ec;
  fs::remove_all(out, ec);
  for (const auto& e : fs::directory_iterator(root))
    if (e.path().filename() != "in.pac") std::abort();
  return 0;
}
