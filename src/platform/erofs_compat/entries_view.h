#pragma once
// The source tree of mkfs.erofs seen through its entries list (src/formats/treelist): original
// paths (what the image holds) to stored paths (what the disk holds), and the entries kept as
// plain files. Portable: paths are UTF-8 with '/' between folders.
#include <map>
#include <string>

#include "entries_list.h"

namespace orvex::erofs_compat {

class EntriesView;
// The one view of the running program.
EntriesView& TheEntriesView();

class EntriesView {
 public:
  using Kept = treelist::KeptEntry;
  using Kind = treelist::KeptEntry::Kind;

  // The entries list of the tree (mkfs.erofs --entries-list=FILE, taken off the arguments before
  // the program reads them). A missing file is a tree that needed none.
  void SetListFile(const std::string& file) { listFile_ = file; }
  // Takes the tree's top folder and reads the list. False with a message when the list cannot be
  // read or holds a bad line.
  bool Start(const std::string& root, std::string* error);
  bool HasRoot() const { return started_; }

  // A path as the programs build it (the tree's top, '/', original names) in its stored
  // spelling; *storedRel is the stored path relative to the tree and *inTree whether the path
  // is in the tree at all (a path outside it is returned unchanged).
  std::string ToStored(const std::string& path, std::string* storedRel, bool* inTree) const;
  // The original name of the entry stored as storedName in the folder storedFolder ("" for the
  // top).
  std::string OriginalName(const std::string& storedFolder, const std::string& storedName) const;
  const Kept* Find(const std::string& storedRel) const { return list_.Find(storedRel); }

 private:
  bool started_ = false;
  std::string root_;
  std::string listFile_;
  treelist::EntriesList list_;
  std::map<std::string, std::string> toStored_;  // original path -> stored path (renamed only)
};

}  // namespace orvex::erofs_compat
