// Fuzz target: the boot from the image slots as the boot sequence runs it,
// extract_image on the selected slot, then (tried_alt_image set) on the
// other one, to its end: the launch, or the rescue menu and a reset, or a
// reset (seam.h). The slot files lie in /user/images and the application
// archive in /tmp, both private to the process (support.cpp).
//
// Input: one option byte, a 32-bit big-endian length n, then slot 1's file
// (its first n bytes, fewer when the input ends) and slot 2's file (the rest).
//   bit 0  the image-select byte names slot 2 (else slot 1)
//   bit 1  slot 1 has no file
//   bit 2  slot 2 has no file
//   bit 3  repair the crc words of both files first, to reach the launch
//   bit 4  gdb mode: the gdb executable is fetched from the other slot
//   bit 5  gdbserver mode (with bit 4: no fetch)
//
// Checked against a model of the choice: the same end (launch, reset, with
// or without the rescue menu); a launch only with the first bootable
// component of the file opened, whole and with a good crc (computed bit by
// bit), the archive exactly its payload, the diagnostics flag from its
// type, the booted-image byte set once to the slot opened, the image-select
// byte left alone, and no descriptor of the path left open for the
// application; without a launch no archive content; nothing else left in
// /tmp but the gdb files, and those only as the other slot's payload.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "boot/extract.h"
#include "boot/settings.h"
#include "boot/start.h"
#include "image/crc.h"
#include "image/image.h"
#include "seam.h"
#include "support.h"
#include "sys/paths.h"

