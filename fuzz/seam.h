// The two ends of the boot manager that never return, launch_image and
// board_reset, caught for the fuzz targets that run a whole boot path.
//
// The targets that use this link with `-Wl,--wrap=` for those two
// functions (and for the boot-selection byte writers and the rescue menu,
// which are only recorded): every call that the boot manager's own code
// makes to them from another source file lands in seam.cpp instead, which
// notes the end and jumps back to run_boot_path. The boot manager itself is
// built and linked once, unchanged; only these test programs are linked
// differently.
//
// The jump leaves the frames between the path's start and its end without
// running their destructors. The paths call both ends only after closing
// their files and releasing their buffers (handles they still hold are
// empty), and LeakSanitizer (in libFuzzer, in the asan tree's replay)
// reports anything they would leave behind.
#pragma once

#include <cstdint>
#include <vector>

enum class boot_end {
    returned, // the path came back (to try something else)
    launched, // launch_image(diags)
    reset,    // board_reset()
};

struct boot_journal {
    boot_end end = boot_end::returned;
    int result = 0;     // what the path gave, when it came back
    bool diags = false; // launch_image's argument
    // Values written to the image-select byte and the booted-image byte,
    // in order.
    std::vector<std::uint8_t> image_select;
    std::vector<std::uint8_t> booted_image;
    int rescue_menus = 0; // runs of the rescue menu (the real one)
    // A descriptor opened on the path and still open, without close-on-exec,
    // when the application was started: it would reach the application.
    bool descriptor_left_open = false;
};

// Runs path(arg) to one of its ends. The boot-selection bytes are not
// written anywhere (the EEPROM is not there): their writes are recorded.
boot_journal run_boot_path(int (*path)(void* arg), void* arg);
