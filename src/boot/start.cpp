// Temporary bodies: replaced by the module's real implementation.
#include <cstdlib>
#include "boot/launch.h"
#include "board/i2c.h"

std::atomic<std::uint8_t> sig_quit_raised{0};
std::uint8_t usb_boot_enabled = 0;
std::uint8_t tried_alt_image = 0;
void sig_init() {}
void sig_handler(int) { sig_quit_raised = 1; }
int which_image() { return 1; }
[[noreturn]] void board_reset() { std::exit(0); }
[[noreturn]] void boot_sequence() { board_reset(); }
