#include "ext4/source_tree.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ext4/mode_bits.h"
#include "platform.h"

namespace orvex::ext4 {

namespace {

uint32_t TypeOf(platform::EntryInfo::Kind k) {
  using K = platform::EntryInfo::Kind;
  switch (k) {
    case K::kFile: return kTypeFile;
    case K::kFolder: return kTypeDir;
    case K::kLink: return kTypeLink;
    case K::kChar: return kTypeChar;
    case K::kBlock: return kTypeBlock;
    case K::kFifo: return kTypeFifo;
    case K::kSocket: return kTypeSocket;
    default: return 0;
  }
}

uint32_t TypeOf(treelist::KeptEntry::Kind k) {
  using K = treelist::KeptEntry::Kind;
  switch (k) {
    case K::kLink: return kTypeLink;
    case K::kChar: return kTypeChar;
    case K::kBlock: return kTypeBlock;
    case K::kFifo: return kTypeFifo;
    case K::kSocket: return kTypeSocket;
  }
  return 0;
}

}  // namespace

std::string EntriesListFor(const std::string& fs_config_path) {
  static const std::string kSuffix = "_fs_config.txt";
  size_t slash = std::string::npos;
  for (size_t i = 0; i < fs_config_path.size(); ++i)
    if (platform::IsSeparator(fs_config_path[i])) slash = i;
  const std::string folder = slash == std::string::npos ? "." : fs_config_path.substr(0, slash);
  const std::string file = slash == std::string::npos ? fs_config_path : fs_config_path.substr(slash + 1);
  if (file.size() <= kSuffix.size() || file.compare(file.size() - kSuffix.size(), kSuffix.size(), kSuffix))
    return {};
  return treelist::EntriesListPath(folder, file.substr(0, file.size() - kSuffix.size()));
}

bool SourceTree::LoadList(const std::string& list_path, std::string* error) {
  return treelist::EntriesList::Read(list_path, &list_, error);
}

bool SourceTree::List(int dirfd, const std::string& srel, const std::string& shown,
                      std::vector<SourceEntry>* out, std::string* error) const {
  out->clear();
  std::vector<std::string> names;
  if (!platform::ListFolder(dirfd, &names)) {
    *error = "cannot read folder " + shown + ": " + strerror(errno);
    return false;
  }
  out->reserve(names.size());
  for (const auto& stored : names) {
    SourceEntry e;
    e.stored = stored;
    e.name = list_.OriginalName(srel, stored);
    const std::string spath = srel.empty() ? stored : srel + "/" + stored;
    if (!platform::InfoAt(dirfd, stored, &e.info)) {
      *error = "cannot stat " + (shown.empty() ? e.name : shown + "/" + e.name) + ": " + strerror(errno);
      return false;
    }
    e.type = TypeOf(e.info.kind);
    if (const treelist::KeptEntry* k = list_.Find(spath)) {
      // Only a plain file can stand for a kept entry; anything else on disk is taken as it is.
      if (e.info.kind == platform::EntryInfo::Kind::kFile) {
        e.kept = true;
        e.type = TypeOf(k->kind);
        e.target = k->target;
        e.major = k->major;
        e.minor = k->minor;
      }
    }
    if (!e.kept) {
      e.major = e.info.rdevMajor;
      e.minor = e.info.rdevMinor;
    }
    out->push_back(std::move(e));
  }
  std::sort(out->begin(), out->end(),
            [](const SourceEntry& a, const SourceEntry& b) { return a.name < b.name; });
  return true;
}

bool SourceTree::LinkTarget(int dirfd, const SourceEntry& e, std::string* target) const {
  if (e.kept) {
    *target = e.target;
    return true;
  }
  return platform::ReadLinkAt(dirfd, e.stored, target);
}

}  // namespace orvex::ext4
