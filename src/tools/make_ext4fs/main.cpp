// make_ext4fs: builds an ext4 image (raw or Android sparse) from a folder, with the option letters
// of the classic Android tool:
//
//   make_ext4fs [-l SIZE] [-j JOURNAL_BLOCKS] [-b BLOCK_SIZE] [-g BLOCKS_PER_GROUP] [-i INODES]
//               [-I INODE_SIZE] [-L LABEL] [-a MOUNT_POINT] [-S FILE_CONTEXTS] [-C FS_CONFIG]
//               [-T TIMESTAMP] [-s] [-J] [-u] [-v] [-c -f -w -z -t -e X -o X -B X -d X -D X]
//               OUTPUT_IMAGE [SOURCE_DIR [TARGET_OUT_DIR]]
#include <getopt.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "ext4/builder.h"
#include "platform.h"

namespace {

void Usage(std::ostream& o) {
  o << "usage: make_ext4fs [ -l <len> ] [ -j <journal size> ] [ -b <block_size> ]\n"
       "    [ -g <blocks per group> ] [ -i <inodes> ] [ -I <inode size> ]\n"
       "    [ -L <label> ] [ -a <android mountpoint> ] [ -S file_contexts ]\n"
       "    [ -C fs_config ] [ -T timestamp ] [ -s ] [ -J ] [ -u ] [ -v ]\n"
       "    <filename> [<directory>]\n"
       "  -l  file system size in bytes (k, m, g suffixes allowed)\n"
       "  -j  journal size in blocks (0: no journal)    -J  no journal\n"
       "  -i  inode count (0 or not a number: automatic)\n"
       "  -T  time stamp for every inode (-1: keep the source files' times)\n"
       "  -s  write an Android sparse image\n";
}

bool ParseU64(const char* s, uint64_t* out) {
  if (!s || !*s || *s == '-') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(s, &end, 0);
  if (errno || *end) return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc_in, char** argv_in) {
  std::ios::sync_with_stdio(false);
  // The arguments as UTF-8 (Windows hands main() the ANSI code page), in words getopt may reorder.
  std::vector<std::string> words = orvex::platform::ProgramArguments(argc_in, argv_in);
  words.insert(words.begin(), argc_in > 0 && argv_in[0] ? argv_in[0] : "make_ext4fs");
  std::vector<char*> argv_utf8;
  for (auto& w : words) argv_utf8.push_back(w.data());
  argv_utf8.push_back(nullptr);
  const int argc = static_cast<int>(words.size());
  char** argv = argv_utf8.data();
  orvex::ext4::BuildOptions o;
  opterr = 0;
  int c;
  // Each letter that takes a value takes the next word whatever it looks like, as getopt does:
  // "-i -J" is an inode count of "-J".
  while ((c = getopt(argc, argv, "l:j:b:g:i:I:e:o:L:a:S:T:C:B:d:D:fwzJsctvuh")) != -1) {
    switch (c) {
      case 'l':
        if (!orvex::ext4::ParseSize(optarg, &o.length)) {
          std::cerr << "make_ext4fs: error: bad size: " << optarg << "\n";
          return 2;
        }
        break;
      case 'j': {
        uint64_t v = 0;
        if (!orvex::ext4::ParseSize(optarg, &v)) {
          std::cerr << "make_ext4fs: error: bad journal size: " << optarg << "\n";
          return 2;
        }
        o.journal_blocks = v;
        if (v == 0) o.journal = false;
        break;
      }
      case 'b': {
        uint64_t v = 0;
        if (!orvex::ext4::ParseSize(optarg, &v) || v > 65536) {
          std::cerr << "make_ext4fs: error: bad block size: " << optarg << "\n";
          return 2;
        }
        o.block_size = static_cast<uint32_t>(v);
        break;
      }
      case 'g': {
        uint64_t v = 0;
        if (!ParseU64(optarg, &v) || v > 0xFFFFFFFFull) {
          std::cerr << "make_ext4fs: error: bad blocks per group: " << optarg << "\n";
          return 2;
        }
        o.blocks_per_group = static_cast<uint32_t>(v);
        break;
      }
      case 'i': {
        uint64_t v = 0;
        o.inodes = ParseU64(optarg, &v) ? v : 0;  // not a number: automatic
        break;
      }
      case 'I': {
        uint64_t v = 0;
        if (!ParseU64(optarg, &v) || v > 65536) {
          std::cerr << "make_ext4fs: error: bad inode size: " << optarg << "\n";
          return 2;
        }
        o.inode_size = static_cast<uint32_t>(v);
        break;
      }
      case 'L':
        o.label = optarg;
        break;
      case 'a': {
        std::string m = optarg;
        while (!m.empty() && m.front() == '/') m.erase(m.begin());
        while (!m.empty() && m.back() == '/') m.pop_back();
        o.mountpoint = m;
        break;
      }
      case 'S':
        o.file_contexts = optarg;
        break;
      case 'C':
        o.fs_config = optarg;
        break;
      case 'T': {
        errno = 0;
        char* end = nullptr;
        long long t = strtoll(optarg, &end, 0);
        if (errno || *end) {
          std::cerr << "make_ext4fs: error: bad timestamp: " << optarg << "\n";
          return 2;
        }
        o.have_timestamp = true;
        o.timestamp = t;
        break;
      }
      case 'J':
        o.journal = false;
        break;
      case 's':
        o.sparse = true;
        break;
      case 'u':
        o.real_uuid = true;
        break;
      case 'v':
        o.verbose = true;
        break;
      case 'h':
        Usage(std::cout);
        return 0;
      // Accepted for compatibility; they change nothing here.
      case 'e': case 'o': case 'B': case 'd': case 'D':
      case 'f': case 'w': case 'z': case 'c': case 't':
        break;
      case '?':
      default:
        if (optopt)
          std::cerr << "make_ext4fs: error: unknown option or missing value: -"
                    << static_cast<char>(optopt) << "\n";
        Usage(std::cerr);
        return 2;
    }
  }
  if (optind >= argc) {
    std::cerr << "make_ext4fs: error: expected filename after options\n";
    Usage(std::cerr);
    return 2;
  }
  o.output = argv[optind++];
  if (optind < argc) o.source = argv[optind++];
  if (optind < argc) ++optind;  // target out directory of the classic tool: not needed here
  if (optind < argc) {
    std::cerr << "make_ext4fs: error: unexpected argument: " << argv[optind] << "\n";
    return 2;
  }
  if (o.output == "-") {
    std::cerr << "make_ext4fs: error: writing the image to standard output is not supported\n";
    return 2;
  }
  return orvex::ext4::BuildImage(o, std::cout, std::cerr);
}
