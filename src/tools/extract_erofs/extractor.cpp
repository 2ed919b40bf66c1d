#include "extractor.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "config_files.h"
#include "entries_list.h"
#include "erofs_image.h"
#include "erofs_walk.h"
#include "image_survey.h"
#include "platform.h"
#include "platform_io.h"
#include "platform_tree.h"

namespace orvex::extract_erofs {

namespace fs = std::filesystem;
using erofs::Error;
using erofs::FileType;
using erofs::Image;
using erofs::Inode;
using erofs::Xattr;

namespace {

constexpr const char* kTool = "extract.erofs";

std::string Errno() { return std::strerror(errno); }

void Warn(const std::string& msg) { std::fprintf(stderr, "%s: warning: %s\n", kTool, msg.c_str()); }

// A descriptor that closes itself: a file (CloseFile) or a folder (CloseFolder).
template <int (*Close)(int)>
class Handle {
 public:
  Handle() = default;
  explicit Handle(int fd) : fd_(fd) {}
  ~Handle() { Reset(); }
  Handle(Handle&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Handle& operator=(Handle&& o) noexcept {
    if (this != &o) {
      Reset();
      fd_ = o.fd_;
      o.fd_ = -1;
    }
    return *this;
  }
  int get() const { return fd_; }
  void Reset() {
    if (fd_ >= 0) Close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};
using Fd = Handle<platform::CloseFile>;
using Folder = Handle<platform::CloseFolder>;

// Buffered text output to a new file.
class TextFile {
 public:
  TextFile() = default;
  TextFile(Fd fd, std::string what) : fd_(std::move(fd)), what_(std::move(what)) {}
  void Add(const std::string& s) {
    buf_ += s;
    if (buf_.size() >= (64u << 10)) Flush();
  }
  void Flush() {
    if (!buf_.empty() && !platform::WriteAllAt(fd_.get(), buf_.data(), buf_.size(), written_))
      throw Error("cannot write " + what_ + ": " + Errno());
    written_ += buf_.size();
    buf_.clear();
  }
  void Close() {
    Flush();
    fd_.Reset();
  }

 private:
  Fd fd_;
  std::string what_;
  std::string buf_;
  uint64_t written_ = 0;
};

// ---- file system helpers: nothing here follows a symbolic link inside the output folder ------

bool IsFolderAt(int dfd, const std::string& name) {
  platform::EntryInfo info;
  return platform::InfoAt(dfd, name, &info) && info.kind == platform::EntryInfo::Kind::kFolder;
}

void RemoveTreeAt(int dfd, const std::string& name, int depth = 0) {
  if (depth > 512) throw Error("cannot remove " + name + ": nested too deep");
  Folder d(platform::OpenFolderAt(dfd, name));
  if (d.get() < 0) throw Error("cannot open " + name + " to remove it: " + Errno());
  if (platform::TreeKeepsOwners()) platform::SetMode(d.get(), 0700);
  std::vector<std::string> names;
  if (!platform::ListFolder(d.get(), &names)) throw Error("cannot read " + name + ": " + Errno());
  for (const std::string& n : names) {
    platform::EntryInfo info;
    if (!platform::InfoAt(d.get(), n, &info)) continue;
    if (info.kind == platform::EntryInfo::Kind::kFolder) {
      RemoveTreeAt(d.get(), n, depth + 1);
      platform::RemoveAt(d.get(), n, true);
    } else {
      platform::RemoveAt(d.get(), n, false);
    }
  }
}

// Removes whatever is at dfd/name (a folder with its contents).
void RemoveEntryAt(int dfd, const std::string& name) {
  platform::EntryInfo info;
  if (!platform::InfoAt(dfd, name, &info)) return;
  if (info.kind == platform::EntryInfo::Kind::kFolder) {
    RemoveTreeAt(dfd, name);
    if (!platform::RemoveAt(dfd, name, true)) throw Error("cannot remove " + name + ": " + Errno());
  } else if (!platform::RemoveAt(dfd, name, false)) {
    throw Error("cannot remove " + name + ": " + Errno());
  }
}

platform::FileTimes TimesOf(const Inode& ino) {
  platform::FileTimes t;
  t.atime = t.mtime = static_cast<int64_t>(ino.mtime);
  t.atimeNsec = t.mtimeNsec = ino.mtime_nsec;
  return t;
}

uint64_t CapsOf(const std::vector<Xattr>& xattrs) {
  for (const auto& x : xattrs)
    if (x.name == "security.capability")
      if (auto c = DecodeCapabilities(x.value)) return *c;
  return 0;
}

std::string ContextOf(const std::vector<Xattr>& xattrs) {
  for (const auto& x : xattrs)
    if (x.name == "security.selinux") return CleanContext(x.value);
  return "";
}

// ---- writing regular files on worker threads -------------------------------------------------

struct FileTask {
  Fd fd;
  Inode inode;
  std::vector<Xattr> xattrs;
  std::string path;  // for messages
};

class Extraction;

class Workers {
 public:
  Workers(Extraction& ex, int threads) : ex_(ex) {
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Loop(); });
  }
  ~Workers() { Stop(); }
  bool inline_mode() const { return threads_.empty(); }
  void Push(FileTask t);
  // Waits for every queued file; throws the first error a worker met.
  void Finish() {
    Stop();
    std::lock_guard<std::mutex> lock(mu_);
    if (!error_.empty()) throw Error(error_);
  }
  bool failed() {
    std::lock_guard<std::mutex> lock(mu_);
    return !error_.empty();
  }
  void Fail(const std::string& e) {
    std::lock_guard<std::mutex> lock(mu_);
    if (error_.empty()) error_ = e;
    cv_.notify_all();
  }

