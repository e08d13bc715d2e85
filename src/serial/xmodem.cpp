// The in-process Xmodem-1K receiver: one file over the console port in
// download mode, CRC-16 checked 128- and 1024-byte blocks, retransmission
// requests, and cancellation.
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <memory>
#include <vector>

#include "serial/serial_private.h"
#include "serial/xmodem.h"
#include "serial/xmodem_private.h"
#include "sys/files.h"

namespace {

constexpr unsigned char SOH = 0x01;
constexpr unsigned char STX = 0x02;
constexpr unsigned char EOT = 0x04;
constexpr unsigned char ACK = 0x06;
constexpr unsigned char NAK = 0x15;
constexpr unsigned char CAN = 0x18;
constexpr unsigned char CRC_INVITE = 'C';

constexpr unsigned int SMALL_BLOCK = 128;
constexpr unsigned int LARGE_BLOCK = 1024;

// Error bits of one pass of the receive loop.
constexpr int ERR_AFTER_EOT = 0x001;
constexpr int ERR_HEADER_TIMEOUT = 0x002;
constexpr int ERR_LONE_CAN = 0x004;
constexpr int ERR_CRC = 0x008;
constexpr int ERR_NO_DATA = 0x010;
constexpr int ERR_BLOCK_ZERO = 0x020;
constexpr int ERR_SEQUENCE = 0x040;
constexpr int ERR_COMPLEMENT = 0x080;
constexpr int ERR_EARLY_ACK = 0x100;

// Seconds to wait for the first block header, then for every later one.
constexpr unsigned int FIRST_HEADER_TIMEOUT = 1;
constexpr unsigned int HEADER_TIMEOUT = 5;
// Seconds to wait for the block number, its complement, each CRC byte and
// the byte after a CAN.
constexpr unsigned int FIELD_TIMEOUT = 3;
constexpr unsigned int EOT_ANSWER_TIMEOUT = 5;
constexpr int MAX_CONSECUTIVE_ERRORS = 3;
constexpr int CANCEL_COUNT = 5;

// Stream buffer of the output file: the file reaches the system in pieces of
// this size instead of the C library's 4 KiB, so a download costs a sixteenth
// of the writes.
constexpr std::size_t FILE_BUFFER = std::size_t{64} * 1024;

// The one block buffer: every block's data lands here before it is written.
unsigned char buffer[LARGE_BLOCK];
int errorflag = 0;

constexpr std::array<std::uint16_t, 256> make_crctab()
{
    std::array<std::uint16_t, 256> table{};
    for (unsigned int i = 0; i < 256; ++i) {
        unsigned int crc = i << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
        table[i] = static_cast<std::uint16_t>(crc);
    }
    return table;
}

// State of one transfer.
struct transfer {
    int in = -1;     // where the sender's bytes come from
    int out_fd = -1; // where the answers go
    std::FILE* out = nullptr;
    unsigned char header = 0;     // header byte last read
    unsigned char last_block = 0; // so the first block must be number 1
    int consecutive_errors = 0;
    bool cancel = false;
    unsigned int header_timeout = FIRST_HEADER_TIMEOUT;
    bool received = false; // any block accepted
    long total = 0;
};

// Reads and drops bytes until the line has been quiet for `seconds`.
void drain_until_quiet(int fd, unsigned int seconds)
{
    unsigned char c = 0;
    while (getByte(seconds, &c, fd) == 1) {
    }
}

// Before the first block a sender's ACK or CAN means something; after it
// they are line noise like any other byte.
bool ends_header_wait(const transfer& x, unsigned char c)
{
    if (c == SOH || c == STX || c == EOT)
        return true;
    return !x.received && (c == ACK || c == CAN);
}

bool wait_for_header(transfer& x)
{
    unsigned char c = 0;
    while (getByte(x.header_timeout, &c, x.in) == 1) {
        if (ends_header_wait(x, c)) {
            x.header = c;
            return true;
        }
    }
    return false;
}

// EOT is answered with NAK; a real sender repeats it. Silence after the NAK
// also ends the transfer, with the header byte still EOT.
void handle_eot(transfer& x)
{
    std::fputs("EOT\n", stderr);
    flushRX(x.in);
    putByte(NAK, x.out_fd);
    unsigned char next = 0;
    if (getByte(EOT_ANSWER_TIMEOUT, &next, x.in) != 1)
        return;
    x.header = next;
    if (ends_header_wait(x, next))
        return;
    errorflag |= ERR_AFTER_EOT;
    x.header = 0;
}

// Two CANs in a row are the sender's cancel and end the reception; a lone
// CAN is an error of the pass.
void handle_can(transfer& x)
{
    std::fputs("CAN\n", stderr);
    unsigned char next = 0;
    if (getByte(FIELD_TIMEOUT, &next, x.in) == 1 && (next & 0x7F) == CAN) {
        x.cancel = true;
        return;
    }
    errorflag |= ERR_LONE_CAN;
}

// Reads a block's data into buffer and its CRC after it. The data must
// arrive whole and the CRC bytes must arrive and match; otherwise the pass
// is in error and the block is neither written nor acknowledged.
bool read_block_body(const transfer& x, unsigned int size)
{
    std::uint16_t crc = 0;
    const int got = readData(buffer, size, &crc, x.in);
    if (got == 0 || static_cast<unsigned int>(got) != size) {
        errorflag |= ERR_NO_DATA;
        return false;
    }
    unsigned char hi = 0;
    unsigned char lo = 0;
    if (getByte(FIELD_TIMEOUT, &hi, x.in) != 1 || getByte(FIELD_TIMEOUT, &lo, x.in) != 1 ||
        static_cast<std::uint16_t>((hi << 8) | lo) != crc) {
        errorflag |= ERR_CRC;
        return false;
    }
    return true;
}

// The sender stands idle from the end of a block until our ACK, so the ACK
// goes out as soon as the block is known to be good, and the block is
// written to the file while the sender is busy with its next one. The next
// block cannot overwrite buffer before that: it is read only after the write.
void receive_next_block(transfer& x, unsigned char number, unsigned int size)
{
    if (!read_block_body(x, size))
        return;
    x.consecutive_errors = 0;
    x.total += size;
    x.received = true;
    x.last_block = number;
    flushRX(x.in);
    putByte(ACK, x.out_fd);
    std::fwrite(buffer, 1, size, x.out);
}

// The last accepted block once more: the sender missed our ACK, or answered
// a late invitation with a second copy. It is read whole and acknowledged
// again without being stored. It is not dropped until the line is quiet: a
// sender that did see the first ACK is already sending its next block, and
// dropping that one too before this ACK would make the sender take the ACK
// for it, so that the block would be missing from the file unnoticed (and
// if it was the last one the transfer would even complete). A damaged copy
// is a bad reception like any other, answered with NAK.
void acknowledge_repeat(const transfer& x, unsigned int size)
{
    if (read_block_body(x, size))
        putByte(ACK, x.out_fd);
}

void receive_block(transfer& x, unsigned int size)
{
    if (!x.received) {
        x.consecutive_errors = 0;
        x.header_timeout = HEADER_TIMEOUT;
    }
    unsigned char number = 0;
    unsigned char complement = 0;
    // A number or complement that never came counts as a mismatch.
    if (getByte(FIELD_TIMEOUT, &number, x.in) != 1 || getByte(FIELD_TIMEOUT, &complement, x.in) != 1 ||
        number + complement != 255) {
        errorflag |= ERR_COMPLEMENT;
        return;
    }
    if (number == static_cast<unsigned char>(x.last_block + 1)) {
        receive_next_block(x, number, size);
    } else if (number == 0 && !x.received) {
        errorflag |= ERR_BLOCK_ZERO;
    } else if (number != x.last_block) {
        errorflag |= ERR_SEQUENCE;
        x.cancel = true;
    } else {
        acknowledge_repeat(x, size);
    }
}

// Before the first block every error is answered with a new invitation;
// after it, with a NAK once the line is quiet, until the third in a row.
void recover_from_error(transfer& x)
{
    if (errorflag == 0 || x.cancel)
        return;
    if (!x.received) {
        if (x.header != EOT)
            putByte(CRC_INVITE, x.out_fd);
        return;
    }
    if (++x.consecutive_errors >= MAX_CONSECUTIVE_ERRORS) {
        x.cancel = true;
        return;
    }
    flushRX(x.in);
    drain_until_quiet(x.in, 2);
    putByte(NAK, x.out_fd);
}

void receive_pass(transfer& x)
{
    errorflag = 0;
    if (!wait_for_header(x)) {
        errorflag |= ERR_HEADER_TIMEOUT;
    } else if (x.header == EOT) {
        handle_eot(x);
    } else if (x.header == CAN) {
        handle_can(x);
    } else if (x.header == ACK) {
        errorflag |= ERR_EARLY_ACK;
    } else {
        receive_block(x, x.header == STX ? LARGE_BLOCK : SMALL_BLOCK);
    }
    recover_from_error(x);
}

void send_cancel(const transfer& x)
{
    for (int i = 0; i < CANCEL_COUNT; ++i)
        putByte(CAN, x.out_fd);
    flushRX(x.in);
    drain_until_quiet(x.in, 2);
}

// Gives the console back to the operator and closes the port.
void leave_download_mode(int fd)
{
    reset_serial(fd);
    ::close(fd);
}

} // namespace

