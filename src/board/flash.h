// MTD flash access: the six partitions, their erase-block geometry, and
// read / read-modify-write / erase of spans.
#pragma once

#include <cstdint>

// Partition descriptors, opened once at start-up (negative when not opened).
extern int uboot_fd;
extern int uboot_env_fd;
extern int device_tree_fd;
extern int kernel_fd;
extern int rfs_fd;
extern int rescue_fd;
// Copy of kernel_fd: the partition whose geometry stands for all of them.
extern int flash_fd;

struct flash_device {
    char name[128];
    std::uint32_t sectors;
    std::uint32_t sector_size;
    std::uint32_t sector_shift;
    std::uint32_t size; // 0: no usable flash (also for an erase size of 0 or
                        // one that is not a power of two); every api_ operation refuses
};
extern flash_device theFlash;

// Trace switches (nothing in the program sets them; a debugger may).
extern int debug_read;
extern int debug_write;
extern int debug_erase;

// 0 on success, -1 on failure.
int api_flash_init();
int api_flash_read(void* buffer, int fd, std::uint32_t offset, std::uint32_t count);
int api_flash_write(const void* buffer, int fd, std::uint32_t offset, std::uint32_t count,
                    std::uint8_t progress);
int api_flash_erase(int fd, std::uint32_t offset, std::uint32_t count);

// Inner layer: 1 on success, 0 on failure. mtd_read and mtd_write succeed
// only when the whole count was transferred. Spans that wrap past 4 GiB,
// and writes or erases whose blocks run past the partition's end, are
// refused before the device is touched.
int flash_open();
int mtd_open();
int mtd_type();
int flash_read(void* buffer, int fd, std::uint32_t count, std::uint32_t offset);
int flash_write(const void* buffer, int fd, std::uint32_t count, std::uint32_t offset, std::uint8_t progress);
int flash_erase(int fd, std::uint32_t count, std::uint32_t offset);
int mtd_read(int fd, std::uint32_t offset, std::uint32_t count, void* buffer);
int mtd_write(int fd, std::uint32_t offset, std::uint32_t count, const void* buffer);
int mtd_erase(int fd, std::uint32_t start, std::uint32_t length);
int mtd_get_size(int fd, std::uint32_t* size);
