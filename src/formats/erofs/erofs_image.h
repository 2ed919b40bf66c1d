#pragma once
// Reader for EROFS images: superblock, inodes, extended attributes, directories, symbolic links
// and file data in every layout that mkfs.erofs writes (flat, tail-packed, chunk-based, LZ4
// compressed with full or compact indexes, big physical clusters and inline tail clusters).
//
// Every offset, size and count taken from the image is checked against the image before it is
// used; any inconsistency throws orvex::erofs::Error. The image is read with pread through a
// bounded cache, never loaded whole. All const methods may be called from several threads.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "erofs_source.h"

namespace orvex::erofs {

// Feature bits of the superblock.
inline constexpr uint32_t kCompatSbChksum = 0x1;
inline constexpr uint32_t kCompatMtime = 0x2;
inline constexpr uint32_t kCompatXattrFilter = 0x4;
inline constexpr uint32_t kIncompatZeroPadding = 0x1;
inline constexpr uint32_t kIncompatComprCfgs = 0x2;  // also BIG_PCLUSTER
inline constexpr uint32_t kIncompatChunkedFile = 0x4;
inline constexpr uint32_t kIncompatDeviceTable = 0x8;
inline constexpr uint32_t kIncompatZtailpacking = 0x10;
inline constexpr uint32_t kIncompatFragments = 0x20;
inline constexpr uint32_t kIncompatXattrPrefixes = 0x40;
// The incompatible features this reader implements.
inline constexpr uint32_t kIncompatSupported = kIncompatZeroPadding | kIncompatComprCfgs |
                                               kIncompatChunkedFile | kIncompatDeviceTable |
                                               kIncompatZtailpacking;

struct Superblock {
  uint32_t checksum = 0;
  uint32_t feature_compat = 0;
  uint32_t feature_incompat = 0;
  uint8_t blkszbits = 12;
  uint32_t block_size = 4096;
  uint8_t sb_extslots = 0;
  uint64_t root_nid = 0;
  uint64_t inos = 0;
  uint64_t build_time = 0;
  uint32_t build_time_nsec = 0;
  uint32_t blocks = 0;
  uint32_t meta_blkaddr = 0;
  uint32_t xattr_blkaddr = 0;
  std::array<uint8_t, 16> uuid{};
  std::string volume_name;
  uint16_t available_compr_algs = 0;  // bit per algorithm when COMPR_CFGS, else LZ4 only
  uint16_t lz4_max_distance = 0;
  uint16_t lz4_max_pclusterblks = 0;  // from the LZ4 configuration record (big pclusters)
  uint16_t extra_devices = 0;

  bool HasChecksum() const { return feature_compat & kCompatSbChksum; }
  std::string UuidText() const;  // "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx"; empty when all zero
  std::string FeatureNames() const;
};

enum class FileType : uint8_t { kRegular, kDirectory, kSymlink, kCharDevice, kBlockDevice, kFifo, kSocket };
const char* FileTypeName(FileType t);

// Data layouts (i_format bits 1-3).
inline constexpr uint8_t kLayoutFlatPlain = 0;
inline constexpr uint8_t kLayoutCompressedFull = 1;
inline constexpr uint8_t kLayoutFlatInline = 2;
inline constexpr uint8_t kLayoutCompressedCompact = 3;
inline constexpr uint8_t kLayoutChunkBased = 4;

struct Inode {
  uint64_t nid = 0;
  uint64_t pos = 0;  // byte offset of the inode in the image
  uint16_t format = 0;
  uint8_t layout = 0;
  bool extended = false;
  uint16_t xattr_icount = 0;
  uint32_t inode_size = 32;
  uint32_t xattr_size = 0;
  uint16_t mode = 0;  // type and permission bits as stored
  uint32_t nlink = 1;
  uint64_t size = 0;
  uint32_t raw_u = 0;  // i_u: start block, compressed block count, rdev or chunk format
  uint32_t uid = 0;
  uint32_t gid = 0;
  uint64_t mtime = 0;
  uint32_t mtime_nsec = 0;
  FileType type = FileType::kRegular;

