#pragma once
// Reader for EROFS images: superblock, inodes, extended attributes, directories, symbolic links
// and file data in every layout that mkfs.erofs writes: flat, tail-packed and chunk-based files;
// compressed files with full or compact indexes or encoded extent records, big physical
// clusters, inline tail clusters, fragments kept in the packed inode and shared (deduplicated)
// clusters; LZ4, LZMA (MicroLZMA streams), raw DEFLATE and Zstandard; 48-bit block addresses;
// inodes and attributes kept in the metabox inode.
//
// Every offset, size and count taken from the image is checked against the image before it is
// used; any inconsistency throws orvex::erofs::Error. The image is read with pread through a
// bounded cache, never loaded whole. All const methods may be called from several threads.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "erofs_source.h"

namespace orvex::erofs {

// Feature bits of the superblock.
inline constexpr uint32_t kCompatSbChksum = 0x1;
inline constexpr uint32_t kCompatMtime = 0x2;
inline constexpr uint32_t kCompatXattrFilter = 0x4;
inline constexpr uint32_t kCompatSharedEaInMetabox = 0x8;
inline constexpr uint32_t kCompatPlainXattrPfx = 0x10;
inline constexpr uint32_t kIncompatZeroPadding = 0x1;
inline constexpr uint32_t kIncompatComprCfgs = 0x2;  // also BIG_PCLUSTER
inline constexpr uint32_t kIncompatChunkedFile = 0x4;
inline constexpr uint32_t kIncompatDeviceTable = 0x8;
inline constexpr uint32_t kIncompatZtailpacking = 0x10;
inline constexpr uint32_t kIncompatFragments = 0x20;  // also DEDUPE
inline constexpr uint32_t kIncompatXattrPrefixes = 0x40;
inline constexpr uint32_t kIncompat48Bit = 0x80;
inline constexpr uint32_t kIncompatMetabox = 0x100;
// The incompatible features this reader implements.
inline constexpr uint32_t kIncompatSupported = kIncompatZeroPadding | kIncompatComprCfgs |
                                               kIncompatChunkedFile | kIncompatDeviceTable |
                                               kIncompatZtailpacking | kIncompatFragments |
                                               kIncompatXattrPrefixes | kIncompat48Bit |
                                               kIncompatMetabox;

// Compression algorithms (h_algorithmtype, bits of available_compr_algs).
inline constexpr uint8_t kAlgLz4 = 0;
inline constexpr uint8_t kAlgLzma = 1;
inline constexpr uint8_t kAlgDeflate = 2;
inline constexpr uint8_t kAlgZstd = 3;
const char* AlgorithmName(uint8_t alg);  // "lz4", "lzma", "deflate", "zstd" or "unknown"

// Names of the incompatible feature bits in `bits`, blank-separated; unknown bits as "bit N".
std::string IncompatNames(uint32_t bits);

struct Superblock {
  uint32_t checksum = 0;
  uint32_t feature_compat = 0;
  uint32_t feature_incompat = 0;
  uint8_t blkszbits = 12;
  uint32_t block_size = 4096;
  uint8_t sb_extslots = 0;
  uint64_t root_nid = 0;
  uint64_t inos = 0;
  uint64_t build_time = 0;        // the epoch: base of the times of compact inodes
  uint32_t build_time_nsec = 0;
  uint32_t mkfs_time = 0;         // seconds after the epoch when the image was made (newer images)
  uint64_t blocks = 0;
  uint32_t meta_blkaddr = 0;
  uint32_t xattr_blkaddr = 0;
  std::array<uint8_t, 16> uuid{};
  std::string volume_name;
  uint16_t available_compr_algs = 0;  // bit per algorithm when COMPR_CFGS, else LZ4 only
  uint16_t lz4_max_distance = 0;
  uint16_t lz4_max_pclusterblks = 0;  // from the LZ4 configuration record (big pclusters)
  uint32_t lzma_dict_size = 0;        // from the LZMA configuration record
  uint8_t deflate_windowbits = 15;    // from the DEFLATE configuration record
  uint8_t zstd_windowlog = 0;         // from the Zstandard record (0 = not given)
  uint16_t extra_devices = 0;
  uint8_t xattr_prefix_count = 0;
  uint32_t xattr_prefix_start = 0;
  uint64_t packed_nid = 0;   // inode holding fragments (and long attribute prefixes)
  bool has_packed = false;
  uint64_t metabox_nid = 0;  // inode holding the inodes whose nid has bit 63 set
  bool has_metabox = false;

