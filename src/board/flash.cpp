// Temporary bodies: replaced by the module's real implementation.
#include "board/flash.h"

int uboot_fd = -1;
int uboot_env_fd = -1;
int device_tree_fd = -1;
int kernel_fd = -1;
int rfs_fd = -1;
int rescue_fd = -1;
int flash_fd = -1;
flash_device theFlash = {"unknown", 0, 0, 0, 0};
int debug_read = 0;
int debug_write = 0;
int debug_erase = 0;
int api_flash_init() { return -1; }
int api_flash_read(void*, int, std::uint32_t, std::uint32_t) { return -1; }
int api_flash_write(const void*, int, std::uint32_t, std::uint32_t, std::uint8_t) { return -1; }
int api_flash_erase(int, std::uint32_t, std::uint32_t) { return -1; }
