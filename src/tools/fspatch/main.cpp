// fspatch: adds a line with Android's usual owner, group and mode to an attribute file for every
// path of an unpacked tree that has none, and the matching context lines to the context file
// beside it.
//
//   fspatch TREE FS_CONFIG
#include <iostream>
#include <string>

#include "ext4/fspatch.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  if (argc == 2 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help")) {
    std::cout << "usage: fspatch TREE FS_CONFIG\n";
    return 0;
  }
  if (argc != 3) {
    std::cerr << "usage: fspatch TREE FS_CONFIG\n";
    return 2;
  }
  return orvex::ext4::PatchFsConfig(argv[1], argv[2], std::cout, std::cerr);
}
