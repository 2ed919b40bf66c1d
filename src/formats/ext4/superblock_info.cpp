#include "ext4/superblock_info.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>

#include "ext4/image_source.h"

namespace orvex::ext4 {

namespace {

// Names by bit position; empty = no name known.
const char* const kCompatNames[32] = {
    "DIR_PREALLOC", "IMAGIC_INODES", "HAS_JOURNAL",  "EXT_ATTR",     "RESIZE_INODE",
    "DIR_INDEX",    "LAZY_BG",       "EXCLUDE_INODE", "EXCLUDE_BITMAP", "SPARSE_SUPER2",
    "FAST_COMMIT",  "STABLE_INODES", "ORPHAN_FILE"};
const char* const kIncompatNames[32] = {
    "COMPRESSION", "FILETYPE",  "RECOVER",   "JOURNAL_DEV", "META_BG",  "",
    "EXTENTS",     "64BIT",     "MMP",       "FLEX_BG",     "EA_INODE", "",
    "DIRDATA",     "CSUM_SEED", "LARGEDIR",  "INLINE_DATA", "ENCRYPT",  "CASEFOLD"};
const char* const kRoCompatNames[32] = {
    "SPARSE_SUPER", "LARGE_FILE", "BTREE_DIR", "HUGE_FILE",    "GDT_CSUM",
    "DIR_NLINK",    "EXTRA_ISIZE", "HAS_SNAPSHOT", "QUOTA",     "BIGALLOC",
    "METADATA_CSUM", "REPLICA",   "READONLY",  "PROJECT",      "SHARED_BLOCKS",
    "VERITY",       "ORPHAN_PRESENT"};

// A text field of the superblock up to its first NUL. Control bytes are shown as \xHH: the
// field ends up in "key: value" lines, where a line break would start a line of its own.
std::string Cut(const unsigned char* p, size_t n) {
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n && p[i] != 0; ++i) {
    if (p[i] < 0x20 || p[i] == 0x7F) {
      out += "\\x";
      out += hex[p[i] >> 4];
      out += hex[p[i] & 15];
    } else {
      out += static_cast<char>(p[i]);
    }
  }
  return out;
}

// "Tue Dec  8 15:29:28 2026 UTC", computed here (days to civil date) so that every C library
// and every width of time_t gives the same text.
std::string TimeText(uint64_t t) {
  if (t == 0) return "n/a";
  static const char* const kDays[] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const uint64_t days = t / 86400, secs = t % 86400;
  // Howard Hinnant's civil_from_days, for days since 1970-01-01 (never negative here).
  const uint64_t z = days + 719468;
  const uint64_t era = z / 146097;
  const uint64_t doe = z - era * 146097;
  const uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const uint64_t mp = (5 * doy + 2) / 153;
  const uint64_t day = doy - (153 * mp + 2) / 5 + 1;
  const uint64_t month = mp < 10 ? mp + 3 : mp - 9;
  const uint64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char buf[64];
  snprintf(buf, sizeof(buf), "%s %s %2u %02u:%02u:%02u %llu UTC", kDays[days % 7], kMonths[month - 1],
           static_cast<unsigned>(day), static_cast<unsigned>(secs / 3600),
           static_cast<unsigned>(secs / 60 % 60), static_cast<unsigned>(secs % 60),
           static_cast<unsigned long long>(year));
  return buf;
}

std::string Hex(uint64_t v, int width) {
  char buf[32];
  snprintf(buf, sizeof(buf), "0x%0*llX", width, static_cast<unsigned long long>(v));
  return buf;
}

std::string HashName(unsigned v) {
  switch (v) {
    case EXT2_HASH_LEGACY: return "legacy";
    case EXT2_HASH_HALF_MD4: return "half_md4";
    case EXT2_HASH_TEA: return "tea";
    case EXT2_HASH_LEGACY_UNSIGNED: return "legacy_unsigned";
    case EXT2_HASH_HALF_MD4_UNSIGNED: return "half_md4_unsigned";
    case EXT2_HASH_TEA_UNSIGNED: return "tea_unsigned";
    case EXT2_HASH_SIPHASH: return "siphash";
    default: return "unknown (" + std::to_string(v) + ")";
  }
}

}  // namespace

