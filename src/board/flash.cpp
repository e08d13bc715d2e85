// MTD flash access. The six partitions are opened once; the erase-block
// geometry of the kernel partition stands for all of them. Writes are
// read-modify-write of every erase block the span touches, so bytes of a
// block outside the span survive.
#include "board/flash.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "image/image.h"

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

namespace {

// The block is written back in transfers of this size.
constexpr std::uint32_t WRITE_CHUNK = 1024;

unsigned long ul(std::uint32_t v)
{
    return static_cast<unsigned long>(v);
}

unsigned long address_of(const void* p)
{
    return reinterpret_cast<unsigned long>(p);
}

// Opens one partition into its descriptor; a descriptor left from an
// earlier call is closed first so that it cannot leak.
int open_partition(int& fd, const char* path, int flags)
{
    if (fd >= 0)
        ::close(fd);
    fd = ::open(path, flags);
    return fd;
}

bool is_power_of_two(std::uint32_t v)
{
    return v != 0 && (v & (v - 1)) == 0;
}

std::uint32_t lowest_set_bit(std::uint32_t v)
{
    for (std::uint32_t bit = 0; bit < 32; ++bit) {
        if (v & (std::uint32_t{1} << bit))
            return bit;
    }
    return 0;
}

// The erase blocks a span touches. The arithmetic is done in 32 bits on
// purpose: a count of 0 at an aligned offset gives no block at all, and a
// count of 0 at an unaligned offset gives the one block holding it.
struct block_span {
    std::uint32_t first;
    std::uint32_t last;
    std::uint32_t blocks;
};

block_span span_of(std::uint32_t offset, std::uint32_t count)
{
    const std::uint32_t mask = ~(theFlash.sector_size - 1);
    block_span s{};
    s.first = offset & mask;
    s.last = ((offset + count - 1) & mask) + theFlash.sector_size - 1;
    s.blocks = (s.last - s.first + 1) >> theFlash.sector_shift;
    return s;
}

// A span whose end lies past 4 GiB cannot be described in the 32-bit block
// arithmetic: it would wrap to the start of the partition.
bool span_wraps(std::uint32_t offset, std::uint32_t count)
{
    return std::uint64_t{offset} + count > 0x100000000ULL;
}

// The touched blocks must lie inside the partition behind the descriptor,
// so that a write never erases blocks it then cannot rewrite. A descriptor
// whose size cannot be asked (a partition that failed to open) is left to
// fail at the transfers themselves.
bool blocks_fit_partition(int fd, const block_span& s)
{
    if (s.blocks == 0)
        return true;
    std::uint32_t part_size = 0;
    if (!mtd_get_size(fd, &part_size))
        return true;
    const std::uint64_t end = std::uint64_t{s.first} + std::uint64_t{s.blocks} * theFlash.sector_size;
    return end <= part_size;
}

bool span_usable(int fd, std::uint32_t offset, std::uint32_t count, const block_span& s)
{
    return !span_wraps(offset, count) && blocks_fit_partition(fd, s);
}

void write_failed(const char* what)
{
    std::printf("Flash Write mtd %s failed.\n\n", what);
}

// Where the data of block i goes inside the block, and how much of it.
struct block_piece {
    std::uint32_t position;
    std::uint32_t length;
};

block_piece piece_of(std::uint32_t i, const block_span& s, std::uint32_t offset, std::uint32_t count,
                     std::uint32_t done)
{
    const std::uint32_t head = offset - s.first;
    if (s.blocks == 1)
        return {head, count};
    if (i == 0)
        return {head, theFlash.sector_size - head};
    if (i == s.blocks - 1)
        return {0, count - done};
    return {0, theFlash.sector_size};
}

// Writes the whole work buffer back to the block at a, in 1024-byte
// transfers (a smaller erase block is written in one).
bool write_block(int fd, std::uint32_t a, const std::uint8_t* block)
{
    for (std::uint32_t pos = 0; pos < theFlash.sector_size; pos += WRITE_CHUNK) {
        const std::uint32_t len =
            theFlash.sector_size - pos < WRITE_CHUNK ? theFlash.sector_size - pos : WRITE_CHUNK;
        if (!mtd_write(fd, a + pos, len, block + pos))
            return false;
    }
    return true;
}

} // namespace

void show_progress(std::uint64_t done, std::uint64_t whole)
{
    std::printf("\b\b\b\b%3.3d%c", static_cast<int>(done * 100 / whole), '%');
}

void show_progress_done()
{
    std::printf("\b\b\b\b100%c\n", '%');
}

bool partition_of_type(std::uint32_t type, partition_place* place)
{
    switch (type) {
    case TYPE_BOOTLOADER:
        *place = {uboot_fd, BOOTLOADER_HEADER_COPY};
        return true;
    case TYPE_KERNEL:
        *place = {kernel_fd, 0};
        return true;
    case TYPE_ROOTFS:
        *place = {rfs_fd, 0};
        return true;
    case TYPE_DEVICETREE:
        *place = {device_tree_fd, 0};
        return true;
    case TYPE_DIAGNOSTICS:
        *place = {rescue_fd, 0};
        return true;
    default:
        return false;
    }
}

