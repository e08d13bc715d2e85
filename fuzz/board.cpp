// The board of the targets that run the flash layer (see board.h).
#include "board.h"

#include <unistd.h>

#include <cstring>
#include <vector>

#include "board/flash.h"
#include "fake_mtd.h"
#include "image/image.h"
#include "support.h"

namespace {

// Sizes of the board's partitions (the rescue partition's may be changed).
board_partition PARTITIONS[] = {
    {&uboot_fd, 512u << 10, 0},
    {&uboot_env_fd, 128u << 10, 0},
    {&device_tree_fd, 256u << 10, TYPE_DEVICETREE},
    {&kernel_fd, 8u << 20, TYPE_KERNEL},
    {&rfs_fd, 10u << 20, TYPE_ROOTFS},
    {&rescue_fd, BOARD_RESCUE_SIZE, TYPE_DIAGNOSTICS},
};

} // namespace

std::span<const board_partition> board_partitions()
{
    return PARTITIONS;
}

void add_board_partitions(std::uint32_t rescue_size)
{
    for (board_partition& p : PARTITIONS) {
        if (p.fd == &rescue_fd)
            p.size = rescue_size;
        *p.fd = fake_mtd::add_partition(p.size);
    }
    flash_fd = kernel_fd;
}

void reset_board(std::uint32_t erase_size)
{
    fake_mtd::blank_all();
    fake_mtd::set_erase_size(erase_size);
    mtd_type(); // the geometry, read as start-up reads it
    unlink("/user/images/image1");
    unlink("/user/images/image2");
    rmdir("/user/images");
}

bool check_partition(const board_partition& p)
{
    std::uint8_t probe[COMPONENT_PROBE_SIZE] = {};
    fuzz_check(pread(*p.fd, probe, sizeof probe, 0) == sizeof probe, "partition read");
    static const std::uint8_t blank[COMPONENT_PROBE_SIZE] = {};
    if (std::memcmp(probe, blank, sizeof probe) == 0)
        return false; // blank: the first write always puts a non-zero type word there
    if (p.type == 0)
        return true;
    const component_layout c = component_from_probe(probe);
    fuzz_check(c.sane && c.type == p.type && c.total <= p.size,
               "partition does not start with its component");
    std::vector<std::uint8_t> bytes(c.total);
    fuzz_check(pread(*p.fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()),
               "partition read");
    fuzz_check(exactly_one_good_component(bytes, p.type), "partition component has a bad crc");
    return true;
}
