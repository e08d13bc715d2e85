#include "sys/files.h"

#include <unistd.h>

#include <cerrno>
#include <limits>

bool read_exact(int fd, std::uint64_t offset, std::span<std::uint8_t> out)
{
    // An offset beyond what off_t holds lies past the end of any file: with
    // a 32-bit off_t (the board) the cast would wrap it back into the file.
    constexpr auto off_max = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
    if (offset > off_max || out.size() > off_max - offset)
        return false;
    for (std::size_t got = 0; got < out.size();) {
        const ssize_t n = ::pread(fd, out.data() + got, out.size() - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

bool write_exact(int fd, std::span<const std::uint8_t> data)
{
    for (std::size_t put = 0; put < data.size();) {
        const ssize_t n = ::write(fd, data.data() + put, data.size() - put);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        put += static_cast<std::size_t>(n);
    }
    return true;
}
