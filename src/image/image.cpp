// The image file format: big-endian header words, the two header forms, the
// geometry of a component, and the stored headers of installed components.
#include "image/image.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "board/flash.h"
#include "image/crc.h"
#include "sys/command.h"

std::uint32_t load_be32(const std::uint8_t* p)
{
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

void store_be32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

std::uint16_t load_be16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

void store_be16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

image_header decode_header(const std::uint8_t* bytes16)
{
    return image_header{load_be32(bytes16), load_be32(bytes16 + 4), load_be32(bytes16 + 8),
                        load_be32(bytes16 + 12)};
}

void encode_header(const image_header& h, std::uint8_t* bytes16)
{
    store_be32(bytes16, h.crc);
    store_be32(bytes16 + 4, h.len);
    store_be32(bytes16 + 8, h.magic);
    store_be32(bytes16 + 12, h.id);
}

// A component is usable only when its header covers at least the 20 bytes a
// reader takes before it knows the layout (so the CRC range, total - 4, is
// never negative and the walk always moves forward) and header size + len
// fits in 32 bits (so the walk never wraps back into the file).
component_layout component_from_probe(const std::uint8_t* probe20)
{
    component_layout c{};
    c.header = decode_header(probe20);
    c.type = c.header.magic & ~MAGIC_EXTENDED;
    const bool extended = (c.header.magic & MAGIC_EXTENDED) != 0;
    c.payload_offset = extended ? load_be16(probe20 + 18) : IMAGE_HEADER_SIZE;
    c.total = c.payload_offset + c.header.len;
    const std::uint64_t wide_total = std::uint64_t{c.payload_offset} + c.header.len;
    const std::uint32_t min_header = extended ? COMPONENT_PROBE_SIZE : IMAGE_HEADER_SIZE;
    c.sane = c.payload_offset >= min_header && wide_total <= 0xFFFFFFFFu;
    return c;
}

namespace {

// Windows of the component mapped one at a time and released at once, so
// that the mapped pages never add up in the resident set.
constexpr std::uint64_t MAP_WINDOW = 8u << 20;
constexpr std::size_t IO_BUFFER = 256u << 10;

bool range_inside_file(int fd, std::uint64_t offset, std::uint64_t count)
{
    const long long size = file_size_of(fd);
    return size >= 0 && offset <= static_cast<std::uint64_t>(size) &&
           count <= static_cast<std::uint64_t>(size) - offset;
}

// One window through a mapping; false when the file cannot be mapped.
bool crc_of_mapped_window(int fd, std::uint64_t offset, std::size_t count, std::uint32_t* crc)
{
    static const std::uint64_t page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    const std::uint64_t base = offset - offset % page;
    const std::size_t lead = static_cast<std::size_t>(offset - base);
    void* map = mmap(nullptr, lead + count, PROT_READ, MAP_PRIVATE, fd, static_cast<off_t>(base));
    if (map == MAP_FAILED)
        return false;
    madvise(map, lead + count, MADV_SEQUENTIAL);
    // Reading ahead of the checksum: a slot file not yet in the page cache
    // streams in while the window before it is being checksummed.
    posix_fadvise(fd, static_cast<off_t>(offset + count), static_cast<off_t>(count), POSIX_FADV_WILLNEED);
    *crc = gen_crc(static_cast<const std::uint8_t*>(map) + lead, static_cast<std::uint32_t>(count), *crc);
    munmap(map, lead + count);
    return true;
}

bool crc_of_read_window(int fd, std::uint64_t offset, std::size_t count, std::uint32_t* crc,
                        std::uint8_t* buffer)
{
    while (count > 0) {
        const std::size_t want = count < IO_BUFFER ? count : IO_BUFFER;
        const ssize_t got = pread(fd, buffer, want, static_cast<off_t>(offset));
        if (got <= 0) {
            if (got < 0 && errno == EINTR)
                continue;
            return false;
        }
        const auto n = static_cast<std::size_t>(got);
        *crc = gen_crc(buffer, static_cast<std::uint32_t>(n), *crc);
        offset += n;
        count -= n;
    }
    return true;
}

bool write_all(int out_fd, const std::uint8_t* data, std::size_t count)
{
    while (count > 0) {
        const ssize_t put = write(out_fd, data, count);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        data += put;
        count -= static_cast<std::size_t>(put);
    }
    return true;
}

bool copy_by_reading(int fd, std::uint64_t offset, std::uint64_t count, int out_fd)
{
    const auto buffer = std::make_unique<std::uint8_t[]>(IO_BUFFER);
    while (count > 0) {
        const std::size_t want = count < IO_BUFFER ? static_cast<std::size_t>(count) : IO_BUFFER;
        const ssize_t got = pread(fd, buffer.get(), want, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || !write_all(out_fd, buffer.get(), static_cast<std::size_t>(got)))
            return false;
        offset += static_cast<std::uint64_t>(got);
        count -= static_cast<std::uint64_t>(got);
    }
    return true;
}

} // namespace

long long file_size_of(int fd)
{
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return -1;
    return static_cast<long long>(st.st_size);
}

namespace {

// The CRC of one range, window by window, in the calling thread.
bool crc_of_range_serial(int fd, std::uint64_t offset, std::uint64_t count, std::uint32_t* crc,
                         std::uint64_t map_window = MAP_WINDOW)
{
    std::unique_ptr<std::uint8_t[]> buffer; // only for files that cannot be mapped
    while (count > 0) {
        const std::size_t window = static_cast<std::size_t>(count < map_window ? count : map_window);
        if (!buffer && !crc_of_mapped_window(fd, offset, window, crc))
            buffer = std::make_unique<std::uint8_t[]>(IO_BUFFER);
        if (buffer && !crc_of_read_window(fd, offset, window, crc, buffer.get()))
            return false;
        offset += window;
        count -= window;
    }
    return true;
}

// A range checksummed by a helper thread.
struct crc_job {
    int fd;
    std::uint64_t offset;
    std::uint64_t count;
    std::uint32_t crc;
    std::uint64_t window;
    bool ok;
};

void* run_crc_job(void* arg)
{
    auto* job = static_cast<crc_job*>(arg);
    job->ok = crc_of_range_serial(job->fd, job->offset, job->count, &job->crc, job->window);
    return nullptr;
}

// Long components are checksummed in two halves on two processors when the
// machine has them: the CRC pass costs as much as the copy of the payload
// that follows it, and halving it shortens a boot by that much. The halves
// are joined with crc_shift. Each half maps half a window at a time, so the
// mapped pages never exceed one window. With one processor, or when no thread can be
// started, the range is taken in one piece as before.
constexpr std::uint64_t PARALLEL_CRC_MIN = 2 * MAP_WINDOW;

bool crc_of_range_in_halves(int fd, std::uint64_t offset, std::uint64_t count, std::uint32_t* crc)
{
    const std::uint64_t first = (count / 2) & ~std::uint64_t{0xFFFF};
    crc_job job{fd, offset + first, count - first, 0, MAP_WINDOW / 2, false};
    pthread_t helper{};
    if (pthread_create(&helper, nullptr, run_crc_job, &job) != 0)
        return crc_of_range_serial(fd, offset, count, crc);
    const bool first_ok = crc_of_range_serial(fd, offset, first, crc, MAP_WINDOW / 2);
    pthread_join(helper, nullptr);
    if (!first_ok || !job.ok)
        return false;
    *crc = crc_shift(*crc, job.count) ^ job.crc;
    return true;
}

bool several_processors()
{
    static const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 1;
}

} // namespace

bool crc_of_file_range(int fd, std::uint64_t offset, std::uint64_t count, std::uint32_t* crc)
{
    if (!range_inside_file(fd, offset, count))
        return false;
    if (count >= PARALLEL_CRC_MIN && several_processors())
        return crc_of_range_in_halves(fd, offset, count, crc);
    return crc_of_range_serial(fd, offset, count, crc);
}

namespace {

// The kernel copies page-cache pages straight into the output; plain reads
// and writes serve where it cannot (e.g. an emulator without sendfile).
bool copy_range_unchecked(int fd, std::uint64_t offset, std::uint64_t count, int out_fd)
{
    while (count > 0) {
        off_t pos = static_cast<off_t>(offset);
        const std::size_t want = static_cast<std::size_t>(count < MAP_WINDOW ? count : MAP_WINDOW);
        const ssize_t sent = sendfile(out_fd, fd, &pos, want);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return sent < 0 && (errno == EINVAL || errno == ENOSYS) &&
                   copy_by_reading(fd, offset, count, out_fd);
        offset += static_cast<std::uint64_t>(sent);
        count -= static_cast<std::uint64_t>(sent);
    }
    return true;
}

// The checksum on a helper thread while the calling thread copies: both
// read the same page-cache pages, so the pair takes about as long as the
// copy alone, and a file not yet cached is read from the disk once. False
// when no thread can be started.
bool crc_beside_copy(int fd, const checked_copy& job, int out_fd, copy_check* result)
{
    crc_job crc{fd, job.crc_offset, job.crc_count, 0xFFFFFFFFu, MAP_WINDOW, false};
    pthread_t helper{};
    if (pthread_create(&helper, nullptr, run_crc_job, &crc) != 0)
        return false;
    const bool copied = copy_range_unchecked(fd, job.copy_offset, job.copy_count, out_fd);
    pthread_join(helper, nullptr);
    if (!crc.ok || crc.crc != job.expected_crc)
        *result = copy_check::crc_mismatch;
    else
        *result = copied ? copy_check::copied : copy_check::copy_failed;
    return true;
}

} // namespace

copy_check copy_with_crc_check(int fd, const checked_copy& job, int out_fd)
{
    if (!range_inside_file(fd, job.crc_offset, job.crc_count) ||
        !range_inside_file(fd, job.copy_offset, job.copy_count))
        return copy_check::crc_mismatch;
    copy_check result{};
    if (job.crc_count >= PARALLEL_CRC_MIN && several_processors() &&
        crc_beside_copy(fd, job, out_fd, &result))
        return result;
    std::uint32_t crc = 0xFFFFFFFFu;
    if (!crc_of_file_range(fd, job.crc_offset, job.crc_count, &crc) || crc != job.expected_crc)
        return copy_check::crc_mismatch;
    return copy_range_unchecked(fd, job.copy_offset, job.copy_count, out_fd) ? copy_check::copied
                                                                             : copy_check::copy_failed;
}

bool copy_file_range_to(int fd, std::uint64_t offset, std::uint64_t count, int out_fd)
{
    return range_inside_file(fd, offset, count) && copy_range_unchecked(fd, offset, count, out_fd);
}

void display_header(const image_header* header, int verbose)
{
    if (!verbose || !header)
        return;
    std::printf("  crc: 0x%08x\n", header->crc);
    std::printf("  len: 0x%08x\n", header->len);
    std::printf("magic: 0x%08x\n", header->magic);
    std::printf("   id: 0x%08x\n", header->id);
}

namespace {

int read_slot_header(std::uint8_t* header, int slot)
{
    const std::string path = strprintf("/user/images/image%d", slot);
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return 0;
    // A short file leaves the rest of the buffer zero.
    (void)std::fread(header, 1, IMAGE_HEADER_SIZE, f);
    std::fclose(f);
    return 1;
}

// Partition and offset at which a flash component's header is kept.
struct stored_place {
    bool known;
    int fd;
    std::uint32_t offset;
};

stored_place flash_place(std::uint32_t type)
{
    switch (type) {
    case TYPE_BOOTLOADER:
        return {true, uboot_fd, BOOTLOADER_HEADER_COPY};
    case TYPE_KERNEL:
        return {true, kernel_fd, 0};
    case TYPE_ROOTFS:
        return {true, rfs_fd, 0};
    case TYPE_DEVICETREE:
        return {true, device_tree_fd, 0};
    case TYPE_DIAGNOSTICS:
        return {true, rescue_fd, 0};
    default:
        return {false, -1, 0};
    }
}

} // namespace

int read_flash_image_header(std::uint32_t type, std::uint8_t* header, int slot)
{
    if (!header)
        return 0;
    std::memset(header, 0, IMAGE_HEADER_SIZE);
    if (type == TYPE_APPLICATION)
        return read_slot_header(header, slot);
    const stored_place place = flash_place(type);
    if (!place.known) {
        std::printf("Unknown image type 0x%x \n", type);
        return 0;
    }
    // A failed read is not examined: the header then reads as zeros.
    if (api_flash_read(header, place.fd, place.offset, IMAGE_HEADER_SIZE) != 0)
        std::memset(header, 0, IMAGE_HEADER_SIZE);
    return 1;
}

int verifyMatchingHeaders(const std::uint8_t* header, int slot)
{
    if (!header)
        return 0;
    const std::uint32_t type = load_be32(header + 8) & ~MAGIC_EXTENDED;
    std::uint8_t stored[IMAGE_HEADER_SIZE];
    if (!read_flash_image_header(type, stored, slot))
        return 0;
    // The boot loader's copy is compared without its crc word.
    const std::size_t from = type == TYPE_BOOTLOADER ? 4 : 0;
    return std::memcmp(header + from, stored + from, IMAGE_HEADER_SIZE - from) == 0 ? 1 : 0;
}
