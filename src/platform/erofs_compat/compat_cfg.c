/* What our context lookups need of the build's settings. */
#include "erofs/config.h"

const char* orvex_erofs_mount_point(void) { return cfg.mount_point; }
