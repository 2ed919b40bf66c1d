#include "bootimg/ramdisk_tree.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include "bootimg/cpio.h"
#include "bootimg/sha1.h"
#include "platform.h"
#include "platform_io.h"
#include "platform_tree.h"
#include "bootimg/ramdisk_names.h"

namespace orvex::bootimg {

namespace fs = std::filesystem;

namespace {

std::string Escape(const std::string& s) {
  std::string o;
  for (char c : s) {
    switch (c) {
      case '\\': o += "\\\\"; break;
      case '\t': o += "\\t"; break;
      case '\n': o += "\\n"; break;
      case '\r': o += "\\r"; break;
      default: o += c;
    }
  }
  return o;
}

std::string Unescape(const std::string& s) {
  std::string o;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      o += s[i];
      continue;
    }
    char c = s[++i];
    o += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
  }
  return o;
}

char TypeLetter(uint32_t mode) {
  switch (mode & kTypeMask) {
    case kTypeDir: return 'd';
    case kTypeFile: return 'f';
    case kTypeLink: return 'l';
    case kTypeChar: return 'c';
    case kTypeBlock: return 'b';
    case kTypeFifo: return 'p';
    case kTypeSocket: return 's';
  }
  return 0;
}

uint32_t TypeBits(char t) {
  switch (t) {
    case 'd': return kTypeDir;
    case 'f': return kTypeFile;
    case 'l': return kTypeLink;
    case 'c': return kTypeChar;
    case 'b': return kTypeBlock;
    case 'p': return kTypeFifo;
    case 's': return kTypeSocket;
  }
  return 0;
}

uint32_t ParseNumber(const std::string& s, int base, const std::string& where) {
  if (s.empty()) throw Error("missing number in " + where);
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(s.c_str(), &end, base);
  if (*end || errno || v > 0xFFFFFFFFull || s[0] == '-') throw Error("bad number '" + s + "' in " + where);
  return uint32_t(v);
}

// An open folder or file of the tree, closed with the object.
template <bool kFolder>
class Handle {
 public:
  explicit Handle(int fd = -1) : fd_(fd) {}
  // A descriptor someone else closes.
  static Handle Borrowed(int fd) {
    Handle h(fd);
    h.owned_ = false;
    return h;
  }
  ~Handle() {
    if (fd_ < 0 || !owned_) return;
    if (kFolder)
      platform::CloseFolder(fd_);
    else
      platform::CloseFile(fd_);
  }
  Handle(Handle&& o) noexcept : fd_(o.fd_), owned_(o.owned_) { o.fd_ = -1; }
  Handle& operator=(Handle&& o) noexcept {
    std::swap(fd_, o.fd_);
    std::swap(owned_, o.owned_);
    return *this;
  }
  int get() const { return fd_; }

 private:
  int fd_;
  bool owned_ = true;
};
using Dir = Handle<true>;
using Fd = Handle<false>;

// Opens the folder that holds `rel` (a stored path; missing folders are created), refusing links
// on the way.
Dir OpenParent(int root, const std::string& rel, std::string* leaf) {
  Dir cur = Dir::Borrowed(root);
  size_t i = 0;
  for (;;) {
    size_t j = rel.find('/', i);
    if (j == std::string::npos) {
      *leaf = rel.substr(i);
      return cur;
    }
    std::string part = rel.substr(i, j - i);
    int fd = platform::OpenFolderAt(cur.get(), part);
    if (fd < 0 && errno == ENOENT) {
      if (platform::MakeFolderAt(cur.get(), part, 0755) != 0 && errno != EEXIST)
        throw Error("cannot create the folder " + rel.substr(0, j) + ": " + std::strerror(errno));
      fd = platform::OpenFolderAt(cur.get(), part);
    }
    if (fd < 0) throw Error("cannot enter the folder " + rel.substr(0, j) + ": " + std::strerror(errno));
    cur = Dir(fd);
    i = j + 1;
  }
}

std::string Join(const std::string& a, const std::string& b) { return a.empty() ? b : a + "/" + b; }