flash_span_writer::flash_span_writer(int fd, std::uint32_t offset, std::uint32_t count, std::uint8_t progress)
    : fd_(fd), offset_(offset), count_(count), progress_(progress != 0)
{
    const block_span s = span_of(offset, count);
    first_ = s.first;
    blocks_ = s.blocks;
    if (debug_write)
        std::printf("Flash Write 0x%08lx to 0x%08lx (0x%08lx to 0x%08lx) %ld\n", ul(offset),
                    ul(offset + count - 1), ul(s.first), ul(s.last), static_cast<long>(s.blocks));
    // With no usable flash the geometry means nothing: refused silently,
    // as every api_ operation is.
    if (theFlash.size == 0)
        return;
    block_.reset(new (std::nothrow) std::uint8_t[std::size_t{theFlash.sector_size} + WRITE_CHUNK]);
    if (!block_) {
        std::printf("Flash Write malloc failed\n");
        return;
    }
    if (!span_usable(fd, offset, count, s)) {
        std::printf("Flash Write span outside the partition.\n");
        return;
    }
    if (progress_)
        std::printf("     ");
    ok_ = true;
}

// The span's bytes for the current block: where they go in it and how many.
bool flash_span_writer::write(std::span<const std::uint8_t> data)
{
    while (ok_ && !data.empty()) {
        if (index_ >= blocks_ || (!loaded_ && !load_block()))
            return fail(index_ >= blocks_ ? nullptr : "read");
        const block_piece piece = piece_of(index_, {first_, 0, blocks_}, offset_, count_, done_);
        const std::size_t n = std::min<std::size_t>(piece.length - filled_, data.size());
        std::memcpy(block_.get() + piece.position + filled_, data.data(), n);
        filled_ += static_cast<std::uint32_t>(n);
        data = data.subspan(n);
        if (filled_ == piece.length && !store_block(piece.length))
            return false;
    }
    return ok_;
}

bool flash_span_writer::finish()
{
    while (ok_ && index_ < blocks_) {
        const block_piece piece = piece_of(index_, {first_, 0, blocks_}, offset_, count_, done_);
        // Bytes of the span that never came: nothing more is written.
        if (filled_ != piece.length)
            return fail(nullptr);
        if (!loaded_ && !load_block())
            return fail("read");
        if (!store_block(piece.length))
            return false;
    }
    if (!ok_)
        return false;
    if (progress_) {
        show_progress_done();
        std::fflush(stdout);
    }
    return true;
}

// The block is read whole before anything of it is erased; a short read
// counts as a failure, so data outside the span is never lost.
bool flash_span_writer::load_block()
{
    std::memset(block_.get(), 0, theFlash.sector_size);
    loaded_ = mtd_read(fd_, block_address(), theFlash.sector_size, block_.get()) != 0;
    return loaded_;
}

bool flash_span_writer::store_block(std::uint32_t piece_length)
{
    if (!mtd_erase(fd_, block_address(), theFlash.sector_size))
        return fail("erase");
    if (!write_block(fd_, block_address(), block_.get()))
        return fail("write");
    if (progress_) {
        show_progress(index_, blocks_);
        std::fflush(stdout);
    }
    done_ += piece_length;
    ++index_;
    filled_ = 0;
    loaded_ = false;
    return true;
}

std::uint32_t flash_span_writer::block_address() const
{
    return first_ + index_ * theFlash.sector_size;
}

bool flash_span_writer::fail(const char* step)
{
    if (ok_ && step)
        write_failed(step);
    ok_ = false;
    return false;
}

int mtd_open()
{
    const int sync_rw = O_RDWR | O_SYNC;
    open_partition(uboot_fd, "/dev/mtd-uboot", sync_rw);
    open_partition(uboot_env_fd, "/dev/mtd-ubootenv", sync_rw);
    open_partition(device_tree_fd, "/dev/mtd-devicetree", sync_rw);
    open_partition(kernel_fd, "/dev/mtd-kernel", sync_rw);
    open_partition(rfs_fd, "/dev/mtd-rfs", sync_rw);
    const int last = open_partition(rescue_fd, "/dev/mtd-rescue", O_RDWR);
    flash_fd = kernel_fd;
    return last >= 0 ? 1 : 0;
}

int mtd_get_size(int fd, std::uint32_t* size)
{
    mtd_info_user info{};
    if (::ioctl(fd, MEMGETINFO, &info) != 0)
        return 0;
    *size = info.size;
    return 1;
}

