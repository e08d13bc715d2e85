// The flash layer without a board: refusal while no usable flash is known,
// whole-transfer semantics of the positioned reads and writes, and the
// trace texts. A regular file stands in for a partition; it answers pread
// and pwrite but no MTD ioctl, so erases and geometry queries fail on it.
// Read-modify-write on emulated MTD devices is covered on the simulated
// board (probe_flash).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "board/flash.h"

namespace {

class FlashTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char name[] = "/tmp/test_flash_XXXXXX";
        fd_ = ::mkstemp(name);
        ASSERT_GE(fd_, 0);
        path_ = name;
        content_.assign(4096, 0);
        for (std::size_t i = 0; i < content_.size(); ++i)
            content_[i] = static_cast<unsigned char>(i * 7 + 3);
        ASSERT_EQ(::pwrite(fd_, content_.data(), content_.size(), 0), 4096);
        theFlash = flash_device{"unknown", 0, 0, 0, 0};
        debug_read = debug_write = debug_erase = 0;
    }
    void TearDown() override
    {
        debug_read = debug_write = debug_erase = 0;
        theFlash = flash_device{"unknown", 0, 0, 0, 0};
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    std::vector<unsigned char> file() const
    {
        std::vector<unsigned char> now(8192);
        const ssize_t n = ::pread(fd_, now.data(), now.size(), 0);
        now.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return now;
    }
    static void geometry_128k()
    {
        theFlash = flash_device{"8MB w/64-128KB sectors", 64, 0x20000, 17, 0x800000};
    }
    // One block as large as the stand-in file.
    static void geometry_4k() { theFlash = flash_device{"0MB w/1-4KB sectors", 1, 0x1000, 12, 0x1000}; }

    int fd_ = -1;
    std::string path_;
    std::vector<unsigned char> content_;
};

} // namespace