namespace {

using bytes = std::vector<std::uint8_t>;

struct options {
    int first;
    bool absent[3]; // by slot number
    bool repair;
    bool gdb;
    bool gdbserver;
};

options options_from(std::uint8_t b)
{
    options o{};
    o.first = (b & 1) ? 2 : 1;
    o.absent[1] = (b & 2) != 0;
    o.absent[2] = (b & 4) != 0;
    o.repair = (b & 8) != 0;
    o.gdb = (b & 16) != 0;
    o.gdbserver = (b & 32) != 0;
    return o;
}

bool bootable(std::uint32_t type)
{
    return type == TYPE_APPLICATION || type == TYPE_DIAGNOSTICS;
}

// The component walk: the first bootable component, unless the walk ends
// (fewer than 20 bytes left) or meets a header it cannot step over first.
struct found_component {
    std::uint64_t start;
    component_layout layout;
};

std::optional<found_component> first_bootable(const bytes& file)
{
    for (std::uint64_t at = 0; at + COMPONENT_PROBE_SIZE <= file.size();) {
        const component_layout c = component_from_probe(file.data() + at);
        if (!c.sane)
            return std::nullopt;
        if (bootable(c.type))
            return found_component{at, c};
        at += c.total;
    }
    return std::nullopt;
}

bool whole_and_good(const bytes& file, const found_component& f)
{
    const component_layout& c = f.layout;
    return c.total >= 4 && c.total <= file.size() - f.start &&
           gen_crc_bitwise(file.data() + f.start + 4, c.total - 4, 0xFFFFFFFFu) == c.header.crc;
}

struct expectation {
    boot_end end;
    int rescue_menus;
    int opened; // the slot launched
    found_component component;
};

// One extract_image(n) by the model; nullopt when it comes back.
std::optional<expectation> attempt(const bytes (&files)[3], const options& o, int n, bool second_try)
{
    const int other = other_slot(n);
    const int opened = !o.absent[n] ? n : !o.absent[other] ? other : 0;
    if (opened == 0)
        return expectation{boot_end::reset, 1, 0, {}};
    const std::optional<found_component> f = first_bootable(files[opened]);
    if (!f) {
        if (second_try)
            return expectation{boot_end::reset, 1, 0, {}};
        return std::nullopt;
    }
    if (!whole_and_good(files[opened], *f)) {
        if (second_try)
            return expectation{boot_end::reset, 0, 0, {}};
        return std::nullopt;
    }
    return expectation{boot_end::launched, 0, opened, *f};
}

expectation expected_end(const bytes (&files)[3], const options& o)
{
    if (std::optional<expectation> e = attempt(files, o, o.first, false))
        return *e;
    if (std::optional<expectation> e = attempt(files, o, other_slot(o.first), true))
        return *e;
    fuzz_fail("the model's second try came back");
}

// The tail of the boot sequence: the selected slot, then the other one.
int boot_from_slots(void* arg)
{
    const int first = *static_cast<const int*>(arg);
    tried_alt_image = 0;
    if (extract_image(first) != 0)
        return 1;
    tried_alt_image = 1;
    extract_image(other_slot(first));
    return 2; // the second try never comes back
}

void clear_dir(const char* path)
{
    DIR* d = opendir(path);
    if (!d)
        return;
    while (const dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        const std::string p = std::string(path) + "/" + e->d_name;
        fuzz_check(unlink(p.c_str()) == 0, "a folder appeared in /tmp");
    }
    closedir(d);
}

std::vector<std::string> names_in(const char* path)
{
    std::vector<std::string> names;
    DIR* d = opendir(path);
    fuzz_check(d != nullptr, "directory");
    while (const dirent* e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    closedir(d);
    return names;
}

bool exists(const char* path)
{
    struct stat st {};
    return stat(path, &st) == 0;
}

void set_up(const bytes (&files)[3], const options& o)
{
    clear_dir("/tmp");
    mkdir(IMAGES_DIR, 0755);
    for (const int slot : {1, 2}) {
        const std::string path = slot_path(slot);
        unlink(path.c_str());
        if (!o.absent[slot])
            write_file(path.c_str(), files[slot]);
    }
    gdb_enable = o.gdb;
    gdbserver_enable = o.gdbserver;
    // The rescue menu reads its keys here: none, so it leaves at once.
    answer_on_stdin("");
}

// The GDB image's copy, when one is left with bytes in it, is the payload of
// the first component of the other slot's file (no walk, no crc for it).
void check_gdb_copy(const bytes (&files)[3], const options& o, int opened)
{
    if (!exists(GDB_ARCHIVE))
        return;
    fuzz_check(o.gdb && !o.gdbserver && opened != 0, "GDB image fetched without gdb mode");
    // The copy is created before the header is read: a refused header
    // leaves it empty.
    const bytes copy = read_path(GDB_ARCHIVE);
    if (copy.empty())
        return;
    const bytes& source = files[other_slot(opened)];
    fuzz_check(source.size() >= COMPONENT_PROBE_SIZE, "GDB image from a file without a header");
    const component_layout c = component_from_probe(source.data());
    fuzz_check(bootable(c.type) && c.sane && c.payload_offset + std::uint64_t{c.header.len} <= source.size(),
               "GDB image copied from an unusable component");
    fuzz_check(copy.size() == c.header.len &&
                   std::equal(copy.begin(), copy.end(), source.data() + c.payload_offset),
               "GDB image copy differs from the payload");
}

void check_tmp(bool launched)
{
    for (const std::string& name : names_in("/tmp")) {
        const std::string path = "/tmp/" + name;
        if (path == GDB_ARCHIVE || path == GDB_EXECUTABLE)
            continue;
        fuzz_check(path == APP_ARCHIVE, "a file other than the archive left in /tmp");
        if (!launched)
            fuzz_check(read_path(APP_ARCHIVE).empty(), "archive content without a launch");
    }
}

void check_launch(const bytes (&files)[3], const expectation& e, const boot_journal& j)
{
    const component_layout& c = e.component.layout;
    const bytes& file = files[e.opened];
    fuzz_check(j.diags == (c.type == TYPE_DIAGNOSTICS), "diagnostics flag is not the component's type");
    fuzz_check(j.booted_image == bytes{static_cast<std::uint8_t>(e.opened)},
               "booted-image byte is not the slot opened");
    fuzz_check(!j.descriptor_left_open, "a descriptor of the boot path is open at the launch");
    const bytes archive = read_path(APP_ARCHIVE);
    fuzz_check(
        archive.size() == c.header.len &&
            std::equal(archive.begin(), archive.end(), file.data() + e.component.start + c.payload_offset),
        "archive is not the payload of the component launched");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    silence_stdout();
    enter_private_root_or_skip("fuzz_extract_image", true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    input_reader in({data, size});
    const options o = options_from(in.byte());
    std::uint32_t first_size = 0;
    for (int i = 0; i < 4; ++i)
        first_size = first_size << 8 | in.byte();
    const std::span<const std::uint8_t> rest = in.rest();
    const std::size_t split = std::min<std::size_t>(first_size, rest.size());
    bytes files[3] = {{},
                      bytes(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(split)),
                      bytes(rest.begin() + static_cast<std::ptrdiff_t>(split), rest.end())};
    if (o.repair) {
        repair_component_crcs(files[1]);
        repair_component_crcs(files[2]);
    }
    set_up(files, o);

    int first = o.first;
    const boot_journal j = run_boot_path(boot_from_slots, &first);
    std::fflush(stdout);
    drain_stdin();

    const expectation e = expected_end(files, o);
    fuzz_check(j.end != boot_end::returned, "the boot from the slots came back");
    fuzz_check(j.end == e.end, "the boot ended otherwise than the choice");
    fuzz_check(j.rescue_menus == e.rescue_menus, "rescue menu run otherwise than the choice");
    fuzz_check(j.image_select.empty(), "image-select byte written by a boot");
    if (j.end == boot_end::launched)
        check_launch(files, e, j);
    else
        fuzz_check(j.booted_image.empty(), "booted-image byte written without a launch");
    check_tmp(j.end == boot_end::launched);
    check_gdb_copy(files, o, e.opened);
    return 0;
}
