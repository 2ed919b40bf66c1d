// simg2img: writes the raw image of one Android sparse image, or of the pieces of a split one.
//
//   simg2img SPARSE_IMAGE... RAW_IMAGE
//
// Every piece is checked whole (header, chunk sizes and counts, that the chunks stay inside the
// file and the image) before anything is written, and CRC32 chunks are checked against the data.
// DONT_CARE areas stay holes. The output appears under its name only when it is complete; on an
// error it is left as it was. Nothing is printed on success, as the packaged tool does.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform.h"
#include "platform_io.h"
#include "sparse/sparse_convert.h"
#include "transfer_list/output_file.h"

namespace {

using namespace orvex;

void Usage(std::FILE* f) {
  std::fprintf(f,
               "usage: simg2img SPARSE_IMAGE... RAW_IMAGE\n"
               "  Expands an Android sparse image into a raw image. Several sparse images are the\n"
               "  pieces of one image (each covering the whole image): their data is combined.\n"
               "  Damaged input is refused and RAW_IMAGE is then left untouched.\n");
}

int Fail(const std::string& msg) {
  std::fprintf(stderr, "simg2img: error: %s\n", msg.c_str());
  return 1;
}

struct Inputs {
  std::vector<int> fds;
  ~Inputs() {
    for (int fd : fds) platform::CloseFile(fd);
  }
};

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args = platform::ProgramArguments(argc, argv);
  if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
    Usage(stdout);
    return 0;
  }
  if (args.size() < 2) {
    Usage(stderr);
    return 2;
  }
  const std::string out = args.back();
  const std::vector<std::string> pieces(args.begin(), args.end() - 1);
  if (platform::KindOf(out) == platform::PathKind::kFolder) return Fail(out + " is a folder");

  Inputs in;
  std::vector<sparse::SparseLayout> layouts;
  std::string error;
  for (const std::string& p : pieces) {
    if (SameFile(p, out)) return Fail("the output " + out + " is one of the inputs");
    const int fd = platform::OpenForRead(p);
    if (fd < 0) return Fail("cannot open " + p + ": " + std::strerror(errno));
    in.fds.push_back(fd);
    if (!platform::IsRegularFile(fd)) return Fail(p + " is not a regular file");
    layouts.emplace_back();
    if (!sparse::ScanSparse(fd, &layouts.back(), &error)) return Fail(p + ": " + error);
  }

  OutputFile file;
  if (!file.Open(out, &error)) return Fail(error);
  if (!sparse::ExpandSparse(in.fds, layouts, file.fd(), nullptr, &error)) return Fail(error);
  if (!file.Commit(&error)) return Fail(error);
  return 0;
}
