// payload_dumper: extracts the partition images of an A/B OTA payload (payload.bin).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "payload_extract.h"
#include "platform.h"

#ifndef ORVEX_VERSION_TEXT
#define ORVEX_VERSION_TEXT "0"
#endif

namespace {

using namespace orvex::payload;

void Usage(FILE* f) {
  std::fprintf(f,
               "Usage: payload_dumper [--out FOLDER] [-p NAME,...] [--old FOLDER] [--threads N] PAYLOAD\n"
               "       payload_dumper -l PAYLOAD\n"
               "Extracts the partition images of an A/B OTA payload (payload.bin).\n"
               "Each partition NAME becomes FOLDER/NAME_a.img (system_a.img, vendor_a.img, system_ext_a.img,\n"
               "boot_a.img, ...). Blob, source and partition hashes are checked when the payload carries\n"
               "them; an image appears under its name only when it is complete and verified.\n"
               "  --out FOLDER     where the images go (default: the folder 'output')\n"
               "  -p NAME,...      extract only these partitions\n"
               "  -l               list the partitions with their sizes and exit\n"
               "  --old FOLDER     source images of an incremental payload (NAME_a.img or NAME.img);\n"
               "                   SOURCE_COPY, SOURCE_BSDIFF, BROTLI_BSDIFF, MOVE and BSDIFF are applied\n"
               "  --threads N      operations worked on at once (default: one per core, at most 16)\n"
               "  -h, --help       this help\n"
               "  -V, --version    version\n"
               "Exit code 0 on success, 1 when the payload cannot be extracted, 2 on bad usage.\n");
}

int List(const std::string& path) {
  const PayloadSummary s = ReadPayloadSummary(path);
  const bool incremental = s.manifest.minor_version != 0;
  std::printf("Payload: version %llu, %s payload (minor version %u), block size %u, %zu partitions\n",
              static_cast<unsigned long long>(s.header.version), incremental ? "incremental" : "full",
              s.manifest.minor_version, s.manifest.block_size, s.manifest.partitions.size());
  for (const auto& p : s.manifest.partitions) {
    bool needs = false;
    for (const auto& op : p.operations) needs = needs || NeedsSource(op.type);
    std::printf("%-24s %14llu bytes %7zu operations%s\n", p.name.c_str(),
                static_cast<unsigned long long>(NewPartitionSize(s.manifest, p)), p.operations.size(),
                needs ? "  (needs its source image)" : "");
  }
  return 0;
}

std::vector<std::string> SplitNames(const std::string& v) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= v.size()) {
    size_t comma = v.find(',', start);
    if (comma == std::string::npos) comma = v.size();
    if (comma > start) out.push_back(v.substr(start, comma - start));
    start = comma + 1;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  // UTF-8 on both systems (Windows hands main() its arguments in the ANSI code page).
  const std::vector<std::string> args = orvex::platform::ProgramArguments(argc, argv);
  const size_t count = args.size();
  ExtractOptions opt;
  bool line_open = false;  // a percent line waits for its end
  opt.out_dir = "output";
  bool list = false;
  std::string payload;
  for (size_t i = 0; i < count; ++i) {
    const std::string a = args[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= count) {
        std::fprintf(stderr, "payload_dumper: error: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return args[++i];
    };
    if (a == "-h" || a == "--help") {
      Usage(stdout);
      return 0;
    } else if (a == "-V" || a == "--version") {
      std::printf("payload_dumper %s\n", ORVEX_VERSION_TEXT);
      return 0;
    } else if (a == "-l" || a == "--list") {
      list = true;
    } else if (a == "--out" || a == "-o") {
      opt.out_dir = value();
    } else if (a == "-p" || a == "--partitions") {
      for (auto& n : SplitNames(value())) opt.only.push_back(n);
    } else if (a == "--old") {
      opt.old_dir = value();
    } else if (a == "--threads" || a == "-t") {
      const std::string v = value();
      char* end = nullptr;
      const long n = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || n < 1 || n > 256) {
        std::fprintf(stderr, "payload_dumper: error: --threads takes a count from 1 to 256\n");
        return 2;
      }
      opt.threads = static_cast<unsigned>(n);
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      std::fprintf(stderr, "payload_dumper: error: unknown option %s\n", a.c_str());
      Usage(stderr);
      return 2;
    } else if (payload.empty()) {
      payload = a;
    } else {
      std::fprintf(stderr, "payload_dumper: error: more than one payload given (%s)\n", a.c_str());
      return 2;
    }
  }
  if (payload.empty()) {
    std::fprintf(stderr, "payload_dumper: error: no payload file given\n");
    Usage(stderr);
    return 2;
  }
  try {
    if (list) return List(payload);
    line_open = false;
    opt.payload = payload;
    opt.progress = [&line_open](const std::string& image, int pct) {
      line_open = pct != 100;
      // Percent lines rewrite themselves with a carriage return; the final one ends the line.
      // Each one is flushed: at most a hundred per image, and a reader on a pipe sees them live.
      std::printf("%s: %d%%%s", image.c_str(), pct, pct == 100 ? "\n" : "\r");
      std::fflush(stdout);
    };
    Extract(opt);
    std::printf("payload_dumper: done, images in %s\n", opt.out_dir.c_str());
    return 0;
  } catch (const std::exception& e) {
    if (line_open) std::printf("\n");
    std::fflush(stdout);
    std::fprintf(stderr, "payload_dumper: error: %s\n", e.what());
    return 1;
  }
}
