// Board-side check of the serial download mode: calls the port operations
// directly and reports what they did, so the tests can read the console
// terminal's settings while the program waits for the operator.
//
//   probe_serial enter   init_serial, then reset_serial
//   probe_serial bytes   init_serial, the byte primitives, reset_serial
//   probe_serial noport  init_serial on a missing port, reset_serial(-1)
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "serial/serial_private.h"
#include "serial/xmodem.h"

namespace {

constexpr useconds_t PHASE_MARK_US = 7;

// In download mode output processing is off: end lines with CR LF.
void report(const char* text)
{
    std::printf("%s\r\n", text);
    std::fflush(stdout);
}

int run_enter()
{
    const int fd = init_serial();
    std::printf("init_serial=%s\r\n", fd >= 0 ? "open" : "failed");
    std::fflush(stdout);
    if (fd < 0)
        return 1;
    // A sleep of its own length marks, in the board's trace, where the
    // pauses of the first wait end and those of the second begin.
    ::usleep(PHASE_MARK_US);
    reset_serial(fd);
    report("reset_serial returned");
    ::close(fd);
    return 0;
}

// Waits for one byte into c and reports the result and what c then holds.
void report_get(const char* what, unsigned timeout, unsigned char& c, int fd)
{
    const int result = getByte(timeout, &c, fd);
    std::printf("%s result=%d byte=%c\r\n", what, result, c);
    std::fflush(stdout);
}

int run_bytes()
{
    const int fd = init_serial();
    if (fd < 0)
        return 1;
    unsigned char c = 'Z';
    report("silent");
    // Marks in the trace around each wait, as in run_enter.
    ::usleep(PHASE_MARK_US);
    report_get("getByte(3)", 3, c, fd);
    ::usleep(PHASE_MARK_US);
    report_get("getByte(0)", 0, c, fd);
    ::usleep(PHASE_MARK_US);
    report("send one");
    report_get("getByte(10)", 10, c, fd);
    report("send many");
    // The first byte shows the burst has arrived; the rest is dropped.
    report_get("getByte(10)", 10, c, fd);
    flushRX(fd);
    c = 'Z';
    report_get("after flushRX getByte(1)", 1, c, fd);
    flushRX(fd);
    report("flushRX on an empty line returned");
    std::printf("putByte=%d\r\n", putByte('!', fd));
    std::fflush(stdout);
    reset_serial(fd);
    report("reset_serial returned");
    ::close(fd);
    return 0;
}

int run_noport()
{
    const int fd = init_serial();
    std::printf("init_serial=%d\n", fd);
    reset_serial(-1);
    std::printf("reset_serial(-1) returned\n");
    return fd == -1 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    const char* mode = argc > 1 ? argv[1] : "";
    if (std::strcmp(mode, "enter") == 0)
        return run_enter();
    if (std::strcmp(mode, "bytes") == 0)
        return run_bytes();
    if (std::strcmp(mode, "noport") == 0)
        return run_noport();
    std::fprintf(stderr, "usage: probe_serial enter|bytes|noport\n");
    return 2;
}