TEST_F(FlashTest, NoUsableFlashRefusesEverythingSilently)
{
    std::vector<unsigned char> data(100, 0xAB);
    testing::internal::CaptureStdout();
    EXPECT_EQ(api_flash_read(data.data(), fd_, 0, 100), -1);
    EXPECT_EQ(api_flash_write(data.data(), fd_, 0, 100, 1), -1);
    EXPECT_EQ(api_flash_erase(fd_, 0, 100), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(data, std::vector<unsigned char>(100, 0xAB)) << "the read buffer is not touched";
    EXPECT_EQ(file(), content_) << "the device is not touched";
}

TEST_F(FlashTest, GeometryFailureLeavesTheRecordEmpty)
{
    flash_fd = fd_;
    testing::internal::CaptureStdout();
    EXPECT_EQ(mtd_type(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Could not get MTD device info \n");
    EXPECT_STREQ(theFlash.name, "unknown");
    EXPECT_EQ(theFlash.size, 0u);
    EXPECT_EQ(theFlash.sector_size, 0u);
    std::uint32_t size = 77;
    EXPECT_EQ(mtd_get_size(fd_, &size), 0);
    EXPECT_EQ(size, 77u) << "a failed query stores nothing";
}

TEST_F(FlashTest, InitWithoutDevicesGivesMinusOne)
{
    if (::access("/dev/mtd-kernel", F_OK) == 0)
        GTEST_SKIP() << "this machine has a kernel partition";
    testing::internal::CaptureStdout();
    EXPECT_EQ(api_flash_init(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Could not get MTD device info \n");
    EXPECT_LT(kernel_fd, 0);
    EXPECT_EQ(flash_fd, kernel_fd);
    EXPECT_EQ(theFlash.size, 0u);
}

TEST_F(FlashTest, TransfersMustMoveEveryByte)
{
    std::vector<unsigned char> buf(64, 0);
    EXPECT_EQ(mtd_read(fd_, 100, 64, buf.data()), 1);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), content_.begin() + 100));
    // Running past the end of the device gives fewer bytes: a failure, not
    // a success with bytes that never came from flash.
    EXPECT_EQ(mtd_read(fd_, 4096 - 10, 64, buf.data()), 0);
    EXPECT_EQ(mtd_read(-1, 0, 64, buf.data()), 0);
    EXPECT_EQ(mtd_write(fd_, 0, 4, "\x01\x02\x03\x04"), 1);
    EXPECT_EQ(mtd_write(-1, 0, 4, "\x01\x02\x03\x04"), 0);
    EXPECT_EQ(file()[2], 0x03);
}

TEST_F(FlashTest, ReadOfAWrappingSpanIsRefused)
{
    geometry_128k();
    std::vector<unsigned char> buf(32, 0x11);
    EXPECT_EQ(api_flash_read(buf.data(), fd_, 0xFFFFFFF0u, 32), -1);
    EXPECT_EQ(buf, std::vector<unsigned char>(32, 0x11));
    EXPECT_EQ(api_flash_read(buf.data(), fd_, 16, 32), 0);
    EXPECT_EQ(buf[0], content_[16]);
}

TEST_F(FlashTest, FailedEraseWritesNothingBack)
{
    // Without a partition size to check against, the transfers decide: the
    // block is read, the erase fails, and nothing is written over it.
    geometry_4k();
    const std::vector<unsigned char> data(16, 0xEE);
    testing::internal::CaptureStdout();
    EXPECT_EQ(api_flash_write(data.data(), fd_, 0x10, 16, 0), -1);
    EXPECT_EQ(api_flash_erase(fd_, 0, 1), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Flash Write mtd erase failed.\n\nFlash Erase mtd erase failed.\n");
    EXPECT_EQ(file(), content_);
}

TEST_F(FlashTest, ShortBlockReadNeverLeadsToAnErase)
{
    // The stand-in is 4096 bytes, far less than one 128 KiB block: the
    // block read comes back short, which must stop the write before the
    // erase (the message names the read, not the erase).
    geometry_128k();
    const std::vector<unsigned char> data(16, 0xEE);
    debug_erase = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(api_flash_write(data.data(), fd_, 0x10, 16, 0), -1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Flash Write mtd read failed.\n\n");
    EXPECT_EQ(file(), content_);
}

TEST_F(FlashTest, WrappingWriteIsRefusedBeforeAnyBlock)
{
    geometry_128k();
    const std::vector<unsigned char> data(0x40, 0xEE);
    testing::internal::CaptureStdout();
    EXPECT_EQ(api_flash_write(data.data(), fd_, 0xFFFFFFE0u, 0x40, 0), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Flash Write span outside the partition.\n");
    EXPECT_EQ(file(), content_);
}

TEST_F(FlashTest, TraceTexts)
{
    geometry_128k();
    std::vector<unsigned char> buf(16);
    debug_read = debug_write = debug_erase = 1;
    const auto addr = reinterpret_cast<unsigned long>(buf.data());
    char expected_read[160];
    std::snprintf(expected_read, sizeof expected_read,
                  "Flash Read 0x00000010 to 0x0000001f\nmtd read  0x00000010 to 0x0000001f 0x%08lx\n", addr);
    char expected_write[80];
    std::snprintf(expected_write, sizeof expected_write, "mtd write 0x00000020 to 0x0000002f 0x%08lx\n",
                  addr);

    testing::internal::CaptureStdout();
    flash_read(buf.data(), fd_, 16, 0x10);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected_read);

    testing::internal::CaptureStdout();
    mtd_write(fd_, 0x20, 16, buf.data());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected_write);

    testing::internal::CaptureStdout();
    mtd_erase(fd_, 0x20000, 0x20000);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "mtd erase 0x00020000 to 0x0003ffff\n");

    // From the middle of block 0 to the middle of block 2: three blocks.
    testing::internal::CaptureStdout();
    flash_erase(fd_, 0x40000, 0x10000);
    const std::string erase = testing::internal::GetCapturedStdout();
    EXPECT_EQ(erase.substr(0, erase.find('\n') + 1),
              "Flash Erase 0x00010000 to 0x0004ffff (0x00000000 to 0x0005ffff) 3\n");

    testing::internal::CaptureStdout();
    flash_write(buf.data(), fd_, 0, 0x20000, 0);
    const std::string write = testing::internal::GetCapturedStdout();
    EXPECT_EQ(write.substr(0, write.find('\n') + 1),
              "Flash Write 0x00020000 to 0x0001ffff (0x00020000 to 0x0001ffff) 0\n")
        << "count 0 at a block boundary touches no block";
}

TEST_F(FlashTest, SpanWriterRefusesBytesBeyondOrShortOfTheSpan)
{
    geometry_4k();
    // No block touched (count 0 at a block boundary): only the progress line.
    {
        testing::internal::CaptureStdout();
        flash_span_writer empty(fd_, 0, 0, 1);
        ASSERT_TRUE(empty.ok());
        EXPECT_FALSE(empty.write(std::vector<std::uint8_t>(1, 0xEE))) << "a byte the span does not hold";
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "     ");
    }
    // The span's bytes stop coming half-way: the block was read, but nothing
    // is erased or written, and no message speaks of the device.
    testing::internal::CaptureStdout();
    flash_span_writer half(fd_, 0x10, 16, 0);
    ASSERT_TRUE(half.ok());
    EXPECT_TRUE(half.write(std::vector<std::uint8_t>(8, 0xEE)));
    EXPECT_FALSE(half.finish());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(file(), content_);
}

TEST_F(FlashTest, SpanWriterChecksTheWholeSpanFirst)
{
    geometry_128k();
    testing::internal::CaptureStdout();
    const flash_span_writer wrapping(fd_, 0xFFFFFFE0u, 0x40, 1);
    EXPECT_FALSE(wrapping.ok());
    theFlash.size = 0;
    const flash_span_writer no_flash(fd_, 0, 16, 1);
    EXPECT_FALSE(no_flash.ok());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Flash Write span outside the partition.\n");
    EXPECT_EQ(file(), content_);
}
