// img2sdat: writes a full-update transfer list, its data file and an empty patch file from an
// Android sparse or raw partition image with 4096-byte blocks.
//
//   img2sdat IMAGE [-v VERSION] [-p PREFIX] [-o OUTPUT_DIR]
//
// Outputs {PREFIX}.new.dat, {PREFIX}.transfer.list and {PREFIX}.patch.dat; each appears under its
// name only when everything was written.
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
               "usage: img2sdat IMAGE [-v VERSION] [-p PREFIX] [-o OUTPUT_DIR]\n"
               "  Converts a sparse or raw image (4096-byte blocks) into PREFIX.new.dat,\n"
               "  PREFIX.transfer.list and an empty PREFIX.patch.dat for a full OTA update.\n"
               "  -v  transfer list version: 1 (Android 5.0), 2 (5.1), 3 (6.x), 4 (7.0 and later); default 4\n"
               "  -p  name prefix of the outputs; default system\n"
               "  -o  folder for the outputs; default the current folder\n");
}

int Fail(const std::string& msg) {
  std::fprintf(stderr, "img2sdat: error: %s\n", msg.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args = platform::ProgramArguments(argc, argv);
  std::string image, prefix = "system", outDir, versionText = "4";
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-h" || a == "--help") {
      Usage(stdout);
      return 0;
    }
    if (a == "-v" || a == "-p" || a == "-o") {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "img2sdat: %s needs a value\n", a.c_str());
        Usage(stderr);
        return 2;
      }
      const std::string& v = args[++i];
      if (a == "-v") versionText = v;
      else if (a == "-p") prefix = v;
      else outDir = v;
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "img2sdat: unknown option %s\n", a.c_str());
      Usage(stderr);
      return 2;
    } else if (image.empty()) {
      image = a;
    } else {
      std::fprintf(stderr, "img2sdat: more than one image given\n");
      Usage(stderr);
      return 2;
    }
  }
  if (image.empty()) {
    Usage(stderr);
    return 2;
  }
  if (versionText.size() != 1 || versionText[0] < '1' || versionText[0] > '4')
    return Fail("unsupported transfer list version '" + versionText + "' (1 to 4 are known)");
  const int version = versionText[0] - '0';
  if (prefix.empty()) return Fail("empty output prefix");
  const std::string base = outDir.empty() ? prefix : outDir + "/" + prefix;
  const std::string dataPath = base + ".new.dat", listPath = base + ".transfer.list", patchPath = base + ".patch.dat";
  for (const std::string& p : {dataPath, listPath, patchPath})
    if (SameFile(p, image)) return Fail("the output " + p + " is the input image");

  int in = platform::OpenForRead(image);
  if (in < 0) return Fail("cannot open " + image + ": " + strerror(errno));
  std::string error;
  OutputFile data, list, patch;
  if (!data.Open(dataPath, &error) || !list.Open(listPath, &error) || !patch.Open(patchPath, &error)) {
    platform::CloseFile(in);
    return Fail(error);
  }
  ProgressLine progress("img2sdat");
  tl::TransferList result;
  const bool ok = tl::BuildTransferList(
      in, version, data.fd(), &result, [&](uint64_t done, uint64_t total) { progress.Update(done, total); }, &error);
  progress.Finish();
  platform::CloseFile(in);
  if (!ok) return Fail(image + ": " + error);

  const std::string text = tl::Format(result);
  if (!platform::WriteAllAt(list.fd(), text.data(), text.size(), 0))
    return Fail("cannot write " + listPath + ": " + strerror(errno));
  // The list goes last: a reader that finds it finds its data too.
  if (!data.Commit(&error) || !patch.Commit(&error) || !list.Commit(&error)) return Fail(error);
  std::printf("img2sdat: version %d: %llu blocks of data, %llu zero, %llu erased, image of %llu blocks\n", version,
              static_cast<unsigned long long>(result.new_blocks), static_cast<unsigned long long>(result.zero_blocks),
              static_cast<unsigned long long>(result.erase_blocks), static_cast<unsigned long long>(result.image_blocks));
  std::printf("img2sdat: wrote %s, %s and %s\n", dataPath.c_str(), listPath.c_str(), patchPath.c_str());
  return 0;
}
