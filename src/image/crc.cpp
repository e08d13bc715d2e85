// Temporary bodies: replaced by the module's real implementation.
#include "image/crc.h"

std::uint32_t gen_crc(const std::uint8_t*, std::uint32_t, std::uint32_t crc) { return crc; }
std::uint32_t gen_crc_bitwise(const std::uint8_t*, std::uint32_t, std::uint32_t crc) { return crc; }
