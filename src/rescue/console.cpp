// Console input: single keys without echo (uartGetC), immediate output of one
// character (uartPutC), and the edited line reader with its own echo
// (get_user_input).
#include "rescue/rescue.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr unsigned char KEY_CTRL_A = 1;
constexpr unsigned char KEY_CTRL_B = 2;
constexpr unsigned char KEY_CTRL_C = 3;
constexpr unsigned char KEY_CTRL_D = 4;
constexpr unsigned char KEY_CTRL_F = 6;
constexpr unsigned char KEY_BEL = 7;
constexpr unsigned char KEY_BS = 8;
constexpr unsigned char KEY_LF = 10;
constexpr unsigned char KEY_CR = 13;
constexpr unsigned char KEY_ESC = 27;
constexpr unsigned char KEY_DEL = 127;

// Set when the last uartGetC found no more input: end of file on descriptor
// 0, or a read error other than an interrupting signal (a pseudo-terminal
// whose other side has closed reads as EIO).
bool input_ended = false;

// One read of one byte; waits once for input when descriptor 0 was left in
// non-blocking mode, so that a key is still awaited rather than missed.
ssize_t read_one_byte(unsigned char* byte)
{
    ssize_t n = read(0, byte, 1);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd pfd{0, POLLIN, 0};
        if (poll(&pfd, 1, -1) < 0)
            return -1;
        n = read(0, byte, 1);
    }
    return n;
}

bool read_ended_input(ssize_t n, int read_errno)
{
    if (n == 0)
        return true;
    return n < 0 && read_errno != EINTR && read_errno != EAGAIN && read_errno != EWOULDBLOCK;
}

void echo_text(const char* text, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        uartPutC(static_cast<unsigned char>(text[i]));
}

void echo_repeat(unsigned char c, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        uartPutC(c);
}

// The line being edited: text in buf (always NUL-terminated), its length,
// the cursor and the room left (buffer size minus length).
struct line_edit {
    char* buf;
    std::size_t len;
    std::size_t cursor;
    std::size_t room;
    int escape_state;
    bool done;
};

// After a deletion at the cursor: redraw the rest, blank the old last
// character, and bring the terminal cursor back.
void echo_rest_after_delete(const line_edit& e)
{
    std::size_t rest = e.len - e.cursor;
    echo_text(e.buf + e.cursor, rest);
    uartPutC(' ');
    echo_repeat(KEY_BS, rest + 1);
}

void delete_left(line_edit& e)
{
    if (e.cursor == 0)
        return;
    std::memmove(e.buf + e.cursor - 1, e.buf + e.cursor, e.len - e.cursor + 1);
    --e.cursor;
    --e.len;
    ++e.room;
    uartPutC(KEY_BS);
    echo_rest_after_delete(e);
}

void delete_under(line_edit& e)
{
    if (e.cursor >= e.len)
        return;
    std::memmove(e.buf + e.cursor, e.buf + e.cursor + 1, e.len - e.cursor);
    --e.len;
    ++e.room;
    echo_rest_after_delete(e);
}

void move_left(line_edit& e)
{
    if (e.cursor == 0)
        return;
    --e.cursor;
    uartPutC(KEY_BS);
}

void move_right(line_edit& e)
{
    if (e.cursor >= e.len)
        return;
    uartPutC(static_cast<unsigned char>(e.buf[e.cursor]));
    ++e.cursor;
}

void move_to_start(line_edit& e)
{
    echo_repeat(KEY_BS, e.cursor);
    e.cursor = 0;
}

void insert_char(line_edit& e, unsigned char c)
{
    if (e.room <= 1) {
        uartPutC(KEY_BEL);
        return;
    }
    std::memmove(e.buf + e.cursor + 1, e.buf + e.cursor, e.len - e.cursor);
    e.buf[e.cursor] = static_cast<char>(c);
    ++e.cursor;
    ++e.len;
    --e.room;
    uartPutC(c);
    std::size_t rest = e.len - e.cursor;
    echo_text(e.buf + e.cursor, rest);
    echo_repeat(KEY_BS, rest);
}

void end_line(line_edit& e, const char* echo)
{
    echo_text(echo, std::strlen(echo));
    e.done = true;
}

void handle_plain_key(line_edit& e, unsigned char c)
{
    switch (c) {
    case KEY_CR:
    case KEY_LF:
        end_line(e, "\n");
        return;
    case KEY_BS:
    case KEY_DEL:
        delete_left(e);
        return;
    case KEY_CTRL_D:
        delete_under(e);
        return;
    case KEY_CTRL_A:
        move_to_start(e);
        return;
    case KEY_CTRL_B:
        move_left(e);
        return;
    case KEY_CTRL_F:
        move_right(e);
        return;
    case KEY_CTRL_C:
        end_line(e, " <break>\n");
        return;
    case KEY_ESC:
        e.escape_state = 1;
        return;
    default:
        break;
    }
    if (c < 32)
        uartPutC(KEY_BEL);
    else
        insert_char(e, c);
}

void handle_after_escape(line_edit& e, unsigned char c)
{
    e.escape_state = 0;
    if (c == '[') {
        e.escape_state = 2;
        return;
    }
    handle_plain_key(e, c); // BS and DEL delete as in the normal state
}

// Inside ESC [ ...: parameters are swallowed, right and left move the
// cursor, every other final byte (up, down, ESC [ 3 ~ ...) does nothing.
void handle_control_sequence(line_edit& e, unsigned char c)
{
    if ((c >= '0' && c <= '9') || c == ';')
        return;
    e.escape_state = 0;
    if (c == 'C')
        move_right(e);
    else if (c == 'D')
        move_left(e);
}

void handle_key(line_edit& e, unsigned char c)
{
    if (e.escape_state == 1)
        handle_after_escape(e, c);
    else if (e.escape_state == 2)
        handle_control_sequence(e, c);
    else
        handle_plain_key(e, c);
}

} // namespace

bool console_input_ended()
{
    return input_ended;
}

int uartGetC()
{
    termios saved{};
    int have_saved = tcgetattr(0, &saved);
    if (have_saved == 0) {
        termios raw = saved;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        tcsetattr(0, TCSANOW, &raw);
    }
    unsigned char byte = 0;
    ssize_t n = read_one_byte(&byte);
    int read_errno = errno;
    if (have_saved == 0)
        tcsetattr(0, TCSANOW, &saved);
    input_ended = read_ended_input(n, read_errno);
    errno = read_errno;
    return n == 1 ? byte : 0;
}

int uartPutC(int c)
{
    putchar(static_cast<unsigned char>(c));
    return fflush(stdout);
}

char* get_user_input(char* buffer, int size)
{
    if (buffer == nullptr || size < 1)
        return buffer;
    std::memset(buffer, 0, static_cast<std::size_t>(size));
    line_edit e{buffer, 0, 0, static_cast<std::size_t>(size), 0, false};
    while (!e.done) {
        int key = uartGetC();
        if (key == 0 && input_ended) {
            // The console has gone: end the line with what was typed,
            // rather than echoing BEL for ever.
            end_line(e, "\n");
            break;
        }
        handle_key(e, static_cast<unsigned char>(key));
    }
    return buffer;
}
