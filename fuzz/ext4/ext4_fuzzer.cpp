// libFuzzer target: the fuzz input is an ext4 image (raw or sparse). The superblock report is
// printed and the whole tree extracted into a fresh folder on tmpfs, as imgextractor does; the
// folder is removed after each input. Error lines and exit code 1 are expected answers; a crash,
// a sanitizer report, a hang or anything written outside the folder is a finding.
#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <sstream>
#include <string>

#include "ext4/extractor.h"
#include "fuzz_input.h"

namespace {

int RemoveOne(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  orvex::fuzz::InputFile in(data, size);
  if (!in.ok()) return 0;
  std::ostringstream out, err;
  orvex::ext4::PrintImageInfo(in.path(), out, err);

  char dir[] = "/dev/shm/orvex-ext4-fuzz.XXXXXX";
  if (!mkdtemp(dir)) return 0;
  orvex::ext4::ExtractOptions opt;
  opt.image = in.path();
  opt.outdir = std::string(dir) + "/out";
  orvex::ext4::ExtractImage(opt, out, err);
  nftw(dir, RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
  return 0;
}