 private:
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      done_ = true;
    }
    cv_.notify_all();
    for (auto& t : threads_) t.join();
    threads_.clear();
  }
  void Loop();

  Extraction& ex_;
  std::vector<std::thread> threads_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<FileTask> queue_;
  bool done_ = false;
  std::string error_;
  static constexpr size_t kMaxQueued = 64;
};

// ---- the extraction -------------------------------------------------------------------------

// Where the system cannot hold links or device nodes (Windows), each becomes a regular file (a
// link's file holds its target) and the entries list keeps what it was; names the system cannot
// hold are stored changed and the list keeps the original. The attribute and context files
// always name the entries by their path in the image.
class Extraction : public erofs::WalkVisitor {
 public:
  Extraction(const Image& img, const ExtractOptions& opt, const RootLayout& layout, int tree_parent_fd,
             TextFile& fs_config, TextFile& contexts, treelist::EntriesList& entries)
      : img_(img),
        opt_(opt),
        layout_(layout),
        parent_fd_(tree_parent_fd),
        fs_config_(fs_config),
        contexts_(contexts),
        entries_list_(entries),
        keeps_links_(platform::TreeKeepsLinks()),
        keeps_nodes_(platform::TreeKeepsNodes()),
        keeps_owners_(platform::TreeKeepsOwners()),
        root_(keeps_owners_ && platform::RunsAsRoot()) {}

  void Run(int threads) {
    start_ = last_progress_ = std::chrono::steady_clock::now();
    workers_ = std::make_unique<Workers>(*this, threads);
    try {
      erofs::WalkTree(img_, *this);
    } catch (...) {
      for (auto& d : dirs_) d.Reset();
      workers_->Fail("stopped");
      workers_.reset();
      throw;
    }
    workers_->Finish();
    workers_.reset();
  }

  // Called on worker threads (or inline with one thread).
  void WriteFile(FileTask& t, erofs::ReadScratch& scratch) {
    uint64_t end = 0;
    img_.ReadData(
        t.inode,
        [&](uint64_t off, const uint8_t* data, size_t len) {
          if (!data) return;  // a hole: left unwritten, the file stays sparse there
          if (!platform::WriteAllAt(t.fd.get(), data, len, off)) throw Error("cannot write " + t.path + ": " + Errno());
          end = off + len;
          bytes_ += len;
        },
        &scratch);
    if (end < t.inode.size && !platform::SetFileSize(t.fd.get(), t.inode.size))
      throw Error("cannot size " + t.path + ": " + Errno());
    ApplyFd(t.fd.get(), t.inode, t.xattrs, t.path);
    if (!platform::SetTimes(t.fd.get(), TimesOf(t.inode))) AttrFailed("cannot set the time of " + t.path);
  }

