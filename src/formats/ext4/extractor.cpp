#include "ext4/extractor.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "ext4/file_contexts.h"
#include "ext4/fs_config.h"
#include "ext4/image_source.h"
#include "ext4/superblock_info.h"
#include "ext4/text_file.h"
#include "platform.h"
#include "platform_io.h"
#include "platform_tree.h"
#include "treelist/entries_list.h"

namespace orvex::ext4 {

namespace {

constexpr const char* kTool = "imgextractor";
constexpr int kMaxDepth = 256;
constexpr size_t kCopyBufferBytes = 1 << 20;
constexpr uint64_t kMaxSymlinkTarget = 4095;

bool IsChecksumError(errcode_t rc) {
  switch (rc) {
    case EXT2_ET_SB_CSUM_INVALID:
    case EXT2_ET_UNKNOWN_CSUM:
    case EXT2_ET_MMP_CSUM_INVALID:
    case EXT2_ET_BLOCK_BITMAP_CSUM_INVALID:
    case EXT2_ET_INODE_BITMAP_CSUM_INVALID:
    case EXT2_ET_INODE_CSUM_INVALID:
    case EXT2_ET_DIR_CSUM_INVALID:
    case EXT2_ET_EXTENT_CSUM_INVALID:
    case EXT2_ET_EXT_ATTR_CSUM_INVALID:
    case EXT2_ET_DIR_NO_SPACE_FOR_CSUM:
      return true;
    default:
      return false;
  }
}

bool UsableFolderName(const std::string& s) {
  if (s.empty() || s == "." || s == ".." || s == "config" || s.size() > 255) return false;
  for (unsigned char c : s)
    if (c < 0x20 || c == '/' || c == '\\' || c == 0x7F) return false;
  return true;
}

std::string LastComponent(std::string s) {
  while (!s.empty() && s.back() == '/') s.pop_back();
  size_t p = s.rfind('/');
  return p == std::string::npos ? s : s.substr(p + 1);
}

std::string StemOf(const std::string& image) {
  std::string base = LastComponent(image);
  size_t dot = base.rfind('.');
  if (dot != std::string::npos && dot > 0) base.resize(dot);
  return base;
}

struct Timestamp {
  int64_t sec = 0;
  uint32_t nsec = 0;
};

// Seconds are signed 32-bit; with a large inode the extra word adds two epoch bits and the
// nanoseconds.
Timestamp DecodeTime(uint32_t lo, const uint32_t* extra) {
  Timestamp t;
  t.sec = static_cast<int32_t>(lo);
  if (extra) {
    t.sec += static_cast<int64_t>(*extra & 3) << 32;
    t.nsec = *extra >> 2;
    if (t.nsec > 999999999) t.nsec = 0;
  }
  return t;
}

std::string Errno(int e) { return strerror(e); }

// A bad name cannot be created safely or cannot be written into the config files.
const char* BadNameReason(const std::string& name) {
  if (name.empty()) return "empty name";
  if (name == "." || name == "..") return "name is . or ..";
  for (unsigned char c : name) {
    if (c == '/') return "name contains '/'";
    if (c == 0) return "name contains a NUL byte";
    if (c == '\n' || c == '\r') return "name contains a line break";
  }
  return nullptr;
}

struct DirEntry {
  std::string name;
  ext2_ino_t ino;
};

class Extractor {
 public:
  Extractor(const ExtractOptions& o, std::ostream& out, std::ostream& err)
      : opt_(o),
        out_(out),
        err_(err),
        use_list_(!platform::TreeKeepsLinks() || !platform::TreeKeepsNodes() ||
                  platform::TreeFoldsCase()) {}
  ~Extractor() {
    if (fs_) ext2fs_close_free(&fs_);
    if (outfd_ >= 0) platform::CloseFolder(outfd_);
    if (treefd_ >= 0) platform::CloseFolder(treefd_);
  }
  int Run();

 private:
  void Error(const std::string& msg) {
    err_ << kTool << ": error: " << msg << "\n";
    ++errors_;
  }
  void Warning(const std::string& msg) { err_ << kTool << ": warning: " << msg << "\n"; }
  int Fatal(const std::string& msg) {
    Error(msg);
    err_.flush();
    return 1;
  }

  bool OpenFs(std::string* error);
  bool MakeTreeRoot(std::string* error);
  bool OpenConfigFiles(std::string* error);
  bool WriteOptions(std::string* error);

  bool ReadInode(ext2_ino_t ino, ext2_inode_large* inode, std::string* error);
  // *damaged tells of a checksum mismatch the listing read past.
  bool ListDir(ext2_ino_t ino, ext2_ino_t parent, std::vector<DirEntry>* entries,
               std::string* error, std::string* damaged);
  // False with a message when the output file system cannot hold the files' sizes.
  bool CheckRoom(std::string* error);
  // rel is the path in the image, srel the same path as stored in the tree (they differ only
  // where the tree cannot hold a name; see the entries list).
  void WalkDir(ext2_ino_t dir_ino, ext2_ino_t parent_ino, int dirfd, const std::string& rel,
               const std::string& srel, int depth);
  void ExtractEntry(const DirEntry& e, ext2_ino_t dir_ino, int dirfd, const std::string& rel,
                    const std::string& srel, int depth);
  // A regular file holding what the tree cannot hold as it is (a link's target, or nothing for
  // a device node), recorded in the entries list.
  bool KeepAsFile(int dirfd, const std::string& sname, const std::string& srel,
                  const treelist::KeptEntry& entry, std::string* error);

  bool CopyData(ext2_ino_t ino, ext2_inode_large* inode, int fd, std::string* error);
  bool WriteAll(int fd, const void* data, size_t len, uint64_t off, std::string* error);
  // The bytes of a file or link kept inside its inode; `what` names them in the error.
  bool ReadInlineData(ext2_ino_t ino, ext2_inode* inode, std::vector<char>* data, const char* what,
                      std::string* error);
  bool ReadRun(blk64_t lblk, blk64_t pblk, uint64_t count, uint64_t size, int fd,
               std::string* error);
  bool ReadSymlink(ext2_ino_t ino, ext2_inode_large* inode, std::string* target,
                   std::string* error);

