// Open files: exact reads and writes that retry what a signal interrupted.
#pragma once

#include <cstdint>
#include <span>

// Reads exactly out.size() bytes at offset. False when the file ends first
// or a read fails; out then holds what was read, the rest unchanged.
bool read_exact(int fd, std::uint64_t offset, std::span<std::uint8_t> out);

// Writes all of data at the descriptor's position; false when a write fails
// or stores nothing (a full file system).
bool write_exact(int fd, std::span<const std::uint8_t> data);
