// Fuzz target: the installer (processVireoImage) on an image file, with
// its real flash layer writing memory-backed MTD partitions (fake_mtd) and
// its slot files going to /user/images in a private mount namespace
// (support.cpp), both reset before every run.
//
// Input: one option byte, then the image file.
//   bit 0     check_version
//   bits 1-2  slot 1, slot 2, or slot 0 with the question answered 1 or 2
//             (never the "boot the download" answer: that would launch)
//   bit 3     the answer runs past the 32-byte answer buffer
//   bits 4-6  erase-block size: 4 KiB, 64 KiB, 128 KiB, 0, 12 KiB, 1 KiB
//   bit 7     repair the crc words first, to reach the writers
//
// Checked after each run: no erase request outside a partition or off its
// block boundaries; a slot file is one whole application component of the
// input with a good crc; a flash partition that was written starts with a
// whole component of its own type with a good crc; a result of 1 means
// something was written (or a boot loader was in the image, which may
// have no bytes to write).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "board/flash.h"
#include "fake_mtd.h"
#include "image/crc.h"
#include "image/image.h"
#include "support.h"

namespace {

constexpr const char* IMAGE_PATH = "/user/fuzz-image";

struct options {
    std::uint8_t check_version;
    int slot;
    char answer; // 0: no question expected
    bool long_answer;
    std::uint32_t erase_size;
    bool repair;
};

options options_from(std::uint8_t b)
{
    static const std::uint32_t erase_sizes[8] = {4096, 65536, 131072, 0, 12288, 1024, 4096, 65536};
    options o{};
    o.check_version = b & 1;
    switch ((b >> 1) & 3) {
    case 0:
        o.slot = 1;
        break;
    case 1:
        o.slot = 2;
        break;
    case 2:
        o.answer = '1';
        break;
    default:
        o.answer = '2';
        break;
    }
    o.long_answer = (b & 8) != 0;
    o.erase_size = erase_sizes[(b >> 4) & 7];
    o.repair = (b & 0x80) != 0;
    return o;
}

struct partition_check {
    int* fd;
    std::uint32_t size;
    std::uint32_t type; // 0: holds no header of its own (the boot loader's payload)
};

// Sizes of the board's partitions.
partition_check PARTITIONS[] = {
    {&uboot_fd, 512u << 10, 0},
    {&uboot_env_fd, 128u << 10, 0},
    {&device_tree_fd, 256u << 10, TYPE_DEVICETREE},
    {&kernel_fd, 8u << 20, TYPE_KERNEL},
    {&rfs_fd, 10u << 20, TYPE_ROOTFS},
    {&rescue_fd, 10u << 20, TYPE_DIAGNOSTICS},
};

void write_file(const char* path, std::span<const std::uint8_t> bytes)
{
    FILE* f = std::fopen(path, "wb");
    fuzz_check(f != nullptr, "image file");
    const bool put = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    fuzz_check(std::fclose(f) == 0 && put, "image file");
}

// The answer to the slot question, on descriptor 0 (stdin's buffer from the
// last run was drained to its end there).
void answer_on_stdin(const options& o)
{
    std::string text;
    if (o.answer) {
        text += o.answer;
        if (o.long_answer)
            text += std::string(40, 'x');
        text += '\n';
    }
    int p[2];
    fuzz_check(pipe(p) == 0, "pipe");
    fuzz_check(write(p[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()), "pipe write");
    close(p[1]);
    fuzz_check(dup2(p[0], 0) == 0, "pipe onto stdin");
    close(p[0]);
    clearerr(stdin);
}

void drain_stdin()
{
    while (std::getchar() != EOF) {
    }
    clearerr(stdin);
}

void reset_board(const options& o)
{
    fake_mtd::blank_all();
    fake_mtd::set_erase_size(o.erase_size);
    mtd_type(); // the geometry, read as start-up reads it
    unlink("/user/images/image1");
    unlink("/user/images/image2");
    rmdir("/user/images");
}

std::vector<std::uint8_t> read_path(const char* path)
{
    std::vector<std::uint8_t> bytes;
    FILE* f = std::fopen(path, "rb");
    if (!f)
        return bytes;
    std::uint8_t piece[4096];
    std::size_t n;
    while ((n = std::fread(piece, 1, sizeof piece, f)) > 0)
        bytes.insert(bytes.end(), piece, piece + n);
    std::fclose(f);
    return bytes;
}

// A whole component of the given type with a good crc, and nothing after it.
bool exactly_one_good_component(std::span<const std::uint8_t> bytes, std::uint32_t type)
{
    if (bytes.size() < IMAGE_HEADER_SIZE)
        return false;
    // A plain component of no payload is only 16 bytes long.
    std::uint8_t probe[COMPONENT_PROBE_SIZE] = {};
    std::memcpy(probe, bytes.data(), std::min<std::size_t>(bytes.size(), sizeof probe));
    const component_layout c = component_from_probe(probe);
    return c.sane && c.type == type && c.total == bytes.size() &&
           gen_crc_bitwise(bytes.data() + 4, c.total - 4, 0xFFFFFFFFu) == c.header.crc;
}

bool check_slot(int slot, std::span<const std::uint8_t> image)
{
    const std::string path = "/user/images/image" + std::to_string(slot);
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return false;
    const std::vector<std::uint8_t> bytes = read_path(path.c_str());
    fuzz_check(exactly_one_good_component(bytes, TYPE_APPLICATION),
               "slot file is not one good application component");
    fuzz_check(memmem(image.data(), image.size(), bytes.data(), bytes.size()) != nullptr,
               "slot file holds bytes that are not in the image");
    return true;
}

// Whether the partition was written; aborts when what it holds does not
// start with a good component of its type.
bool check_partition(const partition_check& p)
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

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    silence_stdout();
    if (!enter_private_root_with_user()) {
        std::fprintf(stderr, "fuzz_install: no private mount namespace with /user (needs root); skipped\n");
        std::exit(77);
    }
    for (partition_check& p : PARTITIONS)
        *p.fd = fake_mtd::add_partition(p.size);
    flash_fd = kernel_fd;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    input_reader in({data, size});
    const options o = options_from(in.byte());
    std::vector<std::uint8_t> image(in.rest().begin(), in.rest().end());
    if (o.repair)
        repair_component_crcs(image);
    reset_board(o);
    write_file(IMAGE_PATH, image);
    answer_on_stdin(o);

    const int result = processVireoImage(IMAGE_PATH, o.check_version, o.slot);
    std::fflush(stdout);
    drain_stdin();

    fuzz_check(result == 0 || result == 1, "result other than 0 or 1");
    fuzz_check(fake_mtd::refused_erases() == 0, "erase outside a partition or off block boundaries");
    bool written = false;
    for (int slot : {1, 2})
        written = check_slot(slot, image) || written;
    for (const partition_check& p : PARTITIONS)
        written = check_partition(p) || written;
    // A boot loader of no bytes is installed without touching the flash.
    fuzz_check(result == 0 || written || image_has_component(image, TYPE_BOOTLOADER),
               "result 1 with nothing written");
    return 0;
}
