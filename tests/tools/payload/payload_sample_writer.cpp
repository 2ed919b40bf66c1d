// Writes payloads from images with the test writer, for the tests that run the Windows build of
// payload_dumper on inputs made here.
//   payload_sample_writer full OUT NAME=IMAGE[:CHUNK_BLOCKS] ...
//   payload_sample_writer delta OUT NAME OLD_IMAGE NEW_IMAGE WORK_FOLDER
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "payload_writer.h"

namespace pw = orvex::test::payload_writer;

namespace {

std::string Read(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    std::exit(1);
  }
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 2 ? argv[1] : "";
  pw::Payload p;
  if (mode == "full" && argc > 3) {
    for (int i = 3; i < argc; ++i) {
      std::string a = argv[i];
      const size_t eq = a.find('=');
      if (eq == std::string::npos) return 2;
      std::string image = a.substr(eq + 1);
      uint64_t chunk = 4;
      const size_t colon = image.rfind(':');
      if (colon != std::string::npos) {
        chunk = std::strtoull(image.c_str() + colon + 1, nullptr, 10);
        image.resize(colon);
      }
      p.parts.push_back(pw::FullPartition(a.substr(0, eq), Read(image), 4096, chunk));
    }
  } else if (mode == "delta" && argc == 7) {
    p.minor_version = 6;
    p.parts.push_back(pw::DeltaPartition(argv[3], Read(argv[4]), Read(argv[5]), argv[6], 4096, 16));
  } else {
    std::fprintf(stderr, "usage: payload_sample_writer full OUT NAME=IMAGE[:CHUNK] ... | delta OUT NAME OLD NEW WORK\n");
    return 2;
  }
  const std::string bytes = pw::Serialize(p);
  std::ofstream(argv[2], std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return 0;
}
