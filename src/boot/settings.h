// Boot settings: the process-wide flags and numbers filled from the U-Boot
// environment.
#pragma once

#include <cstddef>
#include <cstdint>

extern int gdb_enable;
extern int gdbserver_enable;
extern int gdbport;
extern std::uint8_t shell_enable;
extern std::uint8_t memchk_enable;
extern int rescue_enable;
extern int standalone_diags;

// Every boot setting back to the value it has at start-up.
void reset_boot_settings();
void parse_uboot_env();
// Fills the boot settings from an environment variable area (the bytes after
// the CRC word); NULs count as blanks.
void parse_env_area(const std::uint8_t* area, std::size_t size);