  struct Xattrs {
    bool has_selinux = false;
    std::string selinux;  // as stored (may end with NUL)
    bool has_caps = false;
    std::string caps;     // raw vfs_cap_data
  };
  bool ReadXattrs(ext2_ino_t ino, ext2_inode_large* inode, Xattrs* x, std::string* error);

  // Records the config lines for one path; rel is "" for the root.
  void Record(const std::string& rel, const ext2_inode_large& inode, const Xattrs& x);
  // Applies owner, mode, xattrs and times to the entry name of dirfd (through fd when it is open),
  // as far as the tree keeps them; srel names it in warnings.
  void ApplyMetadata(const std::string& srel, int fd, int dirfd, const std::string& name,
                     const ext2_inode_large& inode, const Xattrs& x);

  std::string ConfigPath(const std::string& rel) const {
    return rel.empty() ? folder_ : folder_ + "/" + rel;
  }
  void Progress();

  const ExtractOptions& opt_;
  std::ostream& out_;
  std::ostream& err_;
  const bool use_list_;     // the tree cannot hold everything: names and kinds go to the list
  bool privileged_ = false;  // owners, device nodes and security attributes can be set
  treelist::EntriesList list_;
  std::unordered_map<ext2_ino_t, treelist::KeptEntry> kept_;  // inode -> what its file stands for
  ImageSource src_;
  ext2_filsys fs_ = nullptr;
  ext2_super_block sb_{};
  std::string name_;    // image name without extension
  std::string folder_;  // FolderName
  int outfd_ = -1;
  int treefd_ = -1;
  std::string tree_path_;
  TextWriter fs_config_, contexts_;
  std::unique_ptr<char[]> buf_;
  size_t inode_size_ = 0;
  std::unordered_map<ext2_ino_t, std::string> links_;  // inode -> first extracted stored path
  std::unordered_set<ext2_ino_t> dirs_seen_;
  unsigned errors_ = 0;
  uint64_t n_files_ = 0, n_dirs_ = 0, n_links_ = 0, n_hardlinks_ = 0, n_special_ = 0,
           n_bytes_ = 0, n_entries_ = 0;
  bool warned_xattr_ = false;
};

bool Extractor::OpenFs(std::string* error) {
  if (!src_.Open(opt_.image, error)) return false;
  if (!ReadSuperblock(src_, &sb_, error)) return false;
  const uint64_t fs_bytes = BlockCount(sb_) * BlockSize(sb_);
  if (fs_bytes > src_.size()) {
    *error = "the image is truncated: the file system needs " + std::to_string(fs_bytes) +
             " bytes, the image has " + std::to_string(src_.size());
    return false;
  }
  int flags = EXT2_FLAG_64BITS;
  io_manager io = src_.Manager();
  errcode_t rc = ext2fs_open2(src_.Ext2Name().c_str(), nullptr, flags, 0, 0, io, &fs_);
  if (IsChecksumError(rc)) {
    // A damaged superblock or group descriptor checksum is reported; the rest is still read.
    Error(opt_.image + ": " + Ext2Error(rc) + "; reading the image anyway");
    flags |= EXT2_FLAG_IGNORE_CSUM_ERRORS;
    rc = ext2fs_open2(src_.Ext2Name().c_str(), nullptr, flags, 0, 0, io, &fs_);
  }
  if (rc == EXT2_ET_UNSUPP_FEATURE || rc == EXT2_ET_RO_UNSUPP_FEATURE) {
    Warning("the image uses features this reader does not know (" + Ext2Error(rc) +
            "); reading it anyway");
    rc = ext2fs_open2(src_.Ext2Name().c_str(), nullptr, flags | EXT2_FLAG_FORCE, 0, 0, io, &fs_);
  }
  if (rc) {
    fs_ = nullptr;
    *error = "cannot open the ext4 file system: " + Ext2Error(rc);
    if (!src_.last_io_error().empty()) *error += " (" + src_.last_io_error() + ")";
    return false;
  }
  // From here on every inode, directory block and extent block is checked against its
  // checksum as it is read; a mismatch is an error of that entry.
  fs_->flags &= ~EXT2_FLAG_IGNORE_CSUM_ERRORS;
  if (ext2fs_has_feature_journal_needs_recovery(fs_->super))
    Warning("the journal needs recovery; extracting without replaying it");
  // The allocation bitmaps are never read: extraction does not need them, and libext2fs's bitmap
  // loader is not safe on damaged group descriptors.
  inode_size_ = EXT2_INODE_SIZE(fs_->super);
  if (inode_size_ < sizeof(ext2_inode)) inode_size_ = sizeof(ext2_inode);
  return true;
}

bool Extractor::MakeTreeRoot(std::string* error) {
  std::error_code ec;
  std::filesystem::create_directory(platform::ToPath(opt_.outdir), ec);
  outfd_ = platform::OpenFolder(opt_.outdir);
  if (outfd_ < 0) {
    *error = (ec ? "cannot create " : "cannot open ") + opt_.outdir + ": " +
             (ec ? ec.message() : Errno(errno));
    return false;
  }
  tree_path_ = opt_.outdir + platform::kSep + folder_;
  if (platform::MakeFolderAt(outfd_, folder_, 0700) != 0) {
    if (errno != EEXIST) {
      *error = "cannot create " + tree_path_ + ": " + Errno(errno);
      return false;
    }
    const int fd = platform::OpenFolderAt(outfd_, folder_);
    if (fd < 0) {
      *error = tree_path_ + " exists and is not a folder";
      return false;
    }
    std::vector<std::string> names;
    const bool listed = platform::ListFolder(fd, &names);
    const int e = errno;
    platform::CloseFolder(fd);
    if (!listed) {
      *error = "cannot read " + tree_path_ + ": " + Errno(e);
      return false;
    }
    if (!names.empty()) {
      *error = "the output folder " + tree_path_ + " is not empty";
      return false;
    }
  }
  // Whether owners, device nodes and security attributes can be set: only with the rights to
  // give a file away. The root's own owner is set at the end.
  privileged_ = platform::TreeKeepsOwners() && platform::SetOwnerAt(outfd_, folder_, 0, 0);
  return true;
}

bool Extractor::CheckRoom(std::string* error) {
  std::error_code ec;
  const auto space = std::filesystem::space(platform::ToPath(opt_.outdir), ec);
  if (ec) return true;  // nothing known: the writes will tell
  const uint64_t avail = static_cast<uint64_t>(space.available);
  // The blocks in use bound the data from above (metadata included); only when they do not fit
  // are the file sizes added up.
  const uint64_t used =
      (ext2fs_blocks_count(fs_->super) - ext2fs_free_blocks_count(fs_->super)) * fs_->blocksize;
  if (used <= avail) return true;
  ext2_inode_scan scan = nullptr;
  if (ext2fs_open_inode_scan(fs_, 0, &scan) != 0) return true;
  ext2fs_inode_scan_flags(scan, EXT2_SF_SKIP_MISSING_ITABLE | EXT2_SF_DO_LAZY, 0);
  fs_->flags |= EXT2_FLAG_IGNORE_CSUM_ERRORS;
  uint64_t need = 0;
  bool known = true;
  ext2_ino_t ino = 0;
  ext2_inode inode;
  for (;;) {
    errcode_t rc = ext2fs_get_next_inode(scan, &ino, &inode);
    if (rc) {
      known = false;  // a damaged table: the extraction itself reports it
      break;
    }
    if (ino == 0) break;
    if (ino < EXT2_FIRST_INODE(fs_->super) || inode.i_links_count == 0 || !LINUX_S_ISREG(inode.i_mode))
      continue;
    need += EXT2_I_SIZE(&inode);
  }
  fs_->flags &= ~EXT2_FLAG_IGNORE_CSUM_ERRORS;
  ext2fs_close_inode_scan(scan);
  if (!known || need <= avail) return true;
  *error = "not enough room in " + opt_.outdir + ": the files need " + std::to_string(need) +
           " bytes, the file system there has " + std::to_string(avail) + " bytes free";
  return false;
}

bool Extractor::OpenConfigFiles(std::string* error) {
  if (platform::MakeFolderAt(outfd_, "config", 0755) != 0 && errno != EEXIST) {
    *error = "cannot create " + opt_.outdir + "/config: " + Errno(errno);
    return false;
  }
  const std::string base = opt_.outdir + "/config/" + name_;
  return fs_config_.Open(base + "_fs_config.txt", error) &&
         contexts_.Open(base + "_file_contexts.txt", error);
}

bool Extractor::WriteOptions(std::string* error) {
  TextWriter w;
  w.set_crlf(true);
  if (!w.Open(opt_.outdir + "/config/" + name_ + "_fs_options.txt", error)) return false;
  const uint32_t bs = fs_->blocksize;
  const uint64_t blocks = ext2fs_blocks_count(fs_->super);
  const bool journal = ext2fs_has_feature_journal(fs_->super);
  std::string features = FeatureNames(FeatureSet::kCompat, sb_.s_feature_compat);
  for (auto s : {FeatureNames(FeatureSet::kIncompat, sb_.s_feature_incompat),
                 FeatureNames(FeatureSet::kRoCompat, sb_.s_feature_ro_compat)}) {
    if (!s.empty()) features += (features.empty() ? "" : " ") + s;
  }
  w.Line("Size: " + std::to_string(blocks * bs));
  w.Line("FolderName: " + folder_);
  w.Line("Label: " + VolumeLabel(sb_));
  w.Line("Mount point: " + LastMounted(sb_));
  w.Line("Block size: " + std::to_string(bs));
  w.Line("Block count: " + std::to_string(blocks));
  w.Line("Free blocks: " + std::to_string(ext2fs_free_blocks_count(fs_->super)));
  w.Line("Inodes: " + std::to_string(fs_->super->s_inodes_count));
  w.Line("Inode size: " + std::to_string(EXT2_INODE_SIZE(fs_->super)));
  w.Line(std::string("Journal: ") + (journal ? "Yes" : "No"));
  w.Line("UUID: " + UuidText(sb_.s_uuid));
  w.Line("Features: " + features);
  w.Line(std::string("Image format: ") + (src_.is_sparse() ? "sparse" : "raw"));
  return w.Close(error);
}

bool Extractor::ReadInode(ext2_ino_t ino, ext2_inode_large* inode, std::string* error) {
  // The buffer holds the whole on-disk inode so that in-inode attributes can be parsed.
  errcode_t rc = ext2fs_read_inode_full(fs_, ino, reinterpret_cast<ext2_inode*>(inode),
                                        static_cast<int>(inode_size_));
  if (rc) {
    *error = "cannot read inode " + std::to_string(ino) + ": " + Ext2Error(rc);
    if (!src_.last_io_error().empty()) *error += " (" + src_.last_io_error() + ")";
    return false;
  }
  return true;
}

struct ListCtx {
  std::vector<DirEntry>* entries;
  uint64_t limit;
  ext2_ino_t self, parent;
  bool too_many = false;
  bool any = false;  // a folder always holds at least "."
};

int ListCallback(ext2_ino_t, int entry, ext2_dir_entry* dirent, int, int, char*, void* priv) {
  auto* ctx = static_cast<ListCtx*>(priv);
  ctx->any = true;
  if (entry == DIRENT_DOT_FILE || entry == DIRENT_DOT_DOT_FILE) return 0;
  if (dirent->inode == 0) return 0;
  // Folders kept inside their inode report their "." and ".." like other entries; those that
  // point where they should are not entries of the tree. Any other "." or ".." is kept and
  // reported as a bad name.
  const int nlen = ext2fs_dirent_name_len(dirent);
  if ((nlen == 1 && dirent->name[0] == '.' && dirent->inode == ctx->self) ||
      (nlen == 2 && dirent->name[0] == '.' && dirent->name[1] == '.' &&
       dirent->inode == ctx->parent))
    return 0;
  if (ctx->entries->size() >= ctx->limit) {
    ctx->too_many = true;
    return DIRENT_ABORT;
  }
  const int len = ext2fs_dirent_name_len(dirent);
  ctx->entries->push_back({std::string(dirent->name, static_cast<size_t>(len)), dirent->inode});
  return 0;
}

bool Extractor::ListDir(ext2_ino_t ino, ext2_ino_t parent, std::vector<DirEntry>* entries,
                        std::string* error, std::string* damaged) {
  // A directory cannot hold more entries than the file system has inodes (hard links aside,
  // which still need 8 bytes each); the bound stops corrupt directories early.
  ListCtx ctx{entries, std::max<uint64_t>(fs_->super->s_inodes_count, 1u << 20), ino, parent};
  // Folders stored inside their inode need the inline flag; block folders must not get it.
  int flags = 0;
  ext2_inode inode;
  if (ext2fs_read_inode(fs_, ino, &inode) == 0 && (inode.i_flags & EXT4_INLINE_DATA_FL))
    flags = DIRENT_FLAG_INCLUDE_INLINE_DATA;
  errcode_t rc = ext2fs_dir_iterate2(fs_, ino, flags, nullptr, ListCallback, &ctx);
  if (IsChecksumError(rc)) {
    // Reported, then read again without the check, so that the entries that are still there
    // come out with the rest.
    if (damaged) *damaged = Ext2Error(rc);
    entries->clear();
    ctx = ListCtx{entries, ctx.limit, ino, parent};
    fs_->flags |= EXT2_FLAG_IGNORE_CSUM_ERRORS;
    rc = ext2fs_dir_iterate2(fs_, ino, flags, nullptr, ListCallback, &ctx);
    fs_->flags &= ~EXT2_FLAG_IGNORE_CSUM_ERRORS;
  }
  if (rc) {
    *error = "cannot read directory: " + Ext2Error(rc);
    if (!src_.last_io_error().empty()) *error += " (" + src_.last_io_error() + ")";
    return false;
  }
  if (ctx.too_many) {
    *error = "directory has an impossible number of entries";
    return false;
  }
  if (!ctx.any) {
    // libext2fs walks a folder whose block map is unreadable as if it were empty.
    *error = "directory blocks cannot be read (corrupt block map)";
    return false;
  }
  std::sort(entries->begin(), entries->end(),
            [](const DirEntry& a, const DirEntry& b) {
              return a.name != b.name ? a.name < b.name : a.ino < b.ino;
            });
  return true;
}

bool Extractor::ReadXattrs(ext2_ino_t ino, ext2_inode_large* inode, Xattrs* x,
                           std::string* error) {
  struct ext2_xattr_handle* h = nullptr;
  errcode_t rc = ext2fs_xattrs_open(fs_, ino, &h);
  if (rc == EXT2_ET_MISSING_EA_FEATURE) return true;
  if (rc) {
    *error = "cannot read extended attributes: " + Ext2Error(rc);
    return false;
  }
  rc = ext2fs_xattrs_read_inode(h, inode);
  if (rc) {
    ext2fs_xattrs_close(&h);
    *error = "cannot read extended attributes: " + Ext2Error(rc);
    return false;
  }
  auto get = [&](const char* key, bool* has, std::string* value) {
    void* v = nullptr;
    size_t len = 0;
    errcode_t r = ext2fs_xattr_get(h, key, &v, &len);
    if (r == 0) {
      *has = true;
      value->assign(static_cast<char*>(v), len);
      ext2fs_free_mem(&v);
    }
  };
  get("security.selinux", &x->has_selinux, &x->selinux);
  get("security.capability", &x->has_caps, &x->caps);
  ext2fs_xattrs_close(&h);
  return true;
}

bool Extractor::ReadRun(blk64_t lblk, blk64_t pblk, uint64_t count, uint64_t size, int fd,
                        std::string* error) {
  const uint64_t bs = fs_->blocksize;
  const uint64_t first = fs_->super->s_first_data_block;
  const uint64_t total = ext2fs_blocks_count(fs_->super);
  if (pblk < first || pblk >= total || count > total - pblk) {
    *error = "data block " + std::to_string(pblk) + " lies outside the file system";
    return false;
  }
  const uint64_t per = kCopyBufferBytes / bs;
  while (count > 0) {
    const uint64_t off = lblk * bs;
    if (off >= size) break;
    const uint64_t n = std::min(count, per);
    errcode_t rc = io_channel_read_blk64(fs_->io, pblk, static_cast<int>(n), buf_.get());
    if (rc) {
      *error = "cannot read data block " + std::to_string(pblk) + ": " + Ext2Error(rc);
      if (!src_.last_io_error().empty()) *error += " (" + src_.last_io_error() + ")";
      return false;
    }
    const uint64_t bytes = std::min<uint64_t>(n * bs, size - off);
    if (!WriteAll(fd, buf_.get(), static_cast<size_t>(bytes), off, error)) return false;
    n_bytes_ += bytes;
    lblk += n;
    pblk += n;
    count -= n;
  }
  return true;
}

struct BlockRunCtx {
  Extractor* self;
  blk64_t run_lblk = 0, run_pblk = 0;
  uint64_t run_len = 0;
  std::function<bool(blk64_t, blk64_t, uint64_t)> flush;
  uint64_t size_blocks;
  bool failed = false;
  std::string error;
};

int BlockRunCallback(ext2_filsys, blk64_t* blocknr, e2_blkcnt_t blockcnt, blk64_t, int,
                     void* priv) {
  auto* c = static_cast<BlockRunCtx*>(priv);
  if (blockcnt < 0) return 0;
  const uint64_t l = static_cast<uint64_t>(blockcnt);
  if (l >= c->size_blocks) return 0;
  if (c->run_len > 0 && l == c->run_lblk + c->run_len && *blocknr == c->run_pblk + c->run_len &&
      c->run_len < 256) {
    ++c->run_len;
    return 0;
  }
  if (c->run_len > 0 && !c->flush(c->run_lblk, c->run_pblk, c->run_len)) {
    c->failed = true;
    return BLOCK_ABORT;
  }
  c->run_lblk = l;
  c->run_pblk = *blocknr;
  c->run_len = 1;
  return 0;
}

bool Extractor::ReadInlineData(ext2_ino_t ino, ext2_inode* inode, std::vector<char>* data, const char* what,
                               std::string* error) {
  size_t isize = 0;
  errcode_t rc = ext2fs_inline_data_size(fs_, ino, &isize);
  if (rc || isize > 65536) {
    *error = std::string("cannot read ") + what + ": " + (rc ? Ext2Error(rc) : std::string("bad size"));
    return false;
  }
  data->assign(isize + 1, 0);
  rc = ext2fs_inline_data_get(fs_, ino, inode, data->data(), &isize);
  if (rc) {
    *error = std::string("cannot read ") + what + ": " + Ext2Error(rc);
    return false;
  }
  data->resize(isize);
  return true;
}

bool Extractor::WriteAll(int fd, const void* data, size_t len, uint64_t off, std::string* error) {
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < len) {
    const int64_t w = platform::WriteAt(fd, p + done, len - done, off + done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      *error = "cannot write: " + Errno(w < 0 ? errno : ENOSPC);
      return false;
    }
    done += static_cast<size_t>(w);
  }
  return true;
}

bool Extractor::CopyData(ext2_ino_t ino, ext2_inode_large* inode, int fd, std::string* error) {
  auto* small = reinterpret_cast<ext2_inode*>(inode);
  const uint64_t size = EXT2_I_SIZE(small);
  const uint64_t bs = fs_->blocksize;
  // ext4 cannot address more than 2^32 blocks in a file.
  // ext4 cannot address more than 2^32 blocks in a file; a file far larger than its whole file
  // system could only be a hole, and is taken for corruption.
  const uint64_t fs_bytes = ext2fs_blocks_count(fs_->super) * bs;
  if (size > (static_cast<uint64_t>(1) << 32) * bs || size / 64 > fs_bytes) {
    *error = "impossible file size " + std::to_string(size);
    return false;
  }
  if (!platform::SetFileSize(fd, size)) {
    *error = "cannot set the file size to " + std::to_string(size) + ": " + Errno(errno);
    return false;
  }
  if (size == 0) return true;

  if (small->i_flags & EXT4_INLINE_DATA_FL) {
    std::vector<char> data;
    if (!ReadInlineData(ino, small, &data, "inline data", error)) return false;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(data.size(), size));
    if (n > 0 && !WriteAll(fd, data.data(), n, 0, error)) return false;
    n_bytes_ += n;
    return true;
  }