  const ImageSurvey& survey() const { return survey_; }
  const std::string& lookup_contexts() const { return lookup_contexts_; }
  uint64_t skipped() const { return skipped_; }
  uint64_t attr_failures() const { return attr_failures_; }
  uint64_t placeholders() const { return placeholders_; }
  uint64_t kept() const { return kept_; }
  uint64_t renamed() const { return renamed_; }
  uint64_t bytes() const { return bytes_; }
  uint64_t entries() const { return entries_; }

  void Visit(const erofs::WalkEntry& e) override {
    ++entries_;
    Progress(false);
    if (workers_->failed()) workers_->Finish();  // surfaces the worker's error
    const Inode& ino = e.inode;
    std::vector<Xattr> xattrs = img_.ReadXattrs(ino);
    if (e.link_target) ++survey_.hard_links;
    else survey_.Add(img_.sb(), ino, xattrs);
    if (!e.link_target && ino.IsCompressed()) survey_.AddCompression(ino, img_.ReadCompressionInfo(ino));
    WriteConfigLines(e, xattrs);

    if (e.depth == 0) {
      dirs_.push_back(OpenTreeRoot());
      stored_dirs_.emplace_back();
      return;
    }
    std::string target;
    if (ino.type == FileType::kSymlink) {
      target = img_.ReadSymlink(ino);
      if (target.find('\0') != std::string::npos) {
        Skip(e.path.substr(0, e.path.size() - e.name.size()), std::string(e.name),
             "symbolic link target contains a NUL byte");
        return;
      }
    }
    const int dfd = dirs_.back().get();
    const std::string& stored_dir = stored_dirs_.back();
    const std::string name = entries_list_.StoredName(stored_dir, std::string(e.name), e.path);
    const std::string stored = stored_dir.empty() ? name : stored_dir + "/" + name;
    if (name != e.name) ++renamed_;
    const std::string shown = layout_.folder_name + "/" + e.path;
    const bool node = ino.type == FileType::kCharDevice || ino.type == FileType::kBlockDevice ||
                      ino.type == FileType::kFifo || ino.type == FileType::kSocket;
    // A link or node the system cannot hold is written on its own for every name it has: the
    // list marks each one, and the pack makes each a link or node again.
    const bool as_kept = (ino.type == FileType::kSymlink && !keeps_links_) || (node && !keeps_nodes_);
    if (e.link_target && ino.type != FileType::kDirectory && !as_kept) {
      const auto first = stored_links_.find(*e.link_target);
      const std::string& first_stored = first == stored_links_.end() ? *e.link_target : first->second;
      if (Link(first_stored, dfd, name)) return;
      Warn("cannot link " + shown + " to " + layout_.folder_name + "/" + *e.link_target + ": " + Errno() +
           "; writing a copy");
    } else if (!e.link_target && ino.nlink > 1 && ino.type != FileType::kDirectory && stored != e.path) {
      stored_links_.emplace(e.path, stored);
    }
    if (as_kept) {
      WriteKept(dfd, name, stored, shown, ino, target);
      return;
    }
    switch (ino.type) {
      case FileType::kDirectory: {
        dirs_.push_back(MakeDir(dfd, name, shown));
        stored_dirs_.push_back(stored);
        SetOwner(dfd, name, ino, shown);
        break;
      }
      case FileType::kRegular: {
        FileTask t;
        t.fd = CreateFile(dfd, name, shown);
        // The owner comes first: a change of owner clears capabilities and set-id bits, which
        // the writer sets after the contents.
        SetOwner(dfd, name, ino, shown);
        t.inode = ino;
        t.xattrs = std::move(xattrs);
        t.path = shown;
        workers_->Push(std::move(t));
        break;
      }
      case FileType::kSymlink: {
        Create(dfd, name, shown, [&] { return platform::MakeLinkAt(target, dfd, name); });
        ApplyAt(dfd, name, ino, xattrs, true, shown);
        break;
      }
      case FileType::kCharDevice:
      case FileType::kBlockDevice:
      case FileType::kFifo:
      case FileType::kSocket: {
        MakeSpecial(dfd, name, shown, ino);
        ApplyAt(dfd, name, ino, xattrs, false, shown);
        break;
      }
    }
  }