// The stored path of every entry path of the archive: the names this system cannot hold are
// changed once, when their entry (or the first entry below them) is written, and recorded.
class StoredNames {
 public:
  explicit StoredNames(RamdiskNames* list) : list_(list) {}
  const std::string& Of(const std::string& path) {
    auto it = stored_.find(path);
    if (it != stored_.end()) return it->second;
    size_t slash = path.rfind('/');
    std::string parent = slash == std::string::npos ? "" : Of(path.substr(0, slash));
    std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
    return stored_[path] = Join(parent, list_->StoredName(parent, leaf, path));
  }

 private:
  RamdiskNames* list_;
  std::map<std::string, std::string> stored_;
};

struct FolderItem {
  std::string rel;     // the entry's path in the archive
  std::string stored;  // where it is on disk, below the folder
  char type;           // d, f, l
  uint64_t size = 0;
  bool exec = false;
  std::string target;
};

// Path order: part by part, so that a folder's entries follow it directly.
std::vector<std::string> Parts(const std::string& p) {
  std::vector<std::string> v;
  size_t i = 0;
  for (;;) {
    size_t j = p.find('/', i);
    v.push_back(p.substr(i, j == std::string::npos ? std::string::npos : j - i));
    if (j == std::string::npos) return v;
    i = j + 1;
  }
}
bool PathLess(const std::string& a, const std::string& b) { return Parts(a) < Parts(b); }

void WalkInto(int dir, const std::string& stored, const std::string& rel, const RamdiskNames& names,
              std::vector<FolderItem>* out) {
  std::vector<std::string> list;
  if (!platform::ListFolder(dir, &list))
    throw Error("cannot read the folder " + (rel.empty() ? std::string(".") : rel) + ": " + std::strerror(errno));
  for (const auto& name : list) {
    FolderItem it;
    it.stored = Join(stored, name);
    it.rel = Join(rel, names.OriginalName(stored, name));
    platform::EntryInfo info;
    if (!platform::InfoAt(dir, name, &info)) throw Error("cannot read " + it.stored + ": " + std::strerror(errno));
    using K = platform::EntryInfo::Kind;
    if (info.kind == K::kLink) {
      it.type = 'l';
      if (!platform::ReadLinkAt(dir, name, &it.target)) throw Error("cannot read the link " + it.stored);
    } else if (info.kind == K::kFolder) {
      it.type = 'd';
    } else if (info.kind == K::kFile) {
      it.type = 'f';
      it.size = info.size;
      it.exec = (info.mode & 0100) != 0;
    } else {
      continue;  // a node the user made in the folder: only the list can hold those
    }
    out->push_back(it);
    if (it.type == 'd') {
      Dir sub(platform::OpenFolderAt(dir, name));
      if (sub.get() < 0) throw Error("cannot enter the folder " + it.stored + ": " + std::strerror(errno));
      WalkInto(sub.get(), it.stored, it.rel, names, out);
    }
  }
}

// Every entry under folder, parents before children, in path order; links not followed.
std::vector<FolderItem> WalkFolder(const std::string& folder) {
  std::vector<FolderItem> out;
  Dir root(platform::OpenFolder(folder));
  if (root.get() < 0) return out;
  RamdiskNames names = RamdiskNames::Read(NamesListPath(folder));
  WalkInto(root.get(), "", "", names, &out);
  std::stable_sort(out.begin(), out.end(), [](const FolderItem& a, const FolderItem& b) { return PathLess(a.rel, b.rel); });
  return out;
}

}  // namespace

std::vector<ListEntry> ReadListFile(const std::string& path) {
  std::string text;
  try {
    File f(path, "rb");
    FileReader r(f);
    StringWriter w;
    Copy(r, w);
    text = std::move(w.s);
  } catch (const Error&) {
    throw Error("cannot read the list file " + path);
  }
  std::istringstream in(text);
  std::vector<ListEntry> out;
  std::string line;
  int no = 0;
  while (std::getline(in, line)) {
    ++no;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    size_t i = 0;
    for (;;) {
      size_t j = line.find('\t', i);
      f.push_back(line.substr(i, j == std::string::npos ? std::string::npos : j - i));
      if (j == std::string::npos) break;
      i = j + 1;
    }
    const std::string where = path + " line " + std::to_string(no);
    if (f.size() < 6) throw Error("too few fields in " + where);
    ListEntry e;
    e.path = CleanEntryName(Unescape(f[0]));
    if (f[1].size() != 1 || !TypeBits(f[1][0])) throw Error("unknown entry type '" + f[1] + "' in " + where);
    e.type = f[1][0];
    e.mode = ParseNumber(f[2], 8, where) & 07777;
    e.uid = ParseNumber(f[3], 10, where);
    e.gid = ParseNumber(f[4], 10, where);
    e.mtime = ParseNumber(f[5], 10, where);
    std::string extra = f.size() > 6 ? Unescape(f[6]) : "";
    if (e.type == 'l') {
      if (extra.empty()) throw Error("a link without a target in " + where);
      e.target = extra;
    } else if (e.type == 'c' || e.type == 'b') {
      size_t comma = extra.find(',');
      if (comma == std::string::npos) throw Error("a device without major,minor in " + where);
      e.rdev_major = ParseNumber(extra.substr(0, comma), 10, where);
      e.rdev_minor = ParseNumber(extra.substr(comma + 1), 10, where);
    }
    out.push_back(e);
  }
  return out;
}

