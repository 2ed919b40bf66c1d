#include "ext4/fspatch.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <ostream>
#include <sstream>
#include <unordered_set>
#include <vector>

#include "ext4/file_contexts.h"
#include "ext4/fs_config.h"
#include "ext4/mode_bits.h"
#include "ext4/source_tree.h"
#include "ext4/text_file.h"
#include "platform.h"
#include "platform_io.h"
#include "platform_tree.h"

namespace orvex::ext4 {

namespace {

constexpr const char* kTool = "fspatch";
constexpr int kMaxDepth = 512;

struct Added {
  std::string path;  // as written in the attribute file
  uint32_t mode;  // file type bits (mode_bits.h)
};

bool ReadWhole(const std::string& path, std::string* out, bool* exists, std::string* error) {
  return ReadWholeFile(path, out, exists, error);
}

std::string BaseName(std::string p) {
  while (p.size() > 1 && platform::IsSeparator(p.back())) p.pop_back();
  size_t s = p.size();
  while (s > 0 && !platform::IsSeparator(p[s - 1])) --s;
  return p.substr(s);
}

class Walker {
 public:
  Walker(const SourceTree& tree, const std::unordered_set<std::string>& known,
         const std::string& prefix, std::vector<Added>* added)
      : tree_(tree), known_(known), prefix_(prefix), added_(added) {}

  // rel: the path in the image; srel: the same folder as stored on disk.
  bool Walk(int dirfd, const std::string& rel, const std::string& srel, int depth,
            std::string* error) {
    if (depth > kMaxDepth) {
      *error = "tree is deeper than " + std::to_string(kMaxDepth) + " levels";
      return false;
    }
    std::vector<SourceEntry> entries;
    if (!tree_.List(dirfd, srel, ConfigPath(rel), &entries, error)) return false;
    for (const auto& e : entries) {
      const std::string r = rel.empty() ? e.name : rel + "/" + e.name;
      Visit(r, e.type);
      if (e.type == kTypeDir) {
        const int sub = platform::OpenFolderAt(dirfd, e.stored);
        if (sub < 0) {
          *error = "cannot open folder " + ConfigPath(r) + ": " + strerror(errno);
          return false;
        }
        const bool ok = Walk(sub, r, srel.empty() ? e.stored : srel + "/" + e.stored, depth + 1, error);
        platform::CloseFolder(sub);
        if (!ok) return false;
      }
    }
    return true;
  }

  void Visit(const std::string& rel, uint32_t mode) {
    const std::string p = ConfigPath(rel);
    if (!known_.count(p)) added_->push_back({p, mode});
  }

  std::string ConfigPath(const std::string& rel) const {
    if (prefix_.empty()) return rel;
    return rel.empty() ? prefix_ : prefix_ + "/" + rel;
  }

 private:
  const SourceTree& tree_;
  const std::unordered_set<std::string>& known_;
  const std::string& prefix_;
  std::vector<Added>* added_;
};

// Appends lines to text with the given line end, first ending an unterminated last line.
void AppendLines(std::string* text, const std::vector<std::string>& lines, const char* eol) {
  if (lines.empty()) return;
  if (!text->empty() && text->back() != '\n') *text += eol;
  for (const auto& l : lines) {
    *text += l;
    *text += eol;
  }
}

const char* LineEnd(const std::string& text) {
  size_t nl = text.find('\n');
  return nl != std::string::npos && nl > 0 && text[nl - 1] == '\r' ? "\r\n" : "\n";
}

}  // namespace

std::string ContextsFileFor(const std::string& fs_config_path) {
  const size_t slash = fs_config_path.rfind('/');
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  const size_t p = fs_config_path.rfind("fs_config");
  if (p == std::string::npos || p < start) return {};
  std::string out = fs_config_path;
  out.replace(p, strlen("fs_config"), "file_contexts");
  return out;
}

int PatchFsConfig(const std::string& tree, const std::string& fs_config, std::ostream& out,
                  std::ostream& err) {
  auto fail = [&](const std::string& m) {
    err << kTool << ": error: " << m << "\n";
    err.flush();
    return 1;
  };
  const int treefd = platform::OpenFolder(tree);
  if (treefd < 0) return fail("cannot open folder " + tree + ": " + strerror(errno));
  struct FdCloser {
    int fd;
    ~FdCloser() { platform::CloseFolder(fd); }
  } closer{treefd};
  // Links, nodes and names the tree could not hold, kept beside the attribute file.
  SourceTree source;
  std::string list_error;
  const std::string list = EntriesListFor(fs_config);
  if (!list.empty() && !source.LoadList(list, &list_error)) return fail(list_error);

  std::string text, error;
  bool exists = false;
  if (!ReadWhole(fs_config, &text, &exists, &error)) return fail(error);
  if (!exists) out << kTool << ": " << fs_config << " does not exist; creating it\n";

  // Paths already present. Lines that do not parse are kept as they are and ignored here.
  std::unordered_set<std::string> known;
  {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
      std::string e;
      if (auto entry = ParseFsConfigLine(line, &e)) known.insert(entry->path);
    }
  }
  // The attribute file names paths with the mount point folder first ("system/bin/sh"); a file
  // without that folder in its paths is patched in its own style.
  const std::string base = BaseName(tree);
  std::string prefix = base;
  if (!known.empty()) {
    bool prefixed = false;
    for (const auto& p : known) {
      if (p == base || p.compare(0, base.size() + 1, base + "/") == 0) {
        prefixed = true;
        break;
      }
    }
    if (!prefixed) prefix.clear();
  }