  void Leave(const erofs::WalkEntry& e) override {
    Folder fd = std::move(dirs_.back());
    dirs_.pop_back();
    const std::string stored = std::move(stored_dirs_.back());
    stored_dirs_.pop_back();
    const std::string shown = layout_.folder_name + (e.path.empty() ? "" : "/" + e.path);
    ApplyFd(fd.get(), e.inode, img_.ReadXattrs(e.inode), shown);
    fd.Reset();
    // The time last, by name from the parent, once nothing is written into the folder any more.
    const int parent = dirs_.empty() ? parent_fd_ : dirs_.back().get();
    const std::string name = dirs_.empty() ? layout_.folder_name : stored.substr(stored.rfind('/') + 1);
    if (!platform::SetTimesAt(parent, name, TimesOf(e.inode))) AttrFailed("cannot set the time of " + shown);
  }

  void Skip(const std::string& dir, const std::string& name, const std::string& why) override {
    ++skipped_;
    std::string shown;
    for (unsigned char c : name) {
      if (c < 0x20 || c == 0x7f) {
        char b[8];
        std::snprintf(b, sizeof b, "\\x%02x", c);
        shown += b;
      } else {
        shown += static_cast<char>(c);
      }
    }
    Warn("skipped entry \"" + shown + "\" in /" + dir + ": " + why);
  }

  void Progress(bool final) {
    const auto now = std::chrono::steady_clock::now();
    if (!final && now - last_progress_ < std::chrono::seconds(2)) return;
    last_progress_ = now;
    const double secs = std::chrono::duration<double>(now - start_).count();
    std::printf("%s: %llu entries, %.1f MiB written, %.1f s\n", kTool, static_cast<unsigned long long>(entries_),
                static_cast<double>(bytes_) / (1 << 20), secs);
    std::fflush(stdout);
  }

 private:
  void WriteConfigLines(const erofs::WalkEntry& e, const std::vector<Xattr>& xattrs) {
    if (e.path.find_first_of("\r\n") != std::string::npos) {
      Warn("/" + e.path + " has a line break in its name; it gets no line in the attribute and context files");
      return;
    }
    const std::string cfg_path = e.path.empty() ? layout_.folder_name : layout_.folder_name + "/" + e.path;
    fs_config_.Add(FsConfigLine(cfg_path, e.inode.uid, e.inode.gid, e.inode.Permissions(), CapsOf(xattrs)) + "\r\n");
    const std::string ctx = ContextOf(xattrs);
    if (ctx.empty()) return;
    contexts_.Add(EscapeContextPath(RuntimePath(layout_.mount_point, e.path)) + " " + ctx + "\r\n");
    if (layout_.mount_point != "/")
      lookup_contexts_ += EscapeContextPath(RuntimePath("/", e.path)) + " " + ctx + "\r\n";
  }

  Folder OpenTreeRoot() {
    const std::string& name = layout_.folder_name;
    if (platform::MakeFolderAt(parent_fd_, name, 0700) != 0 && errno != EEXIST)
      throw Error("cannot create " + name + ": " + Errno());
    if (!IsFolderAt(parent_fd_, name)) {
      if (!opt_.overwrite) throw Error(name + " exists and is not a folder (use -f to overwrite)");
      RemoveEntryAt(parent_fd_, name);
      if (platform::MakeFolderAt(parent_fd_, name, 0700) != 0) throw Error("cannot create " + name + ": " + Errno());
    }
    Folder fd(platform::OpenFolderAt(parent_fd_, name));
    if (fd.get() < 0) throw Error("cannot open " + name + ": " + Errno());
    if (!opt_.overwrite) {
      std::vector<std::string> names;
      if (platform::ListFolder(fd.get(), &names) && !names.empty())
        throw Error("the folder " + name + " is not empty (use -f to overwrite)");
    }
    if (keeps_owners_) platform::SetMode(fd.get(), 0700);
    SetOwner(parent_fd_, name, img_.ReadInode(img_.sb().root_nid), name);
    tree_root_fd_ = fd.get();
    return fd;
  }

