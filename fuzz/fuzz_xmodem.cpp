// Fuzz target: the Xmodem-1K reception (xmodem_receive) fed what a sender
// sends. The receiver reads a pipe and answers into another; this file's
// poll() (which takes the C library's place in the target binary) plays
// the sender's side of the line, so that nothing ever really waits:
//
//   - the sender's bytes are cut into pieces: a block (SOH or STX and the
//     bytes that follow it on the wire), or any other single byte;
//   - a patient sender sends its next pieces only once the receiver has
//     answered since its last ones (as lrzsz's sx does); while it has not,
//     a wait of the receiver finds the line silent and its time runs out at
//     once (poll gives 0);
//   - an eager sender sends a piece into every wait, answered or not (a
//     line where the sender is ahead, whose bytes the receiver's flushes
//     drop);
//   - when the pieces run out the line ends (the pipe's write end closes),
//     which ends every later wait at once.
//
// Input: one option byte, then the sender's bytes (recorded sx sessions in
// the corpus). Option bits 0-1: 0 patient, one piece per answer; 1 patient,
// up to 1 + (bits 2-4) pieces per answer; 2 eager; 3 patient with the whole
// rest sent at the first answer.
//
// Checked: the file holds exactly a run, in order, of the data of blocks
// that stood whole with a good CRC-16 in the sender's bytes; the result is
// the file's size on completion and 0 otherwise; the receiver never waits
// on anything but the line.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "serial/xmodem_private.h"
#include "support.h"

