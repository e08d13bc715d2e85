// The MAC address dialogue: the management port's hardware address, asked
// on the console and applied to the running interface with ifconfig.
#include <cstdio>
#include <cstring>

#include "boot/start.h"
#include "net/mgmt.h"
#include "rescue/rescue.h"
#include "sys/command.h"

namespace {

// 17 characters: exactly the six-pair form, plus the terminating NUL.
constexpr int MAC_LINE_SIZE = 18;
constexpr char MGMT_PORT = '0';

// Six colon-separated hexadecimal numbers of any width; what follows the
// sixth is not looked at.
bool has_six_hex_numbers(const char* text)
{
    unsigned int n[6];
    return std::sscanf(text, "%x:%x:%x:%x:%x:%x", &n[0], &n[1], &n[2], &n[3], &n[4], &n[5]) == 6;
}

} // namespace

int run_mac_config()
{
    char line[MAC_LINE_SIZE];
    for (;;) {
        std::fputs("MAC address (format nn:nn:nn:nn:nn:nn): ", stdout);
        std::fflush(stdout);
        get_user_input(line, sizeof line);
        if (console_input_ended() || sig_quit_raised || std::strcmp(line, "q") == 0)
            return 0;
        if (has_six_hex_numbers(line))
            break;
        std::puts("Invalid MAC address. Try again please");
    }
    // The text goes to ifconfig exactly as typed, but as one quoted word:
    // whatever follows the sixth number must not reach the shell as commands.
    run_command(strprintf("ifconfig eth%c hw ether %s\n", MGMT_PORT, shell_quote(line).c_str()));
    return 1;
}
