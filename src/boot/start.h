// Start-up: the interrupt flag, the image numbers, the choice of the image
// slot, the board brought up, the board reset, and the boot sequence that
// main() runs from start to end.
#pragma once

#include <atomic>
#include <cstdint>

// Set by the SIGINT handler; only the rescue menu clears it.
extern std::atomic<std::uint8_t> sig_quit_raised;
static_assert(std::atomic<std::uint8_t>::is_always_lock_free, "the interrupt flag must be signal-safe");

extern std::uint8_t usb_boot_enabled;
extern std::uint8_t tried_alt_image;

// Image numbers.
constexpr int IMAGE_SLOT1 = 1;
constexpr int IMAGE_SLOT2 = 2;
constexpr int IMAGE_USB = 3;
constexpr int BOOTED_RESCUE = 4;

// The image slot that is not `slot`: 1 for 2, 2 for anything else.
int other_slot(int slot);

void sig_init();
void sig_handler(int signum);
// The board brought up as start-up does, for the boot sequence and for
// programs that run parts of the boot manager on the board: the SIGINT
// handler, the I2C buses, the flash partitions, and the user partition
// mounted and walked once. The result of api_flash_init (0: usable flash).
int bring_up_board();
int which_image();
[[noreturn]] void board_reset();
// The boot sequence of main(); never returns.
[[noreturn]] void boot_sequence();
