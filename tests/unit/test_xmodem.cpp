// Xmodem-1K receiver internals: the CRC-16/XMODEM table and fold, the
// block-data reader's bursts, silence rule and CRC over exactly the bytes
// read, and whole receptions over pipes whose input ends.
#include "serial/serial_private.h"
#include "serial/xmodem_private.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

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
        // A port just opened: nothing read ahead from an earlier one.
        forget_port_input(rd);
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

TEST(ReadData, WholeBlockWaitingReadsExactlyWantedAndLeavesTheRestToGetByte)
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
    EXPECT_EQ(getByte(1, &next, port.rd), 1);
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

constexpr unsigned char SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18;

std::vector<unsigned char> wire_block(unsigned char number, const std::vector<unsigned char>& data)
{
    std::vector<unsigned char> out(3 + data.size() + 2);
    out[0] = data.size() == 1024 ? STX : SOH;
    out[1] = number;
    out[2] = static_cast<unsigned char>(255 - number);
    std::copy(data.begin(), data.end(), out.begin() + 3);
    const std::uint16_t crc = crc_bitwise(data);
    out[3 + data.size()] = static_cast<unsigned char>(crc >> 8);
    out[4 + data.size()] = static_cast<unsigned char>(crc & 0xFF);
    return out;
}

// The two directions of a line as blocking pipes, the way a fuzz target or
// a test drives the reception: the sender writes `to_rx`, the receiver's
// answers come out of `answers`.
struct pipe_line {
    int rx_in = -1, to_rx = -1, rx_out = -1, answers = -1;
    pipe_line()
    {
        int a[2];
        int b[2];
        EXPECT_EQ(::pipe(a), 0);
        EXPECT_EQ(::pipe(b), 0);
        rx_in = a[0];
        to_rx = a[1];
        answers = b[0];
        rx_out = b[1];
    }
    ~pipe_line()
    {
        for (const int fd : {rx_in, to_rx, rx_out, answers})
            if (fd >= 0)
                ::close(fd);
    }
    void send(const std::vector<unsigned char>& bytes) const
    {
        ASSERT_EQ(::write(to_rx, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    void end_input()
    {
        ::close(to_rx);
        to_rx = -1;
    }
    // The receiver's next answer, skipping nothing; 0 when none comes.
    unsigned char answer() const
    {
        struct pollfd pfd = {answers, POLLIN, 0};
        unsigned char c = 0;
        if (::poll(&pfd, 1, 10000) == 1 && ::read(answers, &c, 1) == 1)
            return c;
        return 0;
    }
    // Everything the receiver has answered so far.
    std::vector<unsigned char> all_answers() const
    {
        std::vector<unsigned char> got;
        struct pollfd pfd = {answers, POLLIN, 0};
        unsigned char c = 0;
        while (::poll(&pfd, 1, 0) == 1 && ::read(answers, &c, 1) == 1)
            got.push_back(c);
        return got;
    }
};

struct received {
    int result = 0;
    std::vector<unsigned char> stored;
};

received receive(const pipe_line& line)
{
    std::FILE* out = std::tmpfile();
    EXPECT_NE(out, nullptr);
    received r;
    r.result = xmodem_receive(line.rx_in, line.rx_out, out);
    std::fflush(out);
    std::rewind(out);
    int c = 0;
    while ((c = std::fgetc(out)) != EOF)
        r.stored.push_back(static_cast<unsigned char>(c));
    std::fclose(out);
    return r;
}

// A sender that waits for each answer before its next step, the way a real
// one does (the receiver discards whatever waits when it acknowledges).
// Returns the answers it saw, in order.
std::vector<unsigned char> send_file(pipe_line& line, const std::vector<std::vector<unsigned char>>& blocks,
                                     bool second_eot)
{
    std::vector<unsigned char> seen = {line.answer()};
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        line.send(wire_block(static_cast<unsigned char>(i + 1), blocks[i]));
        seen.push_back(line.answer());
    }
    line.send({EOT});
    seen.push_back(line.answer());
    if (second_eot) {
        line.send({EOT});
        seen.push_back(line.answer());
    }
    line.end_input();
    return seen;
}

TEST(XmodemReceive, CompletesOverPipesWithMixedBlockSizes)
{
    pipe_line line;
    const std::vector<std::vector<unsigned char>> blocks = {pattern(128, 4), pattern(1024, 5),
                                                            pattern(128, 6)};
    std::vector<unsigned char> seen;
    std::thread sender([&] { seen = send_file(line, blocks, true); });
    const received r = receive(line);
    sender.join();
    EXPECT_EQ(r.result, 128 + 1024 + 128);
    std::vector<unsigned char> whole;
    for (const auto& b : blocks)
        whole.insert(whole.end(), b.begin(), b.end());
    EXPECT_EQ(r.stored, whole);
    EXPECT_EQ(seen, (std::vector<unsigned char>{'C', ACK, ACK, ACK, NAK, ACK}));
}

TEST(XmodemReceive, InputEndingAfterTheFirstEotCompletes)
{
    // The sender's EOT is answered with NAK; input that then ends is the
    // silence that completes the transfer, without waiting it out.
    pipe_line line;
    std::vector<unsigned char> seen;
    std::thread sender([&] { seen = send_file(line, {pattern(128, 7)}, false); });
    const received r = receive(line);
    sender.join();
    EXPECT_EQ(r.result, 128);
    EXPECT_EQ(r.stored, pattern(128, 7));
    EXPECT_EQ(seen, (std::vector<unsigned char>{'C', ACK, NAK}));
    EXPECT_EQ(line.all_answers(), std::vector<unsigned char>{ACK});
}

TEST(XmodemReceive, InputEndingBeforeAnyBlockCancelsInsteadOfInvitingForEver)
{
    pipe_line line;
    line.send({'x', 'y', 0x7F});
    line.end_input();
    const received r = receive(line);
    EXPECT_EQ(r.result, 0);
    EXPECT_TRUE(r.stored.empty());
    EXPECT_EQ(line.all_answers(), (std::vector<unsigned char>{'C', 'C', CAN, CAN, CAN, CAN, CAN}));
}

TEST(XmodemReceive, InputEndingInsideABlockStoresNothingOfIt)
{
    pipe_line line;
    std::vector<unsigned char> partial = wire_block(1, pattern(1024, 8));
    partial.resize(3 + 600);
    line.send(partial);
    line.end_input();
    const received r = receive(line);
    EXPECT_EQ(r.result, 0);
    EXPECT_TRUE(r.stored.empty());
}

TEST(XmodemReceive, RepeatFollowedAtOnceByTheNextBlockLosesNeither)
{
    // A sender that answered a late invitation with a second copy of block
    // 1 has seen the first ACK and sends block 2 right behind the copy. Both
    // are read: the copy acknowledged and dropped, block 2 stored, so the
    // sender's EOT completes a whole file.
    pipe_line line;
    const std::vector<unsigned char> b1 = pattern(128, 12);
    const std::vector<unsigned char> b2 = pattern(128, 13);
    std::vector<unsigned char> seen;
    std::thread sender([&] {
        seen.push_back(line.answer());
        line.send(wire_block(1, b1));
        seen.push_back(line.answer());
        std::vector<unsigned char> both = wire_block(1, b1);
        const std::vector<unsigned char> next = wire_block(2, b2);
        both.insert(both.end(), next.begin(), next.end());
        line.send(both);
        seen.push_back(line.answer());
        seen.push_back(line.answer());
        line.send({EOT});
        seen.push_back(line.answer());
        line.send({EOT});
        seen.push_back(line.answer());
        line.end_input();
    });
    const received r = receive(line);
    sender.join();
    EXPECT_EQ(r.result, 256);
    std::vector<unsigned char> whole = b1;
    whole.insert(whole.end(), b2.begin(), b2.end());
    EXPECT_EQ(r.stored, whole);
    EXPECT_EQ(seen, (std::vector<unsigned char>{'C', ACK, ACK, ACK, NAK, ACK}));
}

TEST(XmodemReceive, NothingCarriesOverToTheNextReception)
{
    // The first line ends its input while the receiver has bytes read ahead
    // (a whole block and more); the next line, very likely on the same
    // descriptor numbers, must start clean and complete.
    {
        pipe_line first;
        std::vector<unsigned char> wire = wire_block(1, pattern(128, 9));
        const std::vector<unsigned char> more = wire_block(2, pattern(128, 10));
        wire.insert(wire.end(), more.begin(), more.end());
        first.send(wire);
        first.end_input();
        EXPECT_EQ(receive(first).result, 0);
    }
    pipe_line next;
    std::vector<unsigned char> seen;
    std::thread sender([&] { seen = send_file(next, {pattern(128, 11)}, true); });
    const received r = receive(next);
    sender.join();
    EXPECT_EQ(r.result, 128);
    EXPECT_EQ(r.stored, pattern(128, 11));
}

} // namespace
