#pragma once
// The ext4 superblock read straight from an image, feature names, and the information report of
// imgextractor's -s mode.
#include <ext2fs/ext2_fs.h>

#include <cstdint>
#include <string>

namespace orvex::ext4 {

class ImageSource;

enum class FeatureSet { kCompat, kIncompat, kRoCompat };

// Upper-case ext4 names of the bits set in mask, in bit order, separated by single blanks
// (for example "HAS_JOURNAL EXT_ATTR RESIZE_INODE DIR_INDEX"). Unknown bits read FEATURE_C12,
// FEATURE_I20, FEATURE_R30 and so on.
std::string FeatureNames(FeatureSet set, uint32_t mask);

// Reads the primary superblock (1024 bytes at offset 1024) and checks its magic and the basic
// geometry. Returns false with *error for anything that is not a plausible ext2/3/4 superblock.
bool ReadSuperblock(const ImageSource& src, ext2_super_block* sb, std::string* error);

// Block size, block count and so on from the superblock, with 64-bit fields combined.
uint32_t BlockSize(const ext2_super_block& sb);
uint64_t BlockCount(const ext2_super_block& sb);
uint64_t FreeBlockCount(const ext2_super_block& sb);
uint64_t ReservedBlockCount(const ext2_super_block& sb);

// Text fields: the volume label and the last mounted directory, cut at the first NUL.
std::string VolumeLabel(const ext2_super_block& sb);
std::string LastMounted(const ext2_super_block& sb);
std::string UuidText(const unsigned char uuid[16]);

// The -s report: a first line "EXT4 superblock info:" then "key: value" lines.
std::string SuperblockReport(const ext2_super_block& sb, uint64_t image_size, bool sparse_input);

}  // namespace orvex::ext4
