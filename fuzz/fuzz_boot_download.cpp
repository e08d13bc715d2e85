// Fuzz target: the installer (processVireoImage) on a downloaded image with
// no slot chosen and the slot question answered so that the download is
// booted, to its end (seam.h): the launch of the application component, or
// back to the rescue menu. The flash components before it are written by
// the real flash layer to memory-backed partitions (fake_mtd), the archive
// goes to a /tmp private to the process (support.cpp).
//
// Input: one option byte, then the image file.
//   bits 0-2  the answer: end of input, Enter, "q", a line longer than the
//             answer buffer, "0", " 1", "3", a NUL
//   bit 3     check_version
//   bits 4-6  erase-block size: 4 KiB, 64 KiB, 128 KiB, 0, 12 KiB, 1 KiB
//   bit 7     repair the crc words first, to reach the launch
//
// Checked: a launch only of the image's first application component (in
// the walk), whole, with a good crc (computed bit by bit) and a payload,
// the archive exactly that payload, without the diagnostics flag and
// without a descriptor of the path left open for the application; an image
// whose first component is such an application is launched; never a
// reset, never a slot file or a boot-selection byte; without a launch no
// archive content; flash partitions written hold good components of their
// own type.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "board.h"
#include "fake_mtd.h"
#include "image/crc.h"
#include "image/image.h"
#include "seam.h"
#include "support.h"
#include "sys/paths.h"

namespace {

using bytes = std::vector<std::uint8_t>;

constexpr const char* IMAGE_PATH = "/user/fuzz-image";

struct options {
    std::string answer;
    std::uint8_t check_version;
    std::uint32_t erase_size;
    bool repair;
};

options options_from(std::uint8_t b)
{
    static const char* const answers[8] = {"", "\n", "q\n", "", "0\n", " 1\n", "3\n", ""};
    static const std::uint32_t erase_sizes[8] = {4096, 65536, 131072, 0, 12288, 1024, 4096, 65536};
    options o{};
    o.answer = answers[b & 7];
    if ((b & 7) == 3)
        o.answer = std::string(40, 'x') + "1\n";
    if ((b & 7) == 7)
        o.answer = std::string(1, '\0') + "2\n";
    o.check_version = (b >> 3) & 1;
    o.erase_size = erase_sizes[(b >> 4) & 7];
    o.repair = (b & 0x80) != 0;
    return o;
}

// The first application component of the walk, if the walk gets there.
std::optional<std::uint64_t> first_application(const bytes& image)
{
    for (std::uint64_t at = 0; at + COMPONENT_PROBE_SIZE <= image.size();) {
        const component_layout c = component_from_probe(image.data() + at);
        if (!c.sane)
            return std::nullopt;
        if (c.type == TYPE_APPLICATION)
            return at;
        at += c.total;
    }
    return std::nullopt;
}

bool bootable_at(const bytes& image, std::uint64_t at, component_layout* c)
{
    *c = component_from_probe(image.data() + at);
    return c->total >= 4 && c->total <= image.size() - at && c->header.len > 0 &&
           gen_crc_bitwise(image.data() + at + 4, c->total - 4, 0xFFFFFFFFu) == c->header.crc;
}

struct install_call {
    std::uint8_t check_version;
};

int install_and_boot(void* arg)
{
    return processVireoImage(IMAGE_PATH, static_cast<const install_call*>(arg)->check_version, 0);
}

void check_launch(const bytes& image, const boot_journal& j)
{
    const std::optional<std::uint64_t> at = first_application(image);
    fuzz_check(at.has_value(), "launched an image without an application component");
    component_layout c{};
    fuzz_check(bootable_at(image, *at, &c), "launched an application that is not whole, good and non-empty");
    fuzz_check(!j.diags, "the download launched as diagnostics");
    fuzz_check(!j.descriptor_left_open, "a descriptor of the installer is open at the launch");
    const bytes archive = read_path(APP_ARCHIVE);
    fuzz_check(archive.size() == c.header.len &&
                   std::equal(archive.begin(), archive.end(), image.data() + *at + c.payload_offset),
               "archive is not the payload of the application launched");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    silence_stdout();
    enter_private_root_or_skip("fuzz_boot_download", true);
    add_board_partitions();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    input_reader in({data, size});
    const options o = options_from(in.byte());
    bytes image(in.rest().begin(), in.rest().end());
    if (o.repair)
        repair_component_crcs(image);
    reset_board(o.erase_size);
    write_file(IMAGE_PATH, image);
    unlink(APP_ARCHIVE);
    answer_on_stdin(o.answer);

    install_call call{o.check_version};
    const boot_journal j = run_boot_path(install_and_boot, &call);
    std::fflush(stdout);
    drain_stdin();

    fuzz_check(j.end != boot_end::reset, "the installer reset the board");
    fuzz_check(j.image_select.empty() && j.booted_image.empty(), "boot-selection byte written");
    fuzz_check(fake_mtd::refused_erases() == 0, "erase outside a partition or off block boundaries");
    struct stat st {};
    fuzz_check(stat(slot_path(1).c_str(), &st) != 0 && stat(slot_path(2).c_str(), &st) != 0,
               "a slot file written with the download booted");
    for (const board_partition& p : board_partitions())
        check_partition(p);
    if (j.end == boot_end::launched) {
        check_launch(image, j);
        return 0;
    }
    fuzz_check(j.result == 0 || j.result == 1, "result other than 0 or 1");
    fuzz_check(read_path(APP_ARCHIVE).empty(), "archive content without a launch");
    component_layout c{};
    const bool first_is_bootable_app = image.size() >= COMPONENT_PROBE_SIZE &&
                                       component_from_probe(image.data()).type == TYPE_APPLICATION &&
                                       component_from_probe(image.data()).sane && bootable_at(image, 0, &c);
    fuzz_check(!first_is_bootable_app, "a good application at the image's start was not launched");
    return 0;
}
