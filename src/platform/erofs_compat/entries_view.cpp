#include "entries_view.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace orvex::erofs_compat {

namespace {

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    const size_t tab = line.find('\t', start);
    out.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return out;
    start = tab + 1;
  }
}

bool Number(const std::string& s, uint32_t* out) {
  if (s.empty() || s.size() > 10) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > 0xffffffffu) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

// A relative path of the list: no empty, "." or ".." component, no leading '/'.
bool PlainPath(const std::string& p) {
  if (p.empty() || p.front() == '/' || p.back() == '/') return false;
  size_t start = 0;
  for (;;) {
    const size_t slash = p.find('/', start);
    const std::string part = p.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

}  // namespace

EntriesView& TheEntriesView() {
  static EntriesView view;
  return view;
}

bool EntriesView::Start(const std::string& root, std::string* error) {
  SetRoot(root);
  if (listFile_.empty()) return true;
  const std::string& name = listFile_;
  std::ifstream in(std::filesystem::path(std::u8string(name.begin(), name.end())), std::ios::binary);
  if (!in) {
    // No list: the tree needed none.
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::path(std::u8string(name.begin(), name.end())), ec)) return true;
    *error = "cannot read the entries list " + name;
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (!Parse(text.str(), error)) {
    *error = name + ": " + *error;
    return false;
  }
  return true;
}

bool EntriesView::Parse(const std::string& text, std::string* error) {
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const std::vector<std::string> f = Fields(line);
    auto bad = [&](const std::string& why) {
      *error = "line " + std::to_string(number) + ": " + why;
      return false;
    };
    if (!PlainPath(f.size() > 1 ? f[1] : std::string())) return bad("no relative path in the second field");
    Kept k;
    if (f[0] == "link") {
      if (f.size() != 3 || f[2].empty()) return bad("a link needs its target");
      k.kind = Kind::kLink;
      k.target = f[2];
    } else if (f[0] == "char" || f[0] == "block") {
      if (f.size() != 4 || !Number(f[2], &k.major) || !Number(f[3], &k.minor))
        return bad("a device node needs its major and minor numbers");
      k.kind = f[0] == "char" ? Kind::kChar : Kind::kBlock;
    } else if (f[0] == "fifo" || f[0] == "socket") {
      if (f.size() != 2) return bad("a fifo or socket has no further fields");
      k.kind = f[0] == "fifo" ? Kind::kFifo : Kind::kSocket;
    } else if (f[0] == "name") {
      if (f.size() != 3 || !PlainPath(f[2])) return bad("a renamed entry needs its original path");
      toOriginal_[f[1]] = f[2];
      toStored_[f[2]] = f[1];
      continue;
    } else {
      return bad("unknown kind \"" + f[0] + "\"");
    }
    kept_[f[1]] = k;
  }
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
  const std::string stored = storedFolder.empty() ? storedName : storedFolder + "/" + storedName;
  const auto it = toOriginal_.find(stored);
  if (it == toOriginal_.end()) return storedName;
  const std::string& original = it->second;
  const size_t slash = original.rfind('/');
  return slash == std::string::npos ? original : original.substr(slash + 1);
}

const EntriesView::Kept* EntriesView::Find(const std::string& storedRel) const {
  const auto it = kept_.find(storedRel);
  return it == kept_.end() ? nullptr : &it->second;
}

}  // namespace orvex::erofs_compat
