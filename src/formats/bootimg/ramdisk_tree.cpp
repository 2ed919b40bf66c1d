#include "bootimg/ramdisk_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include "bootimg/cpio.h"
#include "bootimg/sha1.h"

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

// A directory opened below the extraction root, never through a link.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Fd& operator=(Fd&& o) noexcept {
    std::swap(fd_, o.fd_);
    return *this;
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Opens the folder that holds `rel` (creating missing folders), refusing links on the way.
Fd OpenParent(int root, const std::string& rel, std::string* leaf) {
  Fd cur(::dup(root));
  size_t i = 0;
  for (;;) {
    size_t j = rel.find('/', i);
    if (j == std::string::npos) {
      *leaf = rel.substr(i);
      return cur;
    }
    std::string part = rel.substr(i, j - i);
    int fd = ::openat(cur.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
      if (::mkdirat(cur.get(), part.c_str(), 0755) != 0 && errno != EEXIST)
        throw Error("cannot create the folder " + rel.substr(0, j) + ": " + std::strerror(errno));
      fd = ::openat(cur.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0) throw Error("cannot enter the folder " + rel.substr(0, j) + ": " + std::strerror(errno));
    cur = Fd(fd);
    i = j + 1;
  }
}

struct FolderItem {
  std::string rel;
  char type;  // d, f, l
  uint64_t size = 0;
  bool exec = false;
  std::string target;
};

// Every entry under folder, parents before children, names in byte order; links not followed.
std::vector<FolderItem> WalkFolder(const std::string& folder) {
  std::vector<FolderItem> out;
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) return out;
  std::vector<fs::path> stack{fs::path()};
  while (!stack.empty()) {
    fs::path rel = stack.back();
    stack.pop_back();
    std::vector<FolderItem> here;
    for (const auto& de : fs::directory_iterator(fs::path(folder) / rel)) {
      FolderItem it;
      fs::path r = rel / de.path().filename();
      it.rel = r.generic_string();
      auto st = de.symlink_status();
      if (fs::is_symlink(st)) {
        it.type = 'l';
        it.target = fs::read_symlink(de.path()).string();
      } else if (fs::is_directory(st)) {
        it.type = 'd';
      } else if (fs::is_regular_file(st)) {
        it.type = 'f';
        it.size = fs::file_size(de.path());
        it.exec = (st.permissions() & fs::perms::owner_exec) != fs::perms::none;
      } else {
        continue;  // a node the user made in the folder: only the list can hold those
      }
      here.push_back(it);
    }
    std::sort(here.begin(), here.end(), [](const FolderItem& a, const FolderItem& b) { return a.rel < b.rel; });
    // Depth first, in name order: push children in reverse.
    for (const auto& it : here) out.push_back(it);
    for (auto it = here.rbegin(); it != here.rend(); ++it)
      if (it->type == 'd') stack.push_back(fs::path(it->rel));
  }
  // Parents come before their children; sort by path components for a stable order.
  std::stable_sort(out.begin(), out.end(), [](const FolderItem& a, const FolderItem& b) {
    return fs::path(a.rel) < fs::path(b.rel);
  });
  return out;
}

}  // namespace

std::vector<ListEntry> ReadListFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Error("cannot read the list file " + path);
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
  fs::create_directories(folder, ec);
  Fd root(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (root.get() < 0) throw Error("cannot open the folder " + folder + ": " + std::strerror(errno));
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
      Fd parent = OpenParent(root.get(), le.path, &leaf);
      if (::mkdirat(parent.get(), leaf.c_str(), 0700) != 0) {
        struct stat sb;
        if (errno != EEXIST || ::fstatat(parent.get(), leaf.c_str(), &sb, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(sb.st_mode))
          throw Error("cannot create the folder " + le.path + ": " + std::strerror(errno));
      }
      dir_modes.emplace_back(le.path, le.mode);
    } else if (le.type == 'f') {
      std::string leaf;
      Fd parent = OpenParent(root.get(), le.path, &leaf);
      Fd out(::openat(parent.get(), leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (out.get() < 0) throw Error("cannot create " + le.path + ": " + std::strerror(errno));
      for (;;) {
        size_t got = cpio.ReadData(buf.data(), buf.size());
        if (got == 0) break;
        for (size_t off = 0; off < got;) {
          ssize_t w = ::write(out.get(), buf.data() + off, got - off);
          if (w < 0) throw Error("cannot write " + le.path + ": " + std::strerror(errno));
          off += size_t(w);
        }
        st.bytes += got;
      }
      ::fchmod(out.get(), (le.mode & 0777) | 0600);
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
      Fd src_parent = OpenParent(root.get(), g.with_data, &from_leaf);
      Fd src(::openat(src_parent.get(), from_leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
      Fd parent = OpenParent(root.get(), p, &leaf);
      Fd dst(::openat(parent.get(), leaf.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
      if (src.get() < 0 || dst.get() < 0) throw Error("cannot fill the hard link " + p);
      struct stat sb;
      if (::fstat(dst.get(), &sb) != 0 || sb.st_size != 0) continue;  // it had data of its own
      for (;;) {
        ssize_t got = ::read(src.get(), buf.data(), buf.size());
        if (got < 0) throw Error("cannot read " + g.with_data);
        if (got == 0) break;
        if (::write(dst.get(), buf.data(), size_t(got)) != got) throw Error("cannot write " + p);
        st.bytes += uint64_t(got);
      }
    }
  }
  // Folder modes last, so that a read-only folder of the archive did not stop its own entries.
  for (const auto& [rel, mode] : dir_modes) ::fchmodat(root.get(), rel.c_str(), (mode & 0777) | 0700, 0);
  WriteListFile(list_path, list);
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
      File f((fs::path(folder) / rel).string(), "rb");
      uint64_t left = e.size;
      while (left > 0) {
        size_t got = std::fread(buf.data(), 1, std::min<uint64_t>(buf.size(), left), f.get());
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
      File f((fs::path(folder) / it.rel).string(), "rb");
      FileReader r(f);
      Copy(r, sha);
    }
  }
  auto d = sha.Final();
  return Sha1::Hex(d.data(), d.size());
}

}  // namespace orvex::bootimg
