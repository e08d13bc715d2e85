// Board-side driver of the console operations and the rescue menu, so that
// tests reach them through the real console terminal.
//
//   probe_console getc N      N single keys; each printed with the flags
//   probe_console line SIZE   one edited line, printed in hex and as text
//   probe_console rescue      the rescue menu, on a board brought up as
//                             start-up does; prints its result
//   probe_console diags       the diagnostics boot with its confirmation
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <termios.h>
#include <vector>

#include "board/flash.h"
#include "board/i2c.h"
#include "boot/launch.h"
#include "rescue/rescue.h"
#include "sys/command.h"

namespace {

bool same_terminal(const termios& a, const termios& b)
{
    return a.c_lflag == b.c_lflag && a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

int read_keys(int count)
{
    for (int i = 0; i < count; ++i) {
        std::printf("key? ");
        std::fflush(stdout);
        termios before{};
        termios after{};
        tcgetattr(0, &before);
        const int key = uartGetC();
        tcgetattr(0, &after);
        std::printf("\nkey=%d ended=%d sig=%d canon=%d echo=%d terminal=%s\n", key,
                    console_input_ended() ? 1 : 0, static_cast<int>(sig_quit_raised.load()),
                    (after.c_lflag & ICANON) ? 1 : 0, (after.c_lflag & ECHO) ? 1 : 0,
                    same_terminal(before, after) ? "restored" : "changed");
        sig_quit_raised = 0;
    }
    return 0;
}

int read_line(int size)
{
    std::vector<char> buffer(static_cast<std::size_t>(size) + 1, 'Z');
    std::printf("line> ");
    std::fflush(stdout);
    get_user_input(buffer.data(), size);
    std::string hex;
    for (const char* p = buffer.data(); *p; ++p)
        hex += strprintf("%02x", static_cast<unsigned char>(*p));
    std::printf("\nhex=[%s] text=[%s] len=%zu sig=%d\n", hex.c_str(), buffer.data(), std::strlen(buffer.data()),
                static_cast<int>(sig_quit_raised.load()));
    return 0;
}

void bring_up_board()
{
    api_i2c_init();
    api_flash_init();
    run_command("/bin/mount -o sync -t jffs2 /dev/mtd-user /user");
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: probe_console getc N | line SIZE | rescue | diags\n");
        return 2;
    }
    sig_init();
    const std::string mode = argv[1];
    if (mode == "getc")
        return read_keys(argc > 2 ? std::atoi(argv[2]) : 1);
    if (mode == "line")
        return read_line(argc > 2 ? std::atoi(argv[2]) : 128);
    bring_up_board();
    if (mode == "rescue") {
        const int r = run_rescue_mode();
        std::printf("run_rescue_mode=%d sig=%d\n", r, static_cast<int>(sig_quit_raised.load()));
        return 0;
    }
    if (mode == "diags") {
        const int r = run_standalone_diags();
        std::printf("run_standalone_diags=%d\n", r);
        return 0;
    }
    std::fprintf(stderr, "probe_console: unknown mode %s\n", mode.c_str());
    return 2;
}
