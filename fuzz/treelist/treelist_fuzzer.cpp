// libFuzzer target of the entries list. The input is read as a list; a list that reads must
// write and read back the same. The input's lines are also taken as names of one folder: every
// stored name must be one Windows holds, no two may fold to one, and each must give its original
// name back. Anything else (a crash, a sanitizer report, a broken promise) is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "entries_list.h"
#include "platform_tree.h"

using namespace orvex::treelist;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  EntriesList list(NamePolicy::Windows());
  std::string error;
  if (EntriesList::Parse(text, "fuzz", &list, &error)) {
    std::string written;
    if (!list.ToText(&written, &error)) std::abort();
    EntriesList again(NamePolicy::Windows());
    if (!EntriesList::Parse(written, "fuzz", &again, &error)) std::abort();
    if (again.ChangedNames() != list.ChangedNames() || again.Kept().size() != list.Kept().size()) std::abort();
    for (const auto& [path, e] : list.Kept()) {
      const KeptEntry* k = again.Find(path);
      if (!k || k->kind != e.kind || k->target != e.target || k->major != e.major || k->minor != e.minor)
        std::abort();
    }
  }

  EntriesList names(NamePolicy::Windows());
  std::set<std::string> folded, originals;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string name = text.substr(pos, end - pos);
    pos = end + 1;
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        !originals.insert(name).second)
      continue;
    const std::string stored = names.StoredName("d", name, "d/" + name);
    if (!orvex::platform::WindowsNameStorable(stored)) std::abort();
    if (!folded.insert(FoldCase(stored)).second) std::abort();
    if (names.OriginalName("d", stored) != name) std::abort();
  }
  return 0;
}