  const uint64_t size_blocks = (size + bs - 1) / bs;
  if (small->i_flags & EXT4_EXTENTS_FL) {
    ext2_extent_handle_t h = nullptr;
    errcode_t rc = ext2fs_extent_open2(fs_, ino, small, &h);
    if (rc) {
      *error = "cannot read the extent tree: " + Ext2Error(rc);
      return false;
    }
    std::unique_ptr<std::remove_pointer_t<ext2_extent_handle_t>, void (*)(ext2_extent_handle_t)>
        guard(h, ext2fs_extent_free);
    ext2fs_extent ext;
    uint64_t next_lblk = 0, leaves = 0;
    rc = ext2fs_extent_get(h, EXT2_EXTENT_ROOT, &ext);
    while (rc == 0) {
      if ((ext.e_flags & EXT2_EXTENT_FLAGS_LEAF) && ext.e_len > 0) {
        if (++leaves > size_blocks + 16 || ext.e_lblk < next_lblk) {
          *error = "corrupt extent tree (overlapping or repeated extents)";
          return false;
        }
        next_lblk = ext.e_lblk + ext.e_len;
        if (!(ext.e_flags & EXT2_EXTENT_FLAGS_UNINIT) && ext.e_lblk < size_blocks) {
          const uint64_t len = std::min<uint64_t>(ext.e_len, size_blocks - ext.e_lblk);
          if (!ReadRun(ext.e_lblk, ext.e_pblk, len, size, fd, error)) return false;
        }
      }
      rc = ext2fs_extent_get(h, EXT2_EXTENT_NEXT, &ext);
    }
    if (rc != EXT2_ET_EXTENT_NO_NEXT && rc != EXT2_ET_NO_CURRENT_NODE) {
      *error = "cannot read the extent tree: " + Ext2Error(rc);
      return false;
    }
    return true;
  }