  uint64_t end() const { return pos + inode_size + xattr_size; }  // start of inline data
  bool IsCompressed() const { return layout == kLayoutCompressedFull || layout == kLayoutCompressedCompact; }
  uint32_t Permissions() const { return mode & 07777; }
  uint32_t RdevMajor() const { return (raw_u & 0xfff00) >> 8; }
  uint32_t RdevMinor() const { return (raw_u & 0xff) | ((raw_u >> 12) & 0xfff00); }
};

struct Xattr {
  std::string name;   // full name with its prefix, such as "security.selinux"
  std::string value;  // raw bytes
};

struct DirEntry {
  std::string name;
  uint64_t nid = 0;
  uint8_t file_type = 0;  // as stored in the dirent (0 unknown .. 7 symlink)
};

enum class ExtentKind : uint8_t {
  kHole,        // reads as zeros
  kRaw,         // llen bytes stored as they are at pa
  kCompressed,  // an LZ4 stream in [pa, pa + plen) that decodes to (at least) llen bytes
};

struct Extent {
  uint64_t la = 0;    // logical offset in the file
  uint64_t llen = 0;  // logical length
  uint64_t pa = 0;    // byte offset in the image
  uint64_t plen = 0;  // bytes stored in the image
  ExtentKind kind = ExtentKind::kRaw;
  bool inline_data = false;  // stored in the metadata block after the inode (tail packing)
  bool interlaced = false;   // a raw physical cluster stored rotated by la % block size
  bool big_pcluster = false; // a compressed cluster of more than one block
  uint8_t algorithm = 0;     // 0 = LZ4
};

// Reusable buffers for reading file data (one per thread).
struct ReadScratch {
  std::vector<uint8_t> in;
  std::vector<uint8_t> out;
};

// Receives file data in order. `data` is null for a run of zeros (a hole).
using DataSink = std::function<void(uint64_t offset, const uint8_t* data, size_t len)>;

class Image {
 public:
  // Limits against absurd sizes in hostile images.
  static constexpr uint64_t kMaxPclusterBytes = 16u << 20;
  static constexpr uint64_t kMaxExtentBytes = 64u << 20;
  static constexpr uint64_t kMaxDirectoryBytes = 64u << 20;
  static constexpr uint64_t kMaxSymlinkBytes = 4095;

  // Reads and checks the superblock. Throws Error for anything that is not a readable EROFS image.
  explicit Image(std::shared_ptr<const Source> src, size_t cache_pages = 512);
  ~Image();
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  const Superblock& sb() const { return sb_; }
  uint64_t image_size() const { return src_->Size(); }
  const Source& source() const { return *src_; }

  Inode ReadInode(uint64_t nid) const;
  std::vector<Xattr> ReadXattrs(const Inode& inode) const;
  // All entries in on-disk order, "." and ".." included when stored. Throws for directories
  // larger than kMaxDirectoryBytes.
  std::vector<DirEntry> ReadDir(const Inode& dir) const;
  std::string ReadSymlink(const Inode& link) const;

  // Streams the whole content of a regular file (or any inode's data) to sink in order.
  void ReadData(const Inode& inode, const DataSink& sink, ReadScratch* scratch = nullptr) const;
  // Reads up to max_bytes from the start of the data (for small files such as build.prop).
  std::string ReadPrefix(const Inode& inode, uint64_t max_bytes) const;

  // Calls fn for each extent of the file in logical order until fn returns false.
  void ForEachExtent(const Inode& inode, const std::function<bool(const Extent&)>& fn) const;
  // Decodes one extent returned by ForEachExtent into out (resized to llen).
  void DecodeExtent(const Inode& inode, const Extent& ext, std::vector<uint8_t>& out,
                    ReadScratch& scratch) const;

  // Reads metadata through the block cache (range checked).
  void ReadMeta(uint64_t off, void* buf, size_t len) const;

 private:
  void ParseSuperblock();
  void FlatExtents(const Inode& inode, const std::function<bool(const Extent&)>& fn) const;
  void ChunkExtents(const Inode& inode, const std::function<bool(const Extent&)>& fn) const;
  void CompressedExtents(const Inode& inode, const std::function<bool(const Extent&)>& fn) const;
  void CheckExtent(const Inode& inode, const Extent& e) const;
  // Decodes an extent from the bytes stored for it (llen bytes for a plain raw extent, plen
  // otherwise) into dst, which has room for llen bytes.
  void DecodeStored(const Inode& inode, const Extent& e, const uint8_t* in, uint8_t* dst) const;

  std::shared_ptr<const Source> src_;
  std::unique_ptr<BlockCache> cache_;
  Superblock sb_;
};

// EROFS superblock checksum: CRC-32C, initial value ~0, no final inversion.
uint32_t Crc32c(uint32_t crc, const void* data, size_t len);

}  // namespace orvex::erofs
