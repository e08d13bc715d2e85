// Fuzz target: the boot of the rescue partition's image,
// extract_image_from_flash, read through the real flash layer from a
// memory-backed partition (fake_mtd), to its end (seam.h): back to the
// caller, or the launch, after the recovery prompt's answer for an
// application image (booted as it is, or installed into a slot first).
//
// Input: one option byte, then the rescue partition's bytes from offset 0
// (the rest of its 256 KiB reads as zero).
//   bits 0-2  the answer at the recovery prompt: end of input, Enter, "1",
//             "2", "q", "1" with no line end, "2" and a long line, a NUL
//   bits 3-4  erase-block size: 64 KiB, 4 KiB, 0, 12 KiB (the last two
//             make the flash unusable)
//   bit 5     repair the crc words first, to reach the launch
//
// Checked against the partition's bytes: a launch exactly when the flash is
// usable and the partition starts with a whole application or diagnostics
// component whose crc (computed bit by bit) is good; then the archive is
// its payload, the diagnostics flag its type, and the boot-selection bytes
// and the slot files are those the answer asks for (a slot installed holds
// exactly the component); no descriptor of the path left open for the
// application; never a reset; otherwise nothing written but an empty archive.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "board.h"
#include "board/flash.h"
#include "boot/extract.h"
#include "boot/start.h"
#include "image/crc.h"
#include "image/image.h"
#include "seam.h"
#include "support.h"
#include "sys/paths.h"

