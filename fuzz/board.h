// The board of the targets that run the flash layer: the six partitions on
// memory-backed MTD (fake_mtd) at the board's sizes, and the image slots
// in /user/images (in the private mount namespace of support.h).
#pragma once

#include <cstdint>
#include <span>

struct board_partition {
    int* fd;
    std::uint32_t size;
    std::uint32_t type; // 0: holds no header of its own (the boot loader's payload)
};

std::span<const board_partition> board_partitions();

// Once, at start: the partitions made, their descriptors in the flash
// layer's variables. The rescue partition may be made smaller than the
// board's.
constexpr std::uint32_t BOARD_RESCUE_SIZE = 10u << 20;
void add_board_partitions(std::uint32_t rescue_size = BOARD_RESCUE_SIZE);
// Before every run: every partition blank (all zero), the erase-block size
// that MEMGETINFO reports from now on, the geometry read as start-up reads
// it, and no slot file nor /user/images.
void reset_board(std::uint32_t erase_size);
// Whether the partition was written; aborts when what it holds does not
// start with a good component of its type.
bool check_partition(const board_partition& p);
