#pragma once
// An unpacked tree read back for a build: its entries under their names in the image, with what
// the tree could not hold as it is (links and device nodes kept as files, names the system
// forbids or folds together) put back from the entries list of the config folder.
#include <cstdint>
#include <string>
#include <vector>

#include "platform_tree.h"
#include "treelist/entries_list.h"

namespace orvex::ext4 {

struct SourceEntry {
  std::string name;    // the name in the image
  std::string stored;  // the name on disk
  uint32_t type = 0;   // file type bits (mode_bits.h)
  platform::EntryInfo info;  // the entry on disk (for a kept entry: the file standing for it)
  bool kept = false;   // the disk holds a file standing for a link or node
  std::string target;  // a kept link's target
  uint32_t major = 0, minor = 0;  // device numbers
};

// "<folder>/<Name>_windows_entries.txt" for "<folder>/<Name>_fs_config.txt"; empty when the file
// name does not end in "_fs_config.txt".
std::string EntriesListFor(const std::string& fs_config_path);

class SourceTree {
 public:
  // Reads the entries list (a missing file is an empty list).
  bool LoadList(const std::string& list_path, std::string* error);
  // The entries of the open folder whose stored path relative to the tree is srel ("" for the
  // top), sorted by their names in the image. false with *error (naming shown) on an error.
  bool List(int dirfd, const std::string& srel, const std::string& shown,
            std::vector<SourceEntry>* out, std::string* error) const;
  // The target of a link entry, from the list or from the link on disk.
  bool LinkTarget(int dirfd, const SourceEntry& e, std::string* target) const;

 private:
  treelist::EntriesList list_;
};

}  // namespace orvex::ext4