  // Runs make() and, when the name is taken and -f was given, removes the old entry and retries.
  template <typename F>
  void Create(int dfd, const std::string& name, const std::string& shown, F make) {
    if (make()) return;
    if (errno == EEXIST && opt_.overwrite) {
      RemoveEntryAt(dfd, name);
      if (make()) return;
    }
    if (errno == EEXIST) throw Error(shown + " already exists (use -f to overwrite)");
    throw Error("cannot create " + shown + ": " + Errno());
  }

  Folder MakeDir(int dfd, const std::string& name, const std::string& shown) {
    if (platform::MakeFolderAt(dfd, name, 0700) != 0) {
      if (errno != EEXIST) throw Error("cannot create " + shown + ": " + Errno());
      const bool is_dir = IsFolderAt(dfd, name);
      if (!opt_.overwrite) throw Error(shown + " already exists (use -f to overwrite)");
      if (!is_dir) {
        RemoveEntryAt(dfd, name);
        if (platform::MakeFolderAt(dfd, name, 0700) != 0) throw Error("cannot create " + shown + ": " + Errno());
      }
    }
    Folder fd(platform::OpenFolderAt(dfd, name));
    if (fd.get() < 0) throw Error("cannot open " + shown + ": " + Errno());
    if (keeps_owners_) platform::SetMode(fd.get(), 0700);
    return fd;
  }

  Fd CreateFile(int dfd, const std::string& name, const std::string& shown) {
    int fd = -1;
    Create(dfd, name, shown, [&] {
      fd = platform::CreateFileAt(dfd, name, 0600, true);
      return fd >= 0;
    });
    return Fd(fd);
  }

  // A link or node as a regular file (a link's holds its target), kept in the entries list.
  void WriteKept(int dfd, const std::string& name, const std::string& stored, const std::string& shown,
                 const Inode& ino, const std::string& target) {
    treelist::KeptEntry kept;
    switch (ino.type) {
      case FileType::kSymlink: kept.kind = treelist::KeptEntry::Kind::kLink; break;
      case FileType::kCharDevice: kept.kind = treelist::KeptEntry::Kind::kChar; break;
      case FileType::kBlockDevice: kept.kind = treelist::KeptEntry::Kind::kBlock; break;
      case FileType::kFifo: kept.kind = treelist::KeptEntry::Kind::kFifo; break;
      default: kept.kind = treelist::KeptEntry::Kind::kSocket; break;
    }
    if (kept.kind == treelist::KeptEntry::Kind::kLink) {
      kept.target = target;
    } else if (kept.kind == treelist::KeptEntry::Kind::kChar || kept.kind == treelist::KeptEntry::Kind::kBlock) {
      kept.major = ino.RdevMajor();
      kept.minor = ino.RdevMinor();
    }
    Fd fd = CreateFile(dfd, name, shown);
    if (!kept.target.empty() && !platform::WriteAllAt(fd.get(), kept.target.data(), kept.target.size(), 0))
      throw Error("cannot write " + shown + ": " + Errno());
    if (!platform::SetTimes(fd.get(), TimesOf(ino))) AttrFailed("cannot set the time of " + shown);
    entries_list_.Keep(stored, kept);
    ++kept_;
  }

  void MakeSpecial(int dfd, const std::string& name, const std::string& shown, const Inode& ino) {
    platform::NodeKind kind = platform::NodeKind::kSocket;
    switch (ino.type) {
      case FileType::kCharDevice: kind = platform::NodeKind::kChar; break;
      case FileType::kBlockDevice: kind = platform::NodeKind::kBlock; break;
      case FileType::kFifo: kind = platform::NodeKind::kFifo; break;
      default: break;
    }
    const bool device = kind == platform::NodeKind::kChar || kind == platform::NodeKind::kBlock;
    if (device && !root_) {
      // Device nodes need root: an empty file stands in; the attribute file keeps its mode.
      ++placeholders_;
      Fd fd = CreateFile(dfd, name, shown);
      return;
    }
    Create(dfd, name, shown, [&] { return platform::MakeNodeAt(dfd, name, kind, ino.RdevMajor(), ino.RdevMinor()); });
  }

