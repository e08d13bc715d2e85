// Temporary bodies: replaced by the module's real implementation.
#include "boot/launch.h"

int gdb_enable = 0;
int gdbserver_enable = 0;
int gdbport = 1234;
std::uint8_t shell_enable = 0;
std::uint8_t memchk_enable = 0;
int rescue_enable = 0;
int standalone_diags = 0;
void parse_uboot_env() {}
void parse_env_area(const std::uint8_t*, std::size_t) {}