int mtd_type()
{
    mtd_info_user info{};
    if (::ioctl(flash_fd, MEMGETINFO, &info) != 0) {
        std::printf("Could not get MTD device info \n");
        return 0;
    }
    // The block arithmetic masks with the two's complement of the erase
    // size: a size of 0 or one that is not a power of two would divide by
    // zero or mask wrongly, so such a device counts as no flash at all.
    if (!is_power_of_two(info.erasesize)) {
        theFlash = flash_device{"unknown", 0, 0, 0, 0};
        std::printf("NO FLASH !\n");
        return 0;
    }
    theFlash.sectors = info.size / info.erasesize;
    theFlash.sector_size = info.erasesize;
    theFlash.sector_shift = lowest_set_bit(info.erasesize);
    std::snprintf(theFlash.name, sizeof theFlash.name, "%dMB w/%ld-%ldKB sectors",
                  static_cast<int>(info.size >> 20), static_cast<long>(theFlash.sectors),
                  static_cast<long>(theFlash.sector_size >> 10));
    theFlash.size = info.size;
    if (theFlash.size == 0) {
        std::printf("NO FLASH !\n");
        return 0;
    }
    return 1;
}

int flash_open()
{
    mtd_open();
    return mtd_type();
}

// A transfer succeeds only when it moved every byte: a short read would
// hand the caller bytes that never came from flash, and a short write
// would leave the block partly erased while reporting success.
int mtd_read(int fd, std::uint32_t offset, std::uint32_t count, void* buffer)
{
    if (debug_read)
        std::printf("mtd read  0x%08lx to 0x%08lx 0x%08lx\n", ul(offset), ul(offset + count - 1),
                    address_of(buffer));
    const ssize_t got = ::pread(fd, buffer, count, static_cast<off_t>(offset));
    return got >= 0 && static_cast<std::uint64_t>(got) == count ? 1 : 0;
}

int mtd_write(int fd, std::uint32_t offset, std::uint32_t count, const void* buffer)
{
    if (debug_write)
        std::printf("mtd write 0x%08lx to 0x%08lx 0x%08lx\n", ul(offset), ul(offset + count - 1),
                    address_of(buffer));
    const ssize_t put = ::pwrite(fd, buffer, count, static_cast<off_t>(offset));
    return put >= 0 && static_cast<std::uint64_t>(put) == count ? 1 : 0;
}

int mtd_erase(int fd, std::uint32_t start, std::uint32_t length)
{
    if (debug_erase)
        std::printf("mtd erase 0x%08lx to 0x%08lx\n", ul(start), ul(start + length - 1));
    erase_info_user request{};
    request.start = start;
    request.length = length;
    return ::ioctl(fd, MEMERASE, &request) >= 0 ? 1 : 0;
}

int flash_read(void* buffer, int fd, std::uint32_t count, std::uint32_t offset)
{
    if (debug_read)
        std::printf("Flash Read 0x%08lx to 0x%08lx\n", ul(offset), ul(offset + count - 1));
    if (span_wraps(offset, count))
        return 0;
    return mtd_read(fd, offset, count, buffer);
}

int flash_erase(int fd, std::uint32_t count, std::uint32_t offset)
{
    const block_span s = span_of(offset, count);
    if (debug_erase)
        std::printf("Flash Erase 0x%08lx to 0x%08lx (0x%08lx to 0x%08lx) %ld\n", ul(offset),
                    ul(offset + count - 1), ul(s.first), ul(s.last), static_cast<long>(s.blocks));
    if (!span_usable(fd, offset, count, s)) {
        std::printf("Flash Erase span outside the partition.\n");
        return 0;
    }
    for (std::uint32_t i = 0; i < s.blocks; ++i) {
        if (!mtd_erase(fd, s.first + i * theFlash.sector_size, theFlash.sector_size)) {
            std::printf("Flash Erase mtd erase failed.\n");
            return 0;
        }
    }
    return 1;
}

int flash_write(const void* buffer, int fd, std::uint32_t count, std::uint32_t offset, std::uint8_t progress)
{
    flash_span_writer writer(fd, offset, count, progress);
    return writer.ok() && writer.write({static_cast<const std::uint8_t*>(buffer), count}) && writer.finish()
               ? 1
               : 0;
}

int api_flash_init()
{
    return flash_open() == 1 ? 0 : -1;
}

int api_flash_read(void* buffer, int fd, std::uint32_t offset, std::uint32_t count)
{
    if (theFlash.size == 0)
        return -1;
    return flash_read(buffer, fd, count, offset) ? 0 : -1;
}

int api_flash_write(const void* buffer, int fd, std::uint32_t offset, std::uint32_t count,
                    std::uint8_t progress)
{
    if (theFlash.size == 0)
        return -1;
    return flash_write(buffer, fd, count, offset, progress) ? 0 : -1;
}

int api_flash_erase(int fd, std::uint32_t offset, std::uint32_t count)
{
    if (theFlash.size == 0)
        return -1;
    return flash_erase(fd, count, offset) ? 0 : -1;
}
