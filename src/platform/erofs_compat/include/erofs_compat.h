#pragma once
/* Included ahead of every erofs-utils source compiled for Windows. The programs see the source
 * tree as it was in the image (links, device nodes and fifos kept by the entries list, original
 * names, hard links), file names as UTF-8, 64-bit offsets on both targets, and the Linux values
 * of the file type bits, which is what the image stores. */
#include "config.h"
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <io.h>
#include <libgen.h>
#include <limits.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>
#include <utime.h>

#include "sys/sysmacros.h"

#ifdef __cplusplus
extern "C" {
#endif

/* File type bits as Linux (and the image) has them; the C library's block device value differs. */
#undef S_IFMT
#undef S_IFBLK
#undef S_IFCHR
#undef S_IFDIR
#undef S_IFIFO
#undef S_IFREG
#undef S_ISBLK
#undef S_ISCHR
#undef S_ISDIR
#undef S_ISFIFO
#undef S_ISREG
#define S_IFMT 0170000
#define S_IFSOCK 0140000
#define S_IFLNK 0120000
#define S_IFREG 0100000
#define S_IFBLK 0060000
#define S_IFDIR 0040000
#define S_IFCHR 0020000
#define S_IFIFO 0010000
#define S_ISTYPE(m, t) (((m) & S_IFMT) == (t))
#define S_ISSOCK(m) S_ISTYPE(m, S_IFSOCK)
#define S_ISLNK(m) S_ISTYPE(m, S_IFLNK)
#define S_ISREG(m) S_ISTYPE(m, S_IFREG)
#define S_ISBLK(m) S_ISTYPE(m, S_IFBLK)
#define S_ISDIR(m) S_ISTYPE(m, S_IFDIR)
#define S_ISCHR(m) S_ISTYPE(m, S_IFCHR)
#define S_ISFIFO(m) S_ISTYPE(m, S_IFIFO)

#ifndef ENODATA
#define ENODATA 61
#endif
#ifndef EOPNOTSUPP
#define EOPNOTSUPP 95
#endif
#ifndef ELOOP
#define ELOOP 114
#endif
#ifndef ENOTSUP
#define ENOTSUP EOPNOTSUPP
#endif
#ifndef PATH_MAX
#define PATH_MAX 4096
#endif


/* Error values in pointers: on 64-bit Windows a long is 32 bits, so the usual long casts would
 * cut pointers short and could take a valid pointer for an error. Pointer-sized here. */
#define __EROFS_ERR_H
#define MAX_ERRNO (4095)
#define IS_ERR_VALUE(x) ((uintptr_t)(x) >= (uintptr_t)-MAX_ERRNO)
static inline void* ERR_PTR(intptr_t error) { return (void*)error; }
static inline int IS_ERR(const void* ptr) { return IS_ERR_VALUE((uintptr_t)ptr); }
static inline long PTR_ERR(const void* ptr) { return (long)(intptr_t)ptr; }

struct winsize {
  unsigned short ws_row, ws_col, ws_xpixel, ws_ypixel;
};
#ifndef O_NOFOLLOW
#define O_NOFOLLOW 0
#endif

/* security.capability as Linux stores it. */
#define VFS_CAP_REVISION_2 0x02000000
#define VFS_CAP_FLAGS_EFFECTIVE 0x000001
struct vfs_cap_data {
  uint32_t magic_etc;
  struct {
    uint32_t permitted;
    uint32_t inheritable;
  } data[2];
};

char* orvex_strndup(const char* s, size_t n);
/* ctime in the C standard's form ("Thu Jan  1 ..."), which the C library here pads otherwise. */
char* orvex_ctime(const time_t* t);
unsigned orvex_geteuid(void);

/* Inode and device numbers: the C library's are 16 and 32 bits wide, and a cut inode number would
 * make unrelated files look like hard links of each other. */
typedef unsigned long long orvex_ino_t;
typedef unsigned long long orvex_dev_t;
#define ino_t orvex_ino_t
#define dev_t orvex_dev_t

typedef long long orvex_off64_t;
#define off64_t orvex_off64_t

/* One status record for stat, lstat and fstat, with full-width owners and 64-bit sizes. */
struct orvex_stat {
  unsigned long long st_dev;
  unsigned long long st_ino;
  unsigned int st_mode;
  unsigned int st_nlink;
  unsigned int st_uid;
  unsigned int st_gid;
  unsigned long long st_rdev;
  long long st_size;
  long long st_atime;
  long long st_mtime;
  long long st_ctime;
  long st_mtime_nsec;
};
int orvex_stat(const char* path, struct orvex_stat* st);
int orvex_lstat(const char* path, struct orvex_stat* st);
int orvex_fstat(int fd, struct orvex_stat* st);

/* The tree's folders, listed with the original names. */
struct orvex_dirent {
  unsigned long long d_ino;
  unsigned char d_type;
  char d_name[1024];
};
typedef struct orvex_dir orvex_DIR;
orvex_DIR* orvex_opendir(const char* path);
struct orvex_dirent* orvex_readdir(orvex_DIR* dir);
int orvex_closedir(orvex_DIR* dir);
#undef DT_UNKNOWN
#undef DT_DIR
#undef DT_REG
#define DT_UNKNOWN 0
#define DT_FIFO 1
#define DT_CHR 2
#define DT_DIR 4
#define DT_BLK 6
#define DT_REG 8
#define DT_LNK 10
#define DT_SOCK 12

int orvex_open(const char* path, int flags, ...);
FILE* orvex_fopen(const char* path, const char* mode);
long orvex_readlink(const char* path, char* buf, size_t size);
char* orvex_realpath(const char* path, char* resolved);

long orvex_pread64(int fd, void* buf, size_t len, long long offset);
long orvex_pwrite64(int fd, const void* buf, size_t len, long long offset);
int orvex_ftruncate(int fd, long long length);
#undef ftruncate
int orvex_fsync(int fd);

/* What extraction by fsck.erofs would set; Windows trees cannot hold them and say so. */
int orvex_mkdir(const char* path, int mode);
int orvex_chmod(const char* path, int mode);
int orvex_lchown(const char* path, unsigned uid, unsigned gid);
int orvex_symlink(const char* target, const char* path);
int orvex_mknod(const char* path, unsigned mode, unsigned long long dev);
int orvex_utime(const char* path, const struct utimbuf* times);

int orvex_asprintf(char** out, const char* fmt, ...);

/* The programs' own main, started by ours with UTF-8 arguments. */
int orvex_erofs_main(int argc, char** argv);

/* Every message of the programs passes through ours, which counts the errors. fsck.erofs is built
 * with ORVEX_EROFS_ERRORS_FAIL: a check that reported an error never ends with success (it does
 * after a bad superblock checksum, for one). */
void orvex_erofs_msg(int level, const char* fmt, ...);
void orvex_erofs_fail_on_errors(void);
#ifdef ORVEX_EROFS_ERRORS_FAIL
static void __attribute__((constructor)) orvex_erofs_errors_fail(void) { orvex_erofs_fail_on_errors(); }
#endif

#ifdef __cplusplus
}
#endif

