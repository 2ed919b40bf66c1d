#pragma once
/* No terminal or block device queries on Windows: every request fails with ENOTTY. */
#define TIOCGWINSZ 0x5413
#ifdef __cplusplus
extern "C" {
#endif
int orvex_ioctl(int fd, unsigned long request, ...);
#ifdef __cplusplus
}
#endif
#define ioctl orvex_ioctl
