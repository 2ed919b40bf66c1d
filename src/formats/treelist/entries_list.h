#pragma once
// The entries list of an unpacked tree: what the file system of this system could not hold as it
// is (links, device nodes, fifos and sockets where the system has none, names it forbids or folds
// together), kept in "<config folder>/<Name>_windows_entries.txt" so that the pack puts it back.
// UTF-8 with CR LF, one entry a line, fields separated by tabs, paths relative to the tree with
// '/' between folders, as stored on disk:
//   link<TAB>path<TAB>target
//   char|block<TAB>path<TAB>major<TAB>minor
//   fifo|socket<TAB>path
//   name<TAB>stored path<TAB>original path
// On Linux nothing needs the list; the tree writers make it only when an entry needs it.
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace orvex::treelist {

struct KeptEntry {
  enum class Kind { kLink, kChar, kBlock, kFifo, kSocket };
  Kind kind = Kind::kLink;
  std::string target;  // links
  uint32_t major = 0, minor = 0;
};

// "<configFolder>/<name>_windows_entries.txt"
std::string EntriesListPath(const std::string& configFolder, const std::string& name);

class EntriesList {
 public:
  // --- while a tree is written ---
  // The name to store an entry under in the folder storedFolder ("" for the tree's top, else its
  // stored relative path): the original name where this system can hold it, otherwise with every
  // forbidden byte (and '%') written as %XX, and "~2", "~3"... before the extension when the
  // system folds case and another name of the folder already takes it. A changed name is
  // recorded. originalPath is the entry's relative path in the image.
  std::string StoredName(const std::string& storedFolder, const std::string& originalName,
                         const std::string& originalPath);
  // An entry whose kind the system cannot hold; the tree holds a regular file at storedPath
  // (a link's file holds its target, a node's file is empty).
  void Keep(const std::string& storedPath, const KeptEntry& entry);
  bool Empty() const { return kept_.empty() && names_.empty(); }
  // Writes the list (replacing an older one); does nothing and removes an old list when it is
  // empty. false with a message on an error.
  bool Write(const std::string& file, std::string* error) const;

  // --- while a tree is read back ---
  // Reads a list; a missing file is an empty list. false with a message (file and line) when a
  // line is malformed.
  static bool Read(const std::string& file, EntriesList* out, std::string* error);
  // The kept entry at a stored path, or null.
  const KeptEntry* Find(const std::string& storedPath) const;
  // The original name of the entry stored as storedName in storedFolder (the name itself when it
  // was not changed).
  std::string OriginalName(const std::string& storedFolder, const std::string& storedName) const;

 private:
  std::map<std::string, KeptEntry> kept_;            // stored path -> entry
  std::map<std::string, std::string> names_;         // stored path -> original path
  std::map<std::string, std::set<std::string>> taken_;  // stored folder -> folded names in it
};

}  // namespace orvex::treelist
