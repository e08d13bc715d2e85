// Fuzz target: the console line editor. The input's first byte picks the
// line buffer size; the rest are the keys, delivered on descriptor 0
// through a pipe whose write end is closed, so the end of the keys ends the
// last line at once. Lines are read until the input is used up. Every line
// must be NUL-terminated inside its buffer and hold only the characters
// the editor inserts (32-126, 128-255).
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "rescue/rescue.h"
#include "support.h"

namespace {

// The callers' sizes (128, the MAC dialogue's 18) and the edges 1 and 2
// come up most often; any other size up to 256 is possible.
int buffer_size_from(std::uint8_t b)
{
    switch (b & 7) {
    case 0:
        return 128;
    case 1:
        return 18;
    case 2:
        return 1;
    case 3:
        return 2;
    default:
        return 1 + b;
    }
}

// Pipe capacity is at least 64 KiB; larger inputs are cut there so that
// the write never blocks.
constexpr std::size_t MAX_KEYS = 60000;

void keys_on_stdin(std::span<const std::uint8_t> keys)
{
    int p[2];
    fuzz_check(pipe(p) == 0, "pipe");
    std::size_t done = 0;
    while (done < keys.size()) {
        const ssize_t n = write(p[1], keys.data() + done, keys.size() - done);
        fuzz_check(n > 0, "pipe write");
        done += static_cast<std::size_t>(n);
    }
    close(p[1]);
    fuzz_check(dup2(p[0], 0) == 0, "pipe onto stdin");
    close(p[0]);
}

void check_line(const char* line, int size)
{
    const void* nul = std::memchr(line, '\0', static_cast<std::size_t>(size));
    fuzz_check(nul != nullptr, "line without NUL inside its buffer");
    for (const char* p = line; *p; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        fuzz_check(c >= 32 && c != 127, "control byte stored in the line");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    silence_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    input_reader in({data, size});
    const int buffer_size = buffer_size_from(in.byte());
    std::span<const std::uint8_t> keys = in.rest();
    if (keys.size() > MAX_KEYS)
        keys = keys.first(MAX_KEYS);
    keys_on_stdin(keys);
    // Exactly the buffer's size, so that ASan sees a write past its end.
    const auto line = std::make_unique<char[]>(static_cast<std::size_t>(buffer_size));
    std::size_t lines = 0;
    do {
        std::memset(line.get(), 'x', static_cast<std::size_t>(buffer_size));
        fuzz_check(get_user_input(line.get(), buffer_size) == line.get(), "result is not the buffer");
        check_line(line.get(), buffer_size);
        fuzz_check(++lines <= keys.size() + 1, "more lines than keys");
    } while (!console_input_ended());
    return 0;
}
