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

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "board.h"
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

// The answer to the slot question, on descriptor 0.
void answer_slot_question(const options& o)
{
    std::string text;
    if (o.answer) {
        text += o.answer;
        if (o.long_answer)
            text += std::string(40, 'x');
        text += '\n';
    }
    answer_on_stdin(text);
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

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    silence_stdout();
    enter_private_root_or_skip("fuzz_install", false);
    add_board_partitions();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    input_reader in({data, size});
    const options o = options_from(in.byte());
    std::vector<std::uint8_t> image(in.rest().begin(), in.rest().end());
    if (o.repair)
        repair_component_crcs(image);
    reset_board(o.erase_size);
    write_file(IMAGE_PATH, image);
    answer_slot_question(o);

    const int result = processVireoImage(IMAGE_PATH, o.check_version, o.slot);
    std::fflush(stdout);
    drain_stdin();

    fuzz_check(result == 0 || result == 1, "result other than 0 or 1");
    fuzz_check(fake_mtd::refused_erases() == 0, "erase outside a partition or off block boundaries");
    bool written = false;
    for (int slot : {1, 2})
        written = check_slot(slot, image) || written;
    for (const board_partition& p : board_partitions())
        written = check_partition(p) || written;
    // A boot loader of no bytes is installed without touching the flash.
    fuzz_check(result == 0 || written || image_has_component(image, TYPE_BOOTLOADER),
               "result 1 with nothing written");
    return 0;
}
