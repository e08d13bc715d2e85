// The image checksum: reflected CRC-32 (polynomial 0xEDB88320), started by
// the caller (0xFFFFFFFF for images) and returned without a final inversion.
#pragma once

#include <cstdint>

// The register an image's CRC starts from.
constexpr std::uint32_t IMAGE_CRC_START = 0xFFFFFFFFu;

std::uint32_t gen_crc(const std::uint8_t* data, std::uint32_t length, std::uint32_t crc);

// The same rule computed one bit at a time: the reference the table-driven
// routine is checked and measured against.
std::uint32_t gen_crc_bitwise(const std::uint8_t* data, std::uint32_t length, std::uint32_t crc);