void WriteListFile(const std::string& path, const std::vector<ListEntry>& entries) {
  std::ostringstream o;
  o << "# Ramdisk entries in archive order: path, type (d f l c b p s), mode (octal), uid, gid, mtime,\n"
       "# link target or device major,minor. Links and device nodes live only here; edit a line to change\n"
       "# an owner or mode, delete it to drop the entry. Files new in the folder get 0644 (0755 when\n"
       "# executable), folders 0755, owner 0:0.\n";
  for (const auto& e : entries) {
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", e.mode & 07777);
    o << Escape(e.path) << '\t' << e.type << '\t' << mode << '\t' << e.uid << '\t' << e.gid << '\t' << e.mtime;
    if (e.type == 'l') o << '\t' << Escape(e.target);
    if (e.type == 'c' || e.type == 'b') o << '\t' << e.rdev_major << ',' << e.rdev_minor;
    o << '\n';
  }
  File f(path, "wb");
  FileWriter w(f);
  std::string s = o.str();
  w.Write(s.data(), s.size());
  f.Close();
}

ExtractStats ExtractCpio(Reader& in, const std::string& folder, const std::string& list_path,
                         const ExtractLimits& limits) {
  std::error_code ec;
  fs::create_directories(platform::ToPath(folder), ec);
  Dir root(platform::OpenFolder(folder));
  if (root.get() < 0) throw Error("cannot open the folder " + folder + ": " + std::strerror(errno));
  // Names this system cannot hold are stored changed, and the names list keeps the originals.
  RamdiskNames names(limits.windows_names);
  StoredNames stored(&names);
  CpioReader cpio(in);
  CpioEntry e;
  ExtractStats st;
  std::vector<ListEntry> list;
  std::set<std::string> seen, not_dirs;
  std::vector<std::pair<std::string, uint32_t>> dir_modes;
  std::vector<uint8_t> buf(1 << 16);
  // Hard links: archivers store the data with one name of the group (usually the last) and
  // none with the others, which get the same content once the archive is read.
  struct LinkGroup {
    std::vector<std::string> paths;
    std::string with_data;
  };
  std::map<std::tuple<uint32_t, uint32_t, uint32_t>, LinkGroup> links;
  while (cpio.Next(e)) {
    if (++st.entries > limits.max_entries)
      throw Error("the ramdisk holds more than " + std::to_string(limits.max_entries) + " entries");
    ListEntry le;
    le.path = CleanEntryName(e.name);
    le.type = TypeLetter(e.mode);
    if (!le.type) throw Error("a cpio entry has an unknown file type: " + e.name);
    le.mode = e.mode & 07777;
    le.uid = e.uid;
    le.gid = e.gid;
    le.mtime = e.mtime;
    le.rdev_major = e.rdev_major;
    le.rdev_minor = e.rdev_minor;
    // Nothing may sit below an entry that is not a folder: that is how a planted link would be
    // written through.
    for (size_t p = le.path.find('/'); p != std::string::npos; p = le.path.find('/', p + 1))
      if (not_dirs.count(le.path.substr(0, p)))
        throw Error("a cpio entry lies below a link or file of the archive: " + e.name);
    if (!seen.insert(le.path).second) throw Error("a cpio entry appears twice: " + e.name);
    if (le.type != 'd') not_dirs.insert(le.path);

    if (le.type == 'l') {
      if (e.size == 0 || e.size > 4096) throw Error("a link target has an invalid length: " + e.name);
      le.target.resize(size_t(e.size));
      if (cpio.ReadData(le.target.data(), le.target.size()) != le.target.size())
        throw Error("a link target is cut short: " + e.name);
      le.target.resize(strnlen(le.target.c_str(), le.target.size()));
      if (le.target.empty()) throw Error("a link has an empty target: " + e.name);
    } else if (le.type == 'd' && le.path != ".") {
      std::string leaf;
      const std::string& at = stored.Of(le.path);
      Dir parent = OpenParent(root.get(), at, &leaf);
      if (platform::MakeFolderAt(parent.get(), leaf, 0700) != 0) {
        const int err = errno;
        platform::EntryInfo info;
        if (err != EEXIST || !platform::InfoAt(parent.get(), leaf, &info) ||
            info.kind != platform::EntryInfo::Kind::kFolder)
          throw Error("cannot create the folder " + le.path + ": " + std::strerror(err));
      }
      dir_modes.emplace_back(at, le.mode);
    } else if (le.type == 'f') {
      std::string leaf;
      Dir parent = OpenParent(root.get(), stored.Of(le.path), &leaf);
      Fd out(platform::CreateFileAt(parent.get(), leaf, 0600, true));
      if (out.get() < 0) throw Error("cannot create " + le.path + ": " + std::strerror(errno));
      for (uint64_t off = 0;;) {
        size_t got = cpio.ReadData(buf.data(), buf.size());
        if (got == 0) break;
        if (!platform::WriteAllAt(out.get(), buf.data(), got, off))
          throw Error("cannot write " + le.path + ": " + std::strerror(errno));
        off += got;
        st.bytes += got;
      }
      // The list holds the real mode; the folder's copy only has to stay readable and writable.
      if (platform::TreeKeepsOwners()) platform::SetMode(out.get(), (le.mode & 0777) | 0600);
      ++st.files;
      if (e.nlink > 1) {
        LinkGroup& g = links[{e.dev_major, e.dev_minor, e.ino}];
        g.paths.push_back(le.path);
        if (e.size > 0) g.with_data = le.path;
      }
    }
    list.push_back(le);
  }
  for (const auto& [key, g] : links) {
    if (g.with_data.empty()) continue;
    for (const auto& p : g.paths) {
      if (p == g.with_data) continue;
      std::string leaf, from_leaf;
      Dir src_parent = OpenParent(root.get(), stored.Of(g.with_data), &from_leaf);
      Fd src(platform::OpenFileAt(src_parent.get(), from_leaf));
      Dir parent = OpenParent(root.get(), stored.Of(p), &leaf);
      platform::EntryInfo info;
      if (src.get() < 0 || !platform::InfoAt(parent.get(), leaf, &info) || info.kind != platform::EntryInfo::Kind::kFile)
        throw Error("cannot fill the hard link " + p);
      if (info.size != 0) continue;  // it had data of its own
      Fd dst(platform::CreateFileAt(parent.get(), leaf, 0600, false));
      if (dst.get() < 0) throw Error("cannot fill the hard link " + p);
      for (uint64_t off = 0;;) {
        int64_t got = platform::ReadAt(src.get(), buf.data(), buf.size(), off);
        if (got < 0) throw Error("cannot read " + g.with_data);
        if (got == 0) break;
        if (!platform::WriteAllAt(dst.get(), buf.data(), size_t(got), off)) throw Error("cannot write " + p);
        off += uint64_t(got);
        st.bytes += uint64_t(got);
      }
    }
  }
  // Folder modes last, so that a read-only folder of the archive did not stop its own entries.
  if (platform::TreeKeepsOwners()) {
    for (const auto& [at, mode] : dir_modes) {
      std::string leaf;
      Dir parent = OpenParent(root.get(), at, &leaf);
      platform::SetModeAt(parent.get(), leaf, (mode & 0777) | 0700);
    }
  }
  WriteListFile(list_path, list);
  names.Write(NamesListPath(folder));
  return st;
}