  // Block-mapped file: gather contiguous runs.
  BlockRunCtx ctx;
  ctx.self = this;
  ctx.size_blocks = size_blocks;
  ctx.flush = [&](blk64_t l, blk64_t p, uint64_t n) { return ReadRun(l, p, n, size, fd, error); };
  errcode_t rc = ext2fs_block_iterate3(fs_, ino, BLOCK_FLAG_READ_ONLY | BLOCK_FLAG_DATA_ONLY,
                                       nullptr, BlockRunCallback, &ctx);
  if (ctx.failed) return false;
  if (rc) {
    *error = "cannot read the block map: " + Ext2Error(rc);
    return false;
  }
  if (ctx.run_len > 0 && !ReadRun(ctx.run_lblk, ctx.run_pblk, ctx.run_len, size, fd, error))
    return false;
  return true;
}

bool Extractor::ReadSymlink(ext2_ino_t ino, ext2_inode_large* inode, std::string* target,
                            std::string* error) {
  auto* small = reinterpret_cast<ext2_inode*>(inode);
  const uint64_t size = EXT2_I_SIZE(small);
  if (size == 0 || size > kMaxSymlinkTarget) {
    *error = "symbolic link has an impossible length " + std::to_string(size);
    return false;
  }
  if (small->i_flags & EXT4_INLINE_DATA_FL) {
    std::vector<char> data;
    if (!ReadInlineData(ino, small, &data, "the link target", error)) return false;
    target->assign(data.data(), std::min<size_t>(data.size(), size));
  } else if (ext2fs_is_fast_symlink(small)) {
    target->assign(reinterpret_cast<const char*>(small->i_block),
                   std::min<size_t>(size, sizeof(small->i_block)));
  } else {
    // Slow symlink: the target sits in a data block; read it through a temporary file-like pass.
    ext2_file_t f = nullptr;
    errcode_t rc = ext2fs_file_open2(fs_, ino, small, 0, &f);
    if (rc) {
      *error = "cannot read the link target: " + Ext2Error(rc);
      return false;
    }
    std::vector<char> data(size);
    unsigned int got = 0;
    rc = ext2fs_file_read(f, data.data(), static_cast<unsigned>(size), &got);
    ext2fs_file_close(f);
    if (rc || got != size) {
      *error = "cannot read the link target: " + (rc ? Ext2Error(rc) : std::string("short read"));
      return false;
    }
    target->assign(data.data(), size);
  }
  size_t nul = target->find('\0');
  if (nul != std::string::npos) target->resize(nul);
  if (target->empty()) {
    *error = "symbolic link has an empty target";
    return false;
  }
  return true;
}