  // Opens the folder holding a stored path inside the tree, part by part, never following links.
  // Returns its descriptor (the tree's own for a top-level name; otherwise held by *holder).
  int OpenParent(const std::string& rel, std::string* leaf, Folder* holder) {
    int cur = tree_root_fd_;
    size_t start = 0;
    while (true) {
      const size_t slash = rel.find('/', start);
      if (slash == std::string::npos) {
        *leaf = rel.substr(start);
        return cur;
      }
      Folder next(platform::OpenFolderAt(cur, rel.substr(start, slash - start)));
      if (next.get() < 0) return -1;
      *holder = std::move(next);
      cur = holder->get();
      start = slash + 1;
    }
  }

  bool Link(const std::string& first, int dfd, const std::string& name) {
    std::string leaf;
    Folder holder;
    const int parent = OpenParent(first, &leaf, &holder);
    if (parent < 0) return false;
    if (platform::HardLinkAt(parent, leaf, dfd, name)) return true;
    if (errno == EEXIST && opt_.overwrite) {
      RemoveEntryAt(dfd, name);
      return platform::HardLinkAt(parent, leaf, dfd, name);
    }
    if (errno == EEXIST) throw Error(name + " already exists (use -f to overwrite)");
    return false;
  }

  bool SetXattrWanted(const Xattr& x) const { return root_ || x.name.rfind("user.", 0) == 0; }

  void AttrFailed(const std::string& what) {
    if (attr_failures_++ < 5) Warn(what + ": " + Errno());
  }

  void SetOwner(int dfd, const std::string& name, const Inode& ino, const std::string& shown) {
    if (root_ && !platform::SetOwnerAt(dfd, name, ino.uid, ino.gid)) AttrFailed("cannot set the owner of " + shown);
  }

 public:
  // Attributes, permissions and capabilities of an open file or folder, whose owner is set
  // already. The order matters: capabilities go last, as setting the mode may clear them.
  void ApplyFd(int fd, const Inode& ino, const std::vector<Xattr>& xattrs, const std::string& shown) {
    if (!keeps_owners_) return;
    for (const auto& x : xattrs) {
      if (x.name == "security.capability" || !SetXattrWanted(x)) continue;
      if (!platform::SetXattr(fd, x.name, x.value)) AttrFailed("cannot set " + x.name + " on " + shown);
    }
    if (!platform::SetMode(fd, ino.Permissions())) AttrFailed("cannot set the mode of " + shown);
    if (root_) {
      for (const auto& x : xattrs)
        if (x.name == "security.capability" && !platform::SetXattr(fd, x.name, x.value))
          AttrFailed("cannot set " + x.name + " on " + shown);
    }
  }

 private:
  // Links and nodes, on a system that keeps them.
  void ApplyAt(int dfd, const std::string& name, const Inode& ino, const std::vector<Xattr>& xattrs, bool symlink,
               const std::string& shown) {
    SetOwner(dfd, name, ino, shown);
    // User attributes are not allowed on links and special files: only root sets any.
    if (root_) {
      for (const auto& x : xattrs)
        if (!platform::SetXattrAt(dfd, name, x.name, x.value)) AttrFailed("cannot set " + x.name + " on " + shown);
    }
    if (!symlink && !platform::SetModeAt(dfd, name, ino.Permissions())) AttrFailed("cannot set the mode of " + shown);
    if (!platform::SetTimesAt(dfd, name, TimesOf(ino))) AttrFailed("cannot set the time of " + shown);
  }

  const Image& img_;
  const ExtractOptions& opt_;
  const RootLayout& layout_;
  int parent_fd_;
  int tree_root_fd_ = -1;
  TextFile& fs_config_;
  TextFile& contexts_;
  treelist::EntriesList& entries_list_;
  const bool keeps_links_, keeps_nodes_, keeps_owners_;
  const bool root_;
  std::vector<Folder> dirs_;
  std::vector<std::string> stored_dirs_;  // the stored path of each open folder ("" for the top)
  // The stored path of the first name of a file with several names, where it differs.
  std::unordered_map<std::string, std::string> stored_links_;
  std::unique_ptr<Workers> workers_;
  ImageSurvey survey_;
  std::string lookup_contexts_;
  uint64_t skipped_ = 0;
  std::atomic<uint64_t> attr_failures_{0};
  uint64_t placeholders_ = 0;
  uint64_t kept_ = 0;
  uint64_t renamed_ = 0;
  std::atomic<uint64_t> bytes_{0};
  uint64_t entries_ = 0;
  std::chrono::steady_clock::time_point start_, last_progress_;
};