void BuildCpio(const std::string& folder, const std::string& list_path, Writer& out) {
  std::vector<ListEntry> list = ReadListFile(list_path);
  std::vector<FolderItem> items = WalkFolder(folder);
  std::map<std::string, const FolderItem*> present;
  for (const auto& it : items) present[it.rel] = &it;

  CpioWriter cpio(out);
  uint32_t ino = 300000;
  std::set<std::string> written;
  std::vector<uint8_t> buf(1 << 16);
  auto emit = [&](const std::string& rel, char type, uint32_t perm, uint32_t uid, uint32_t gid, uint32_t mtime,
                  const std::string& target, uint32_t rmaj, uint32_t rmin, const FolderItem* item) {
    CpioEntry e;
    e.name = rel;
    e.ino = ino++;
    e.mode = TypeBits(type) | (perm & 07777);
    e.uid = uid;
    e.gid = gid;
    e.mtime = mtime;
    e.nlink = type == 'd' ? 2 : 1;
    e.rdev_major = rmaj;
    e.rdev_minor = rmin;
    if (type == 'f') e.size = item->size;
    if (type == 'l') e.size = target.size();
    cpio.Begin(e);
    if (type == 'l') cpio.Data(target.data(), target.size());
    if (type == 'f') {
      File f(folder + "/" + item->stored, "rb");
      uint64_t left = e.size;
      while (left > 0) {
        size_t got = f.Read(buf.data(), size_t(std::min<uint64_t>(buf.size(), left)));
        if (got == 0) throw Error("a file of the ramdisk shrank while it was packed: " + rel);
        cpio.Data(buf.data(), got);
        left -= got;
      }
    }
    cpio.End();
    written.insert(rel);
  };

  for (const auto& le : list) {
    if (written.count(le.path)) continue;
    auto it = present.find(le.path);
    if (le.path == ".") {
      if (le.type == 'd') emit(".", 'd', le.mode, le.uid, le.gid, le.mtime, "", 0, 0, nullptr);
      continue;
    }
    if (it == present.end()) {
      // Folders and files deleted from the folder are dropped; the rest lives in the list.
      if (le.type != 'd' && le.type != 'f')
        emit(le.path, le.type, le.mode, le.uid, le.gid, le.mtime, le.target, le.rdev_major, le.rdev_minor, nullptr);
      continue;
    }
    const FolderItem& fi = *it->second;
    if (fi.type == le.type) {
      emit(le.path, le.type, le.mode, le.uid, le.gid, le.mtime, fi.target, 0, 0, &fi);
    } else {
      // Replaced in the folder by another kind of entry: the folder decides the kind.
      uint32_t perm = fi.type == 'l' ? 0777 : (le.mode & 07777);
      emit(le.path, fi.type, perm, le.uid, le.gid, le.mtime, fi.target, 0, 0, &fi);
    }
  }
  for (const auto& fi : items) {
    if (written.count(fi.rel)) continue;
    uint32_t perm = fi.type == 'd' ? 0755 : fi.type == 'l' ? 0777 : fi.exec ? 0755 : 0644;
    emit(fi.rel, fi.type, perm, 0, 0, 0, fi.target, 0, 0, &fi);
  }
  cpio.Finish();
}