std::string FeatureNames(FeatureSet set, uint32_t mask) {
  const char* const* names = set == FeatureSet::kCompat     ? kCompatNames
                             : set == FeatureSet::kIncompat ? kIncompatNames
                                                            : kRoCompatNames;
  const char letter = set == FeatureSet::kCompat ? 'C' : set == FeatureSet::kIncompat ? 'I' : 'R';
  std::string out;
  for (int bit = 0; bit < 32; ++bit) {
    if (!(mask & (1u << bit))) continue;
    if (!out.empty()) out += ' ';
    if (names[bit] && names[bit][0]) {
      out += names[bit];
    } else {
      out += "FEATURE_";
      out += letter;
      out += std::to_string(bit);
    }
  }
  return out;
}

uint32_t BlockSize(const ext2_super_block& sb) { return 1024u << sb.s_log_block_size; }

static bool Is64(const ext2_super_block& sb) {
  return (sb.s_feature_incompat & EXT4_FEATURE_INCOMPAT_64BIT) != 0;
}

uint64_t BlockCount(const ext2_super_block& sb) {
  return sb.s_blocks_count | (Is64(sb) ? static_cast<uint64_t>(sb.s_blocks_count_hi) << 32 : 0);
}
uint64_t FreeBlockCount(const ext2_super_block& sb) {
  return sb.s_free_blocks_count |
         (Is64(sb) ? static_cast<uint64_t>(sb.s_free_blocks_hi) << 32 : 0);
}
uint64_t ReservedBlockCount(const ext2_super_block& sb) {
  return sb.s_r_blocks_count |
         (Is64(sb) ? static_cast<uint64_t>(sb.s_r_blocks_count_hi) << 32 : 0);
}

std::string VolumeLabel(const ext2_super_block& sb) {
  return Cut(sb.s_volume_name, sizeof(sb.s_volume_name));
}
std::string LastMounted(const ext2_super_block& sb) {
  return Cut(sb.s_last_mounted, sizeof(sb.s_last_mounted));
}

std::string UuidText(const unsigned char u[16]) {
  char buf[40];
  snprintf(buf, sizeof(buf),
           "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", u[0], u[1],
           u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13], u[14],
           u[15]);
  return buf;
}

bool ReadSuperblock(const ImageSource& src, ext2_super_block* sb, std::string* error) {
  static_assert(sizeof(ext2_super_block) == 1024);
  if (src.size() < 2048) {
    *error = "the image is too small to hold an ext4 superblock (" + std::to_string(src.size()) +
             " bytes)";
    return false;
  }
  if (!src.ReadAt(1024, sb, sizeof(*sb), error)) return false;
  if (sb->s_magic != EXT2_SUPER_MAGIC) {
    *error = "not an ext4 image (no superblock magic at offset 1080)";
    return false;
  }
  if (sb->s_log_block_size > 6) {  // 1 KiB .. 64 KiB
    *error = "corrupt superblock: block size field " + std::to_string(sb->s_log_block_size);
    return false;
  }
  if (sb->s_blocks_per_group == 0 || sb->s_inodes_per_group == 0 || BlockCount(*sb) == 0 ||
      sb->s_inodes_count == 0) {
    *error = "corrupt superblock: zero block, inode or group counts";
    return false;
  }
  return true;
}

