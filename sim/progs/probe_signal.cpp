// Board-side check of the interrupt flag: installs the handler as start-up
// does, then blocks reading the console. The interrupt key must end the
// read at once (no restart) and leave the program running with the flag
// set; it then reads once more so a second key can be seen too.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "boot/start.h"

int main()
{
    sig_init();
    for (int round = 1; round <= 2; ++round) {
        std::printf("waiting %d flag=%d\n", round, static_cast<int>(sig_quit_raised.load()));
        std::fflush(stdout);
        char c = 0;
        const ssize_t n = ::read(0, &c, 1);
        const int err = errno;
        std::printf("read=%d errno=%s flag=%d\n", static_cast<int>(n), n < 0 ? std::strerror(err) : "-",
                    static_cast<int>(sig_quit_raised.load()));
        sig_quit_raised = 0;
    }
    std::printf("still running\n");
    std::fflush(stdout);
    return 0;
}
