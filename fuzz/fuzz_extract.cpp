// Fuzz target: the heart of extraction, on an image slot file's bytes. The
// component walk (parse_image, both header forms), the CRC test and the
// payload copy into the archive (extract_component), and CheckCrc on the
// slot file over the component found. The first input byte holds options: bit 0 repairs the
// crc words first, so that the runs also reach the copy.
//
// Checked: a component reported copied is whole in the file, its CRC
// (computed bit by bit here) is the stored one, and the archive holds
// exactly its payload; one reported without component has no bootable
// component at the walk's stop; a CRC failure really is one; on any result
// but a copy the archive is untouched, and no staging file stays beside it.
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "boot/extract.h"
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

void remove_archive_dir();

// The archive's own directory (on the tmpfs /dev/shm when there is one),
// so that anything left beside it shows.
const std::string& archive_dir()
{
    // Never destroyed: the exit handler that removes it runs after the
    // static destructors.
    static const std::string& dir = *new std::string([] {
        char shm[] = "/dev/shm/fuzz-extract.XXXXXX";
        char tmp[] = "/tmp/fuzz-extract.XXXXXX";
        const char* made = mkdtemp(shm);
        made = made ? made : mkdtemp(tmp);
        if (made == nullptr)
            fuzz_fail("archive directory");
        std::atexit(remove_archive_dir);
        return std::string(made);
    }());
    return dir;
}

const std::string& archive_path()
{
    static const std::string& path = *new std::string(archive_dir() + "/archive");
    return path;
}

std::vector<std::uint8_t> read_archive(std::size_t cap)
{
    std::vector<std::uint8_t> bytes(cap);
    FILE* f = std::fopen(archive_path().c_str(), "rb");
    fuzz_check(f != nullptr, "archive missing");
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
    std::fclose(f);
    return bytes;
}

int entries_beside_archive()
{
    DIR* d = opendir(archive_dir().c_str());
    fuzz_check(d != nullptr, "archive directory");
    int n = 0;
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        n += name != "." && name != "..";
    }
    closedir(d);
    return n;
}

void remove_archive_dir()
{
    unlink(archive_path().c_str());
    rmdir(archive_dir().c_str());
}

constexpr char EARLIER_ARCHIVE[] = "earlier";

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
    fuzz_check(CheckCrc(slot_file().fd(), {start + 4, c.total - 4u}, c.header.crc) == 0,
               "CheckCrc refuses it");
    const std::vector<std::uint8_t> archive = read_archive(image.size() + 1);
    const std::size_t n = archive.size();
    fuzz_check(n == c.header.len, "archive size is not the payload length");
    fuzz_check(std::memcmp(archive.data(), image.data() + start + c.payload_offset, n) == 0,
               "archive differs from the payload");
}

void run_extraction(std::span<const std::uint8_t> image)
{
    slot_file().refill(image);
    FILE* earlier = std::fopen(archive_path().c_str(), "wb");
    fuzz_check(earlier != nullptr && std::fputs(EARLIER_ARCHIVE, earlier) >= 0 && std::fclose(earlier) == 0,
               "archive set-up");
    FILE* src = fdopen(dup(slot_file().fd()), "rb");
    fuzz_check(src != nullptr, "fdopen");
    component_layout c{};
    const extract_result r = extract_component(src, archive_path(), &c);
    const long at = std::ftell(src);
    std::fclose(src);
    fuzz_check(at >= 0 && static_cast<std::uint64_t>(at) <= image.size(), "stream left outside the file");
    const auto start = static_cast<std::uint64_t>(at);
    fuzz_check(entries_beside_archive() == 1, "a staging file stayed beside the archive");
    if (r != extract_result::copied) {
        const std::vector<std::uint8_t> archive = read_archive(sizeof EARLIER_ARCHIVE);
        fuzz_check(archive.size() == sizeof EARLIER_ARCHIVE - 1 &&
                       std::memcmp(archive.data(), EARLIER_ARCHIVE, archive.size()) == 0,
                   "a refused component changed the archive");
    }
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
