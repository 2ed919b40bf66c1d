// Windows side of the platform layer.
#ifdef _WIN32
#include "platform.h"
#error "The Windows platform layer is not written yet"
#endif
