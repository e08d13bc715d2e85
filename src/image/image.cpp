// The image file format: big-endian header words, the two header forms, the
// geometry of a component, and the stored headers of installed components.
#include "image/image.h"

#include <cstdio>
#include <cstring>

#include "board/flash.h"
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
    case TYPE_BOOTLOADER: return {true, uboot_fd, BOOTLOADER_HEADER_COPY};
    case TYPE_KERNEL: return {true, kernel_fd, 0};
    case TYPE_ROOTFS: return {true, rfs_fd, 0};
    case TYPE_DEVICETREE: return {true, device_tree_fd, 0};
    case TYPE_DIAGNOSTICS: return {true, rescue_fd, 0};
    default: return {false, -1, 0};
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
