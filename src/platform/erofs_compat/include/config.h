/* Build settings of the Windows mkfs.erofs, dump.erofs and fsck.erofs (what a configure run would
 * have found): LZ4, LZ4HC and LZMA compression, the UUID library, the Android attribute options
 * and the context file, all supplied by the cache's libraries and this folder. */
#define PACKAGE_VERSION "1.5"
#define PACKAGE_NAME "erofs-utils"
#define VERSION "1.5"
#define LZ4_ENABLED 1
#define LZ4HC_ENABLED 1
#define HAVE_LIBLZMA 1
#define HAVE_LIBUUID 1
#define HAVE_LIBSELINUX 1
#define WITH_ANDROID 1
#define HAVE_PREAD64 1
#define HAVE_PWRITE64 1
#define HAVE_SYS_SYSMACROS_H 1