void Extractor::Record(const std::string& rel, const ext2_inode_large& inode, const Xattrs& x) {
  FsConfigEntry e;
  e.path = ConfigPath(rel);
  e.uid = inode_uid(inode);
  e.gid = inode_gid(inode);
  e.mode = inode.i_mode & 07777;
  if (x.has_caps) {
    uint64_t caps = 0;
    if (DecodeCapabilities(x.caps.data(), x.caps.size(), &caps)) {
      e.capabilities = caps;
    } else {
      Warning(e.path + ": malformed security.capability attribute ignored");
    }
  }
  fs_config_.Line(FormatFsConfigLine(e));
  if (x.has_selinux) {
    std::string ctx = x.selinux;
    size_t nul = ctx.find('\0');
    if (nul != std::string::npos) ctx.resize(nul);
    if (!ctx.empty()) contexts_.Line(EscapeRegex("/" + e.path) + " " + ctx);
  }
}

void Extractor::ApplyMetadata(const std::string& srel, int fd, int dirfd, const std::string& name,
                              const ext2_inode_large& inode, const Xattrs& x) {
  const auto* small = reinterpret_cast<const ext2_inode*>(&inode);
  const bool is_link = LINUX_S_ISLNK(inode.i_mode);
  std::string where = tree_path_;
  if (!srel.empty()) {
    where += platform::kSep;
    for (char c : srel) where += c == '/' ? platform::kSep : c;
  }
  // Where the tree keeps no owners, modes or attributes, the config files alone hold them.
  if (platform::TreeKeepsOwners()) {
    if (privileged_ && !platform::SetOwnerAt(dirfd, name, inode_uid(inode), inode_gid(inode)))
      Warning(where + ": cannot set the owner: " + Errno(errno));
    if (!is_link) {
      const uint32_t mode = inode.i_mode & 07777;
      const bool ok = fd >= 0 ? platform::SetMode(fd, mode) : platform::SetModeAt(dirfd, name, mode);
      if (!ok) Warning(where + ": cannot set the mode: " + Errno(errno));
    }
    if (privileged_) {
      auto set = [&](const char* key, const std::string& value) {
        const bool ok = fd >= 0 ? platform::SetXattr(fd, key, value)
                                : platform::SetXattrAt(dirfd, name, key, value);
        if (!ok && !warned_xattr_) {
          warned_xattr_ = true;
          Warning(where + ": cannot set " + key + " (" + Errno(errno) +
                  "); the config files keep it, further failures are not reported");
        }
      };
      if (x.has_caps && !is_link) set("security.capability", x.caps);
      if (x.has_selinux) set("security.selinux", x.selinux);
    }
  }
  const bool large = inode_size_ > EXT2_GOOD_OLD_INODE_SIZE &&
                     inode.i_extra_isize >= offsetof(ext2_inode_large, i_crtime) -
                                                EXT2_GOOD_OLD_INODE_SIZE;
  Timestamp mt = DecodeTime(small->i_mtime, large ? &inode.i_mtime_extra : nullptr);
  Timestamp at = DecodeTime(small->i_atime, large ? &inode.i_atime_extra : nullptr);
  platform::FileTimes t;
  t.atime = at.sec;
  t.atimeNsec = at.nsec;
  t.mtime = mt.sec;
  t.mtimeNsec = mt.nsec;
  const bool ok = fd >= 0 ? platform::SetTimes(fd, t) : platform::SetTimesAt(dirfd, name, t);
  if (!ok) Warning(where + ": cannot set the times: " + Errno(errno));
}