  std::vector<Added> added;
  Walker w(source, known, prefix, &added);
  platform::EntryInfo rst;
  if (!platform::InfoOf(treefd, &rst)) return fail("cannot stat " + tree + ": " + strerror(errno));
  w.Visit("", kTypeDir);
  if (!w.Walk(treefd, "", "", 0, &error)) return fail(error);

  std::vector<std::string> lines;
  for (const auto& a : added) {
    FsConfigEntry e = AndroidDefaults(a.path, a.mode == kTypeDir);
    lines.push_back(FormatFsConfigLine(e));
    out << kTool << ": added " << lines.back() << "\n";
  }
  if (!lines.empty()) {
    AppendLines(&text, lines, exists ? LineEnd(text) : "\n");
    if (!WriteFileAtomic(fs_config, text, &error)) return fail(error);
  }
  out << kTool << ": " << lines.size() << " entries added to " << fs_config << "\n";

  // The context file beside it gets the same paths, labelled like their nearest labelled parent.
  const std::string contexts_path = ContextsFileFor(fs_config);
  if (!added.empty() && !contexts_path.empty() && platform::Exists(contexts_path)) {
    FileContexts fc;
    if (!fc.Load(contexts_path, &error)) return fail(error);
    std::string ctext;
    bool cexists = false;
    if (!ReadWhole(contexts_path, &ctext, &cexists, &error)) return fail(error);
    // Context paths always carry the mount point folder.
    auto context_path = [&](const std::string& p) {
      return "/" + (prefix.empty() ? (p.empty() ? base : base + "/" + p) : p);
    };
    std::vector<std::string> clines;
    for (const auto& a : added) {
      const std::string cp = context_path(a.path);
      if (fc.Lookup(cp, a.mode)) continue;  // a rule of the file already labels it
      std::string parent = cp;
      std::optional<std::string> ctx;
      while (!ctx) {
        size_t s = parent.rfind('/');
        if (s == std::string::npos || parent.size() <= 1) break;
        parent = s == 0 ? "/" : parent.substr(0, s);
        ctx = fc.Lookup(parent, kTypeDir);
        if (parent == "/") break;
      }
      if (!ctx) {
        err << kTool << ": warning: no labelled parent for " << cp << "; no context added\n";
        continue;
      }
      clines.push_back(EscapeRegex(cp) + " " + *ctx);
      out << kTool << ": added context " << clines.back() << "\n";
    }
    if (!clines.empty()) {
      AppendLines(&ctext, clines, LineEnd(ctext));
      if (!WriteFileAtomic(contexts_path, ctext, &error)) return fail(error);
    }
    out << kTool << ": " << clines.size() << " contexts added to " << contexts_path << "\n";
  }
  out.flush();
  return 0;
}

}  // namespace orvex::ext4
