#include "entries_view.h"

namespace orvex::erofs_compat {

EntriesView& TheEntriesView() {
  static EntriesView view;
  return view;
}

bool EntriesView::Start(const std::string& root, std::string* error) {
  root_ = root;
  started_ = true;
  list_ = treelist::EntriesList();
  toStored_.clear();
  if (listFile_.empty()) return true;
  if (!treelist::EntriesList::Read(listFile_, &list_, error)) return false;
  for (const auto& [stored, original] : list_.ChangedNames()) toStored_[original] = stored;
  return true;
}

std::string EntriesView::ToStored(const std::string& path, std::string* storedRel, bool* inTree) const {
  if (storedRel) storedRel->clear();
  if (inTree) *inTree = false;
  if (!started_ || path.compare(0, root_.size(), root_) != 0 ||
      (path.size() > root_.size() && path[root_.size()] != '/'))
    return path;
  if (inTree) *inTree = true;
  if (path.size() <= root_.size() + 1) return path;
  const std::string rel = path.substr(root_.size() + 1);
  // Component by component: a renamed folder renames everything below it.
  std::string original, stored;
  size_t start = 0;
  for (;;) {
    const size_t slash = rel.find('/', start);
    const std::string part = rel.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    original += (original.empty() ? "" : "/") + part;
    const auto renamed = toStored_.find(original);
    if (renamed != toStored_.end()) stored = renamed->second;
    else stored += (stored.empty() ? "" : "/") + part;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  if (storedRel) *storedRel = stored;
  return root_ + "/" + stored;
}

std::string EntriesView::OriginalName(const std::string& storedFolder, const std::string& storedName) const {
  return list_.OriginalName(storedFolder, storedName);
}

}  // namespace orvex::erofs_compat
