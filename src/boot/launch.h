// Boot control: start-up, the interrupt flag, the boot settings from the
// U-Boot environment, image extraction with its fallbacks, and the launch
// of the application OS.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "image/image.h"

// Set by the SIGINT handler; only the rescue menu clears it.
extern std::atomic<std::uint8_t> sig_quit_raised;
static_assert(std::atomic<std::uint8_t>::is_always_lock_free, "the interrupt flag must be signal-safe");

extern std::uint8_t usb_boot_enabled;
extern std::uint8_t tried_alt_image;

// Boot settings.
extern int gdb_enable;
extern int gdbserver_enable;
extern int gdbport;
extern std::uint8_t shell_enable;
extern std::uint8_t memchk_enable;
extern int rescue_enable;
extern int standalone_diags;

// Image numbers.
constexpr int IMAGE_SLOT1 = 1;
constexpr int IMAGE_SLOT2 = 2;
constexpr int IMAGE_USB = 3;
constexpr int BOOTED_RESCUE = 4;

// The image slot that is not `slot`: 1 for 2, 2 for anything else.
int other_slot(int slot);

// Start-up.
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

// Boot settings.
void parse_uboot_env();
// Fills the boot settings from an environment variable area (the bytes after
// the CRC word); NULs count as blanks.
void parse_env_area(const std::uint8_t* area, std::size_t size);

// Extraction.
// The image CRC (gen_crc from IMAGE_CRC_START) over a range of an open file,
// read in windows: 0 when it equals `expected`, 1 otherwise, also when the
// file does not hold the whole range or a read fails or comes short.
int CheckCrc(int fd, const file_range& range, std::uint32_t expected);
int parse_image(FILE* stream, std::uint8_t* header20);
int extract_image(int image_number);
// The checked copy at the heart of extract_image: walks the open image to its
// application or diagnostics component and makes its payload the file
// `archive` only when its CRC matches (never holding the component whole in
// memory; on any other result the archive is left as it was). *layout
// receives the component found.
enum class extract_result { copied, no_component, crc_failed, write_failed };
extract_result extract_component(FILE* src, const std::string& archive, component_layout* layout);
int extract_image_from_flash();

// Launch.
[[noreturn]] void launch_image(bool diags);
int extract_gdb(int image_number);
// The interactive shell offered before the launch and after fatal failures.
void shell_step();
