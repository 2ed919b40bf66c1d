#pragma once
// What extract.erofs learns about an image while it walks it, and the options file text that
// follows from it: informational keys and the mkfs.erofs argument line that rebuilds the image
// with the installed mkfs.erofs.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "erofs_image.h"

namespace orvex::extract_erofs {

struct ImageSurvey {
  uint64_t inodes = 0;  // distinct inodes met
  uint64_t regular = 0, directories = 0, symlinks = 0, devices = 0, fifos = 0, sockets = 0;
  uint64_t hard_links = 0;  // extra names of inodes met before
  uint64_t data_bytes = 0;  // size of all regular files
  uint64_t compressed_files = 0;
  uint64_t full_index_files = 0;       // compressed with the full (legacy) logical cluster index
  uint64_t fragment_files = 0;         // with data (a tail or all of it) in the packed inode
  uint64_t whole_fragment_files = 0;   // entirely in the packed inode
  uint64_t extent_record_files = 0;    // mapped by encoded extent records
  uint64_t compressed_dirs = 0;        // directories stored compressed
  uint64_t metabox_inodes = 0;         // inodes kept in the metabox
  uint64_t max_pcluster_bytes = 0;     // largest compressed cluster of the sampled files
  bool shared_clusters = false;        // sampled files share clusters (deduplication)
  uint64_t inline_regular = 0;         // uncompressed regular files with a tail kept in the inode block
  uint64_t partial_plain_regular = 0;  // uncompressed regular files whose last block is partly used but not inlined
  uint64_t compact_inodes = 0, extended_inodes = 0;
  uint64_t chunk_files = 0;
  uint64_t max_chunk_size = 0;
  bool chunk_indexes = false;
  bool mtimes_equal_build_time = true;  // every inode carries the image's build time
  uint64_t inodes_with_xattrs = 0;
  uint64_t selinux_labels = 0;
  uint64_t capabilities = 0;
  bool all_root = true;
  bool first_owner_set = false;
  uint32_t uid = 0, gid = 0;
  bool uid_varies = false, gid_varies = false;
  // The largest compressed regular files (nid, size), to recognise the compressor by.
  std::vector<std::pair<uint64_t, uint64_t>> compressed_samples;

  // Called once per distinct inode.
  void Add(const erofs::Superblock& sb, const erofs::Inode& inode, const std::vector<erofs::Xattr>& xattrs);
  // Called once per distinct compressed inode, with its map header.
  void AddCompression(const erofs::Inode& inode, const erofs::CompressionInfo& info);
};

// Walks the clusters of the sampled (largest) compressed files: the largest physical cluster
// and whether clusters are shared between extents.
void SurveyClusters(const erofs::Image& img, ImageSurvey& survey);

struct Compressor {
  std::string name;  // "lz4" or "lz4hc"; empty when the image has no compressed file
  uint16_t algorithms = 0;  // algorithms the image declares (bit per algorithm)
  int level = -1;    // lz4hc level when recognised
  bool recognised = false;
  std::string Text() const;  // "lz4", "lz4hc,9", "lz4hc", "none"
};

// Recompresses the first clusters of a few compressed files with the LZ4 and LZ4HC settings that
// mkfs.erofs offers and returns the one that reproduces the stored streams byte for byte.
Compressor RecogniseCompressor(const erofs::Image& img, const ImageSurvey& survey);

struct OptionsInput {
  std::string name;         // image file name without its last extension
  std::string folder_name;  // folder of the tree inside the output folder
  std::string mount_point;  // where Android mounts the partition
  std::string layout_note;  // how folder_name and mount_point were found
  std::string out_rel;      // the output folder as seen from the image's folder
  uint64_t image_size = 0;
  erofs::Superblock sb;
  ImageSurvey survey;
  Compressor compressor;
};

// What the installed mkfs.erofs (1.5) cannot write of this image, one short phrase each, in the
// order they are named in the warning; empty when the rebuilt image keeps every feature.
std::vector<std::string> UnwritableFeatures(const OptionsInput& in);
// The one-line warning the pack shows when the image comes back in its nearest writable form;
// empty when nothing changes.
std::string RepackWarning(const OptionsInput& in);

// The argument text for mkfs.erofs (run from the image's folder after the unpack job has renamed
// the config files): options, then the output image as "<name>_repack.img", then the tree.
std::string BuildMkfsArguments(const OptionsInput& in);
// The whole options file (CR LF line ends).
std::string BuildOptionsFile(const OptionsInput& in);

// The name for the tree folder and the mount point, from the image's own contents: a root that
// holds system/ with init or system/build.prop is a system-as-root image ("system", "/");
// otherwise the build.prop at the root or in etc/ names the partition (ro.<partition>.build.*).
struct RootLayout {
  std::string folder_name;
  std::string mount_point;
  std::string note;
};
RootLayout DetectRootLayout(const erofs::Image& img, const std::string& image_name);

}  // namespace orvex::extract_erofs
