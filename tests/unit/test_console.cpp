// Console input: the line editor's text and echo for each key sequence, and
// uartGetC's handling of the terminal settings, signals and end of input.
#include "rescue/rescue.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include "console_capture.h"

namespace {

struct edit_result {
    std::string text;
    std::string echo;
};

edit_result edit(const std::string& keys, int size = 128)
{
    std::string buffer(static_cast<std::size_t>(size) + 8, '#');
    console_capture console(keys);
    char* returned = get_user_input(buffer.data(), size);
    edit_result r{buffer.c_str(), console.output()};
    EXPECT_EQ(returned, buffer.data());
    // Nothing beyond the given size is touched.
    EXPECT_EQ(buffer.substr(static_cast<std::size_t>(size)), std::string(8, '#'));
    return r;
}

const std::string BS = "\b";

TEST(GetUserInput, EnterAndLineEnds)
{
    auto r = edit("\r");
    EXPECT_EQ(r.text, "");
    EXPECT_EQ(r.echo, "\n");
    r = edit("ok\nrest");
    EXPECT_EQ(r.text, "ok");
    EXPECT_EQ(r.echo, "ok\n");
    r = edit(std::string("abc\x03", 4) + "more\r");
    EXPECT_EQ(r.text, "abc");
    EXPECT_EQ(r.echo, "abc <break>\n");
}

TEST(GetUserInput, CursorMovesAndInsertsInMiddle)
{
    // Left arrow twice, then X: inserted before "bc", which is redrawn.
    auto r = edit("abc\x1b[D\x1b[DX\r");
    EXPECT_EQ(r.text, "aXbc");
    EXPECT_EQ(r.echo, "abc" + BS + BS + "Xbc" + BS + BS + "\n");
    // Ctrl-A, then ESC [ 1 ; 5 C (ctrl-right) moves one place right.
    r = edit("abc\x01\x1b[1;5CX\r");
    EXPECT_EQ(r.text, "aXbc");
    EXPECT_EQ(r.echo, "abc" + BS + BS + BS + "a" + "Xbc" + BS + BS + "\n");
    // Ctrl-B / Ctrl-F, refused at the ends without echo.
    r = edit("\x02xy\x06\x02\x02\x02Z\r");
    EXPECT_EQ(r.text, "Zxy");
    EXPECT_EQ(r.echo, "xy" + BS + BS + "Zxy" + BS + BS + "\n");
}

TEST(GetUserInput, Deletions)
{
    auto r = edit("abc\x01\x04\r");
    EXPECT_EQ(r.text, "bc");
    EXPECT_EQ(r.echo, "abc" + BS + BS + BS + "bc " + BS + BS + BS + "\n");
    // BS in the middle: rest redrawn, old last place blanked.
    r = edit("abc\x02\x08\r");
    EXPECT_EQ(r.text, "ac");
    EXPECT_EQ(r.echo, "abc" + BS + BS + "c " + BS + BS + "\n");
    // DEL at the end, BS at the start does nothing and echoes nothing.
    r = edit("ab\x7f\x01\x08\r");
    EXPECT_EQ(r.text, "a");
    EXPECT_EQ(r.echo, "ab" + BS + " " + BS + BS + "\n");
    // Ctrl-D at the end of the text does nothing.
    r = edit("ab\x04\r");
    EXPECT_EQ(r.text, "ab");
    EXPECT_EQ(r.echo, "ab\n");
    // ESC followed by DEL deletes like BS.
    r = edit("ab\x1b\x7f\r");
    EXPECT_EQ(r.text, "a");
    EXPECT_EQ(r.echo, "ab" + BS + " " + BS + "\n");
}

TEST(GetUserInput, EscapeSequencesIgnored)
{
    auto r = edit("a\x1b[Ab\x1b[Bc\x1b[3~\r");
    EXPECT_EQ(r.text, "abc");
    EXPECT_EQ(r.echo, "abc\n");
    r = edit("\x1b"
             "a\r");
    EXPECT_EQ(r.text, "a");
    EXPECT_EQ(r.echo, "a\n");
    // ESC ESC [ D: the second ESC starts the sequence afresh.
    r = edit("ab\x1b\x1b[DX\r");
    EXPECT_EQ(r.text, "aXb");
}

TEST(GetUserInput, ControlBytesRefusedEightBitInserted)
{
    auto r = edit(std::string("a\tb\0c\xe9\r", 7));
    EXPECT_EQ(r.text, "abc\xe9");
    EXPECT_EQ(r.echo, "a\ab\ac\xe9\n");
}

TEST(GetUserInput, RoomCounting)
{
    auto r = edit(std::string(128, 'x') + "\r");
    EXPECT_EQ(r.text, std::string(127, 'x'));
    EXPECT_EQ(r.echo, std::string(127, 'x') + "\a\n");
    // A deletion gives the room back.
    r = edit(std::string(17, 'm') + "\x7fyz\r", 18);
    EXPECT_EQ(r.text, std::string(16, 'm') + "y");
    EXPECT_EQ(r.echo.substr(r.echo.size() - 3), "y\a\n");
    r = edit("a\r", 1);
    EXPECT_EQ(r.text, "");
    EXPECT_EQ(r.echo, "\a\n");
}

TEST(GetUserInput, EndOfInputEndsLine)
{
    auto r = edit("ab");
    EXPECT_EQ(r.text, "ab");
    EXPECT_EQ(r.echo, "ab\n");
    EXPECT_TRUE(console_input_ended());
    r = edit("");
    EXPECT_EQ(r.text, "");
}

// A pseudo-terminal as descriptor 0, for uartGetC's terminal handling.
class pty_console : public ::testing::Test {
  protected:
    void SetUp() override
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        int slave = open(ptsname(master_), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave, 0);
        saved_in_ = dup(0);
        dup2(slave, 0);
        close(slave);
    }
    void TearDown() override
    {
        dup2(saved_in_, 0);
        close(saved_in_);
        close(master_);
    }
    int master_ = -1;
    int saved_in_ = -1;
};

