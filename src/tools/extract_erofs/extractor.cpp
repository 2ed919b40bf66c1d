#include "extractor.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

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
#include <vector>

#include "config_files.h"
#include "erofs_image.h"
#include "erofs_walk.h"
#include "image_survey.h"

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

// An open file descriptor that closes itself.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      Reset();
      fd_ = o.fd_;
      o.fd_ = -1;
    }
    return *this;
  }
  int get() const { return fd_; }
  int release() {
    int f = fd_;
    fd_ = -1;
    return f;
  }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// Buffered text output to a file descriptor.
class TextFile {
 public:
  TextFile() = default;
  TextFile(Fd fd, std::string what) : fd_(std::move(fd)), what_(std::move(what)) {}
  void Add(const std::string& s) {
    buf_ += s;
    if (buf_.size() >= (64u << 10)) Flush();
  }
  void Flush() {
    size_t off = 0;
    while (off < buf_.size()) {
      ssize_t n = ::write(fd_.get(), buf_.data() + off, buf_.size() - off);
      if (n < 0) {
        if (errno == EINTR) continue;
        throw Error("cannot write " + what_ + ": " + Errno());
      }
      off += static_cast<size_t>(n);
    }
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
};

// ---- file system helpers: nothing here follows a symbolic link inside the output folder ------

void RemoveTreeAt(int dfd, const std::string& name, int depth = 0) {
  if (depth > 512) throw Error("cannot remove " + name + ": nested too deep");
  int fd = ::openat(dfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) throw Error("cannot open " + name + " to remove it: " + Errno());
  DIR* d = ::fdopendir(fd);
  if (!d) {
    ::close(fd);
    throw Error("cannot read " + name + ": " + Errno());
  }
  ::fchmod(fd, 0700);
  std::vector<std::pair<std::string, bool>> children;
  while (dirent* de = ::readdir(d)) {
    std::string n = de->d_name;
    if (n == "." || n == "..") continue;
    struct stat st {};
    if (::fstatat(fd, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    children.emplace_back(n, S_ISDIR(st.st_mode));
  }
  for (const auto& [n, is_dir] : children) {
    if (is_dir) {
      RemoveTreeAt(fd, n, depth + 1);
      ::unlinkat(fd, n.c_str(), AT_REMOVEDIR);
    } else {
      ::unlinkat(fd, n.c_str(), 0);
    }
  }
  ::closedir(d);
}

// Removes whatever is at dfd/name (a directory with its contents).
void RemoveAt(int dfd, const std::string& name) {
  struct stat st {};
  if (::fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    RemoveTreeAt(dfd, name);
    if (::unlinkat(dfd, name.c_str(), AT_REMOVEDIR) != 0) throw Error("cannot remove " + name + ": " + Errno());
  } else if (::unlinkat(dfd, name.c_str(), 0) != 0) {
    throw Error("cannot remove " + name + ": " + Errno());
  }
}

struct Times {
  struct timespec ts[2];
  explicit Times(const Inode& ino) {
    ts[0].tv_sec = static_cast<time_t>(ino.mtime);
    ts[0].tv_nsec = ino.mtime_nsec;
    ts[1] = ts[0];
  }
};

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

class Extraction : public erofs::WalkVisitor {
 public:
  Extraction(const Image& img, const ExtractOptions& opt, const RootLayout& layout, int tree_parent_fd,
             TextFile& fs_config, TextFile& contexts)
      : img_(img),
        opt_(opt),
        layout_(layout),
        parent_fd_(tree_parent_fd),
        fs_config_(fs_config),
        contexts_(contexts),
        root_(::geteuid() == 0) {}

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
          size_t done = 0;
          while (done < len) {
            ssize_t n = ::pwrite(t.fd.get(), data + done, len - done, static_cast<off_t>(off + done));
            if (n < 0) {
              if (errno == EINTR) continue;
              throw Error("cannot write " + t.path + ": " + Errno());
            }
            done += static_cast<size_t>(n);
          }
          end = off + len;
          bytes_ += len;
        },
        &scratch);
    if (end < t.inode.size && ::ftruncate(t.fd.get(), static_cast<off_t>(t.inode.size)) != 0)
      throw Error("cannot size " + t.path + ": " + Errno());
    ApplyFd(t.fd.get(), t.inode, t.xattrs, t.path);
  }