/* The names the programs call, turned to ours (not for our own implementation). */
#ifndef ORVEX_EROFS_COMPAT_IMPL
#undef stat64
#undef stat
#undef fstat
#undef lstat
#undef fstat64
#define stat64 orvex_stat
#define stat orvex_stat
#define lstat64 orvex_lstat
#define lstat orvex_lstat
#define fstat64 orvex_fstat
#define fstat orvex_fstat
#define dirent orvex_dirent
#define DIR orvex_DIR
#define opendir orvex_opendir
#define readdir orvex_readdir
#define closedir orvex_closedir
#define open orvex_open
#define fopen orvex_fopen
#define readlink orvex_readlink
#define realpath orvex_realpath
#define pread64 orvex_pread64
#define pwrite64 orvex_pwrite64
#define pread orvex_pread64
#define pwrite orvex_pwrite64
#define ftruncate orvex_ftruncate
#define ftruncate64 orvex_ftruncate
#define fsync orvex_fsync
#define mkdir(p, m) orvex_mkdir(p, m)
#define chmod orvex_chmod
#define lchown orvex_lchown
#define symlink orvex_symlink
#define mknod orvex_mknod
#define utime orvex_utime
#define asprintf orvex_asprintf
#define main orvex_erofs_main
#ifndef ORVEX_EROFS_MSG_IMPL
#define erofs_msg orvex_erofs_msg
#endif
#define strndup orvex_strndup
#define ctime orvex_ctime
#define geteuid orvex_geteuid
#endif
