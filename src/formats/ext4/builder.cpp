#include "ext4/builder.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <vector>

#include "ext4/file_contexts.h"
#include "ext4/fs_config.h"
#include "ext4/image_source.h"
#include "ext4/mode_bits.h"
#include "ext4/source_tree.h"
#include "ext4/text_file.h"
#include "platform.h"
#include "platform_io.h"
#include "platform_tree.h"
#include "sparse/sparse_writer.h"

namespace orvex::ext4 {

namespace {

constexpr const char* kTool = "make_ext4fs";
constexpr int kMaxDepth = 512;
constexpr size_t kCopyBufferBytes = 1 << 20;

// A failure that ends the build. code is the libext2fs error when there is one.
struct BuildFailure {
  std::string message;
  errcode_t code = 0;
};

[[noreturn]] void Fail(const std::string& message, errcode_t code = 0) {
  throw BuildFailure{message, code};
}

void Check(errcode_t rc, const std::string& what) {
  if (rc) Fail(what + ": " + Ext2Error(rc), rc);
}

bool IsOutOfSpace(errcode_t rc) {
  // Only a full image counts; a full host disk (ENOSPC from a write) is an ordinary error.
  return rc == EXT2_ET_BLOCK_ALLOC_FAIL || rc == EXT2_ET_DIR_NO_SPACE ||
         rc == EXT2_ET_RES_GDT_BLOCKS || rc == EXT2_ET_TOOSMALL;
}

uint64_t DivRoundUp(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

// 64-bit FNV-1a, used to derive a stable UUID and hash seed from the build parameters.
uint64_t Fnv1a(const std::string& s, uint64_t h = 0xcbf29ce484222325ull) {
  for (unsigned char c : s) {
    h ^= c;
    h *= 0x100000001b3ull;
  }
  return h;
}

void DeriveBytes(const std::string& seed, unsigned char out[16]) {
  uint64_t a = Fnv1a(seed), b = Fnv1a(seed + "\x01", a ^ 0x9e3779b97f4a7c15ull);
  for (int i = 0; i < 8; ++i) {
    out[i] = static_cast<unsigned char>(a >> (8 * i));
    out[8 + i] = static_cast<unsigned char>(b >> (8 * i));
  }
}

void RandomBytes(unsigned char out[16]) {
  try {
    std::random_device rd;
    for (int i = 0; i < 16; i += 4) {
      const uint32_t v = rd();
      for (int k = 0; k < 4; ++k) out[i + k] = static_cast<unsigned char>(v >> (8 * k));
    }
  } catch (const std::exception&) {
    DeriveBytes(std::to_string(time(nullptr)) +
                    std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()),
                out);
  }
}

void EncodeTime(int64_t sec, uint32_t nsec, __u32* lo, __u32* extra) {
  *lo = static_cast<uint32_t>(sec);
  if (extra) {
    const int64_t epoch = (sec - static_cast<int32_t>(static_cast<uint32_t>(sec))) >> 32;
    *extra = static_cast<uint32_t>(epoch & 3) | (nsec << 2);
  }
}

int FileType(uint32_t type) {
  switch (type & kTypeMask) {
    case kTypeFile: return EXT2_FT_REG_FILE;
    case kTypeDir: return EXT2_FT_DIR;
    case kTypeChar: return EXT2_FT_CHRDEV;
    case kTypeBlock: return EXT2_FT_BLKDEV;
    case kTypeFifo: return EXT2_FT_FIFO;
    case kTypeSocket: return EXT2_FT_SOCK;
    case kTypeLink: return EXT2_FT_SYMLINK;
    default: return EXT2_FT_UNKNOWN;
  }
}

// The mode bits of this library are ext4's own.
uint16_t LinuxType(uint32_t type) { return static_cast<uint16_t>(type & kTypeMask); }

bool IsDir(uint32_t type) { return (type & kTypeMask) == kTypeDir; }
bool IsFile(uint32_t type) { return (type & kTypeMask) == kTypeFile; }

// What the build takes from a source entry: its kind, owner, mode, times, size and identity.
struct Stat {
  uint32_t type = 0;  // kType* bits
  uint32_t mode = 0;  // 07777
  uint32_t uid = 0, gid = 0;
  uint64_t size = 0;
  uint64_t allocated = UINT64_MAX;
  int64_t mtime = 0, atime = 0;
  uint32_t mtime_nsec = 0, atime_nsec = 0;
  uint64_t dev = 0, ino = 0;
  uint32_t links = 1;
  uint32_t major = 0, minor = 0;
};

Stat StatOf(const platform::EntryInfo& i, uint32_t type) {
  Stat st;
  st.type = type;
  st.mode = i.mode & 07777;
  st.uid = i.uid;
  st.gid = i.gid;
  st.size = i.size;
  st.allocated = i.allocated;
  st.mtime = i.mtime;
  st.mtime_nsec = i.mtimeNsec;
  st.atime = i.atime;
  st.atime_nsec = i.atimeNsec;
  st.dev = i.device;
  st.ino = i.inode;
  st.links = i.links;
  st.major = i.rdevMajor;
  st.minor = i.rdevMinor;
  return st;
}

// One entry of the source tree, read before the image is laid out.
struct Node {
  std::string name;    // in the image
  std::string stored;  // on disk
  Stat st;
  bool kept = false;   // a file on disk standing for a link or node (see SourceTree)
  std::string target;  // kept links
  std::vector<Node> kids;  // folders only, sorted by name
  uint64_t estimate = 0;   // blocks this entry needs, its own data and folder blocks
};

// What an entry gets in the image.
struct Meta {
  uint32_t uid = 0, gid = 0, mode = 0;
  uint64_t caps = 0;
  std::optional<std::string> context;
};

class Builder {
 public:
  Builder(const BuildOptions& o, std::ostream& out, std::ostream& err)
      : opt_(o), out_(out), err_(err) {}
  ~Builder() {
    if (fs_) ext2fs_free(fs_);
    std::string ignored;
    image_.Close(&ignored);
    if (!finished_) {
      if (!raw_path_.empty()) platform::RemoveFile(raw_path_);
      if (!opt_.output.empty() && created_output_) platform::RemoveFile(opt_.output);
    }
  }
  int Run();