std::string NamesListPath(const std::string& folder) {
  std::string f = folder;
  while (f.size() > 1 && platform::IsSeparator(f.back())) f.pop_back();
  size_t slash = f.find_last_of(platform::kSeparators);
  const std::string parent = slash == std::string::npos ? "." : f.substr(0, slash == 0 ? 1 : slash);
  return parent + "/" + (slash == std::string::npos ? f : f.substr(slash + 1)) + "_windows_entries.txt";
}

std::string TreeDigest(const std::string& folder, const std::string& list_path) {
  Sha1 sha;
  {
    File lf(list_path, "rb");
    FileReader r(lf);
    Copy(r, sha);
  }
  std::vector<uint8_t> buf(1 << 16);
  for (const auto& it : WalkFolder(folder)) {
    sha.Update(it.rel.c_str(), it.rel.size() + 1);
    sha.Update(&it.type, 1);
    sha.UpdateLe32(uint32_t(it.size));
    sha.UpdateLe32(uint32_t(it.size >> 32));
    if (it.type == 'l') sha.Update(it.target.c_str(), it.target.size() + 1);
    if (it.type == 'f') {
      File f(folder + "/" + it.stored, "rb");
      FileReader r(f);
      Copy(r, sha);
    }
  }
  auto d = sha.Final();
  return Sha1::Hex(d.data(), d.size());
}

}  // namespace orvex::bootimg
