// Xmodem-1K receiver internals: the CRC-16/XMODEM table and fold, and the
// block-data reader's bursts, silence rule and CRC over exactly the bytes read.
#include "serial/xmodem_private.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace {

std::uint16_t crc_of(const std::string& text)
{
    return crc16_update(0, {reinterpret_cast<const unsigned char*>(text.data()), text.size()});
}

// Bit-by-bit reference for the polynomial 0x1021, initial value 0.
std::uint16_t crc_bitwise(const std::vector<unsigned char>& data)
{
    unsigned int crc = 0;
    for (const unsigned char b : data) {
        crc ^= static_cast<unsigned int>(b) << 8;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) & 0xFFFF : (crc << 1) & 0xFFFF;
    }
    return static_cast<std::uint16_t>(crc);
}

// A non-blocking pipe standing in for the port: the reader sees exactly
// the bytes written, and a read with nothing waiting returns at once.
struct pipe_port {
    int rd = -1;
    int wr = -1;
    pipe_port()
    {
        int p[2];
        EXPECT_EQ(::pipe(p), 0);
        rd = p[0];
        wr = p[1];
        ::fcntl(rd, F_SETFL, ::fcntl(rd, F_GETFL) | O_NONBLOCK);
    }
    ~pipe_port()
    {
        ::close(rd);
        ::close(wr);
    }
    void send(const std::vector<unsigned char>& bytes) const
    {
        ASSERT_EQ(::write(wr, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
};

std::vector<unsigned char> pattern(std::size_t n, unsigned int seed)
{
    std::vector<unsigned char> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<unsigned char>((i * 31 + seed * 7 + (i >> 3)) & 0xFF);
    return v;
}

TEST(Crc16, TableMatchesBitwiseDefinition)
{
    EXPECT_EQ(crctab[0], 0x0000);
    EXPECT_EQ(crctab[1], 0x1021);
    EXPECT_EQ(crctab[2], 0x2042);
    EXPECT_EQ(crctab[3], 0x3063);
    EXPECT_EQ(crctab[255], 0x1EF0);
    for (unsigned int i = 0; i < 256; ++i)
        EXPECT_EQ(crctab[i], crc_bitwise({static_cast<unsigned char>(i)})) << "entry " << i;
}

TEST(Crc16, CheckValueAndFoldingInPieces)
{
    EXPECT_EQ(crc_of("123456789"), 0x31C3);
    EXPECT_EQ(crc_of(""), 0x0000);
    const std::vector<unsigned char> data = pattern(1024, 5);
    const std::uint16_t whole = crc16_update(0, data);
    const std::uint16_t first = crc16_update(0, {data.data(), 300});
    EXPECT_EQ(crc16_update(first, {data.data() + 300, data.size() - 300}), whole);
    EXPECT_EQ(whole, crc_bitwise(data));
}

TEST(ReadData, WholeBlockWaitingReadsExactlyWantedAndLeavesTheRest)
{
    pipe_port port;
    std::vector<unsigned char> block = pattern(1024, 1);
    std::vector<unsigned char> wire = block;
    wire.push_back(0xAB); // the CRC byte that follows must stay unread
    port.send(wire);
    std::vector<unsigned char> dest(1024, 0);
    std::uint16_t crc = 0xFFFF;
    EXPECT_EQ(readData(dest.data(), 1024, &crc, port.rd), 1024);
    EXPECT_EQ(dest, block);
    EXPECT_EQ(crc, crc_bitwise(block));
    unsigned char next = 0;
    EXPECT_EQ(::read(port.rd, &next, 1), 1);
    EXPECT_EQ(next, 0xAB);
}

TEST(ReadData, BurstsSplitByShortPausesAreJoined)
{
    pipe_port port;
    const std::vector<unsigned char> block = pattern(128, 2);
    port.send({block.begin(), block.begin() + 50});
    std::thread late([&] {
        ::usleep(300 * 1000); // well inside the one-second wait for a byte
        port.send({block.begin() + 50, block.end()});
    });
    std::vector<unsigned char> dest(128, 0);
    std::uint16_t crc = 0;
    const int got = readData(dest.data(), 128, &crc, port.rd);
    late.join();
    EXPECT_EQ(got, 128);
    EXPECT_EQ(dest, block);
    EXPECT_EQ(crc, crc_bitwise(block));
}

TEST(ReadData, SilenceEndsShortDataWithCrcOfWhatCame)
{
    pipe_port port;
    const std::vector<unsigned char> part = pattern(100, 3);
    port.send(part);
    std::vector<unsigned char> dest(128, 0xEE);
    std::uint16_t crc = 0;
    EXPECT_EQ(readData(dest.data(), 128, &crc, port.rd), 100);
    EXPECT_EQ(crc, crc_bitwise(part));
    EXPECT_TRUE(std::equal(part.begin(), part.end(), dest.begin()));
    EXPECT_EQ(dest[100], 0xEE) << "nothing stored past the bytes read";
}

TEST(ReadData, NothingArrivingGivesZeroAndCrcZero)
{
    pipe_port port;
    unsigned char dest[16] = {};
    std::uint16_t crc = 0x1234;
    EXPECT_EQ(readData(dest, sizeof dest, &crc, port.rd), 0);
    EXPECT_EQ(crc, 0);
}

} // namespace
