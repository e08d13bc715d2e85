// Board-side driver of the in-process Xmodem-1K receiver: receives one file
// over the console port and prints the receiver's result. With --rx it runs
// the external receiver between the same speed changes instead, so that a
// benchmark can time both over the same line.
//
//   probe_xmodem [--rx] PATH
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "serial/xmodem.h"
#include "sys/command.h"

namespace {

int run_external_rx(const char* path)
{
    const int fd = init_serial();
    if (fd < 0)
        return -1;
    run_command(strprintf("/usr/bin/rx %s", shell_quote(path).c_str()));
    reset_serial(fd);
    ::close(fd);
    return path_exists(path) ? 1 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--rx") == 0) {
        std::printf("rx result %d\n", run_external_rx(argv[2]));
        return 0;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: probe_xmodem [--rx] PATH\n");
        return 2;
    }
    std::printf("Xmodem1K result %d\n", Xmodem1K(argv[1]));
    return 0;
}
