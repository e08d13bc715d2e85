// Temporary bodies: replaced by the module's real implementation.
#include "image/image.h"

int processVireoImage(const char*, std::uint8_t, int) { return 0; }
