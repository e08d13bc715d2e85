#include "sys/files.h"

#include <unistd.h>

#include <cerrno>
#include <limits>

namespace {

// Moves `size` bytes, step(done) moving some of the rest each time (its
// result as read(2) or write(2) gives it); a step that a signal interrupted
// is taken again, one that moves nothing or fails ends the transfer.
template <typename Step> bool transfer_all(std::size_t size, Step&& step)
{
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = step(done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

bool read_exact(int fd, std::uint64_t offset, std::span<std::uint8_t> out)
{
    // An offset beyond what off_t holds lies past the end of any file: with
    // a 32-bit off_t (the board) the cast would wrap it back into the file.
    constexpr auto off_max = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
    if (offset > off_max || out.size() > off_max - offset)
        return false;
    return transfer_all(out.size(), [&](std::size_t got) {
        return ::pread(fd, out.data() + got, out.size() - got, static_cast<off_t>(offset + got));
    });
}

bool write_exact(int fd, std::span<const std::uint8_t> data)
{
    return transfer_all(data.size(),
                        [&](std::size_t put) { return ::write(fd, data.data() + put, data.size() - put); });
}

bool close_file(file_ptr& f)
{
    return f && std::fclose(f.release()) == 0;
}
