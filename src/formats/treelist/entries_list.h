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
// In the target and original path fields '%', control characters and bytes that are not UTF-8
// are written as %XX (upper-case hex), so that any name or target fits on one line.
// On Linux nothing needs the list; the tree writers make it only when an entry needs it.
#include <cstdint>
#include <functional>
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

// What the file system of the tree can hold as a name.
struct NamePolicy {
  std::function<bool(const std::string&)> storable;
  bool foldsCase = false;
  static NamePolicy ThisSystem();  // platform::TreeNameStorable and TreeFoldsCase
  static NamePolicy Windows();     // platform::WindowsNameStorable, case folded
};

// The form two names share when a case-folding file system takes them for one: upper case for
// ASCII and the letters of the Latin, Greek, Cyrillic and Armenian scripts, full-width Latin,
// Roman numerals and circled letters (a few more pairs than Windows folds, such as dotless i and
// I, so that no two names Windows takes for one are missed there). Bytes that are not UTF-8 stay
// as they are.
std::string FoldCase(const std::string& utf8);

class EntriesList {
 public:
  EntriesList();  // this system's names
  explicit EntriesList(NamePolicy policy);

  // --- while a tree is written ---
  // The name to store an entry under in the folder storedFolder ("" for the tree's top, else its
  // stored relative path): the original name where this system can hold it, otherwise with every
  // forbidden byte (and '%') written as %XX, a trailing dot or blank as %2E or %20, and the first
  // letter of a device name as %XX ("nul.txt" -> "%6Eul.txt"); then "~2", "~3"... before the
  // extension when another name of the folder already takes it (compared with FoldCase where the
  // system folds case). A changed name is recorded. originalPath is the entry's relative path in
  // the image; originalName is a real name (not "", "." or "..", no '/').
  std::string StoredName(const std::string& storedFolder, const std::string& originalName,
                         const std::string& originalPath);
  // An entry whose kind the system cannot hold; the tree holds a regular file at storedPath
  // (a link's file holds its target, a node's file is empty).
  void Keep(const std::string& storedPath, const KeptEntry& entry);
  bool Empty() const { return kept_.empty() && names_.empty(); }
  // Writes the list (replacing an older one); does nothing and removes an old list when it is
  // empty. false with a message on an error.
  bool Write(const std::string& file, std::string* error) const;
  // The text Write writes; false with a message when an entry cannot be written (a stored path
  // with a control character or one the reader would refuse, a link without a target).
  bool ToText(std::string* text, std::string* error) const;

  // --- while a tree is read back ---
  // Reads a list; a missing file is an empty list. false with a message (file and line) when a
  // line is malformed.
  static bool Read(const std::string& file, EntriesList* out, std::string* error);
  // The same for the text of a list; file names it in the messages.
  static bool Parse(std::string text, const std::string& file, EntriesList* out, std::string* error);
  // The kept entry at a stored path, or null.
  const KeptEntry* Find(const std::string& storedPath) const;
  // The original name of the entry stored as storedName in storedFolder (the name itself when it
  // was not changed).
  std::string OriginalName(const std::string& storedFolder, const std::string& storedName) const;
  // Every kept entry and every changed name, by stored path.
  const std::map<std::string, KeptEntry>& Kept() const { return kept_; }
  const std::map<std::string, std::string>& ChangedNames() const { return names_; }

 private:
  NamePolicy policy_;
  std::map<std::string, KeptEntry> kept_;            // stored path -> entry
  std::map<std::string, std::string> names_;         // stored path -> original path
  std::map<std::string, std::set<std::string>> taken_;  // stored folder -> folded names in it
};

}  // namespace orvex::treelist
