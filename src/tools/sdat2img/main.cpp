// sdat2img: rebuilds a partition image from a full-update transfer list and its data file.
//
//   sdat2img TRANSFER_LIST NEW_DATA [OUTPUT_IMAGE]
//
// Versions 1 to 4 of the list are read; blocks the list does not write are left as holes. The
// image appears under its name only when it is complete.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform.h"
#include "platform_io.h"

#include "transfer_list/block_image.h"
#include "transfer_list/output_file.h"
#include "transfer_list/progress_line.h"

namespace {

using namespace orvex;
namespace tl = orvex::transfer_list;

void Usage(std::FILE* f) {
  std::fprintf(f,
               "usage: sdat2img TRANSFER_LIST NEW_DATA [OUTPUT_IMAGE]\n"
               "  Rebuilds the raw partition image that a full OTA update writes: the blocks of the\n"
               "  'new' commands come from NEW_DATA in order, 'zero' and 'erase' blocks read as zeros.\n"
               "  Transfer lists of versions 1 to 4 are read; incremental commands are refused.\n"
               "  OUTPUT_IMAGE defaults to the list's name with .img for .transfer.list.\n");
}

int Fail(const std::string& msg) {
  std::fprintf(stderr, "sdat2img: error: %s\n", msg.c_str());
  return 1;
}

bool ReadList(const std::string& path, std::string* text, std::string* error) {
  int fd = platform::OpenForRead(path);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  char buf[65536];
  for (;;) {
    const int64_t n = platform::ReadAt(fd, buf, sizeof(buf), text->size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = "cannot read " + path + ": " + strerror(errno);
      platform::CloseFile(fd);
      return false;
    }
    if (n == 0) break;
    text->append(buf, static_cast<size_t>(n));
    if (text->size() > tl::kMaxListBytes) {
      *error = path + " is too large for a transfer list";
      platform::CloseFile(fd);
      return false;
    }
  }
  platform::CloseFile(fd);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args = platform::ProgramArguments(argc, argv);
  if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
    Usage(stdout);
    return 0;
  }
  if (args.size() != 2 && args.size() != 3) {
    Usage(stderr);
    return 2;
  }
  const std::string listPath = args[0], dataPath = args[1];
  std::string outPath;
  if (args.size() == 3) {
    outPath = args[2];
  } else {
    outPath = listPath;
    const std::string suffix = ".transfer.list";
    if (outPath.size() > suffix.size() && outPath.compare(outPath.size() - suffix.size(), suffix.size(), suffix) == 0)
      outPath.resize(outPath.size() - suffix.size());
    outPath += ".img";
  }
  if (SameFile(outPath, listPath) || SameFile(outPath, dataPath))
    return Fail("the output " + outPath + " is one of the inputs");

  std::string text, error;
  if (!ReadList(listPath, &text, &error)) return Fail(error);
  tl::TransferList list;
  std::vector<std::string> warnings;
  if (!tl::Parse(text, &list, &error, &warnings)) return Fail(listPath + ": " + error);
  for (const auto& w : warnings) std::fprintf(stderr, "sdat2img: warning: %s\n", w.c_str());
  std::printf("sdat2img: transfer list version %d: %llu blocks of data, %llu zero, %llu erased; image of %llu blocks\n",
              list.version, static_cast<unsigned long long>(list.new_blocks),
              static_cast<unsigned long long>(list.zero_blocks), static_cast<unsigned long long>(list.erase_blocks),
              static_cast<unsigned long long>(list.image_blocks));
  std::fflush(stdout);

  int data = platform::OpenForRead(dataPath);
  if (data < 0) return Fail("cannot open " + dataPath + ": " + strerror(errno));
  OutputFile out;
  if (!out.Open(outPath, &error)) {
    platform::CloseFile(data);
    return Fail(error);
  }
  ProgressLine progress("sdat2img");
  uint64_t unused = 0;
  const bool ok = tl::RebuildImage(
      list, data, out.fd(), [&](uint64_t done, uint64_t total) { progress.Update(done, total); }, &unused, &error);
  progress.Finish();
  platform::CloseFile(data);
  if (!ok) return Fail(dataPath + ": " + error);
  if (!out.Commit(&error)) return Fail(error);
  if (unused > 0)
    std::fprintf(stderr, "sdat2img: warning: %llu bytes at the end of %s are not used by the list\n",
                 static_cast<unsigned long long>(unused), dataPath.c_str());
  std::printf("sdat2img: wrote %s (%llu bytes)\n", outPath.c_str(),
              static_cast<unsigned long long>(list.image_blocks * tl::kBlockSize));
  return 0;
}
