// The image file format: big-endian header words, the two header forms, the
// geometry of a component, and the stored headers of installed components.
#include "image/image.h"

#include <fcntl.h>
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
#include "sys/paths.h"

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
    if (c.payload_offset < min_header)
        c.fault = header_fault::short_header;
    else if (wide_total > 0xFFFFFFFFu)
        c.fault = header_fault::size_wraps;
    else
        c.fault = header_fault::none;
    c.sane = c.fault == header_fault::none;
    return c;
}

void report_implausible_header(const char* what, const component_layout& c)
{
    std::fprintf(stderr, "%s has an implausible header (header size %u, length %u).\n", what,
                 c.payload_offset, c.header.len);
}

namespace {

const component_kind COMPONENT_KINDS[] = {
    {TYPE_APPLICATION, "application", "app", "Installing Application: ", "APPLICATION", nullptr, nullptr, 0,
     false},
    {TYPE_BOOTLOADER, "bootloader", "uboot", "Installing Boot Loader: ", "UBOOT", "UBOOT",
     "Uboot image update failed", 0x80000, true},
    {TYPE_KERNEL, "kernel", nullptr, "Installing Kernel: ", "KERNEL", "KERNEL", "kernel image update failed",
     0x800000, false},
    {TYPE_ROOTFS, "rootfs", "rfs", "Installing Root Filesystem: ", "RFS", "RFS", "RFS image update failed",
     0xA00000, false},
    {TYPE_DEVICETREE, "devicetree", "dtb", "Installing Device Tree: ", "DFT", "DFT",
     "DFT image update failed", 0x40000, false},
    {TYPE_DIAGNOSTICS, "diagnostics", "diag", "Installing Diagnostics: ", "DIAGNOSTICS IMAGE", "DIAGS",
     "DIAGS image update failed", 0xA00000, false},
};

} // namespace

std::span<const component_kind> component_kinds()
{
    return COMPONENT_KINDS;
}

const component_kind* component_kind_of(std::uint32_t type)
{
    for (const component_kind& k : COMPONENT_KINDS)
        if (k.type == type)
            return &k;
    return nullptr;
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

bool read_component_at(int fd, std::uint64_t start, image_component* c)
{
    c->start = start;
    if (!read_exact(fd, start, c->probe)) {
        std::memset(c->probe, 0, sizeof c->probe);
        c->layout = component_from_probe(c->probe);
        return false;
    }
    c->layout = component_from_probe(c->probe);
    return true;
}

std::uint64_t next_component_start(const image_component& c)
{
    return c.start + c.layout.total;
}

bool component_within(const image_component& c, std::uint64_t file_size)
{
    return c.start <= file_size && c.layout.total <= file_size - c.start;
}

file_range crc_range(const image_component& c)
{
    return {c.start + 4, c.layout.total - 4u};
}

file_range payload_range(const image_component& c)
{
    return {c.start + c.layout.payload_offset, c.layout.header.len};
}

long long file_size_of(int fd)
{
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return -1;
    return static_cast<long long>(st.st_size);
}

namespace {

bool range_inside_file(int fd, const file_range& r)
{
    const long long size = file_size_of(fd);
    return size >= 0 && r.offset <= static_cast<std::uint64_t>(size) &&
           r.count <= static_cast<std::uint64_t>(size) - r.offset;
}

copy_result copy_by_reading(int fd, const file_range& r, int out_fd)
{
    window_reader reader(fd, r.offset, r.count);
    for (auto w = reader.next(); !w.empty(); w = reader.next())
        if (!write_exact(out_fd, w))
            return copy_result::write_failed;
    return reader.failed() ? copy_result::read_failed : copy_result::copied;
}

} // namespace

bool crc_of_file_range(int fd, const file_range& range, std::uint32_t* crc)
{
    if (!range_inside_file(fd, range))
        return false;
    window_reader reader(fd, range.offset, range.count);
    for (auto w = reader.next(); !w.empty(); w = reader.next())
        *crc = gen_crc(w.data(), static_cast<std::uint32_t>(w.size()), *crc);
    return !reader.failed();
}

copy_result copy_payload_with_crc(int fd, const image_component& c, int out_fd, std::uint32_t* crc)
{
    const file_range checked = crc_range(c);
    const file_range payload = payload_range(c);
    if (!range_inside_file(fd, checked) || !range_inside_file(fd, payload))
        return copy_result::read_failed;
    const std::uint64_t payload_end = payload.offset + payload.count;
    bool written = true;
    window_reader reader(fd, checked.offset, checked.count);
    for (auto w = reader.next(); !w.empty(); w = reader.next()) {
        *crc = gen_crc(w.data(), static_cast<std::uint32_t>(w.size()), *crc);
        // The part of the window inside the payload; after a failed write
        // only the checksum goes on, so that the verdict on the component
        // stays exact.
        const std::uint64_t from = std::max(reader.window_offset(), payload.offset);
        const std::uint64_t to = std::min(reader.window_offset() + w.size(), payload_end);
        if (written && from < to)
            written = write_exact(out_fd, w.subspan(from - reader.window_offset(), to - from));
    }
    if (reader.failed())
        return copy_result::read_failed;
    return written ? copy_result::copied : copy_result::write_failed;
}

// The kernel copies page-cache pages straight into the output. Where it
// cannot (an emulator without sendfile), and when it fails, which of the two
// files failed is not known: the rest is copied with plain reads and writes,
// which either tell or go on.
copy_result copy_file_range_to(int fd, const file_range& range, int out_fd)
{
    if (!range_inside_file(fd, range))
        return copy_result::read_failed;
    file_range left = range;
    while (left.count > 0) {
        off_t pos = static_cast<off_t>(left.offset);
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(left.count, IMAGE_WINDOW));
        const ssize_t sent = sendfile(out_fd, fd, &pos, want);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent == 0)
            return copy_result::read_failed;
        if (sent < 0)
            return copy_by_reading(fd, left, out_fd);
        left.offset += static_cast<std::uint64_t>(sent);
        left.count -= static_cast<std::uint64_t>(sent);
    }
    return copy_result::copied;
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
    const unique_fd f(open(slot_path(slot).c_str(), O_RDONLY | O_CLOEXEC));
    if (!f)
        return 0;
    // A short file leaves the rest of the buffer zero.
    (void)read_exact(f.get(), 0, {header, IMAGE_HEADER_SIZE});
    return 1;
}

} // namespace

int read_flash_image_header(std::uint32_t type, std::uint8_t* header, int slot)
{
    if (!header)
        return 0;
    std::memset(header, 0, IMAGE_HEADER_SIZE);
    if (type == TYPE_APPLICATION)
        return read_slot_header(header, slot);
    partition_place place{};
    if (!partition_of_type(type, &place)) {
        std::printf("Unknown image type 0x%x \n", type);
        return 0;
    }
    // A failed read is not examined: the header then reads as zeros.
    if (api_flash_read(header, place.fd, place.header_offset, IMAGE_HEADER_SIZE) != 0)
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
