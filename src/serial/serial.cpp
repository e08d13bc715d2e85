// Switching the console port into the 115200 bit/s download mode and back,
// each time in a dialogue with the operator, and the byte primitives that
// the Xmodem receiver is built on.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "serial/serial_private.h"
#include "serial/xmodem.h"

// The port's settings as the last init_serial() found them.
struct termios oldtty {};

namespace {

constexpr const char* SERIAL_PORT = "/dev/ttyS0";
constexpr unsigned char KEY_CR = 0x0D;
constexpr unsigned char KEY_LF = 0x0A;
// A reminder is printed on every eleventh one-second pause.
constexpr int PAUSES_PER_REMINDER = 11;

// The settings used while a file is downloaded: 8N1 at 115200 bit/s, no
// input or output processing, no echo, no line editing, no signal keys.
struct termios download_settings(const struct termios& found)
{
    struct termios tty = found;
    cfsetispeed(&tty, B115200);
    cfsetospeed(&tty, B115200);
    tty.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE);
    tty.c_cflag |= CS8;
    tty.c_iflag = IGNBRK;
    tty.c_oflag = 0;
    tty.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ISIG);
    return tty;
}

void say(const char* text)
{
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// Sends what is queued, then drops whatever has arrived. After tcdrain the
// output side holds nothing on a UART, so only the input is flushed: on a
// console that is a pseudo-terminal, flushing the output too would throw
// away the messages just printed that the far end has not yet read.
void drain_and_flush(int fd)
{
    tcdrain(fd);
    tcflush(fd, TCIFLUSH);
}

// A descriptor that cannot be read at all (closed, never opened, or a
// terminal whose other side has gone away) would make the operator wait
// for ever: such a port ends the wait.
bool port_gone(int fd)
{
    return fd < 0 || errno == EBADF || errno == EIO;
}

// Waits, polling once a second, until the operator's Enter arrives as the
// given byte; every other byte is dropped and costs a pause like an empty
// read. Returns false when the port cannot be read.
bool wait_for_enter(int fd, unsigned char enter, const char* reminder)
{
    int pauses = 0;
    for (;;) {
        unsigned char c = 0;
        errno = 0;
        const ssize_t got = ::read(fd, &c, 1);
        if (got == 1 && c == enter)
            return true;
        if (got < 0 && port_gone(fd))
            return false;
        ::sleep(1);
        if (++pauses == PAUSES_PER_REMINDER) {
            pauses = 0;
            say(reminder);
        }
    }
}

} // namespace

int init_serial()
{
    const int fd = ::open(SERIAL_PORT, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        std::perror("Can't open serial port!");
        return -1;
    }
    say("       Change the baud rate to 115200 bps and hit the <ENTER> key\n"
        "       before initiating the download.\n");
    drain_and_flush(fd);
    tcgetattr(fd, &oldtty);
    const struct termios tty = download_settings(oldtty);
    tcsetattr(fd, TCSADRAIN, &tty);
    tcflow(fd, TCOON);
    wait_for_enter(fd, KEY_CR,
                   "\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r");
    return fd;
}

void reset_serial(int fd)
{
    // Nothing to restore on a port that was never opened.
    if (fd < 0)
        return;
    say("       Change the baud rate back to 9600 bps, hit the <ENTER> key\n");
    drain_and_flush(fd);
    tcsetattr(fd, TCSADRAIN, &oldtty);
    tcflow(fd, TCOON);
    wait_for_enter(fd, KEY_LF, "\r\n    ... Waiting for the <ENTER> key to be hit...\r");
}

int putByte(unsigned char c, int fd)
{
    return static_cast<int>(::write(fd, &c, 1));
}

int getByte(unsigned int timeout, unsigned char* c, int fd)
{
    const std::uint64_t attempts = static_cast<std::uint64_t>(timeout) * 1000U;
    for (std::uint64_t i = 0; i < attempts; ++i) {
        unsigned char got = 0;
        if (::read(fd, &got, 1) == 1) {
            *c = got;
            return 1;
        }
        ::usleep(1000);
    }
    return -1;
}

void flushRX(int fd)
{
    unsigned char c = 0;
    while (::read(fd, &c, 1) == 1) {
    }
}