const std::array<std::uint16_t, 256> crctab = make_crctab();

std::uint16_t crc16_update(std::uint16_t crc, std::span<const unsigned char> bytes)
{
    for (const unsigned char b : bytes)
        crc = static_cast<std::uint16_t>((crc << 8) ^ crctab[((crc >> 8) ^ b) & 0xFF]);
    return crc;
}

int readData(unsigned char* dest, unsigned int wanted, std::uint16_t* crc, int fd)
{
    std::uint16_t sum = 0;
    *crc = sum;
    unsigned int total = 0;
    while (total < wanted) {
        // One pass: bytes as they come, each within a second of the last.
        unsigned int burst = 0;
        int got = 0;
        while (total + burst < wanted &&
               (got = getBytes(1, {dest + total + burst, wanted - total - burst}, fd)) > 0)
            burst += static_cast<unsigned int>(got);
        if (burst == 0)
            break;
        sum = crc16_update(sum, {dest + total, burst});
        total += burst;
    }
    *crc = sum;
    return static_cast<int>(total);
}

int xmodem_receive(int in_fd, int out_fd, std::FILE* out)
{
    // Nothing read ahead for an earlier reception or before the port was
    // last flushed may be taken for this one's bytes.
    forget_port_input(in_fd);
    errorflag = 0;
    transfer x;
    x.in = in_fd;
    x.out_fd = out_fd;
    x.out = out;
    flushRX(in_fd);
    putByte(CRC_INVITE, out_fd);
    do {
        receive_pass(x);
        // Input that has ended can bring no further block: only an EOT
        // already seen still completes the transfer.
        if (x.header != EOT && port_input_ended(in_fd))
            x.cancel = true;
    } while (x.header != EOT && !x.cancel);

    if (x.cancel) {
        send_cancel(x);
        return 0;
    }
    putByte(ACK, out_fd);
    std::fputs("All done\n", stderr);
    return static_cast<int>(x.total);
}

int Xmodem1K(const char* path)
{
    const int fd = init_serial();
    // Without a port there is nobody to invite: give up at once.
    if (fd < 0)
        return -1;
    std::vector<char> file_buffer(FILE_BUFFER); // declared first: outlives the stream
    const file_ptr out(std::fopen(path, "wb"));
    if (!out) {
        std::perror("Can't open file!");
        leave_download_mode(fd);
        return -1;
    }
    std::setvbuf(out.get(), file_buffer.data(), _IOFBF, file_buffer.size());
    const int result = xmodem_receive(fd, fd, out.get());
    leave_download_mode(fd);
    return result;
}
