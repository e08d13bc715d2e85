// Internals of the Xmodem-1K receiver that its unit tests and its fuzz
// target reach: the CRC-16/XMODEM table, the block-data reader and the
// reception itself without the speed-change dialogues. Not for other modules.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>

// Most-significant-bit-first table for the polynomial 0x1021: entry i is the
// CRC of the single byte i.
extern const std::array<std::uint16_t, 256> crctab;

// Folds bytes into a CRC-16/XMODEM value (initial value 0, no final XOR).
std::uint16_t crc16_update(std::uint16_t crc, std::span<const unsigned char> bytes);

// Reads up to `wanted` bytes of block data into dest, one second of silence
// at the start of a burst ending it; stores the CRC of exactly the bytes read
// in *crc and returns how many were read. Bytes after them that arrived in
// the same read stay buffered for the next getByte().
int readData(unsigned char* dest, unsigned int wanted, std::uint16_t* crc, int fd);

// One reception on a port that is already in download mode: invites the
// sender, reads its bytes from in_fd, answers on out_fd (the same descriptor
// for a serial port; a pipe or socket will do, but its other end must take
// the answers, and /dev/null is fine), and appends every accepted block to
// out. Neither switches the port's speed nor closes anything. Returns the
// bytes stored on a completed transfer, 0 when it was cancelled. Input that
// ends (read gives 0 bytes) ends every wait at once and cancels the
// reception unless the sender's EOT has come; nothing is carried over from
// one call to the next.
int xmodem_receive(int in_fd, int out_fd, std::FILE* out);