 private:
  void LoadTables();
  void Scan(int dirfd, Node* dir, const std::string& rel, const std::string& srel, int depth);
  uint64_t EstimateFolder(const Node& dir) const;
  void Layout(uint64_t entries);
  void CreateFileSystem();
  // Creates the entries of a source folder, then writes the folder's own entries in one go.
  // Returns the number of subfolders (for the folder's link count).
  uint32_t Populate(int dirfd, const Node* dir, ext2_ino_t dir_ino, ext2_ino_t parent_ino,
                    const std::string& rel, int depth);
  std::string SourceName() const;
  struct OutEntry {
    std::string name;
    ext2_ino_t ino;
    int type;
  };
  ext2_ino_t AddEntry(int dirfd, const Node& n, ext2_ino_t parent, const std::string& rel,
                      int depth);
  void MakeFolder(ext2_ino_t ino, ext2_ino_t parent, int dirfd, const Node* src,
                  const Meta& m, const Stat& st, const std::string& rel, int depth);
  void WriteFolderEntries(ext2_ino_t ino, ext2_ino_t parent, const std::vector<OutEntry>& entries,
                          uint64_t min_blocks);
  void Finish();

  // The attributes of an entry; dirfd and name reach it on disk (dirfd -1: nowhere).
  Meta Resolve(const std::string& rel, const Stat& st, int dirfd, const char* name);
  std::string LookupPath(const std::string& rel) const;
  ext2_ino_t NewInode(ext2_ino_t parent, uint32_t type);
  void WriteNewInode(ext2_ino_t ino, uint32_t type, const Meta& m, const Stat& st,
                     bool extents);
  // Owner, mode and times; links > 0 also sets the link count.
  void SetInodeMeta(ext2_ino_t ino, const Meta& m, const Stat& st, uint32_t links = 0);
  void SetTimes(ext2_inode_large* in, const Stat& st);
  void SetXattrs(ext2_ino_t ino, const Meta& m, const std::string& shown);
  void CopyData(int fd, ext2_ino_t ino, uint64_t size, const std::string& shown);
  void Note(const std::string& rel) {
    if (opt_.verbose) out_ << (rel.empty() ? "/" : rel) << "\n";
    if (++entries_done_ % 5000 == 0) out_ << kTool << ": " << entries_done_ << " entries\n";
  }

  const BuildOptions& opt_;
  std::ostream& out_;
  std::ostream& err_;
  FsConfigTable config_;
  bool have_config_ = false;
  FileContexts contexts_;
  bool have_contexts_ = false;
  Node root_;
  bool have_source_ = false;
  SourceTree tree_;
  uint64_t n_entries_ = 0;
  uint64_t estimate_total_ = 0;  // blocks the tree needs
  uint64_t estimate_done_ = 0;   // blocks of the entries already written
  uint64_t entries_done_ = 0;
  uint64_t missing_config_ = 0;

  // Layout.
  uint64_t blocks_ = 0;
  uint64_t inodes_ = 0;
  uint64_t journal_blocks_ = 0;
  int64_t now_ = 0;

