#pragma once
// The source tree of mkfs.erofs seen through its entries list: original paths (what the image
// holds) to stored paths (what the disk holds), and the entries kept as plain files. Portable:
// paths are UTF-8 with '/' between folders.
#include <cstdint>
#include <map>
#include <string>

namespace orvex::erofs_compat {

class EntriesView;
// The one view of the running program.
EntriesView& TheEntriesView();

class EntriesView {
 public:
  enum class Kind { kLink, kChar, kBlock, kFifo, kSocket };
  struct Kept {
    Kind kind = Kind::kLink;
    std::string target;
    uint32_t major = 0, minor = 0;
  };

  // The entries list of the tree (mkfs.erofs --entries-list=FILE, taken off the arguments before
  // the program reads them). A missing file is a tree that needed none.
  void SetListFile(const std::string& file) { listFile_ = file; }
  // Takes the tree's top folder and reads the list. False with a message when the list cannot be
  // read or holds a bad line.
  bool Start(const std::string& root, std::string* error);
  // Reads list text (the lines of the entries list); false with "line N: ..." on a bad line.
  bool Parse(const std::string& text, std::string* error);
  bool HasRoot() const { return started_; }
  void SetRoot(const std::string& root) {
    root_ = root;
    started_ = true;
  }

  // A path as the programs build it (the tree's top, '/', original names) in its stored
  // spelling; *storedRel is the stored path relative to the tree and *inTree whether the path
  // is in the tree at all (a path outside it is returned unchanged).
  std::string ToStored(const std::string& path, std::string* storedRel, bool* inTree) const;
  // The original name of the entry stored as storedName in the folder storedFolder ("" for the
  // top).
  std::string OriginalName(const std::string& storedFolder, const std::string& storedName) const;
  const Kept* Find(const std::string& storedRel) const;
  size_t size() const { return kept_.size() + toOriginal_.size(); }

 private:
  bool started_ = false;
  std::string listFile_;
  std::string root_;
  std::map<std::string, Kept> kept_;               // stored path -> kept entry
  std::map<std::string, std::string> toOriginal_;  // stored path -> original path
  std::map<std::string, std::string> toStored_;    // original path -> stored path
};

}  // namespace orvex::erofs_compat
