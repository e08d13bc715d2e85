// MTD flash access: the six partitions, their erase-block geometry, and
// read / read-modify-write / erase of spans.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

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

// The progress display of the flash writer and of the installer's slot
// writer: a three-digit percentage rewritten in place after four
// backspaces, closed by 100% and a line end. Not flushed here.
void show_progress(std::uint64_t done, std::uint64_t whole);
void show_progress_done();

// Where a component of the given type is installed: its partition and the
// offset of the header kept there (the boot loader's copy lies at byte 240
// of its partition). False for types that no partition holds.
struct partition_place {
    int fd;
    std::uint32_t header_offset;
};
bool partition_of_type(std::uint32_t type, partition_place* place);

// A span of a partition written from bytes handed over in order, in pieces
// of any size: every erase block the span touches is read whole, given its
// new bytes, erased and written back, so bytes of a block outside the span
// survive and one block of memory serves whatever the span's length.
// flash_write is this writer over one buffer; the installer feeds it from
// windows of an image file.
class flash_span_writer {
  public:
    // The span is checked first (refused with a message, ok() false): it
    // must not wrap past 4 GiB and its blocks must lie inside the partition,
    // so that no block is written when the whole would be refused. With no
    // usable flash it is refused silently, as by the api_ operations.
    flash_span_writer(int fd, std::uint32_t offset, std::uint32_t count, std::uint8_t progress);
    bool ok() const { return ok_; }
    // The next bytes of the span; false (message printed) once a block could
    // not be read, erased or written, or when more bytes come than it holds.
    bool write(std::span<const std::uint8_t> data);
    // After the last bytes: writes what remains (a count of 0 at an
    // unaligned offset still rewrites the block holding it) and closes the
    // progress line; false unless the whole span was written.
    bool finish();

  private:
    bool load_block();
    bool store_block(std::uint32_t piece_length);
    std::uint32_t block_address() const;
    bool fail(const char* step);

    int fd_;
    std::uint32_t offset_;
    std::uint32_t count_;
    bool progress_;
    std::uint32_t first_ = 0;  // first byte of the first block touched
    std::uint32_t blocks_ = 0; // blocks touched
    std::uint32_t index_ = 0;  // block being filled
    std::uint32_t done_ = 0;   // bytes of the span in the blocks written
    std::uint32_t filled_ = 0; // bytes of the span in the current block
    bool loaded_ = false;      // the current block has been read
    bool ok_ = false;
    std::unique_ptr<std::uint8_t[]> block_;
};

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