void on_alarm(int) {}

bool same_settings(const termios& a, const termios& b)
{
    return a.c_lflag == b.c_lflag && a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

TEST_F(pty_console, ReadsOneKeyWithoutEnterAndRestoresSettings)
{
    termios before{};
    ASSERT_EQ(tcgetattr(0, &before), 0);
    ASSERT_TRUE(before.c_lflag & ICANON);
    ASSERT_EQ(write(master_, "\xe9", 1), 1); // no newline: canonical mode would wait
    EXPECT_EQ(uartGetC(), 0xe9);
    EXPECT_FALSE(console_input_ended());
    termios after{};
    ASSERT_EQ(tcgetattr(0, &after), 0);
    EXPECT_TRUE(same_settings(before, after));
}

TEST_F(pty_console, InterruptingSignalGivesZeroWithoutEndOfInput)
{
    struct sigaction sa {};
    sa.sa_handler = on_alarm; // no SA_RESTART: the read ends with EINTR
    struct sigaction old {};
    sigaction(SIGALRM, &sa, &old);
    termios before{};
    tcgetattr(0, &before);
    itimerval t{};
    t.it_value.tv_usec = 50000;
    setitimer(ITIMER_REAL, &t, nullptr);
    EXPECT_EQ(uartGetC(), 0);
    EXPECT_FALSE(console_input_ended());
    sigaction(SIGALRM, &old, nullptr);
    termios after{};
    tcgetattr(0, &after);
    EXPECT_TRUE(same_settings(before, after));
}

TEST_F(pty_console, HangupIsEndOfInput)
{
    close(master_);
    master_ = open("/dev/null", O_RDONLY); // keeps TearDown's close harmless
    EXPECT_EQ(uartGetC(), 0);
    EXPECT_TRUE(console_input_ended());
}

} // namespace