bool Extractor::KeepAsFile(int dirfd, const std::string& sname, const std::string& srel,
                           const treelist::KeptEntry& entry, std::string* error) {
  const int fd = platform::CreateFileAt(dirfd, sname, 0600, true);
  if (fd < 0) {
    *error = Errno(errno);
    return false;
  }
  bool ok = true;
  if (entry.kind == treelist::KeptEntry::Kind::kLink)
    ok = WriteAll(fd, entry.target.data(), entry.target.size(), 0, error);
  if (platform::CloseFile(fd) != 0 && ok) {
    *error = Errno(errno);
    ok = false;
  }
  if (ok) list_.Keep(srel, entry);
  return ok;
}

void Extractor::Progress() {
  ++n_entries_;
  if (n_entries_ % 5000 == 0) out_ << kTool << ": " << n_entries_ << " entries extracted\n";
}

void Extractor::WalkDir(ext2_ino_t dir_ino, ext2_ino_t parent_ino, int dirfd,
                        const std::string& rel, const std::string& srel, int depth) {
  std::vector<DirEntry> entries;
  std::string error, damaged;
  if (!ListDir(dir_ino, parent_ino, &entries, &error, &damaged)) {
    Error(ConfigPath(rel) + ": " + error);
    return;
  }
  if (!damaged.empty())
    Error(ConfigPath(rel) + ": damaged directory: " + damaged + "; extracting the entries still readable");
  for (const auto& e : entries) ExtractEntry(e, dir_ino, dirfd, rel, srel, depth);
}

