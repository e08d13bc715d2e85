// Switching the console port into the 115200 bit/s download mode and back,
// each time in a dialogue with the operator, and the byte primitives that
// the Xmodem receiver is built on.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
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

// Bytes read from the port ahead of the receiver. One read takes in all that
// is waiting, so a block of data costs a few system calls instead of one
// per byte. The buffer belongs to one descriptor; another descriptor, or the
// same number opened anew (init_serial), starts from empty.
struct port_reader {
    int fd = -1;
    bool ended = false;   // end of input or a port that cannot be read
    std::size_t head = 0; // next byte to hand out
    std::size_t tail = 0; // end of the bytes read
    unsigned char bytes[4096];
};
port_reader reader;

void use_port(int fd)
{
    if (reader.fd != fd)
        forget_port_input(fd);
}

long long now_ms()
{
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A read that fails for any reason but "nothing yet" or a signal means the
// port is gone (a terminal hung up, a closed descriptor).
bool read_failed_for_good()
{
    return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
}

// Waits up to wait_ms for the port to become readable, then reads all that
// is waiting into the empty buffer. Only ever reads after poll() has said
// there is something, so a blocking descriptor does not block either.
// False on time-out and at the end of input, which then ends every later
// wait at once instead of letting it run its time.
bool fill_reader(int fd, long long wait_ms)
{
    const long long deadline = now_ms() + wait_ms;
    for (long long left = wait_ms; !reader.ended; left = std::max(0LL, deadline - now_ms())) {
        struct pollfd pfd = {fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(std::min(left, 1LL << 30)));
        if (ready == 0)
            return false;
        if (ready < 0) {
            if (errno != EINTR)
                reader.ended = true;
            continue;
        }
        const ssize_t got = ::read(fd, reader.bytes, sizeof reader.bytes);
        if (got > 0) {
            reader.head = 0;
            reader.tail = static_cast<std::size_t>(got);
            return true;
        }
        if (got == 0 || read_failed_for_good())
            reader.ended = true;
        else if (left == 0)
            return false;
    }
    return false;
}

int take_buffered(std::span<unsigned char> dest)
{
    const std::size_t n = std::min(dest.size(), reader.tail - reader.head);
    std::copy_n(reader.bytes + reader.head, n, dest.begin());
    reader.head += n;
    return static_cast<int>(n);
}

} // namespace

int init_serial()
{
    const int fd = ::open(SERIAL_PORT, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        std::perror("Can't open serial port!");
        return -1;
    }
    forget_port_input(fd);
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
    forget_port_input(fd);
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
    return getBytes(timeout, {c, 1}, fd) == 1 ? 1 : -1;
}

int getBytes(unsigned int timeout, std::span<unsigned char> dest, int fd)
{
    if (timeout == 0 || dest.empty())
        return -1;
    use_port(fd);
    if (reader.head == reader.tail && !fill_reader(fd, static_cast<long long>(timeout) * 1000))
        return -1;
    return take_buffered(dest);
}

void flushRX(int fd)
{
    use_port(fd);
    reader.head = reader.tail = 0;
    while (!reader.ended && fill_reader(fd, 0))
        reader.head = reader.tail = 0;
}

bool port_input_ended(int fd)
{
    use_port(fd);
    return reader.ended && reader.head == reader.tail;
}

void forget_port_input(int fd)
{
    reader = port_reader{};
    reader.fd = fd;
}