std::string SuperblockReport(const ext2_super_block& sb, uint64_t image_size, bool sparse_input) {
  std::ostringstream o;
  auto line = [&](const char* key, const std::string& value) { o << key << ": " << value << "\n"; };
  auto num = [&](const char* key, uint64_t v) { line(key, std::to_string(v)); };
  const uint32_t bs = BlockSize(sb);
  const uint64_t blocks = BlockCount(sb);
  auto t = [](uint32_t lo, uint8_t hi) { return lo | (static_cast<uint64_t>(hi) << 32); };

  o << "EXT4 superblock info:\n";
  line("Filesystem magic number", Hex(sb.s_magic, 4));
  line("Filesystem revision #", std::to_string(sb.s_rev_level) +
                                    (sb.s_rev_level == 0 ? " (original)" : " (dynamic)"));
  const std::string label = VolumeLabel(sb);
  line("Filesystem volume name", label.empty() ? "<none>" : label);
  const std::string mounted = LastMounted(sb);
  line("Last mounted on", mounted.empty() ? "<not available>" : mounted);
  line("Filesystem UUID", UuidText(sb.s_uuid));
  line("FS compatible features", FeatureNames(FeatureSet::kCompat, sb.s_feature_compat));
  line("FS incompatible features", FeatureNames(FeatureSet::kIncompat, sb.s_feature_incompat));
  line("FS read-only compatible features",
       FeatureNames(FeatureSet::kRoCompat, sb.s_feature_ro_compat));
  std::string flags;
  if (sb.s_flags & EXT2_FLAGS_SIGNED_HASH) flags += "signed_directory_hash ";
  if (sb.s_flags & EXT2_FLAGS_UNSIGNED_HASH) flags += "unsigned_directory_hash ";
  if (sb.s_flags & EXT2_FLAGS_TEST_FILESYS) flags += "test_filesystem ";
  if (!flags.empty()) flags.pop_back();
  line("Filesystem flags", flags.empty() ? "(none)" : flags);
  std::string state = (sb.s_state & EXT2_VALID_FS) ? "clean" : "not clean";
  if (sb.s_state & EXT2_ERROR_FS) state += " with errors";
  line("Filesystem state", state);
  const char* errors = sb.s_errors == EXT2_ERRORS_RO       ? "Remount read-only"
                       : sb.s_errors == EXT2_ERRORS_PANIC  ? "Panic"
                       : sb.s_errors == EXT2_ERRORS_CONTINUE ? "Continue"
                                                           : "Unknown";
  line("Errors behavior", errors);
  const char* os = sb.s_creator_os == EXT2_OS_LINUX ? "Linux"
                   : sb.s_creator_os == EXT2_OS_HURD ? "GNU/Hurd"
                   : sb.s_creator_os == EXT2_OS_FREEBSD ? "FreeBSD"
                                                        : "unknown";
  line("Filesystem OS type", os);
  num("Inode count", sb.s_inodes_count);
  num("Block count", blocks);
  num("Reserved block count", ReservedBlockCount(sb));
  num("Free blocks", FreeBlockCount(sb));
  num("Free inodes", sb.s_free_inodes_count);
  num("First block", sb.s_first_data_block);
  num("Block size", bs);
  num("Reserved GDT blocks", sb.s_reserved_gdt_blocks);
  num("Blocks per group", sb.s_blocks_per_group);
  num("Inodes per group", sb.s_inodes_per_group);
  // The field is one byte; a value of 64 or more is no size at all.
  if (sb.s_log_groups_per_flex >= 64)
    line("Flex block group size", "invalid (2^" + std::to_string(sb.s_log_groups_per_flex) + ")");
  else if (sb.s_log_groups_per_flex)
    num("Flex block group size", 1ull << sb.s_log_groups_per_flex);
  line("Filesystem created", TimeText(t(sb.s_mkfs_time, sb.s_mkfs_time_hi)));
  line("Last mount time", TimeText(t(sb.s_mtime, sb.s_mtime_hi)));
  line("Last write time", TimeText(t(sb.s_wtime, sb.s_wtime_hi)));
  num("Mount count", sb.s_mnt_count);
  line("Maximum mount count", std::to_string(sb.s_max_mnt_count));
  line("Last checked", TimeText(t(sb.s_lastcheck, sb.s_lastcheck_hi)));
  num("Check interval", sb.s_checkinterval);
  num("Reserved blocks uid", sb.s_def_resuid);
  num("Reserved blocks gid", sb.s_def_resgid);
  if (sb.s_rev_level >= EXT2_DYNAMIC_REV) {
    num("First inode", sb.s_first_ino);
    num("Inode size", sb.s_inode_size);
    if (sb.s_feature_ro_compat & EXT4_FEATURE_RO_COMPAT_EXTRA_ISIZE) {
      num("Required extra isize", sb.s_min_extra_isize);
      num("Desired extra isize", sb.s_want_extra_isize);
    }
  } else {
    num("Inode size", EXT2_GOOD_OLD_INODE_SIZE);
  }
  if (sb.s_feature_compat & EXT3_FEATURE_COMPAT_HAS_JOURNAL) {
    num("Journal inode", sb.s_journal_inum);
    if (sb.s_journal_inum == 0) line("Journal UUID", UuidText(sb.s_journal_uuid));
  }
  line("Default directory hash", HashName(sb.s_def_hash_version));
  char seed[40];
  snprintf(seed, sizeof(seed), "%08x-%08x-%08x-%08x", sb.s_hash_seed[0], sb.s_hash_seed[1],
           sb.s_hash_seed[2], sb.s_hash_seed[3]);
  line("Directory Hash Seed", seed);
  if (sb.s_feature_ro_compat & EXT4_FEATURE_RO_COMPAT_METADATA_CSUM) {
    line("Checksum type", sb.s_checksum_type == EXT2_CRC32C_CHKSUM ? "crc32c" : "unknown");
    line("Checksum", Hex(sb.s_checksum, 8));
  }
  num("Filesystem size", blocks * bs);
  num("Image size", image_size);
  line("Image format", sparse_input ? "sparse" : "raw");
  return o.str();
}

}  // namespace orvex::ext4
