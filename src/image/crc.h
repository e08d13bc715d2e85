// The image checksum: reflected CRC-32 (polynomial 0xEDB88320), started by
// the caller (0xFFFFFFFF for images) and returned without a final inversion.
#pragma once

#include <cstdint>

std::uint32_t gen_crc(const std::uint8_t* data, std::uint32_t length, std::uint32_t crc);

// The register after `crc` has taken `zero_bytes` zero bytes. The CRC is
// linear, so the register after A then B started from c is
// crc_shift(gen_crc(A, c), |B|) ^ gen_crc(B, 0): pieces of one range can be
// checksummed apart and joined.
std::uint32_t crc_shift(std::uint32_t crc, std::uint64_t zero_bytes);

// The same rule computed one bit at a time: the reference the table-driven
// routine is checked and measured against.
std::uint32_t gen_crc_bitwise(const std::uint8_t* data, std::uint32_t length, std::uint32_t crc);
