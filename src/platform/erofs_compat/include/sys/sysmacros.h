#pragma once
/* Device numbers in the Linux encoding (what an image and the entries list hold). */
#define makedev(ma, mi) \
  ((((unsigned long long)(ma) & 0xfffff000ULL) << 32) | (((unsigned long long)(ma) & 0xfffULL) << 8) | \
   (((unsigned long long)(mi) & 0xffffff00ULL) << 12) | ((unsigned long long)(mi) & 0xffULL))
#define major(dev) ((unsigned)((((unsigned long long)(dev) >> 32) & 0xfffff000U) | (((unsigned long long)(dev) >> 8) & 0xfffU)))
#define minor(dev) ((unsigned)((((unsigned long long)(dev) >> 12) & 0xffffff00U) | ((unsigned long long)(dev) & 0xffU)))