namespace {

constexpr unsigned char SOH = 0x01;
constexpr unsigned char STX = 0x02;

struct line_state {
    bool active = false;
    int rx_in = -1;   // the receiver reads here
    int to_rx = -1;   // the sender writes here
    int answers = -1; // the receiver's answers come out here
    std::span<const std::uint8_t> rest;
    int mode = 0;
    int burst = 1;
    bool answered = false;
    std::vector<unsigned char> seen_answers;
};
line_state line;

std::size_t piece_length(std::span<const std::uint8_t> bytes)
{
    if (bytes.empty())
        return 0;
    const std::size_t want = bytes[0] == SOH ? 133 : bytes[0] == STX ? 1029 : 1;
    return want < bytes.size() ? want : bytes.size();
}

void collect_answers()
{
    unsigned char buf[256];
    ssize_t n;
    while ((n = read(line.answers, buf, sizeof buf)) > 0) {
        line.seen_answers.insert(line.seen_answers.end(), buf, buf + n);
        line.answered = true;
    }
}

void end_line()
{
    if (line.to_rx >= 0)
        close(line.to_rx);
    line.to_rx = -1;
}

void send_pieces(int pieces)
{
    for (int i = 0; i < pieces && !line.rest.empty(); ++i) {
        const std::size_t n = piece_length(line.rest);
        fuzz_check(write(line.to_rx, line.rest.data(), n) == static_cast<ssize_t>(n), "line write");
        line.rest = line.rest.subspan(n);
    }
}

bool bytes_waiting(int fd)
{
    struct pollfd p = {fd, POLLIN, 0};
    const struct timespec zero = {0, 0};
    return syscall(SYS_ppoll, &p, 1, &zero, nullptr, sizeof(sigset_t)) == 1;
}

// The sender's turn at a wait of the receiver: 1 when the line then has
// something (or has ended), 0 for a silent line.
int sender_turn(int timeout_ms)
{
    collect_answers();
    if (line.to_rx < 0 || bytes_waiting(line.rx_in))
        return 1;
    if (timeout_ms == 0)
        return 0; // a flush looks at what is there and waits for nothing
    if (line.mode == 2 || line.answered) {
        line.answered = false;
        if (line.rest.empty()) {
            end_line();
            return 1;
        }
        send_pieces(line.mode == 0 ? 1 : line.mode == 3 ? 1 << 30 : line.burst);
        return 1;
    }
    return 0;
}

int real_poll(struct pollfd* fds, nfds_t n, int timeout_ms)
{
    struct timespec ts = {timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
    return static_cast<int>(
        syscall(SYS_ppoll, fds, n, timeout_ms < 0 ? nullptr : &ts, nullptr, sizeof(sigset_t)));
}

// The blocks that stand whole with a good CRC anywhere in the bytes, in order.
std::vector<std::span<const std::uint8_t>> good_blocks(std::span<const std::uint8_t> bytes)
{
    std::vector<std::span<const std::uint8_t>> found;
    for (std::size_t i = 0; i + 5 < bytes.size(); ++i) {
        const std::size_t size = bytes[i] == SOH ? 128 : bytes[i] == STX ? 1024 : 0;
        if (!size || i + 5 + size > bytes.size() || bytes[i + 1] + bytes[i + 2] != 255)
            continue;
        const std::span<const std::uint8_t> data = bytes.subspan(i + 3, size);
        std::uint16_t crc = 0;
        for (std::uint8_t b : data) {
            crc ^= static_cast<std::uint16_t>(b << 8);
            for (int k = 0; k < 8; ++k)
                crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
        }
        if (bytes[i + 3 + size] == (crc >> 8) && bytes[i + 4 + size] == (crc & 0xFF))
            found.push_back(data);
    }
    return found;
}

// Whether stored is the concatenation of a subsequence of the blocks.
bool made_of_blocks(const std::vector<std::uint8_t>& stored,
                    const std::vector<std::span<const std::uint8_t>>& blocks)
{
    std::set<std::size_t> reach = {0};
    for (const auto& b : blocks) {
        std::vector<std::size_t> more;
        for (std::size_t pos : reach)
            if (pos + b.size() <= stored.size() && std::memcmp(stored.data() + pos, b.data(), b.size()) == 0)
                more.push_back(pos + b.size());
        reach.insert(more.begin(), more.end());
    }
    return reach.count(stored.size()) != 0;
}

scratch_file& received_file()
{
    static scratch_file f("received");
    return f;
}

} // namespace

// GCC takes the caller's array for one it cannot see filled.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
extern "C" int poll(struct pollfd* fds, nfds_t n, int timeout_ms)
{
    if (!line.active)
        return real_poll(fds, n, timeout_ms);
    const bool on_line = fds != nullptr && n == 1 && fds[0].fd == line.rx_in;
    fuzz_check(on_line, "the receiver waits on something other than the line");
    if (sender_turn(timeout_ms) == 0) {
        fds[0].revents = 0;
        return 0;
    }
    return real_poll(fds, n, 0);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    silence_stdout();
    // The receiver's notes ("EOT", "CAN", "All done") go to stderr; campaigns
    // run with -close_fd_mask=2, which keeps libFuzzer's own reports.
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    input_reader in({data, size});
    const std::uint8_t options = in.byte();
    int to_rx[2];
    int answers[2];
    fuzz_check(pipe(to_rx) == 0 && pipe2(answers, O_NONBLOCK) == 0, "pipes");
    line = line_state{};
    line.rx_in = to_rx[0];
    line.to_rx = to_rx[1];
    line.answers = answers[0];
    line.rest = in.rest();
    line.mode = options & 3;
    line.burst = 1 + ((options >> 2) & 7);
    line.active = true;

    received_file().resize(0);
    FILE* out = fdopen(dup(received_file().fd()), "wb");
    fuzz_check(out != nullptr, "fdopen");
    const int result = xmodem_receive(line.rx_in, answers[1], out);
    line.active = false;
    std::fclose(out);
    end_line();
    for (int fd : {to_rx[0], answers[0], answers[1]})
        close(fd);

    std::vector<std::uint8_t> stored(size + 1);
    stored.resize(received_file().read_all(stored.data(), stored.size()));
    if (std::getenv("FUZZ_SHOW_OUTPUT")) {
        std::fprintf(stderr, "result %d, %zu bytes stored, answers:", result, stored.size());
        for (unsigned char c : line.seen_answers)
            std::fprintf(stderr, " %02x", c);
        std::fputc('\n', stderr);
    }
    fuzz_check(result == 0 || result == static_cast<int>(stored.size()), "result is not the bytes stored");
    fuzz_check(stored.size() % 128 == 0, "file holds a partial block");
    fuzz_check(made_of_blocks(stored, good_blocks(in.rest())),
               "file holds bytes that are not good block data");
    return 0;
}