void Extractor::ExtractEntry(const DirEntry& e, ext2_ino_t dir_ino, int dirfd,
                             const std::string& parent_rel, const std::string& parent_srel,
                             int depth) {
  const std::string shown = ConfigPath(parent_rel) + "/" + e.name;
  if (const char* why = BadNameReason(e.name)) {
    Error("skipping a bad directory entry in " + ConfigPath(parent_rel) + ": " + why);
    return;
  }
  const std::string rel = parent_rel.empty() ? e.name : parent_rel + "/" + e.name;
  if (e.ino == EXT2_ROOT_INO || e.ino > fs_->super->s_inodes_count ||
      (e.ino < EXT2_FIRST_INODE(fs_->super) && e.ino != EXT2_ROOT_INO)) {
    Error(shown + ": entry points to " +
          (e.ino == EXT2_ROOT_INO ? std::string("the root directory (directory loop)")
                                  : "reserved or invalid inode " + std::to_string(e.ino)) +
          "; skipped");
    return;
  }
  std::vector<char> ibuf(inode_size_ < sizeof(ext2_inode_large) ? sizeof(ext2_inode_large)
                                                                 : inode_size_);
  auto* inode = reinterpret_cast<ext2_inode_large*>(ibuf.data());
  std::string error;
  if (!ReadInode(e.ino, inode, &error)) {
    Error(shown + ": " + error);
    return;
  }
  const uint16_t mode = inode->i_mode;
  if (inode->i_links_count == 0 && !LINUX_S_ISDIR(mode)) {
    Error(shown + ": entry points to a deleted inode; skipped");
    return;
  }
  if (opt_.verbose) out_ << shown << "\n";

  // The name on disk: the image's own, unless this system cannot hold it.
  const std::string sname = use_list_ ? list_.StoredName(parent_srel, e.name, rel) : e.name;
  const std::string srel = parent_srel.empty() ? sname : parent_srel + "/" + sname;

  // A further name of an inode already extracted becomes a hard link.
  if (!LINUX_S_ISDIR(mode)) {
    auto it = links_.find(e.ino);
    if (it != links_.end()) {
      // The first name's folders were all made by this run, so the relative path cannot pass
      // through a link.
      if (!platform::HardLinkAt(treefd_, it->second, dirfd, sname)) {
        Error(shown + ": cannot create hard link: " + Errno(errno));
        return;
      }
      auto kept = kept_.find(e.ino);
      if (kept != kept_.end()) list_.Keep(srel, kept->second);
      Xattrs x;
      if (!ReadXattrs(e.ino, inode, &x, &error)) Error(shown + ": " + error);
      Record(rel, *inode, x);
      ++n_hardlinks_;
      Progress();
      return;
    }
  }

  Xattrs x;
  if (!ReadXattrs(e.ino, inode, &x, &error)) Error(shown + ": " + error);

  if (LINUX_S_ISDIR(mode)) {
    if (!dirs_seen_.insert(e.ino).second) {
      Error(shown + ": directory appears twice in the tree (directory loop); skipped");
      return;
    }
    if (depth + 1 > kMaxDepth) {
      Error(shown + ": directory tree is deeper than " + std::to_string(kMaxDepth) +
            " levels; skipped");
      return;
    }
    if (platform::MakeFolderAt(dirfd, sname, 0700) != 0) {
      Error(shown + ": cannot create folder: " + Errno(errno));
      return;
    }
    const int fd = platform::OpenFolderAt(dirfd, sname);
    if (fd < 0) {
      Error(shown + ": cannot open the new folder: " + Errno(errno));
      return;
    }
    Record(rel, *inode, x);
    ++n_dirs_;
    Progress();
    WalkDir(e.ino, dir_ino, fd, rel, srel, depth + 1);
    platform::CloseFolder(fd);
    ApplyMetadata(srel, -1, dirfd, sname, *inode, x);
    return;
  }

  if (LINUX_S_ISREG(mode)) {
    const int fd = platform::CreateFileAt(dirfd, sname, 0600, true);
    if (fd < 0) {
      Error(shown + ": cannot create file: " + Errno(errno));
      return;
    }
    if (!CopyData(e.ino, inode, fd, &error)) {
      Error(shown + ": " + error);
      platform::CloseFile(fd);
      return;
    }
    ApplyMetadata(srel, fd, dirfd, sname, *inode, x);
    if (platform::CloseFile(fd) != 0) {
      Error(shown + ": cannot write: " + Errno(errno));
      return;
    }
    Record(rel, *inode, x);
    if (inode->i_links_count > 1) links_[e.ino] = srel;
    ++n_files_;
    Progress();
    return;
  }

  if (LINUX_S_ISLNK(mode)) {
    std::string target;
    if (!ReadSymlink(e.ino, inode, &target, &error)) {
      Error(shown + ": " + error);
      return;
    }
    if (platform::TreeKeepsLinks()) {
      if (!platform::MakeLinkAt(target, dirfd, sname)) {
        Error(shown + ": cannot create symbolic link: " + Errno(errno));
        return;
      }
    } else {
      treelist::KeptEntry k;
      k.kind = treelist::KeptEntry::Kind::kLink;
      k.target = target;
      if (!KeepAsFile(dirfd, sname, srel, k, &error)) {
        Error(shown + ": cannot create the file of a symbolic link: " + error);
        return;
      }
      kept_[e.ino] = k;
    }
    ApplyMetadata(srel, -1, dirfd, sname, *inode, x);
    Record(rel, *inode, x);
    if (inode->i_links_count > 1) links_[e.ino] = srel;
    ++n_links_;
    Progress();
    return;
  }

  if (LINUX_S_ISCHR(mode) || LINUX_S_ISBLK(mode) || LINUX_S_ISFIFO(mode) ||
      LINUX_S_ISSOCK(mode)) {
    const auto* small = reinterpret_cast<const ext2_inode*>(inode);
    unsigned major = 0, minor = 0;
    if (small->i_block[0]) {
      major = (small->i_block[0] >> 8) & 255;
      minor = small->i_block[0] & 255;
    } else {
      major = (small->i_block[1] & 0xfff00) >> 8;
      minor = (small->i_block[1] & 0xff) | ((small->i_block[1] >> 12) & 0xfff00);
    }
    using NK = platform::NodeKind;
    using KK = treelist::KeptEntry::Kind;
    const bool is_fifo = LINUX_S_ISFIFO(mode);
    const NK kind = LINUX_S_ISCHR(mode) ? NK::kChar
                    : LINUX_S_ISBLK(mode) ? NK::kBlock
                    : is_fifo             ? NK::kFifo
                                          : NK::kSocket;
    bool ok;
    if (!platform::TreeKeepsNodes()) {
      // The tree cannot hold the node: an empty file, and its kind and numbers in the list.
      treelist::KeptEntry k;
      k.kind = kind == NK::kChar ? KK::kChar : kind == NK::kBlock ? KK::kBlock
               : kind == NK::kFifo ? KK::kFifo : KK::kSocket;
      if (k.kind == KK::kChar || k.kind == KK::kBlock) {
        k.major = major;
        k.minor = minor;
      }
      ok = KeepAsFile(dirfd, sname, srel, k, &error);
      if (ok) kept_[e.ino] = k;
    } else if (privileged_ || is_fifo) {
      ok = platform::MakeNodeAt(dirfd, sname, kind, major, minor);
      if (!ok) error = Errno(errno);
    } else {
      // Without the right to make device nodes an empty file holds the place; the attribute
      // file still describes the entry.
      const int fd = platform::CreateFileAt(dirfd, sname, 0600, true);
      ok = fd >= 0 && platform::CloseFile(fd) == 0;
      if (!ok) error = Errno(errno);
    }
    if (!ok) {
      Error(shown + ": cannot create special file: " + error);
      return;
    }
    ApplyMetadata(srel, -1, dirfd, sname, *inode, x);
    Record(rel, *inode, x);
    if (inode->i_links_count > 1) links_[e.ino] = srel;
    ++n_special_;
    Progress();
    return;
  }
  Error(shown + ": unknown file type " + std::to_string(mode >> 12) + "; skipped");
}

