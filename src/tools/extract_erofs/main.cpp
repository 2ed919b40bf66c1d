// extract.erofs: unpacks an EROFS partition image into a folder with its attribute, context and
// options files.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "extractor.h"
#include "platform.h"

#ifndef ORVEX_VERSION_TEXT
#define ORVEX_VERSION_TEXT "0"
#endif

namespace {

void Usage(FILE* f) {
  std::fprintf(f,
               "Usage: extract.erofs -i IMAGE [-x] [-f] [-o FOLDER] [-T THREADS]\n"
               "Unpacks an EROFS image.\n"
               "  -i IMAGE    the image to read\n"
               "  -x          extract: the tree goes to FOLDER/<name>, and FOLDER/config receives\n"
               "              <name>_fs_config, <name>_file_contexts and <name>_fs_options\n"
               "              (without -x only a summary of the image is printed); where the\n"
               "              file system cannot hold links, device nodes or some names\n"
               "              (Windows), <name>_windows_entries.txt keeps them\n"
               "  -o FOLDER   output folder (default: the image name beside the image)\n"
               "  -f          overwrite what is already in the output folder\n"
               "  -T THREADS  threads that write files (default: one per core)\n"
               "  -h          this help\n"
               "  -V          version\n");
}

}  // namespace

int main(int argc, char** argv) {
  orvex::extract_erofs::ExtractOptions opt;
  // UTF-8 on every system (Windows hands main() its arguments in the ANSI code page).
  const std::vector<std::string> args = orvex::platform::ProgramArguments(argc, argv);
  const size_t count = args.size();
  for (size_t i = 0; i < count; ++i) {
    const std::string a = args[i];
    auto value = [&](const char* what) -> std::string {
      if (a.size() > 2) return a.substr(2);  // -ovalue
      if (i + 1 >= count) {
        std::fprintf(stderr, "extract.erofs: error: %s needs a value\n", what);
        std::exit(2);
      }
      return args[++i];
    };
    if (a == "-h" || a == "--help") {
      Usage(stdout);
      return 0;
    } else if (a == "-V" || a == "--version") {
      std::printf("extract.erofs %s\n", ORVEX_VERSION_TEXT);
      return 0;
    } else if (a == "-x") {
      opt.extract = true;
    } else if (a == "-f") {
      opt.overwrite = true;
    } else if (a.rfind("-i", 0) == 0) {
      opt.image = value("-i");
    } else if (a.rfind("-o", 0) == 0) {
      opt.out_dir = value("-o");
    } else if (a.rfind("-T", 0) == 0) {
      const std::string v = value("-T");
      char* end = nullptr;
      const long n = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || n < 1 || n > 64) {
        std::fprintf(stderr, "extract.erofs: error: -T takes a thread count from 1 to 64\n");
        return 2;
      }
      opt.threads = static_cast<int>(n);
    } else {
      std::fprintf(stderr, "extract.erofs: error: unknown argument %s\n", a.c_str());
      Usage(stderr);
      return 2;
    }
  }
  if (opt.image.empty()) {
    std::fprintf(stderr, "extract.erofs: error: no image given (-i IMAGE)\n");
    Usage(stderr);
    return 2;
  }
  return orvex::extract_erofs::Run(opt);
}