namespace {

using bytes = std::vector<std::uint8_t>;

// The rescue partition, smaller than the board's 10 MiB: a header whose
// length runs past the input makes the extraction read the partition to its
// end (zeros) before it refuses the crc, and 10 MiB of that per run holds
// the campaign at some 30 runs a second. Nothing else depends on the size.
constexpr std::uint32_t RESCUE_SIZE = 256u << 10;

struct options {
    std::string answer;
    std::uint32_t erase_size;
    bool repair;
};

options options_from(std::uint8_t b)
{
    static const char* const answers[8] = {"", "\n", "1\n", "2\n", "q\n", "1", "2xxxxxxxxxxxxxxxxxxxx\n", ""};
    static const std::uint32_t erase_sizes[4] = {65536, 4096, 0, 12288};
    options o{};
    o.answer = answers[b & 7];
    if ((b & 7) == 7)
        o.answer = std::string(1, '\0') + "\n";
    o.erase_size = erase_sizes[(b >> 3) & 3];
    o.repair = (b & 32) != 0;
    return o;
}

bool flash_usable(std::uint32_t erase_size)
{
    return erase_size != 0 && (erase_size & (erase_size - 1)) == 0;
}

bool bootable(std::uint32_t type)
{
    return type == TYPE_APPLICATION || type == TYPE_DIAGNOSTICS;
}

// The crc over bytes 4 to `total` of the partition: bit by bit over the
// input's bytes; the zeros after them (which the fuzzer does not choose)
// by the table, or a long component would cost a second per run.
std::uint32_t component_crc(const bytes& partition, std::size_t input_size, std::uint32_t total)
{
    const std::uint32_t chosen = static_cast<std::uint32_t>(std::min<std::size_t>(input_size, total));
    std::uint32_t crc = IMAGE_CRC_START;
    if (chosen > 4)
        crc = gen_crc_bitwise(partition.data() + 4, chosen - 4, crc);
    const std::uint32_t from = std::max<std::uint32_t>(chosen, 4);
    return gen_crc(partition.data() + from, total - from, crc);
}

// The partition's first component, when it is one to launch.
bool launchable(const bytes& partition, std::size_t input_size, const options& o, component_layout* c)
{
    *c = component_from_probe(partition.data());
    return flash_usable(o.erase_size) && bootable(c->type) && c->sane && c->total >= 4 &&
           c->total <= partition.size() && component_crc(partition, input_size, c->total) == c->header.crc;
}

int boot_rescue_partition(void*)
{
    return extract_image_from_flash();
}

void check_slots(const bytes& partition, const component_layout& c, int installed)
{
    for (const int slot : {1, 2}) {
        const bytes file = read_path(slot_path(slot).c_str());
        if (slot != installed) {
            fuzz_check(file.empty(), "a slot written that the answer did not name");
            continue;
        }
        fuzz_check(file.size() == c.total && std::equal(file.begin(), file.end(), partition.data()),
                   "the slot does not hold exactly the partition's component");
        fuzz_check(read_path(DOWNLOAD_FILE) == file, "the copy in /tmp differs from the slot");
    }
}

void check_launch(const bytes& partition, const options& o, const component_layout& c, const boot_journal& j)
{
    fuzz_check(j.diags == (c.type == TYPE_DIAGNOSTICS), "diagnostics flag is not the component's type");
    fuzz_check(!j.descriptor_left_open, "a descriptor of the boot path is open at the launch");
    const bytes archive = read_path(APP_ARCHIVE);
    fuzz_check(archive.size() == c.header.len &&
                   std::equal(archive.begin(), archive.end(), partition.data() + c.payload_offset),
               "archive is not the payload of the partition's component");
    const bytes rescue{BOOTED_RESCUE};
    int slot = 0;
    if (c.type == TYPE_DIAGNOSTICS) {
        fuzz_check(j.booted_image == rescue && j.image_select.empty(),
                   "boot-selection bytes of a diagnostics boot");
    } else if (o.answer.empty()) {
        fuzz_check(j.booted_image.empty() && j.image_select.empty(),
                   "boot-selection bytes written at end of input");
    } else if (o.answer[0] == '1' || o.answer[0] == '2') {
        slot = o.answer[0] - '0';
        const bytes chosen{static_cast<std::uint8_t>(slot)};
        fuzz_check(j.booted_image == chosen && j.image_select == chosen,
                   "boot-selection bytes are not the slot installed");
    } else {
        fuzz_check(j.booted_image == rescue && j.image_select.empty(),
                   "boot-selection bytes of a recovery image booted as it is");
    }
    check_slots(partition, c, slot);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    silence_stdout();
    enter_private_root_or_skip("fuzz_extract_from_flash", true);
    add_board_partitions(RESCUE_SIZE);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    input_reader in({data, size});
    const options o = options_from(in.byte());
    const std::span<const std::uint8_t> rest = in.rest();
    bytes partition(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(
                                                     std::min<std::size_t>(rest.size(), RESCUE_SIZE)));
    if (o.repair)
        repair_component_crcs(partition);
    reset_board(o.erase_size);
    fuzz_check(pwrite(rescue_fd, partition.data(), partition.size(), 0) ==
                   static_cast<ssize_t>(partition.size()),
               "rescue partition");
    const std::size_t input_size = partition.size();
    partition.resize(std::max<std::size_t>(partition.size(), COMPONENT_PROBE_SIZE), 0);
    // The shell's "mkdir ... &> /dev/null" runs in the background under a
    // shell without that redirection (dash): the folder is made here, so
    // that the copy after it does not race it.
    mkdir(IMAGES_DIR, 0755);
    unlink(APP_ARCHIVE);
    unlink(DOWNLOAD_FILE);
    answer_on_stdin(o.answer);

    const boot_journal j = run_boot_path(boot_rescue_partition, nullptr);
    std::fflush(stdout);
    drain_stdin();

    // What the partition holds past the input reads as zero.
    const component_layout probe = component_from_probe(partition.data());
    if (probe.sane && probe.total > partition.size() && probe.total <= RESCUE_SIZE)
        partition.resize(probe.total, 0);
    component_layout c{};
    const bool launch = launchable(partition, input_size, o, &c);
    fuzz_check(j.end != boot_end::reset, "the rescue partition's boot reset the board");
    if (!launch) {
        fuzz_check(j.end == boot_end::returned && j.result == 0, "launched a partition without a good image");
        fuzz_check(j.booted_image.empty() && j.image_select.empty(),
                   "boot-selection bytes written without a launch");
        fuzz_check(read_path(APP_ARCHIVE).empty(), "archive content without a launch");
        check_slots(partition, c, 0);
        return 0;
    }
    fuzz_check(j.end == boot_end::launched, "a good image in the rescue partition was not launched");
    check_launch(partition, o, c, j);
    return 0;
}
