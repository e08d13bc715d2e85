// Files on the USB stick: a stick pulled or a file rewritten while the
// program reads it. Reads of stick files (read, pread, and the input side of
// sendfile; the C library's streams read with internal calls and are not
// seen) are counted from 1 at each power-on, over all files of the stick
// and all threads. `usb_fail_read_at` N makes the Nth fail with EIO, as a
// medium that fails does; `usb_shrink_at` N cuts the file being read to
// `usb_shrink_to` bytes just before the Nth, as a file truncated or a stick
// pulled under the reader leaves it (a mapping of the lost pages would raise
// SIGBUS). While either is set, every counted read is traced.
#include "layer.h"
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace boardsim {

namespace {

constexpr size_t PATH_CAP = 512;

unsigned stick_reads;

bool stick_file(int fd, char* path, size_t cap)
{
    struct stat64 st;
    return fd >= 0 && fstat64(fd, &st) == 0 && S_ISREG(st.st_mode) && fd_path(fd, path, cap) &&
           path_below(path, "/mnt/usb/", "usb/");
}

} // namespace

bool stick_read_allowed(int fd, off64_t offset, size_t count)
{
    if (conf.usb_fail_read_at == 0 && conf.usb_shrink_at == 0)
        return true;
    int saved = errno;
    char path[PATH_CAP];
    if (!stick_file(fd, path, sizeof path)) {
        errno = saved;
        return true;
    }
    if (offset < 0)
        offset = lseek64(fd, 0, SEEK_CUR);
    unsigned op = __atomic_add_fetch(&stick_reads, 1u, __ATOMIC_SEQ_CST);
    trace("usb read %s off=0x%08llx len=%zu (#%u)", path, static_cast<unsigned long long>(offset), count, op);
    if (op == conf.usb_shrink_at) {
        int r = truncate64(path, static_cast<off64_t>(conf.usb_shrink_to));
        trace("usb shrink %s to %llu (read #%u)%s", path, static_cast<unsigned long long>(conf.usb_shrink_to),
              op, r == 0 ? "" : " failed");
    }
    if (op == conf.usb_fail_read_at) {
        trace("usb fail read %s #%u EIO", path, op);
        errno = EIO;
        return false;
    }
    errno = saved;
    return true;
}

} // namespace boardsim
