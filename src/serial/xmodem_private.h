// Internals of the Xmodem-1K receiver that its unit tests reach: the
// CRC-16/XMODEM table and the block-data reader. Not for other modules.
#pragma once

#include <array>
#include <cstdint>
#include <span>

// Most-significant-bit-first table for the polynomial 0x1021: entry i is the
// CRC of the single byte i.
extern const std::array<std::uint16_t, 256> crctab;

// Folds bytes into a CRC-16/XMODEM value (initial value 0, no final XOR).
std::uint16_t crc16_update(std::uint16_t crc, std::span<const unsigned char> bytes);

// Reads up to `wanted` bytes of block data into dest, one second of silence
// at the start of a burst ending it; stores the CRC of exactly the bytes read
// in *crc and returns how many were read.
int readData(unsigned char* dest, unsigned int wanted, std::uint16_t* crc, int fd);
