// fspatch: adds a line with Android's usual owner, group and mode to an attribute file for every
// path of an unpacked tree that has none, and the matching context lines to the context file
// beside it.
//
//   fspatch TREE FS_CONFIG
#include <iostream>
#include <string>

#include <vector>

#include "ext4/fspatch.h"
#include "platform.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  const std::vector<std::string> args = orvex::platform::ProgramArguments(argc, argv);
  if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
    std::cout << "usage: fspatch TREE FS_CONFIG\n";
    return 0;
  }
  if (args.size() != 2) {
    std::cerr << "usage: fspatch TREE FS_CONFIG\n";
    return 2;
  }
  return orvex::ext4::PatchFsConfig(args[0], args[1], std::cout, std::cerr);
}
