// Board-side driver of the console operations and the rescue menu, so that
// tests reach them through the real console terminal.
//
//   probe_console getc N      N single keys; each printed with the flags
//   probe_console line SIZE   one edited line, printed in hex and as text
//   probe_console rescue      the rescue menu, on a board brought up as
//                             start-up does; prints its result
//   probe_console diags       the diagnostics boot with its confirmation
//   probe_console line SIZE N N lines in a row
//
// A leading --detached puts /dev/null on standard input first: a console
// whose input has gone away. A leading --intr-key N makes byte N the
// terminal's interrupt key (as stty intr would), so that Ctrl-C can reach
// the line editor as a byte.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "board/flash.h"
#include "board/i2c.h"
#include "boot/start.h"
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

int read_line(int size, int count)
{
    for (int i = 0; i < count; ++i) {
        std::vector<char> buffer(static_cast<std::size_t>(size) + 1, 'Z');
        std::printf("line> ");
        std::fflush(stdout);
        get_user_input(buffer.data(), size);
        std::string hex;
        for (const char* p = buffer.data(); *p; ++p)
            hex += strprintf("%02x", static_cast<unsigned char>(*p));
        std::printf("\nhex=[%s] len=%zu sig=%d ended=%d\n", hex.c_str(), std::strlen(buffer.data()),
                    static_cast<int>(sig_quit_raised.load()), console_input_ended() ? 1 : 0);
        sig_quit_raised = 0;
    }
    return 0;
}

void set_interrupt_key(int key)
{
    termios t{};
    if (tcgetattr(0, &t) != 0)
        return;
    t.c_cc[VINTR] = static_cast<cc_t>(key);
    tcsetattr(0, TCSANOW, &t);
}

void detach_console()
{
    const int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    close(null_fd);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: probe_console getc N | line SIZE | rescue | diags\n");
        return 2;
    }
    sig_init();
    if (argc > 2 && std::string(argv[1]) == "--intr-key") {
        set_interrupt_key(std::atoi(argv[2]));
        argv += 2;
        argc -= 2;
    }
    if (argc > 1 && std::string(argv[1]) == "--detached") {
        detach_console();
        ++argv;
        --argc;
    }
    if (argc < 2)
        return 2;
    const std::string mode = argv[1];
    if (mode == "getc")
        return read_keys(argc > 2 ? std::atoi(argv[2]) : 1);
    if (mode == "line")
        return read_line(argc > 2 ? std::atoi(argv[2]) : 128, argc > 3 ? std::atoi(argv[3]) : 1);
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