  const ImageSurvey& survey() const { return survey_; }
  const std::string& lookup_contexts() const { return lookup_contexts_; }
  uint64_t skipped() const { return skipped_; }
  uint64_t attr_failures() const { return attr_failures_; }
  uint64_t placeholders() const { return placeholders_; }
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
      return;
    }
    const int dfd = dirs_.back().get();
    const std::string name(e.name);
    const std::string shown = layout_.folder_name + "/" + e.path;
    if (e.link_target && ino.type != FileType::kDirectory) {
      if (Link(*e.link_target, dfd, name)) return;
      Warn("cannot link " + shown + " to " + layout_.folder_name + "/" + *e.link_target + ": " + Errno() +
           "; writing a copy");
    }
    switch (ino.type) {
      case FileType::kDirectory: {
        dirs_.push_back(MakeDir(dfd, name, shown));
        break;
      }
      case FileType::kRegular: {
        FileTask t;
        t.fd = CreateFile(dfd, name, shown);
        t.inode = ino;
        t.xattrs = std::move(xattrs);
        t.path = shown;
        workers_->Push(std::move(t));
        break;
      }
      case FileType::kSymlink: {
        const std::string target = img_.ReadSymlink(ino);
        if (target.find('\0') != std::string::npos) {
          Skip(e.path.substr(0, e.path.size() - e.name.size()), name, "symbolic link target contains a NUL byte");
          return;
        }
        Create(dfd, name, shown, [&] { return ::symlinkat(target.c_str(), dfd, name.c_str()); });
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
    Fd fd = std::move(dirs_.back());
    dirs_.pop_back();
    ApplyFd(fd.get(), e.inode, img_.ReadXattrs(e.inode), layout_.folder_name + (e.path.empty() ? "" : "/" + e.path));
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

  Fd OpenTreeRoot() {
    const std::string& name = layout_.folder_name;
    if (::mkdirat(parent_fd_, name.c_str(), 0700) != 0 && errno != EEXIST)
      throw Error("cannot create " + name + ": " + Errno());
    struct stat st {};
    if (::fstatat(parent_fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) {
      if (!opt_.overwrite) throw Error(name + " exists and is not a folder (use -f to overwrite)");
      RemoveAt(parent_fd_, name);
      if (::mkdirat(parent_fd_, name.c_str(), 0700) != 0) throw Error("cannot create " + name + ": " + Errno());
    }
    Fd fd(::openat(parent_fd_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) throw Error("cannot open " + name + ": " + Errno());
    if (!opt_.overwrite) {
      DIR* d = ::fdopendir(::dup(fd.get()));
      bool empty = true;
      if (d) {
        while (dirent* de = ::readdir(d))
          if (std::strcmp(de->d_name, ".") && std::strcmp(de->d_name, "..")) empty = false;
        ::closedir(d);
      }
      if (!empty) throw Error("the folder " + name + " is not empty (use -f to overwrite)");
    }
    ::fchmod(fd.get(), 0700);
    tree_root_fd_ = fd.get();
    return fd;
  }

  // Runs make() and, when the name is taken and -f was given, removes the old entry and retries.
  template <typename F>
  void Create(int dfd, const std::string& name, const std::string& shown, F make) {
    if (make() == 0) return;
    if (errno == EEXIST && opt_.overwrite) {
      RemoveAt(dfd, name);
      if (make() == 0) return;
    }
    if (errno == EEXIST) throw Error(shown + " already exists (use -f to overwrite)");
    throw Error("cannot create " + shown + ": " + Errno());
  }

  Fd MakeDir(int dfd, const std::string& name, const std::string& shown) {
    if (::mkdirat(dfd, name.c_str(), 0700) != 0) {
      if (errno != EEXIST) throw Error("cannot create " + shown + ": " + Errno());
      struct stat st {};
      const bool is_dir = ::fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
      if (!opt_.overwrite) throw Error(shown + " already exists (use -f to overwrite)");
      if (!is_dir) {
        RemoveAt(dfd, name);
        if (::mkdirat(dfd, name.c_str(), 0700) != 0) throw Error("cannot create " + shown + ": " + Errno());
      }
    }
    Fd fd(::openat(dfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) throw Error("cannot open " + shown + ": " + Errno());
    ::fchmod(fd.get(), 0700);
    return fd;
  }

  Fd CreateFile(int dfd, const std::string& name, const std::string& shown) {
    int fd = -1;
    Create(dfd, name, shown, [&] {
      fd = ::openat(dfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      return fd < 0 ? -1 : 0;
    });
    return Fd(fd);
  }

  void MakeSpecial(int dfd, const std::string& name, const std::string& shown, const Inode& ino) {
    mode_t type = 0;
    switch (ino.type) {
      case FileType::kCharDevice: type = S_IFCHR; break;
      case FileType::kBlockDevice: type = S_IFBLK; break;
      case FileType::kFifo: type = S_IFIFO; break;
      default: type = S_IFSOCK; break;
    }
    const bool device = type == S_IFCHR || type == S_IFBLK;
    if (device && !root_) {
      // Device nodes need root: an empty file stands in; the attribute file keeps its mode.
      ++placeholders_;
      Fd fd = CreateFile(dfd, name, shown);
      return;
    }
    const dev_t dev = device ? makedev(ino.RdevMajor(), ino.RdevMinor()) : 0;
    Create(dfd, name, shown, [&] { return ::mknodat(dfd, name.c_str(), type | 0600, dev); });
  }

  // Opens the parent of a path inside the tree, component by component, never following links.
  Fd OpenParent(const std::string& rel, std::string* leaf) {
    Fd cur(::dup(tree_root_fd_));
    size_t start = 0;
    while (true) {
      const size_t slash = rel.find('/', start);
      if (slash == std::string::npos) {
        *leaf = rel.substr(start);
        return cur;
      }
      const std::string comp = rel.substr(start, slash - start);
      Fd next(::openat(cur.get(), comp.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (next.get() < 0) return Fd();
      cur = std::move(next);
      start = slash + 1;
    }
  }

  bool Link(const std::string& first, int dfd, const std::string& name) {
    std::string leaf;
    Fd parent = OpenParent(first, &leaf);
    if (parent.get() < 0) return false;
    if (::linkat(parent.get(), leaf.c_str(), dfd, name.c_str(), 0) == 0) return true;
    if (errno == EEXIST && opt_.overwrite) {
      RemoveAt(dfd, name);
      return ::linkat(parent.get(), leaf.c_str(), dfd, name.c_str(), 0) == 0;
    }
    if (errno == EEXIST) throw Error(name + " already exists (use -f to overwrite)");
    return false;
  }

  bool SetXattrWanted(const Xattr& x) const { return root_ || x.name.rfind("user.", 0) == 0; }

  void AttrFailed(const std::string& what) {
    if (attr_failures_++ < 5) Warn(what + ": " + Errno());
  }

 public:
  // Owner, attributes, permissions, capabilities and time of an open file or folder. The order
  // matters: a change of owner clears capabilities and set-id bits.
  void ApplyFd(int fd, const Inode& ino, const std::vector<Xattr>& xattrs, const std::string& shown) {
    if (root_ && ::fchown(fd, ino.uid, ino.gid) != 0) AttrFailed("cannot set the owner of " + shown);
    for (const auto& x : xattrs) {
      if (x.name == "security.capability" || !SetXattrWanted(x)) continue;
      if (::fsetxattr(fd, x.name.c_str(), x.value.data(), x.value.size(), 0) != 0)
        AttrFailed("cannot set " + x.name + " on " + shown);
    }
    if (::fchmod(fd, ino.Permissions()) != 0) AttrFailed("cannot set the mode of " + shown);
    if (root_) {
      for (const auto& x : xattrs)
        if (x.name == "security.capability" &&
            ::fsetxattr(fd, x.name.c_str(), x.value.data(), x.value.size(), 0) != 0)
          AttrFailed("cannot set " + x.name + " on " + shown);
    }
    Times t(ino);
    if (::futimens(fd, t.ts) != 0) AttrFailed("cannot set the time of " + shown);
  }

 private:
  void ApplyAt(int dfd, const std::string& name, const Inode& ino, const std::vector<Xattr>& xattrs, bool symlink,
               const std::string& shown) {
    if (root_ && ::fchownat(dfd, name.c_str(), ino.uid, ino.gid, AT_SYMLINK_NOFOLLOW) != 0)
      AttrFailed("cannot set the owner of " + shown);
    if (!xattrs.empty()) {
      // The folder's descriptor names the folder; the last component is not followed.
      const std::string path = "/proc/self/fd/" + std::to_string(dfd) + "/" + name;
      for (const auto& x : xattrs) {
        if (!root_) break;  // user attributes are not allowed on links and special files
        if (::lsetxattr(path.c_str(), x.name.c_str(), x.value.data(), x.value.size(), 0) != 0)
          AttrFailed("cannot set " + x.name + " on " + shown);
      }
    }
    if (!symlink && ::fchmodat(dfd, name.c_str(), ino.Permissions(), 0) != 0)
      AttrFailed("cannot set the mode of " + shown);
    Times t(ino);
    if (::utimensat(dfd, name.c_str(), t.ts, AT_SYMLINK_NOFOLLOW) != 0) AttrFailed("cannot set the time of " + shown);
  }

  const Image& img_;
  const ExtractOptions& opt_;
  const RootLayout& layout_;
  int parent_fd_;
  int tree_root_fd_ = -1;
  TextFile& fs_config_;
  TextFile& contexts_;
  bool root_;
  std::vector<Fd> dirs_;
  std::unique_ptr<Workers> workers_;
  ImageSurvey survey_;
  std::string lookup_contexts_;
  uint64_t skipped_ = 0;
  std::atomic<uint64_t> attr_failures_{0};
  uint64_t placeholders_ = 0;
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

Fd OpenOutputDir(const std::string& path) {
  std::error_code ec;
  fs::create_directories(path, ec);
  Fd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) throw Error("cannot open the output folder " + path + ": " + Errno());
  return fd;
}

Fd OpenConfigFile(int dfd, const std::string& name, bool overwrite) {
  int fd = ::openat(dfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0 && errno == EEXIST) {
    if (!overwrite) throw Error("config/" + name + " already exists (use -f to overwrite)");
    RemoveAt(dfd, name);
    fd = ::openat(dfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  }
  if (fd < 0) throw Error("cannot create config/" + name + ": " + Errno());
  return Fd(fd);
}

// The output folder as seen from the image's folder, for the options line.
std::string RelativeOutDir(const std::string& image, const std::string& out) {
  std::error_code ec;
  fs::path img_dir = fs::weakly_canonical(fs::absolute(fs::path(image)).parent_path(), ec);
  fs::path out_abs = fs::weakly_canonical(fs::absolute(fs::path(out)), ec);
  fs::path rel = out_abs.lexically_relative(img_dir);
  if (rel.empty()) return out_abs.string();
  return rel.string();
}

void PrintSummary(const Image& img, const std::string& image) {
  const auto& sb = img.sb();
  std::printf("%s: %s: EROFS, %u-byte blocks, %llu bytes, features: %s\n", kTool, image.c_str(), sb.block_size,
              static_cast<unsigned long long>(img.image_size()), sb.FeatureNames().c_str());
}

}  // namespace

std::string ImageName(const std::string& path) {
  std::string file = fs::path(path).filename().string();
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
    if (out_dir.empty()) out_dir = (fs::path(opt.image).parent_path() / name).string();
    RootLayout layout = DetectRootLayout(img, name);
    if (layout.folder_name == "config" || !erofs::IsSafeName(layout.folder_name, nullptr))
      layout.folder_name = name == "config" ? "config_tree" : name;
    std::printf("%s: extracting into %s/%s (mount point %s: %s)\n", kTool, out_dir.c_str(), layout.folder_name.c_str(),
                layout.mount_point.c_str(), layout.note.c_str());

    Fd out = OpenOutputDir(out_dir);
    if (::mkdirat(out.get(), "config", 0755) != 0 && errno != EEXIST) throw Error("cannot create config: " + Errno());
    struct stat st {};
    if (::fstatat(out.get(), "config", &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) {
      if (!opt.overwrite) throw Error("config exists and is not a folder (use -f to overwrite)");
      RemoveAt(out.get(), "config");
      if (::mkdirat(out.get(), "config", 0755) != 0) throw Error("cannot create config: " + Errno());
    }
    Fd config(::openat(out.get(), "config", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (config.get() < 0) throw Error("cannot open config: " + Errno());

    TextFile fs_config(OpenConfigFile(config.get(), name + "_fs_config", opt.overwrite), name + "_fs_config");
    TextFile contexts(OpenConfigFile(config.get(), name + "_file_contexts", opt.overwrite), name + "_file_contexts");
    Fd options_fd = OpenConfigFile(config.get(), name + "_fs_options", opt.overwrite);

    int threads = opt.threads;
    if (threads <= 0) threads = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
    Extraction ex(img, opt, layout, out.get(), fs_config, contexts);
    ex.Run(threads > 1 ? threads : 0);

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
