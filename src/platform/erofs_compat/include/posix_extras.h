#pragma once
/* For our own config file readers built into the Windows erofs programs: the Linux file type
 * values (what images and context files use) and getline. */
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#undef S_IFBLK
#undef S_ISBLK
#define S_IFBLK 0060000
#define S_ISBLK(m) (((m) & 0170000) == S_IFBLK)
#ifndef S_IFLNK
#define S_IFLNK 0120000
#endif
#ifndef S_IFSOCK
#define S_IFSOCK 0140000
#endif
#ifdef __cplusplus
extern "C" {
#endif
long getline(char** line, size_t* cap, FILE* f);
#ifdef __cplusplus
}
#endif