  ext2_filsys fs_ = nullptr;
  size_t inode_size_ = 0;
  ext2_ino_t lost_found_ = 0;
  ImageFile image_;       // the raw image libext2fs writes
  std::string raw_path_;  // temporary raw image when the output is sparse
  bool created_output_ = false;
  bool finished_ = false;
  std::map<std::pair<uint64_t, uint64_t>, ext2_ino_t> hardlinks_;
  std::unique_ptr<char[]> buf_;
};

// Paths in the option files may be written with Windows separators by other tools.
std::string ExistingPath(const std::string& p) {
  if (platform::Exists(p) || p.find('\\') == std::string::npos) return p;
  std::string q = p;
  std::replace(q.begin(), q.end(), '\\', '/');
  return platform::Exists(q) ? q : p;
}

void Builder::LoadTables() {
  std::string error;
  if (!opt_.fs_config.empty()) {
    const std::string path = ExistingPath(opt_.fs_config);
    if (!config_.Load(path, &error)) Fail(error);
    have_config_ = true;
    // What the tree could not hold as it is, kept beside the attribute file by the unpack.
    const std::string list = EntriesListFor(path);
    if (!list.empty() && !tree_.LoadList(list, &error)) Fail(error);
  }
  if (!opt_.file_contexts.empty()) {
    if (!contexts_.Load(ExistingPath(opt_.file_contexts), &error)) Fail(error);
    have_contexts_ = true;
  }
}

void Builder::Scan(int dirfd, Node* dir, const std::string& rel, const std::string& srel,
                   int depth) {
  if (depth > kMaxDepth) Fail("source tree is deeper than " + std::to_string(kMaxDepth) + " levels");
  std::vector<SourceEntry> entries;
  std::string error;
  if (!tree_.List(dirfd, srel, rel.empty() ? opt_.source : rel, &entries, &error)) Fail(error);
  const uint64_t bs = opt_.block_size;
  dir->kids.reserve(entries.size());
  for (auto& se : entries) {
    Node n;
    n.name = se.name;
    n.stored = se.stored;
    n.st = StatOf(se.info, se.type);
    n.kept = se.kept;
    n.target = std::move(se.target);
    n.st.major = se.major;
    n.st.minor = se.minor;
    if (n.kept) {
      n.st.size = n.target.size();
      n.st.allocated = UINT64_MAX;
    }
    const std::string path = rel.empty() ? n.name : rel + "/" + n.name;
    ++n_entries_;
    switch (n.st.type) {
      case kTypeFile: {
        const uint64_t size = n.st.size;
        uint64_t blocks = DivRoundUp(size, bs);
        // A sparse source file needs no more than it occupies.
        if (n.st.allocated != UINT64_MAX)
          blocks = std::min(blocks, DivRoundUp(n.st.allocated, bs) + 1);
        // Extent tree blocks: one leaf per ~340 extents of at most 32768 blocks each.
        blocks += DivRoundUp(blocks, 32768ull * 340);
        n.estimate = blocks;
        break;
      }
      case kTypeLink:
        n.estimate = n.st.size >= 60 ? 1 : 0;
        break;
      case kTypeDir: {
        const int sub = platform::OpenFolderAt(dirfd, n.stored);
        if (sub < 0) Fail("cannot open folder " + path + ": " + strerror(errno));
        struct Closer {
          int fd;
          ~Closer() { platform::CloseFolder(fd); }
        } closer{sub};
        Scan(sub, &n, path, srel.empty() ? n.stored : srel + "/" + n.stored, depth + 1);
        n.estimate = EstimateFolder(n);
        break;
      }
      case kTypeChar:
      case kTypeBlock:
      case kTypeFifo:
      case kTypeSocket:
        break;
      default:
        Fail("unsupported file type: " + path);
    }
    estimate_total_ += n.estimate;
    dir->kids.push_back(std::move(n));
  }
}

uint64_t Builder::EstimateFolder(const Node& dir) const {
  uint64_t bytes = 24;  // "." and ".."
  for (const auto& k : dir.kids) bytes += 8 + ((k.name.size() + 3) & ~3ull);
  // Linear folders fill blocks about three quarters full as names are added one by one.
  return std::max<uint64_t>(1, DivRoundUp(bytes * 4 / 3, opt_.block_size));
}

void Builder::Layout(uint64_t entries) {
  const uint64_t bs = opt_.block_size;
  blocks_ = opt_.length / bs;
  const uint64_t needed = entries + EXT2_GOOD_OLD_FIRST_INO + 1;  // + lost+found
  if (opt_.inodes > 0) {
    inodes_ = opt_.inodes;
    if (inodes_ < needed) {
      err_ << kTool << ": warning: " << inodes_ << " inodes cannot hold the " << entries
           << " entries of the tree; using " << needed << "\n";
      inodes_ = needed;
    }
  } else {
    // Room for the tree plus an eighth, and never fewer than a small image would get by the
    // usual one inode per 16 KiB (capped, so large images do not waste blocks on inode tables).
    const uint64_t by_size = std::min<uint64_t>(blocks_ * bs / 16384, 4096);
    inodes_ = std::max(needed + needed / 8 + 64, by_size);
  }
  if (inodes_ > 0xFFFFFFFFull) inodes_ = 0xFFFFFFFFull;
  if (!opt_.journal) {
    journal_blocks_ = 0;
  } else if (opt_.journal_blocks > 0) {
    journal_blocks_ = std::max<uint64_t>(opt_.journal_blocks, 1024);
  } else {
    // The classic default: a sixty-fourth of the image, between 1024 and 32768 blocks.
    journal_blocks_ = std::clamp<uint64_t>(blocks_ / 64, 1024, 32768);
  }
  if (journal_blocks_ > 0 && journal_blocks_ > blocks_ / 4) {
    const int def = ext2fs_default_journal_size(blocks_);
    const uint64_t fit = def > 0 ? std::min<uint64_t>(def, blocks_ / 4) : 0;
    if (fit < 1024) {
      err_ << kTool << ": warning: the image is too small for a journal; building without one\n";
      journal_blocks_ = 0;
    } else {
      err_ << kTool << ": warning: journal of " << journal_blocks_ << " blocks does not fit; using "
           << fit << "\n";
      journal_blocks_ = fit;
    }
  }
}

void Builder::CreateFileSystem() {
  const uint32_t bs = opt_.block_size;
  // The image file is created empty and sized first: unwritten blocks read as zero, so inode
  // tables and the journal need no explicit zeroing.
  std::string target = opt_.output;
  std::string error;
  if (opt_.sparse) {
    const int fd = CreateTempBeside(opt_.output, ".raw", &raw_path_, &error);
    if (fd < 0) {
      raw_path_.clear();
      Fail(error);
    }
    platform::CloseFile(fd);
    target = raw_path_;
  }
  if (!opt_.sparse) created_output_ = true;
  if (!image_.Create(target, blocks_ * bs, &error)) Fail(error);

  ext2_super_block param{};
  ext2fs_blocks_count_set(&param, blocks_);
  int log = 0;
  while ((1024u << log) < bs) ++log;
  param.s_log_block_size = log;
  param.s_log_cluster_size = log;
  param.s_rev_level = EXT2_DYNAMIC_REV;
  param.s_inode_size = static_cast<uint16_t>(opt_.inode_size);
  param.s_inodes_count = static_cast<uint32_t>(inodes_);
  if (opt_.blocks_per_group) param.s_blocks_per_group = opt_.blocks_per_group;
  param.s_r_blocks_count = 0;
  param.s_feature_compat =
      EXT2_FEATURE_COMPAT_EXT_ATTR | EXT2_FEATURE_COMPAT_RESIZE_INODE | EXT2_FEATURE_COMPAT_DIR_INDEX;
  param.s_feature_incompat = EXT2_FEATURE_INCOMPAT_FILETYPE | EXT3_FEATURE_INCOMPAT_EXTENTS;
  param.s_feature_ro_compat = EXT2_FEATURE_RO_COMPAT_SPARSE_SUPER |
                              EXT2_FEATURE_RO_COMPAT_LARGE_FILE | EXT4_FEATURE_RO_COMPAT_HUGE_FILE |
                              EXT4_FEATURE_RO_COMPAT_DIR_NLINK;
  if (opt_.inode_size >= sizeof(ext2_inode_large)) {
    param.s_feature_ro_compat |= EXT4_FEATURE_RO_COMPAT_EXTRA_ISIZE;
    param.s_min_extra_isize = param.s_want_extra_isize =
        sizeof(ext2_inode_large) - EXT2_GOOD_OLD_INODE_SIZE;
  }
  if (blocks_ > 0xFFFFFFFFull) {
    param.s_feature_incompat |= EXT4_FEATURE_INCOMPAT_64BIT;
    param.s_desc_size = EXT2_MIN_DESC_SIZE_64BIT;
  }

  errcode_t rc =
      ext2fs_initialize(image_.Ext2Name().c_str(), EXT2_FLAG_64BITS, &param, image_.Manager(), &fs_);
  if (rc) {
    fs_ = nullptr;
    Check(rc, "cannot lay out a file system of " + std::to_string(blocks_) + " blocks");
  }
  fs_->now = static_cast<time_t>(now_);
  inode_size_ = EXT2_INODE_SIZE(fs_->super);
  ext2_super_block* sb = fs_->super;

  // Identity: label, mount point, UUID and directory hash seed. Without -u the UUID follows from
  // the parameters, so the same tree and options give the same image.
  memset(sb->s_volume_name, 0, sizeof(sb->s_volume_name));
  memcpy(sb->s_volume_name, opt_.label.data(), std::min(opt_.label.size(), sizeof(sb->s_volume_name)));
  const std::string mounted = "/" + opt_.mountpoint;
  memset(sb->s_last_mounted, 0, sizeof(sb->s_last_mounted));
  memcpy(sb->s_last_mounted, mounted.data(), std::min(mounted.size(), sizeof(sb->s_last_mounted) - 1));
  const std::string seed = opt_.label + "|" + mounted + "|" + std::to_string(blocks_) + "|" +
                           std::to_string(bs) + "|" + std::to_string(now_);
  if (opt_.real_uuid) {
    RandomBytes(sb->s_uuid);
  } else {
    DeriveBytes("uuid|" + seed, sb->s_uuid);
  }
  sb->s_uuid[6] = static_cast<unsigned char>((sb->s_uuid[6] & 0x0F) | 0x40);
  sb->s_uuid[8] = static_cast<unsigned char>((sb->s_uuid[8] & 0x3F) | 0x80);
  unsigned char hs[16];
  DeriveBytes("hash|" + seed, hs);
  memcpy(sb->s_hash_seed, hs, sizeof(hs));
  sb->s_def_hash_version = EXT2_HASH_HALF_MD4;
  // Android devices hash folder names with unsigned chars.
  sb->s_flags = (sb->s_flags & ~EXT2_FLAGS_SIGNED_HASH) | EXT2_FLAGS_UNSIGNED_HASH;
  sb->s_max_mnt_count = -1;
  sb->s_checkinterval = 0;
  sb->s_mkfs_time = sb->s_wtime = sb->s_lastcheck = static_cast<uint32_t>(now_);
  sb->s_mkfs_time_hi = sb->s_wtime_hi = sb->s_lastcheck_hi = static_cast<uint8_t>(now_ >> 32);
  ext2fs_mark_super_dirty(fs_);

  Check(ext2fs_allocate_tables(fs_), "cannot allocate the group tables");
  Check(ext2fs_convert_subcluster_bitmap(fs_, &fs_->block_map), "cannot set up the block bitmap");

  // Reserved inodes, bad-block inode, resize inode, journal: the same skeleton mke2fs makes. The
  // root folder and lost+found (inode 11, as everywhere) are written with the tree.
  for (ext2_ino_t i = EXT2_ROOT_INO + 1; i < EXT2_FIRST_INODE(fs_->super); ++i)
    ext2fs_inode_alloc_stats2(fs_, i, +1, 0);
  ext2fs_mark_ib_dirty(fs_);
  ext2fs_inode_alloc_stats2(fs_, EXT2_BAD_INO, +1, 0);
  Check(ext2fs_update_bb_inode(fs_, nullptr), "cannot write the bad-block inode");

  if (ext2fs_has_feature_resize_inode(fs_->super))
    Check(ext2fs_create_resize_inode(fs_), "cannot create the resize inode");

  if (journal_blocks_ > 0) {
    ext2fs_journal_params jp{};
    jp.num_journal_blocks = static_cast<blk_t>(journal_blocks_);
    jp.num_fc_blocks = 0;
    Check(ext2fs_add_journal_inode3(fs_, &jp, ~0ULL,
                                    EXT2_MKJOURNAL_LAZYINIT | EXT2_MKJOURNAL_NO_MNT_CHECK),
          "cannot create the journal");
  }
}

std::string Builder::LookupPath(const std::string& rel) const {
  if (opt_.mountpoint.empty()) return rel;
  return rel.empty() ? opt_.mountpoint : opt_.mountpoint + "/" + rel;
}

Meta Builder::Resolve(const std::string& rel, const Stat& st, int dirfd, const char* name) {
  Meta m;
  const std::string lookup = LookupPath(rel);
  const bool is_dir = IsDir(st.type);
  // Reads one attribute of the source entry itself (never through a link); a file standing for
  // a link or node has none of its own, nor has a tree that keeps no attributes.
  auto source_xattr = [&](const char* key) -> std::optional<std::string> {
    if (dirfd < 0 || !platform::TreeKeepsOwners()) return std::nullopt;
    std::string v;
    if (!platform::GetXattrAt(dirfd, name ? name : ".", key, &v) || v.empty() || v.size() > 512)
      return std::nullopt;
    return v;
  };
  if (have_config_) {
    const FsConfigEntry* e = config_.Find(lookup);
    // A file written without the mount point folder in its paths still applies.
    if (!e && !opt_.mountpoint.empty()) e = config_.Find(rel);
    FsConfigEntry d;
    if (!e) {
      d = AndroidDefaults(lookup, is_dir);
      e = &d;
      ++missing_config_;
    }
    m.uid = e->uid;
    m.gid = e->gid;
    m.mode = e->mode;
    m.caps = IsFile(st.type) ? e->capabilities : 0;
  } else {
    m.uid = st.uid;
    m.gid = st.gid;
    m.mode = st.mode & 07777;
    if (IsFile(st.type)) {
      if (auto v = source_xattr("security.capability")) {
        uint64_t caps;
        if (DecodeCapabilities(v->data(), v->size(), &caps)) m.caps = caps;
      }
    }
  }
  if (have_contexts_) {
    m.context = contexts_.Lookup("/" + lookup, st.type);
  } else if (auto v = source_xattr("security.selinux")) {
    std::string c = *v;
    size_t nul = c.find('\0');
    if (nul != std::string::npos) c.resize(nul);
    if (!c.empty()) m.context = c;
  }
  return m;
}

ext2_ino_t Builder::NewInode(ext2_ino_t parent, uint32_t type) {
  ext2_ino_t ino = 0;
  errcode_t rc = ext2fs_new_inode(fs_, parent, LinuxType(type) | 0755, nullptr, &ino);
  if (rc == EXT2_ET_INODE_ALLOC_FAIL)
    Fail("failed to allocate inode: all " + std::to_string(fs_->super->s_inodes_count) +
             " inodes are in use",
         rc);
  Check(rc, "cannot allocate an inode");
  return ino;
}

void Builder::SetTimes(ext2_inode_large* in, const Stat& st) {
  int64_t msec, asec;
  uint32_t mnsec, ansec;
  if (opt_.have_timestamp && opt_.timestamp >= 0) {
    msec = asec = opt_.timestamp;
    mnsec = ansec = 0;
  } else {
    msec = st.mtime;
    mnsec = st.mtime_nsec;
    asec = st.atime;
    ansec = st.atime_nsec;
  }
  const bool large = inode_size_ >= sizeof(ext2_inode_large);
  EncodeTime(msec, mnsec, &in->i_mtime, large ? &in->i_mtime_extra : nullptr);
  EncodeTime(msec, mnsec, &in->i_ctime, large ? &in->i_ctime_extra : nullptr);
  EncodeTime(asec, ansec, &in->i_atime, large ? &in->i_atime_extra : nullptr);
  if (large) {
    in->i_extra_isize = sizeof(ext2_inode_large) - EXT2_GOOD_OLD_INODE_SIZE;
    EncodeTime(msec, mnsec, &in->i_crtime, &in->i_crtime_extra);
  }
}

void Builder::WriteNewInode(ext2_ino_t ino, uint32_t type, const Meta& m, const Stat& st,
                            bool extents) {
  std::vector<char> buf(std::max(inode_size_, sizeof(ext2_inode_large)));
  auto* in = reinterpret_cast<ext2_inode_large*>(buf.data());
  in->i_mode = static_cast<uint16_t>(LinuxType(type) | (m.mode & 07777));
  in->i_uid = static_cast<uint16_t>(m.uid);
  in->osd2.linux2.l_i_uid_high = static_cast<uint16_t>(m.uid >> 16);
  in->i_gid = static_cast<uint16_t>(m.gid);
  in->osd2.linux2.l_i_gid_high = static_cast<uint16_t>(m.gid >> 16);
  in->i_links_count = 1;
  SetTimes(in, st);
  if (type == kTypeChar || type == kTypeBlock) {
    const unsigned major = st.major, minor = st.minor;
    if (major < 256 && minor < 256) {
      in->i_block[0] = major * 256 + minor;
    } else {
      in->i_block[1] = (minor & 0xff) | (major << 8) | ((minor & ~0xffu) << 12);
    }
  }
  if (extents) {
    ext2_extent_handle_t h;
    Check(ext2fs_extent_open2(fs_, ino, reinterpret_cast<ext2_inode*>(in), &h),
          "cannot start an extent tree");
    ext2fs_extent_free(h);
  }
  Check(ext2fs_write_inode_full(fs_, ino, reinterpret_cast<ext2_inode*>(in),
                                static_cast<int>(inode_size_)),
        "cannot write inode " + std::to_string(ino));
  if (ino != lost_found_) ext2fs_inode_alloc_stats2(fs_, ino, +1, IsDir(type) ? 1 : 0);
}

void Builder::SetInodeMeta(ext2_ino_t ino, const Meta& m, const Stat& st, uint32_t links) {
  std::vector<char> buf(std::max(inode_size_, sizeof(ext2_inode_large)));
  auto* in = reinterpret_cast<ext2_inode_large*>(buf.data());
  Check(ext2fs_read_inode_full(fs_, ino, reinterpret_cast<ext2_inode*>(in),
                               static_cast<int>(inode_size_)),
        "cannot read inode " + std::to_string(ino));
  in->i_mode = static_cast<uint16_t>((in->i_mode & LINUX_S_IFMT) | (m.mode & 07777));
  in->i_uid = static_cast<uint16_t>(m.uid);
  in->osd2.linux2.l_i_uid_high = static_cast<uint16_t>(m.uid >> 16);
  in->i_gid = static_cast<uint16_t>(m.gid);
  in->osd2.linux2.l_i_gid_high = static_cast<uint16_t>(m.gid >> 16);
  SetTimes(in, st);
  if (links > 0) {
    // With dir_nlink a folder with too many subfolders for the 16-bit count says 1.
    in->i_links_count = links > 65000 ? 1 : static_cast<uint16_t>(links);
  }
  Check(ext2fs_write_inode_full(fs_, ino, reinterpret_cast<ext2_inode*>(in),
                                static_cast<int>(inode_size_)),
        "cannot write inode " + std::to_string(ino));
}

void Builder::SetXattrs(ext2_ino_t ino, const Meta& m, const std::string& shown) {
  if (!m.context && !m.caps) return;
  struct ext2_xattr_handle* h = nullptr;
  Check(ext2fs_xattrs_open(fs_, ino, &h), shown + ": cannot open extended attributes");
  errcode_t rc = ext2fs_xattrs_read(h);
  if (!rc && m.context) {
    // Stored with its terminating NUL, as Android's tools store it.
    rc = ext2fs_xattr_set(h, "security.selinux", m.context->c_str(), m.context->size() + 1);
  }
  if (!rc && m.caps) {
    const std::string v = EncodeCapabilities(m.caps);
    rc = ext2fs_xattr_set(h, "security.capability", v.data(), v.size());
  }
  errcode_t rc2 = ext2fs_xattrs_close(&h);
  Check(rc ? rc : rc2, shown + ": cannot store extended attributes");
}

void Builder::CopyData(int fd, ext2_ino_t ino, uint64_t size, const std::string& shown) {
  ext2_file_t f = nullptr;
  Check(ext2fs_file_open(fs_, ino, EXT2_FILE_WRITE, &f), shown + ": cannot open in the image");
  struct Closer {
    ext2_file_t& f;
    ~Closer() {
      if (f) ext2fs_file_close(f);
    }
  } closer{f};
  const uint64_t bs = opt_.block_size;
  const uint64_t batch = kCopyBufferBytes;
  uint64_t pos = 0;
  bool seek_ok = true;
  while (pos < size) {
    // The next stretch of data; holes of the source stay holes in the image.
    uint64_t start = pos, end = size;
    if (seek_ok) {
      uint64_t d = 0, h = 0;
      const platform::Region r = platform::NextDataRegion(fd, pos, &d, &h);
      if (r == platform::Region::kOnlyHole) break;
      if (r == platform::Region::kUnknown) {
        seek_ok = false;
      } else {
        start = d / bs * bs;
        end = h == UINT64_MAX ? size : std::min<uint64_t>(size, DivRoundUp(h, bs) * bs);
      }
    }
    for (uint64_t off = start; off < end;) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(batch, end - off));
      size_t got = 0;
      while (got < want) {
        const int64_t n = platform::ReadAt(fd, buf_.get() + got, want - got, off + got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Fail(shown + ": cannot read: " + strerror(errno));
        if (n == 0) break;
        got += static_cast<size_t>(n);
      }
      if (got < want) memset(buf_.get() + got, 0, want - got);
      // Write runs of non-zero blocks; all-zero blocks become holes.
      size_t i = 0;
      while (i < want) {
        const size_t blen = std::min<size_t>(bs, want - i);
        const char* b = buf_.get() + i;
        bool zero = b[0] == 0 && memcmp(b, b + 1, blen - 1) == 0;
        if (zero) {
          i += blen;
          continue;
        }
        size_t j = i + blen;
        while (j < want) {
          const size_t l = std::min<size_t>(bs, want - j);
          const char* c = buf_.get() + j;
          if (c[0] == 0 && memcmp(c, c + 1, l - 1) == 0) break;
          j += l;
        }
        Check(ext2fs_file_llseek(f, off + i, EXT2_SEEK_SET, nullptr), shown + ": seek failed");
        unsigned int written = 0;
        Check(ext2fs_file_write(f, buf_.get() + i, static_cast<unsigned>(j - i), &written),
              shown + ": cannot write data");
        if (written != j - i) Fail(shown + ": short write in the image");
        i = j;
      }
      off += want;
    }
    pos = end;
  }
  Check(ext2fs_file_set_size2(f, size), shown + ": cannot set the size");
  errcode_t rc = ext2fs_file_close(f);
  f = nullptr;
  Check(rc, shown + ": cannot write data");
}

void Builder::WriteFolderEntries(ext2_ino_t ino, ext2_ino_t parent,
                                 const std::vector<OutEntry>& entries, uint64_t min_blocks) {
  const uint32_t bs = fs_->blocksize;
  std::string data;
  std::string block(bs, '\0');
  size_t pos = 0;          // next free byte in the current block
  size_t last = 0;         // offset of the last entry in the current block
  auto entry_at = [&](size_t off) { return reinterpret_cast<ext2_dir_entry*>(block.data() + off); };
  auto close_block = [&] {
    Check(ext2fs_set_rec_len(fs_, static_cast<unsigned>(bs - last), entry_at(last)),
          "cannot lay out a folder");
    data += block;
    std::fill(block.begin(), block.end(), '\0');
    pos = last = 0;
  };
  auto add = [&](const std::string& name, ext2_ino_t target, int type) {
    const size_t rec = (8 + name.size() + 3) & ~size_t{3};
    if (pos + rec > bs) close_block();
    ext2_dir_entry* d = entry_at(pos);
    d->inode = target;
    Check(ext2fs_set_rec_len(fs_, static_cast<unsigned>(rec), d), "cannot lay out a folder");
    ext2fs_dirent_set_name_len(d, static_cast<int>(name.size()));
    ext2fs_dirent_set_file_type(d, type);
    memcpy(d->name, name.data(), name.size());
    last = pos;
    pos += rec;
  };
  add(".", ino, EXT2_FT_DIR);
  add("..", parent, EXT2_FT_DIR);
  for (const auto& e : entries) add(e.name, e.ino, e.type);
  close_block();
  // Further empty blocks (lost+found keeps room for e2fsck): one unused entry spanning each.
  while (data.size() / bs < min_blocks) {
    auto* d = reinterpret_cast<ext2_dir_entry*>(block.data());
    Check(ext2fs_set_rec_len(fs_, bs, d), "cannot lay out a folder");
    data += block;
  }
  ext2_file_t f = nullptr;
  Check(ext2fs_file_open(fs_, ino, EXT2_FILE_WRITE, &f), "cannot open a folder in the image");
  unsigned int written = 0;
  errcode_t rc = 0;
  for (size_t off = 0; off < data.size() && !rc; off += written) {
    const size_t n = std::min<size_t>(data.size() - off, kCopyBufferBytes);
    rc = ext2fs_file_write(f, data.data() + off, static_cast<unsigned>(n), &written);
  }
  if (!rc) rc = ext2fs_file_set_size2(f, data.size());
  errcode_t rc2 = ext2fs_file_close(f);
  Check(rc ? rc : rc2, "cannot write a folder");
}

void Builder::MakeFolder(ext2_ino_t ino, ext2_ino_t parent, int dirfd, const Node* src,
                         const Meta& m, const Stat& st, const std::string& rel,
                         int depth) {
  WriteNewInode(ino, kTypeDir, m, st, ext2fs_has_feature_extents(fs_->super));
  const uint32_t subdirs = Populate(dirfd, src, ino, parent, rel, depth);
  SetInodeMeta(ino, m, st, 2 + subdirs);
  SetXattrs(ino, m, rel.empty() ? "/" : rel);
}

ext2_ino_t Builder::AddEntry(int dirfd, const Node& n, ext2_ino_t parent, const std::string& rel,
                             int depth) {
  const uint32_t type = n.st.type;
  const std::string shown = rel;
  Note(rel);

  if (type != kTypeDir && n.st.links > 1) {
    auto it = hardlinks_.find({n.st.dev, n.st.ino});
    if (it != hardlinks_.end()) {
      std::vector<char> buf(std::max(inode_size_, sizeof(ext2_inode_large)));
      auto* in = reinterpret_cast<ext2_inode*>(buf.data());
      Check(ext2fs_read_inode_full(fs_, it->second, in, static_cast<int>(inode_size_)),
            shown + ": cannot read inode");
      ++in->i_links_count;
      Check(ext2fs_write_inode_full(fs_, it->second, in, static_cast<int>(inode_size_)),
            shown + ": cannot write inode");
      estimate_done_ += n.estimate;
      return it->second;
    }
  }

  const Meta m = Resolve(rel, n.st, n.kept ? -1 : dirfd, n.stored.c_str());
  ext2_ino_t ino = 0;
  switch (type) {
    case kTypeDir: {
      const bool is_lost_found = parent == EXT2_ROOT_INO && n.name == "lost+found";
      ino = is_lost_found ? lost_found_ : NewInode(parent, kTypeDir);
      const int sub = platform::OpenFolderAt(dirfd, n.stored);
      if (sub < 0) Fail("cannot open folder " + shown + ": " + strerror(errno));
      struct FdCloser {
        int fd;
        ~FdCloser() { platform::CloseFolder(fd); }
      } closer{sub};
      MakeFolder(ino, parent, sub, &n, m, n.st, rel, depth + 1);
      break;
    }
    case kTypeFile: {
      const int fd = platform::OpenFileAt(dirfd, n.stored);
      if (fd < 0) Fail("cannot open " + shown + ": " + strerror(errno));
      struct FdCloser {
        int fd;
        ~FdCloser() { platform::CloseFile(fd); }
      } closer{fd};
      ino = NewInode(parent, type);
      WriteNewInode(ino, type, m, n.st, ext2fs_has_feature_extents(fs_->super));
      CopyData(fd, ino, n.st.size, shown);
      SetXattrs(ino, m, shown);
      break;
    }
    case kTypeLink: {
      std::string target;
      if (n.kept) {
        target = n.target;
      } else if (!platform::ReadLinkAt(dirfd, n.stored, &target)) {
        Fail("cannot read link " + shown + ": " + strerror(errno));
      }
      if (target.empty()) Fail("cannot read link " + shown + ": the link has no target");
      if (target.find('\0') != std::string::npos || target.size() >= opt_.block_size)
        Fail("link target too long: " + shown);
      ino = NewInode(parent, type);
      Check(ext2fs_symlink(fs_, parent, ino, nullptr, target.c_str()),
            shown + ": cannot create symbolic link");
      SetInodeMeta(ino, m, n.st);
      SetXattrs(ino, m, shown);
      break;
    }
    case kTypeChar:
    case kTypeBlock:
    case kTypeFifo:
    case kTypeSocket: {
      ino = NewInode(parent, type);
      WriteNewInode(ino, type, m, n.st, false);
      SetXattrs(ino, m, shown);
      break;
    }
    default:
      Fail("unsupported file type: " + shown);
  }
  if (type != kTypeDir && n.st.links > 1) hardlinks_[{n.st.dev, n.st.ino}] = ino;
  if (type != kTypeDir) estimate_done_ += n.estimate;
  return ino;
}

uint32_t Builder::Populate(int dirfd, const Node* dir, ext2_ino_t dir_ino, ext2_ino_t parent_ino,
                           const std::string& rel, int depth) {
  std::vector<OutEntry> entries;
  uint32_t subdirs = 0;
  const bool root = dir_ino == EXT2_ROOT_INO;
  bool have_lost_found = false;
  if (root && dir) {
    for (const auto& k : dir->kids)
      if (k.name == "lost+found" && !IsDir(k.st.type))
        Fail("lost+found in the source folder is not a folder");
  }
  if (dir) {
    entries.reserve(dir->kids.size() + 1);
    for (const auto& k : dir->kids) {
      const ext2_ino_t ino =
          AddEntry(dirfd, k, dir_ino, rel.empty() ? k.name : rel + "/" + k.name, depth);
      entries.push_back({k.name, ino, FileType(k.st.type)});
      if (IsDir(k.st.type)) ++subdirs;
      if (root && k.name == "lost+found") have_lost_found = true;
    }
  }
  if (root && !have_lost_found) {
    // Not in the source: an empty lost+found with the attributes its path resolves to.
    Stat lst = root_.st;
    lst.type = kTypeDir;
    lst.mode = 0700;
    const Meta lm = Resolve("lost+found", lst, -1, nullptr);
    MakeFolder(lost_found_, EXT2_ROOT_INO, -1, nullptr, lm, lst, "lost+found", depth + 1);
    entries.insert(entries.begin(), {"lost+found", lost_found_, EXT2_FT_DIR});
    ++subdirs;
  }
  // e2fsck wants room in lost+found without allocating: at least 16 KiB and two blocks.
  const uint64_t min_blocks =
      dir_ino == lost_found_ ? std::max<uint64_t>(2, DivRoundUp(16384, fs_->blocksize)) : 1;
  WriteFolderEntries(dir_ino, parent_ino, entries, min_blocks);
  estimate_done_ += dir ? std::max<uint64_t>(dir->estimate, 1) : 1;
  return subdirs;
}

void Builder::Finish() {
  std::string error;
  if (opt_.sparse) {
    // Write the raw image out, then repack its used blocks as a sparse image.
    Check(ext2fs_flush(fs_), "cannot write the file system metadata");
    const int fd = image_.fd();
    const blk64_t first = fs_->super->s_first_data_block;
    const blk64_t total = ext2fs_blocks_count(fs_->super);
    auto in_use = [&](uint64_t b) {
      if (b < first || b >= total) return b < first;
      return ext2fs_test_block_bitmap2(fs_->block_map, b) != 0;
    };
    created_output_ = true;
    const bool ok = sparse::WriteSparseFromRaw(fd, opt_.block_size, blocks_, in_use,
                                               opt_.output, &error);
    if (!ok) Fail(error);
    ext2fs_free(fs_);
    fs_ = nullptr;
    image_.Close(&error);
    platform::RemoveFile(raw_path_);
    raw_path_.clear();
  } else {
    errcode_t rc = ext2fs_close2(fs_, 0);
    if (rc) {
      // ext2fs_close2 frees the handle only on success.
      Check(rc, "cannot write the file system metadata");
    }
    fs_ = nullptr;
    if (!image_.Close(&error)) Fail(error);
  }
}

int Builder::Run() {
  const auto started = std::chrono::steady_clock::now();
  try {
    if (opt_.output.empty()) Fail("expected an output image file name");
    if (opt_.length == 0) Fail("need the size of the file system (-l)");
    const uint32_t bs = opt_.block_size;
    if (bs != 1024 && bs != 2048 && bs != 4096 && bs != 8192 && bs != 16384 && bs != 32768 &&
        bs != 65536)
      Fail("invalid block size " + std::to_string(bs));
    if (opt_.inode_size < EXT2_GOOD_OLD_INODE_SIZE || opt_.inode_size > bs ||
        (opt_.inode_size & (opt_.inode_size - 1)))
      Fail("invalid inode size " + std::to_string(opt_.inode_size));
    if (opt_.blocks_per_group &&
        (opt_.blocks_per_group % 8 || opt_.blocks_per_group > 8 * bs || opt_.blocks_per_group < 256))
      Fail("invalid blocks per group " + std::to_string(opt_.blocks_per_group));
    now_ = opt_.have_timestamp && opt_.timestamp >= 0 ? opt_.timestamp : time(nullptr);
    buf_.reset(new char[kCopyBufferBytes]);

    LoadTables();
    int srcfd = -1;
    struct FdCloser {
      int& fd;
      ~FdCloser() {
        if (fd >= 0) platform::CloseFolder(fd);
      }
    } src_closer{srcfd};
    if (!opt_.source.empty()) {
      srcfd = platform::OpenFolder(ExistingPath(opt_.source));
      if (srcfd < 0) Fail("cannot open source folder " + opt_.source + ": " + strerror(errno));
      platform::EntryInfo info;
      if (!platform::InfoOf(srcfd, &info))
        Fail("cannot stat " + opt_.source + ": " + strerror(errno));
      root_.st = StatOf(info, kTypeDir);
      have_source_ = true;
      Scan(srcfd, &root_, "", "", 0);
    } else {
      root_.st.type = kTypeDir;
      root_.st.mode = 0755;
      root_.st.mtime = root_.st.atime = now_;
    }
    root_.estimate = EstimateFolder(root_);
    estimate_total_ += root_.estimate;

    Layout(n_entries_);
    out_ << kTool << ": creating " << opt_.output << (opt_.sparse ? " (sparse)" : "") << ": "
         << blocks_ * bs << " bytes, " << blocks_ << " blocks of " << bs << ", " << inodes_
         << " inodes of " << opt_.inode_size << " bytes, journal "
         << (journal_blocks_ ? std::to_string(journal_blocks_) + " blocks" : std::string("none"))
         << ", label '" << opt_.label << "', mount point '/" << opt_.mountpoint << "'\n";
    out_.flush();
    CreateFileSystem();

    // The root and lost+found take their attributes like any other folder.
    lost_found_ = NewInode(EXT2_ROOT_INO, kTypeDir);
    ext2fs_inode_alloc_stats2(fs_, lost_found_, +1, 1);  // taken now, written with the root
    const Meta rm = Resolve("", root_.st, srcfd, nullptr);
    MakeFolder(EXT2_ROOT_INO, EXT2_ROOT_INO, srcfd, have_source_ ? &root_ : nullptr, rm, root_.st,
               "", 0);

    const uint64_t inodes_total = fs_->super->s_inodes_count;
    const uint64_t inodes_used = inodes_total - fs_->super->s_free_inodes_count;
    const uint64_t blocks_total = ext2fs_blocks_count(fs_->super);
    const uint64_t blocks_used = blocks_total - ext2fs_free_blocks_count(fs_->super);
    Finish();
    finished_ = true;
    if (missing_config_ && have_config_)
      out_ << kTool << ": " << missing_config_
           << " paths had no line in the attribute file; Android defaults were used\n";
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    out_ << "Created filesystem with " << inodes_used << "/" << inodes_total << " inodes and "
         << blocks_used << "/" << blocks_total << " blocks\n";
    out_ << kTool << ": done in " << static_cast<int>(secs * 1000) << " ms\n";
    out_.flush();
    return 0;
  } catch (const BuildFailure& f) {
    out_.flush();
    if (IsOutOfSpace(f.code)) {
      uint64_t free_now = fs_ ? ext2fs_free_blocks_count(fs_->super) : 0;
      uint64_t remaining = estimate_total_ > estimate_done_ ? estimate_total_ - estimate_done_ : 0;
      uint64_t need = remaining > free_now ? remaining - free_now : 0;
      if (need == 0) need = 1;
      err_ << kTool << ": error: failed to allocate " << need << " blocks, out of space? ("
           << f.message << ")\n";
    } else {
      err_ << kTool << ": error: " << f.message << "\n";
    }
    err_.flush();
    return 1;
  }
}

}  // namespace

bool ParseSize(const std::string& text, uint64_t* out) {
  if (text.empty() || text[0] == '-') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(text.c_str(), &end, 0);
  if (errno || end == text.c_str()) return false;
  uint64_t mul = 1;
  std::string suffix(end);
  if (suffix == "k" || suffix == "K") mul = 1ull << 10;
  else if (suffix == "m" || suffix == "M") mul = 1ull << 20;
  else if (suffix == "g" || suffix == "G") mul = 1ull << 30;
  else if (suffix == "t" || suffix == "T") mul = 1ull << 40;
  else if (!suffix.empty()) return false;
  if (v > UINT64_MAX / mul) return false;
  *out = v * mul;
  return true;
}

int BuildImage(const BuildOptions& options, std::ostream& out, std::ostream& err) {
  Builder b(options, out, err);
  return b.Run();
}

}  // namespace orvex::ext4
