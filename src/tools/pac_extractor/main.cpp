// PacExtractor: PacExtractor PAC_FILE OUTPUT_FOLDER extracts every file of a Spreadtrum/Unisoc
// PAC firmware into the folder, checking the header and data CRC-16 sums.
#include <cstdio>
#include <string>
#include <vector>

#include "platform.h"
#include "pac.h"

int main(int argc, char** argv) {
  // Arguments as UTF-8 on every system (Windows hands main() its arguments in the ANSI code page).
  const std::vector<std::string> args = orvex::platform::ProgramArguments(argc, argv);
  const int argn = static_cast<int>(args.size()) + 1;
  const std::string first = argn > 1 ? args[0] : "";
  if (first == "--version") {
    std::printf("PacExtractor %s\n", ORVEX_VERSION_TEXT);
    return 0;
  }
  const bool help = first == "--help" || first == "-h";
  if (help || argn != 3) {
    std::fprintf(help ? stdout : stderr,
                 "Usage: PacExtractor PAC_FILE OUTPUT_FOLDER\n"
                 "Extracts every file of a Spreadtrum/Unisoc PAC firmware into OUTPUT_FOLDER (created when missing);\n"
                 "the header and data CRC-16 sums are checked and a mismatch is an error.\n");
    return help ? 0 : 2;
  }
  try {
    orvex::pac::Extract(args[0], args[1], [](const std::string& s) {
      std::printf("%s\n", s.c_str());
      std::fflush(stdout);
    });
  } catch (const std::exception& e) {
    std::fprintf(stderr, "PacExtractor: %s\n", e.what());
    return 1;
  }
  std::printf("Done.\n");
  return 0;
}
