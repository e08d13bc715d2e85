// Fuzz target: the heart of extraction, on an image slot file's bytes. The
// component walk (parse_image, both header forms), the CRC test and the
// payload copy into the archive (extract_component), and CheckCrc on the
// component found. The first input byte holds options: bit 0 repairs the
// crc words first, so that the runs also reach the copy.
//
// Checked: a component reported copied is whole in the file, its CRC
// (computed bit by bit here) is the stored one, and the archive holds
// exactly its payload; one reported without component has no bootable
// component at the walk's stop; a CRC failure really is one.
#include <cstdio>
#include <cstring>
#include <vector>

#include "boot/launch.h"
#include "image/crc.h"
#include "image/image.h"
#include "support.h"

namespace {

constexpr std::uint8_t OPT_REPAIR_CRC = 1;

scratch_file& slot_file()
{
    static scratch_file f("slot");
    return f;
}

scratch_file& archive_file()
{
    static scratch_file f("archive");
    return f;
}

bool bootable(std::uint32_t type)
{
    return type == TYPE_APPLICATION || type == TYPE_DIAGNOSTICS;
}

// Whether the component at `start` is whole in the image and its stored
// crc is the one computed bit by bit.
bool component_good(std::span<const std::uint8_t> image, std::uint64_t start, const component_layout& c)
{
    if (start > image.size() || c.total < 4 || c.total > image.size() - start)
        return false;
    return gen_crc_bitwise(image.data() + start + 4, c.total - 4, 0xFFFFFFFFu) == c.header.crc;
}

void check_copied(std::span<const std::uint8_t> image, std::uint64_t start, const component_layout& c)
{
    fuzz_check(bootable(c.type), "copied a component that is not bootable");
    fuzz_check(c.sane, "copied an implausible component");
    fuzz_check(component_good(image, start, c), "copied a component whose crc is wrong");
    fuzz_check(CheckCrc(image.data() + start + 4, c.total - 4, c.header.crc) == 0, "CheckCrc refuses it");
    std::vector<std::uint8_t> archive(image.size() + 1);
    const std::size_t n = archive_file().read_all(archive.data(), archive.size());
    fuzz_check(n == c.header.len, "archive size is not the payload length");
    fuzz_check(std::memcmp(archive.data(), image.data() + start + c.payload_offset, n) == 0,
               "archive differs from the payload");
}

void run_extraction(std::span<const std::uint8_t> image)
{
    slot_file().refill(image);
    archive_file().resize(0);
    FILE* src = fdopen(dup(slot_file().fd()), "rb");
    fuzz_check(src != nullptr, "fdopen");
    component_layout c{};
    const extract_result r = extract_component(src, archive_file().fd(), &c);
    const long at = std::ftell(src);
    std::fclose(src);
    fuzz_check(at >= 0 && static_cast<std::uint64_t>(at) <= image.size(), "stream left outside the file");
    const auto start = static_cast<std::uint64_t>(at);
    switch (r) {
    case extract_result::copied:
        check_copied(image, start, c);
        break;
    case extract_result::crc_failed:
        fuzz_check(bootable(c.type) && c.sane, "crc test of a component that is not bootable");
        fuzz_check(!component_good(image, start, c), "good component reported as crc failure");
        break;
    case extract_result::no_component:
        fuzz_check(!(c.sane && bootable(c.type)), "walk stopped on a bootable component and reported none");
        break;
    case extract_result::write_failed:
        fuzz_fail("archive write failed on a memory file");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    input_reader in({data, size});
    const std::uint8_t options = in.byte();
    std::vector<std::uint8_t> image(in.rest().begin(), in.rest().end());
    if (options & OPT_REPAIR_CRC)
        repair_component_crcs(image);
    run_extraction(image);
    return 0;
}