void Workers::Push(FileTask t) {
  if (threads_.empty()) {
    static thread_local erofs::ReadScratch scratch;
    ex_.WriteFile(t, scratch);
    return;
  }
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [&] { return queue_.size() < kMaxQueued || !error_.empty(); });
  if (!error_.empty()) throw Error(error_);
  queue_.push_back(std::move(t));
  cv_.notify_all();
}

void Workers::Loop() {
  erofs::ReadScratch scratch;
  while (true) {
    FileTask t;
    {
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait(lock, [&] { return !queue_.empty() || done_; });
      if (queue_.empty()) return;
      t = std::move(queue_.front());
      queue_.pop_front();
      cv_.notify_all();
      if (!error_.empty()) continue;  // drain after a failure
    }
    try {
      ex_.WriteFile(t, scratch);
    } catch (const std::exception& e) {
      Fail(e.what());
    }
  }
}

Folder OpenOutputDir(const std::string& path) {
  std::error_code ec;
  fs::create_directories(platform::ToPath(path), ec);
  Folder fd(platform::OpenFolder(path));
  if (fd.get() < 0) throw Error("cannot open the output folder " + path + ": " + Errno());
  return fd;
}

Fd OpenConfigFile(int dfd, const std::string& name, bool overwrite) {
  int fd = platform::CreateFileAt(dfd, name, 0644, true);
  if (fd < 0 && errno == EEXIST) {
    if (!overwrite) throw Error("config/" + name + " already exists (use -f to overwrite)");
    RemoveEntryAt(dfd, name);
    fd = platform::CreateFileAt(dfd, name, 0644, true);
  }
  if (fd < 0) throw Error("cannot create config/" + name + ": " + Errno());
  return Fd(fd);
}

// The output folder as seen from the image's folder, for the options line (with '/' between
// folders on every system: the line joins it to more parts with '/').
std::string RelativeOutDir(const std::string& image, const std::string& out) {
  std::error_code ec;
  fs::path img_dir = fs::weakly_canonical(fs::absolute(platform::ToPath(image)).parent_path(), ec);
  fs::path out_abs = fs::weakly_canonical(fs::absolute(platform::ToPath(out)), ec);
  fs::path rel = out_abs.lexically_relative(img_dir);
  std::string text = platform::FromPath(rel.empty() ? out_abs : rel);
  if (platform::kSep != '/') std::replace(text.begin(), text.end(), platform::kSep, '/');
  return text;
}

void PrintSummary(const Image& img, const std::string& image) {
  const auto& sb = img.sb();
  std::printf("%s: %s: EROFS, %u-byte blocks, %llu bytes, features: %s\n", kTool, image.c_str(), sb.block_size,
              static_cast<unsigned long long>(img.image_size()), sb.FeatureNames().c_str());
}

}  // namespace

std::string ImageName(const std::string& path) {
  std::string file = platform::FromPath(platform::ToPath(path).filename());
  const size_t dot = file.rfind('.');
  if (dot != std::string::npos && dot > 0) file.resize(dot);
  return file;
}