  bool HasChecksum() const { return feature_compat & kCompatSbChksum; }
  uint64_t MkfsTime() const { return build_time + mkfs_time; }  // the time mkfs.erofs -T gave
  // Compression algorithms the image declares (bit per algorithm; LZ4 alone for older images).
  uint16_t Algorithms() const { return (feature_incompat & kIncompatComprCfgs) ? available_compr_algs : 1; }
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

// Bit 63 of a nid: the inode lives in the data of the metabox inode.
inline constexpr uint64_t kNidMetaboxBit = uint64_t{1} << 63;

struct Inode {
  uint64_t nid = 0;
  uint64_t pos = 0;  // byte offset of the inode in the image, or in the metabox data
  bool in_metabox = false;  // pos and everything stored after the inode are in the metabox data
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
  uint64_t startblk = 0;  // flat layouts: i_u with the high bits of 48-bit images
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
  kCompressed,  // a stream in [pa, pa + plen) that decodes to (at least) llen bytes
  kFragment,    // llen bytes at offset pa of the packed inode's data
};

struct Extent {
  uint64_t la = 0;    // logical offset in the file
  uint64_t llen = 0;  // logical length
  uint64_t pa = 0;    // byte offset in the image
  uint64_t plen = 0;  // bytes stored in the image
  ExtentKind kind = ExtentKind::kRaw;
  bool inline_data = false;  // stored in the metadata block after the inode (tail packing)
  bool in_metabox = false;   // inline data of an inode that lives in the metabox data
  bool interlaced = false;   // a raw physical cluster stored rotated by la % block size
  bool big_pcluster = false; // a compressed cluster of more than one block
  bool partial = false;      // the cluster decodes to more than this extent (shared by dedupe)
  uint8_t algorithm = 0;     // kAlgLz4 ...
};

struct Decoders;  // per-thread decompression contexts (LZMA, DEFLATE, Zstandard)
struct DecodersDeleter {
  void operator()(Decoders* d) const;
};

// How a compressed file is mapped, from its map header.
struct CompressionInfo {
  bool whole_fragment = false;  // the whole file lives in the packed inode
  bool tail_fragment = false;   // its last extent lives in the packed inode
  bool extent_records = false;  // encoded extent records instead of logical cluster indexes
  bool full_indexes = false;    // full (legacy) logical cluster indexes
  bool inline_tail = false;     // the last cluster is kept after the index (ztailpacking)
  bool interlaced = false;      // uncompressed clusters stored rotated
};

// Reusable buffers for reading file data (one per thread).
struct ReadScratch {
  std::vector<uint8_t> in;
  std::vector<uint8_t> out;
  std::unique_ptr<Decoders, DecodersDeleter> dec;
};

class InodeStream;

// Receives file data in order. `data` is null for a run of zeros (a hole).
using DataSink = std::function<void(uint64_t offset, const uint8_t* data, size_t len)>;

class Image {
 public:
  // Limits against absurd sizes in hostile images.
  static constexpr uint64_t kMaxPclusterBytes = 16u << 20;
  static constexpr uint64_t kMaxExtentBytes = 64u << 20;
  // A compressed cluster never decodes to more than this (the kernel's limit as well).
  static constexpr uint64_t kMaxDecodedBytes = 12u << 20;
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

  // The map header of a compressed file (throws for other files).
  CompressionInfo ReadCompressionInfo(const Inode& inode) const;
  // Calls fn for each extent of the file in logical order until fn returns false.
  void ForEachExtent(const Inode& inode, const std::function<bool(const Extent&)>& fn) const;
  // Decodes one extent returned by ForEachExtent into out (resized to llen).
  void DecodeExtent(const Inode& inode, const Extent& ext, std::vector<uint8_t>& out,
                    ReadScratch& scratch) const;

  // Reads metadata through the block cache (range checked).
  void ReadMeta(uint64_t off, void* buf, size_t len) const;
  // Reads metadata of the image (in_metabox false) or of the metabox data (range checked).
  void ReadSpace(bool in_metabox, uint64_t off, void* buf, size_t len) const;
  uint64_t SpaceSize(bool in_metabox) const;
  // Reads from the packed inode's data (fragments).
  void ReadPacked(uint64_t off, void* buf, size_t len) const;

 private:
  friend class InodeStream;
  void ParseSuperblock();
  void LoadPrefixes();
  InodeStream& Packed() const;
  std::unique_ptr<InodeStream> OpenStream(uint64_t nid, const char* what) const;
  InodeStream& Metabox() const;
  // Reads the bytes an extent keeps in the image (or in the metabox data) into buf.
  void ReadStored(const Extent& e, uint8_t* buf, uint64_t len) const;
  void FlatExtents(const Inode& inode, const std::function<bool(const Extent&)>& fn) const;
  void ChunkExtents(const Inode& inode, const std::function<bool(const Extent&)>& fn) const;
  void CompressedExtents(const Inode& inode, const std::function<bool(const Extent&)>& fn) const;
  void CheckExtent(const Inode& inode, const Extent& e) const;
  // Decodes an extent from the bytes stored for it (llen bytes for a plain raw extent, plen
  // otherwise) into dst, which has room for llen bytes.
  void DecodeStored(const Inode& inode, const Extent& e, const uint8_t* in, uint8_t* dst,
                    ReadScratch& scratch) const;

  std::shared_ptr<const Source> src_;
  std::unique_ptr<BlockCache> cache_;
  Superblock sb_;
  std::vector<std::string> long_prefixes_;  // full prefixes of the long-prefix table
  mutable std::mutex packed_mu_, metabox_mu_;  // held while the stream is opened
  mutable std::unique_ptr<InodeStream> packed_;
  mutable std::unique_ptr<InodeStream> metabox_;
};

// EROFS superblock checksum: CRC-32C, initial value ~0, no final inversion.
uint32_t Crc32c(uint32_t crc, const void* data, size_t len);

}  // namespace orvex::erofs
