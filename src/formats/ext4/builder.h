#pragma once
// Builds an ext4 image from a folder with libext2fs, the way Android's make_ext4fs does: a fixed
// feature set chosen here (never the host's mke2fs.conf), owners, modes and capabilities from the
// attribute file, SELinux labels from the context file, raw or Android sparse output.
#include <cstdint>
#include <iosfwd>
#include <string>

namespace orvex::ext4 {

struct BuildOptions {
  std::string output;         // image file to write
  std::string source;         // folder to copy in; empty = an empty file system
  uint64_t length = 0;        // -l, bytes
  uint32_t block_size = 4096; // -b
  uint32_t blocks_per_group = 0;  // -g, 0 = automatic
  uint64_t inodes = 0;        // -i, 0 = automatic
  uint32_t inode_size = 256;  // -I
  bool journal = true;        // off with -J or -j 0
  uint64_t journal_blocks = 0;  // -j, 0 = automatic (in blocks, as the classic tool counts)
  bool sparse = false;        // -s
  bool have_timestamp = false;
  int64_t timestamp = -1;     // -T; -1 = keep the source files' times
  std::string label;          // -L
  std::string mountpoint;     // -a, without the leading '/'
  std::string file_contexts;  // -S
  std::string fs_config;      // -C
  bool real_uuid = false;     // -u: random instead of derived from the label
  bool verbose = false;       // -v
};

// Parses a size with an optional k/m/g/t suffix (binary multiples). False on garbage.
bool ParseSize(const std::string& text, uint64_t* out);

// Runs the build, printing progress to out and errors ("make_ext4fs: error: ...") to err; when
// the tree does not fit it prints "failed to allocate N blocks". The output file is removed on
// failure. Returns the process exit code.
int BuildImage(const BuildOptions& options, std::ostream& out, std::ostream& err);

}  // namespace orvex::ext4