int Run(const ExtractOptions& opt) {
  try {
    auto src = std::shared_ptr<const erofs::Source>(erofs::FileSource::Open(opt.image).release());
    Image img(src);
    PrintSummary(img, opt.image);
    if (!opt.extract) return 0;

    const std::string name = ImageName(opt.image);
    if (name.empty()) throw Error("cannot derive a name from " + opt.image);
    std::string out_dir = opt.out_dir;
    if (out_dir.empty()) out_dir = platform::FromPath(platform::ToPath(opt.image).parent_path() / platform::ToPath(name));
    RootLayout layout = DetectRootLayout(img, name);
    if (layout.folder_name == "config" || !erofs::IsSafeName(layout.folder_name, nullptr) ||
        !platform::TreeNameStorable(layout.folder_name))
      layout.folder_name = name == "config" ? "config_tree" : name;
    std::printf("%s: extracting into %s/%s (mount point %s: %s)\n", kTool, out_dir.c_str(), layout.folder_name.c_str(),
                layout.mount_point.c_str(), layout.note.c_str());

    Folder out = OpenOutputDir(out_dir);
    if (platform::MakeFolderAt(out.get(), "config", 0755) != 0 && errno != EEXIST)
      throw Error("cannot create config: " + Errno());
    if (!IsFolderAt(out.get(), "config")) {
      if (!opt.overwrite) throw Error("config exists and is not a folder (use -f to overwrite)");
      RemoveEntryAt(out.get(), "config");
      if (platform::MakeFolderAt(out.get(), "config", 0755) != 0) throw Error("cannot create config: " + Errno());
    }
    Folder config(platform::OpenFolderAt(out.get(), "config"));
    if (config.get() < 0) throw Error("cannot open config: " + Errno());

    TextFile fs_config(OpenConfigFile(config.get(), name + "_fs_config", opt.overwrite), name + "_fs_config");
    TextFile contexts(OpenConfigFile(config.get(), name + "_file_contexts", opt.overwrite), name + "_file_contexts");
    Fd options_fd = OpenConfigFile(config.get(), name + "_fs_options", opt.overwrite);

    int threads = opt.threads;
    if (threads <= 0) threads = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
    treelist::EntriesList entries;
    Extraction ex(img, opt, layout, out.get(), fs_config, contexts, entries);
    ex.Run(threads > 1 ? threads : 0);
    // What the tree could not hold as it is (nothing where links, nodes and every name are kept).
    const std::string entries_file = treelist::EntriesListPath(out_dir + "/config", name);
    std::string entries_error;
    if (!entries.Write(entries_file, &entries_error)) throw Error(entries_error);

    if (!ex.lookup_contexts().empty()) {
      // The installed mkfs.erofs looks labels up by the path inside the image ("/" + path),
      // without the mount point: the same labels follow in that form.
      contexts.Add("# the same labels by path inside the image, as mkfs.erofs looks them up\r\n");
      contexts.Add(ex.lookup_contexts());
    }
    fs_config.Close();
    contexts.Close();

    OptionsInput in;
    in.name = name;
    in.folder_name = layout.folder_name;
    in.mount_point = layout.mount_point;
    in.layout_note = layout.note;
    in.out_rel = RelativeOutDir(opt.image, out_dir);
    in.image_size = img.image_size();
    in.sb = img.sb();
    in.survey = ex.survey();
    SurveyClusters(img, in.survey);
    in.compressor = RecogniseCompressor(img, in.survey);
    TextFile options(std::move(options_fd), name + "_fs_options");
    options.Add(BuildOptionsFile(in));
    options.Close();

    ex.Progress(true);
    const ImageSurvey& s = ex.survey();
    std::printf("%s: %llu files, %llu folders, %llu symbolic links, %llu special files, %llu hard links\n", kTool,
                static_cast<unsigned long long>(s.regular), static_cast<unsigned long long>(s.directories),
                static_cast<unsigned long long>(s.symlinks),
                static_cast<unsigned long long>(s.devices + s.fifos + s.sockets),
                static_cast<unsigned long long>(s.hard_links));
    if (!entries.Empty())
      std::printf("%s: %llu links and special files written as plain files, %llu names stored changed: "
                  "config/%s lists them\n",
                  kTool, static_cast<unsigned long long>(ex.kept()), static_cast<unsigned long long>(ex.renamed()),
                  platform::FromPath(platform::ToPath(entries_file).filename()).c_str());
    if (ex.placeholders())
      Warn(std::to_string(ex.placeholders()) + " device nodes were written as empty files (creating them needs root)");
    if (ex.attr_failures())
      Warn(std::to_string(ex.attr_failures()) + " owners, attributes or times could not be set");
    if (ex.skipped()) {
      std::fprintf(stderr, "%s: error: %llu entries were left out (unsafe or repeated names)\n", kTool,
                   static_cast<unsigned long long>(ex.skipped()));
      return 1;
    }
    return 0;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: error: %s\n", kTool, e.what());
    return 1;
  }
}

}  // namespace orvex::extract_erofs
