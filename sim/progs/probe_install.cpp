// Board-side driver of the installer: brings the board up as start-up does
// (signal flag, I2C, flash, user partition), then installs one image file
// and prints the installer's result.
//
//   probe_install PATH CHECK_VERSION SLOT [TIMES]   TIMES installs in a row
//   probe_install header TYPE SLOT    one stored header, as the version
//                                     list and the same-version test read it
#include <cstdio>
#include <cstdlib>
#include <string>

#include "board/flash.h"
#include "board/i2c.h"
#include "boot/start.h"
#include "image/image.h"
#include "sys/command.h"

namespace {

int show_stored_header(const char* type_text, const char* slot_text)
{
    const auto type = static_cast<std::uint32_t>(std::strtoul(type_text, nullptr, 0));
    std::uint8_t header[IMAGE_HEADER_SIZE];
    const int result = read_flash_image_header(type, header, std::atoi(slot_text));
    std::printf("header=");
    for (std::uint8_t b : header)
        std::printf("%02x", b);
    std::printf(" result=%d\n", result);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: probe_install PATH CHECK_VERSION SLOT | header TYPE SLOT\n");
        return 2;
    }
    bring_up_board();
    if (std::string(argv[1]) == "header")
        return show_stored_header(argv[2], argv[3]);
    const auto check_version = static_cast<std::uint8_t>(std::atoi(argv[2]));
    const int times = argc == 5 ? std::atoi(argv[4]) : 1;
    for (int i = 0; i < times; ++i) {
        const int result = processVireoImage(argv[1], check_version, std::atoi(argv[3]));
        std::printf("\nprocessVireoImage=%d\n", result);
    }
    return 0;
}