int Extractor::Run() {
  const auto started = std::chrono::steady_clock::now();
  std::string error;
  name_ = StemOf(opt_.image);
  if (!OpenFs(&error)) return Fatal(opt_.image + ": " + error);
  folder_ = ChooseFolderName(LastMounted(sb_), VolumeLabel(sb_), name_);
  if (!UsableFolderName(folder_) || !platform::TreeNameStorable(folder_)) folder_ = "image";
  buf_.reset(new char[kCopyBufferBytes]);

  out_ << kTool << ": " << opt_.image << ": " << (src_.is_sparse() ? "sparse" : "raw")
       << " ext4 image, " << fs_->blocksize << "-byte blocks, " << ext2fs_blocks_count(fs_->super)
       << " blocks, volume '" << VolumeLabel(sb_) << "', mounted on '" << LastMounted(sb_)
       << "'\n";
  out_ << kTool << ": extracting to " << opt_.outdir << platform::kSep << folder_ << "\n";
  out_.flush();

  if (!MakeTreeRoot(&error) || !CheckRoom(&error) || !OpenConfigFiles(&error)) return Fatal(error);

  treefd_ = platform::OpenFolderAt(outfd_, folder_);
  if (treefd_ < 0) return Fatal("cannot open " + tree_path_ + ": " + Errno(errno));
  const int rootfd = treefd_;
  std::vector<char> ibuf(std::max(inode_size_, sizeof(ext2_inode_large)));
  auto* root = reinterpret_cast<ext2_inode_large*>(ibuf.data());
  if (!ReadInode(EXT2_ROOT_INO, root, &error)) return Fatal(error);
  if (!LINUX_S_ISDIR(root->i_mode))
    return Fatal("corrupt file system: the root inode is not a directory");
  Xattrs rx;
  if (!ReadXattrs(EXT2_ROOT_INO, root, &rx, &error)) Error(folder_ + ": " + error);
  Record("", *root, rx);
  dirs_seen_.insert(EXT2_ROOT_INO);
  WalkDir(EXT2_ROOT_INO, EXT2_ROOT_INO, rootfd, "", "", 0);
  ApplyMetadata("", rootfd, outfd_, folder_, *root, rx);

  if (!fs_config_.Close(&error) || !contexts_.Close(&error) || !WriteOptions(&error))
    return Fatal(error);
  // What the tree could not hold as it is; never written where it holds everything.
  if (use_list_ &&
      !list_.Write(treelist::EntriesListPath(opt_.outdir + "/config", name_), &error))
    return Fatal(error);

  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  out_ << kTool << ": " << n_files_ << " files, " << n_dirs_ << " folders, " << n_links_
       << " symbolic links, " << n_hardlinks_ << " hard links, " << n_special_
       << " special files; " << n_bytes_ << " bytes in " << static_cast<int>(secs * 1000)
       << " ms\n";
  if (errors_) {
    err_ << kTool << ": finished with " << errors_ << " error(s)\n";
    return 1;
  }
  out_ << kTool << ": done\n";
  return 0;
}

}  // namespace

std::string ChooseFolderName(const std::string& last_mounted, const std::string& label,
                             const std::string& fallback) {
  std::string m = LastComponent(last_mounted);
  if (UsableFolderName(m)) return m;
  std::string l = LastComponent(label);
  if (UsableFolderName(l)) return l;
  return fallback;
}

int ExtractImage(const ExtractOptions& options, std::ostream& out, std::ostream& err) {
  Extractor x(options, out, err);
  int rc = x.Run();
  out.flush();
  err.flush();
  return rc;
}

int PrintImageInfo(const std::string& image, std::ostream& out, std::ostream& err) {
  ImageSource src;
  std::string error;
  ext2_super_block sb;
  if (!src.Open(image, &error) || !ReadSuperblock(src, &sb, &error)) {
    err << kTool << ": error: " << image << ": " << error << "\n";
    return 1;
  }
  out << SuperblockReport(sb, src.size(), src.is_sparse());
  out.flush();
  return 0;
}

}  // namespace orvex::ext4
