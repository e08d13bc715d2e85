// The boot paths' two ends caught for the fuzz targets (see seam.h). The
// names below are the linker's names of the wrapped functions with the
// prefixes that `--wrap` gives them: __wrap_X receives the calls to X, and
// __real_X is the real X.
#include "seam.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include "support.h"

namespace {

// Global, not local to run_boot_path: what is written between setjmp and
// longjmp must not live in registers that the jump restores.
boot_journal journal;
std::jmp_buf* way_back = nullptr;
std::vector<int> descriptors_before;

std::vector<int> open_descriptors()
{
    std::vector<int> fds;
    DIR* d = opendir("/proc/self/fd");
    fuzz_check(d != nullptr, "/proc/self/fd");
    const int own = dirfd(d);
    while (const dirent* e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        const int fd = std::atoi(e->d_name);
        if (fd != own)
            fds.push_back(fd);
    }
    closedir(d);
    std::sort(fds.begin(), fds.end());
    return fds;
}

// Whether a descriptor opened on the path stays open across the exec that
// starts the application.
bool descriptor_left_open()
{
    for (const int fd : open_descriptors()) {
        if (std::binary_search(descriptors_before.begin(), descriptors_before.end(), fd))
            continue;
        const int flags = fcntl(fd, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0)
            return true;
    }
    return false;
}

[[noreturn]] void back_to_harness(boot_end end)
{
    std::fflush(stdout);
    std::fflush(stderr);
    if (way_back == nullptr)
        fuzz_fail("a boot path ended outside run_boot_path");
    journal.end = end;
    std::longjmp(*way_back, 1);
}

} // namespace

extern "C" {

int __real__Z15run_rescue_modev();

// launch_image(bool)
[[noreturn]] void __wrap__Z12launch_imageb(bool diags)
{
    journal.diags = diags;
    journal.descriptor_left_open = descriptor_left_open();
    back_to_harness(boot_end::launched);
}

// board_reset()
[[noreturn]] void __wrap__Z11board_resetv()
{
    back_to_harness(boot_end::reset);
}

// api_set_image(std::uint8_t)
int __wrap__Z13api_set_imageh(std::uint8_t slot)
{
    journal.image_select.push_back(slot);
    return 3; // the bytes an EEPROM write sends
}

// api_set_booted_image(std::uint8_t)
int __wrap__Z20api_set_booted_imageh(std::uint8_t value)
{
    journal.booted_image.push_back(value);
    return 3;
}

// run_rescue_mode()
int __wrap__Z15run_rescue_modev()
{
    ++journal.rescue_menus;
    return __real__Z15run_rescue_modev();
}

} // extern "C"

boot_journal run_boot_path(int (*path)(void* arg), void* arg)
{
    journal = boot_journal{};
    descriptors_before = open_descriptors();
    std::jmp_buf here;
    way_back = &here;
    if (setjmp(here) == 0) {
        journal.result = path(arg);
        journal.end = boot_end::returned;
    }
    way_back = nullptr;
    return journal;
}
