// The image file format: big-endian header words, the two header forms, the
// geometry of a component, and the stored headers of installed components.
#include "image/image.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "board/flash.h"
#include "image/crc.h"
#include "sys/command.h"
#include "sys/files.h"

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

window_reader::window_reader(int fd, std::uint64_t offset, std::uint64_t count)
    : fd_(fd), pos_(offset), end_(offset + count),
      buffer_(count > 0 ? new (std::nothrow) std::uint8_t[IMAGE_WINDOW] : nullptr)
{
    failed_ = count > 0 && !buffer_;
}

std::span<const std::uint8_t> window_reader::next()
{
    if (failed_ || pos_ >= end_)
        return {};
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(IMAGE_WINDOW, end_ - pos_));
    const std::span<std::uint8_t> window(buffer_.get(), n);
    if (!read_exact(fd_, pos_, window)) {
        failed_ = true;
        return {};
    }
    window_offset_ = pos_;
    pos_ += n;
    return window;
}

long long file_size_of(int fd)
{
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return -1;
    return static_cast<long long>(st.st_size);
}

namespace {

bool range_inside_file(int fd, std::uint64_t offset, std::uint64_t count)
{
    const long long size = file_size_of(fd);
    return size >= 0 && offset <= static_cast<std::uint64_t>(size) &&
           count <= static_cast<std::uint64_t>(size) - offset;
}

// The CRC of one range, window by window, in the calling thread.
bool crc_of_range_serial(int fd, std::uint64_t offset, std::uint64_t count, std::uint32_t* crc)
{
    window_reader reader(fd, offset, count);
    for (auto w = reader.next(); !w.empty(); w = reader.next())
        *crc = gen_crc(w.data(), static_cast<std::uint32_t>(w.size()), *crc);
    return !reader.failed();
}

// A range checksummed by a helper thread.
struct crc_job {
    int fd;
    std::uint64_t offset;
    std::uint64_t count;
    std::uint32_t crc;
    bool ok;
};

void* run_crc_job(void* arg)
{
    auto* job = static_cast<crc_job*>(arg);
    job->ok = crc_of_range_serial(job->fd, job->offset, job->count, &job->crc);
    return nullptr;
}

// Long components are checksummed in two halves on two processors when the
// machine has them: halving the CRC pass shortens a boot by that much. The
// halves are joined with crc_shift. With one processor, or when no thread
// can be started, the range is taken in one piece.
constexpr std::uint64_t PARALLEL_CRC_MIN = 16u << 20;

bool crc_of_range_in_halves(int fd, std::uint64_t offset, std::uint64_t count, std::uint32_t* crc)
{
    const std::uint64_t first = (count / 2) & ~std::uint64_t{0xFFFF};
    crc_job job{fd, offset + first, count - first, 0, false};
    pthread_t helper{};
    if (pthread_create(&helper, nullptr, run_crc_job, &job) != 0)
        return crc_of_range_serial(fd, offset, count, crc);
    const bool first_ok = crc_of_range_serial(fd, offset, first, crc);
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

// How a copy ended: a read that failed or came short (the file shrank or its
// medium failed) is told apart from a write that failed (a full /tmp).
enum class copied { all, read_failed, write_failed };

copied copy_by_reading(int fd, std::uint64_t offset, std::uint64_t count, int out_fd)
{
    window_reader reader(fd, offset, count);
    for (auto w = reader.next(); !w.empty(); w = reader.next())
        if (!write_exact(out_fd, w))
            return copied::write_failed;
    return reader.failed() ? copied::read_failed : copied::all;
}

// The kernel copies page-cache pages straight into the output. Where it
// cannot (an emulator without sendfile), and when it fails, which of the two
// files failed is not known: the rest is copied with plain reads and writes,
// which either tell or go on.
copied copy_range(int fd, std::uint64_t offset, std::uint64_t count, int out_fd)
{
    while (count > 0) {
        off_t pos = static_cast<off_t>(offset);
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(count, IMAGE_WINDOW));
        const ssize_t sent = sendfile(out_fd, fd, &pos, want);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent == 0)
            return copied::read_failed;
        if (sent < 0)
            return copy_by_reading(fd, offset, count, out_fd);
        offset += static_cast<std::uint64_t>(sent);
        count -= static_cast<std::uint64_t>(sent);
    }
    return copied::all;
}

// The checksum on a helper thread while the calling thread copies: both
// read the same page-cache pages, so the pair takes about as long as the
// copy alone, and a file not yet cached is read from the disk once. False
// when no thread can be started.
bool crc_beside_copy(int fd, const checked_copy& job, int out_fd, copy_check* result)
{
    crc_job crc{fd, job.crc_offset, job.crc_count, 0xFFFFFFFFu, false};
    pthread_t helper{};
    if (pthread_create(&helper, nullptr, run_crc_job, &crc) != 0)
        return false;
    const copied c = copy_range(fd, job.copy_offset, job.copy_count, out_fd);
    pthread_join(helper, nullptr);
    if (!crc.ok || crc.crc != job.expected_crc || c == copied::read_failed)
        *result = copy_check::crc_mismatch;
    else
        *result = c == copied::all ? copy_check::copied : copy_check::copy_failed;
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
    if (!crc_of_range_serial(fd, job.crc_offset, job.crc_count, &crc) || crc != job.expected_crc)
        return copy_check::crc_mismatch;
    switch (copy_range(fd, job.copy_offset, job.copy_count, out_fd)) {
    case copied::all:
        return copy_check::copied;
    case copied::read_failed:
        return copy_check::crc_mismatch;
    case copied::write_failed:
        break;
    }
    return copy_check::copy_failed;
}

bool copy_file_range_to(int fd, std::uint64_t offset, std::uint64_t count, int out_fd)
{
    return range_inside_file(fd, offset, count) && copy_range(fd, offset, count, out_fd) == copied::all;
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
