// The EEPROM layer without a board: closed buses must fail cleanly with
// their messages, and the multiplexer must be bracketed around every
// access even when the access itself fails. A regular file standing in
// for bus 1 records the bytes written to it (the address ioctl fails on a
// plain file, so each access takes its error path).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "board/i2c.h"
#include "boot/start.h"
#include "sys/command.h"

namespace {

class I2cTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        api_i2c_close();
        char name[] = "/tmp/test_i2c_XXXXXX";
        bus1_ = ::mkstemp(name);
        ASSERT_GE(bus1_, 0);
        path_ = name;
    }
    void TearDown() override
    {
        api_i2c_close();
        ::close(bus1_);
        ::unlink(path_.c_str());
    }
    // Puts the recording file in place of bus 1 (a second descriptor, so
    // the layer may close its own).
    void attach_bus1() { i2c_file[1] = ::open(path_.c_str(), O_RDWR | O_APPEND); }
    std::vector<unsigned char> written() const
    {
        std::vector<unsigned char> bytes(64);
        const ssize_t n = ::pread(bus1_, bytes.data(), bytes.size(), 0);
        bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return bytes;
    }

    int bus1_ = -1;
    std::string path_;
};

using bytes = std::vector<unsigned char>;

// The error number that setting the address gives on this descriptor here
// (EBADF or ENOTTY natively; qemu-user answers ENOSYS to ioctls it does not
// translate).
int slave_errno(int fd)
{
    errno = 0;
    ::ioctl(fd, I2C_SLAVE, 0x54);
    return errno;
}

} // namespace

TEST_F(I2cTest, ClosedBusesGiveZeroAndSlotOne)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(api_get_image(), 0);
    EXPECT_EQ(api_get_usbboot(), 0);
    EXPECT_EQ(which_image(), 1);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string line = strprintf("I2C error when setting bus 1, device 0xa8: %d\n", slave_errno(-1));
    EXPECT_EQ(out, line + line + line);
}

TEST_F(I2cTest, BusNumbersOutsideTheThreeReachNoDescriptor)
{
    // Bus 1 is attached: a bad bus number must not land on it.
    attach_bus1();
    std::uint8_t buf[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    testing::internal::CaptureStdout();
    EXPECT_EQ(i2c_read(3, 0xA8, 0x100, 4, 2, buf), 0);
    EXPECT_EQ(i2c_read(-1, 0xA8, 0x100, 4, 2, buf), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    const int e = slave_errno(-1);
    EXPECT_EQ(out, strprintf("I2C error when setting bus 3, device 0xa8: %d\n", e) +
                       strprintf("I2C error when setting bus -1, device 0xa8: %d\n", e));
    EXPECT_EQ(buf[0], 0xAA);
    EXPECT_TRUE(written().empty());
}

TEST_F(I2cTest, FailedReadIsStillBracketedByTheMultiplexer)
{
    attach_bus1();
    std::uint8_t value = 0x55;
    testing::internal::CaptureStdout();
    get_vpd_offset(256, 1, &value);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(written(), (bytes{0x01, 0x00})) << "channel 0 selected, then all deselected";
    EXPECT_EQ(value, 0x55) << "a failed read leaves the buffer alone";
}

TEST_F(I2cTest, FailedAddressSettingWritesNothingButClearsTheMultiplexer)
{
    attach_bus1();
    testing::internal::CaptureStdout();
    const int r = api_set_image(2);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_LT(r, 0);
    EXPECT_EQ(out, strprintf("I2C error when setting bus 1: %d\n", slave_errno(bus1_)));
    EXPECT_EQ(written(), (bytes{0x01, 0x00})) << "no EEPROM bytes, mux selected and cleared";
}

TEST_F(I2cTest, MuxChannelMasks)
{
    attach_bus1();
    setup_mux(0);
    setup_mux(3);
    setup_mux(7);
    setup_mux(8);  // no such channel: disconnects all
    setup_mux(-1); // likewise
    clear_mux();
    EXPECT_EQ(written(), (bytes{0x01, 0x08, 0x80, 0x00, 0x00, 0x00}));
}

TEST_F(I2cTest, InitStopsAtFirstMissingBusAndCloseMarksAllClosed)
{
    if (::access("/dev/i2c-0", F_OK) == 0)
        GTEST_SKIP() << "this machine has a real i2c bus 0";
    attach_bus1();
    const int fd = i2c_file[1];
    testing::internal::CaptureStdout();
    EXPECT_EQ(api_i2c_init(), -1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "ERROR: driver /dev/i2c-0 couldn't be opened\n");
    EXPECT_EQ(i2c_file[0], -1);
    // Bus 1 was never tried this time; its old entry is still ours to close.
    i2c_file[1] = fd;
    EXPECT_EQ(api_i2c_close(), 0);
    EXPECT_EQ(i2c_file[0], -1);
    EXPECT_EQ(i2c_file[1], -1);
    EXPECT_EQ(i2c_file[2], -1);
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "the descriptor was closed";
}
