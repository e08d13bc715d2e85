// MTD partitions: the board's flash files behave like NOR flash character
// devices. MEMGETINFO reports the configured geometry, MEMERASE sets whole
// erase blocks to 0xFF, and a write can only clear bits (new = old AND data),
// so data written without an erase first reads back corrupted, as on the
// real chips. Injected faults and the power cut count operations over all
// partitions of this power-on.
#include "layer.h"
#include <errno.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace boardsim {

namespace {

unsigned read_ops;
unsigned erase_ops;
unsigned write_ops;
unsigned change_ops; // erases and writes together, for the power cut

// The layer's own descriptors on the flash files, for programming and
// erasing (the program's descriptor may be synchronous or read-only).
// Stored as descriptor + 1 so that the zero-initialised table means "none".
int store_fds[PARTITIONS];

int store_fd(int part)
{
    if (store_fds[part] > 0)
        return store_fds[part] - 1;
    char rel[64];
    snprintf(rel, sizeof rel, "flash/%s.bin", partition_names[part]);
    const int fd = open_board_file(rel, O_RDWR, 0);
    if (fd < 0)
        return -1;
    store_fds[part] = fd + 1;
    return fd;
}

off64_t partition_size(int fd)
{
    struct stat64 st;
    return fstat64(fd, &st) == 0 ? st.st_size : 0;
}

bool writable(int fd)
{
    int fl = fcntl(fd, F_GETFL);
    return fl >= 0 && (fl & O_ACCMODE) != O_RDONLY;
}

int fail(int err)
{
    errno = err;
    return -1;
}

[[noreturn]] void power_cut(const char* what, int part, off64_t offset, unsigned op)
{
    trace("power-cut before %s %s off=0x%08llx (op #%u)", what, partition_names[part],
          static_cast<unsigned long long>(offset), op);
    cut_power();
}

// Programs `count` bytes at `offset` as NOR flash does: bits go from 1 to 0
// only.
bool program_bits(int part, off64_t offset, const std::uint8_t* data, size_t count)
{
    int fd = store_fd(part);
    if (fd < 0)
        return false;
    std::uint8_t old[4096];
    for (size_t done = 0; done < count;) {
        size_t piece = count - done < sizeof old ? count - done : sizeof old;
        ssize_t got = real.pread64(fd, old, piece, offset + static_cast<off64_t>(done));
        if (got != static_cast<ssize_t>(piece))
            return false;
        for (size_t i = 0; i < piece; ++i)
            old[i] &= data[done + i];
        if (real.pwrite64(fd, old, piece, offset + static_cast<off64_t>(done)) != static_cast<ssize_t>(piece))
            return false;
        done += piece;
    }
    return true;
}

bool fill_erased(int part, off64_t offset, std::uint64_t length)
{
    int fd = store_fd(part);
    if (fd < 0)
        return false;
    std::uint8_t ones[4096];
    memset(ones, 0xFF, sizeof ones);
    for (std::uint64_t done = 0; done < length;) {
        size_t piece = length - done < sizeof ones ? static_cast<size_t>(length - done) : sizeof ones;
        if (real.pwrite64(fd, ones, piece, offset + static_cast<off64_t>(done)) !=
            static_cast<ssize_t>(piece))
            return false;
        done += piece;
    }
    return true;
}

// The caller's buffer is copied to and from like the kernel does, byte by
// byte: it need not be aligned for the request's structure.
int get_info(int part, int fd, void* out)
{
    if (conf.geometry_fail) {
        trace("mtd getinfo %s EINVAL", partition_names[part]);
        return fail(EINVAL);
    }
    if (!out)
        return fail(EFAULT);
    mtd_info_user info;
    memset(&info, 0, sizeof info);
    info.type = MTD_NORFLASH;
    info.flags = MTD_CAP_NORFLASH;
    info.size = static_cast<std::uint32_t>(partition_size(fd));
    info.erasesize = conf.erase_size;
    info.writesize = 1;
    info.oobsize = 0;
    memcpy(out, &info, sizeof info);
    trace("mtd getinfo %s size=%u erasesize=%u", partition_names[part], info.size, info.erasesize);
    return 0;
}

// The checks of the kernel's erase path: a geometry to erase with, a span
// inside the partition, an empty span allowed, whole blocks only.
int erase_check(int fd, const erase_info_user* req)
{
    std::uint64_t size = static_cast<std::uint64_t>(partition_size(fd));
    std::uint64_t es = conf.erase_size;
    if (es == 0 || req->start >= size || req->length > size - req->start)
        return EINVAL;
    if (req->length == 0)
        return 0;
    if (req->start % es != 0 || req->length % es != 0)
        return EINVAL;
    return 0;
}

int erase(int part, int fd, const void* in)
{
    if (!in)
        return fail(EFAULT);
    erase_info_user copy;
    memcpy(&copy, in, sizeof copy);
    const erase_info_user* req = &copy;
    unsigned n = ++erase_ops;
    unsigned op = ++change_ops;
    if (conf.power_cut_at == op)
        power_cut("erase", part, req->start, op);
    if (conf.fail_erase_at == n) {
        trace("mtd fail erase %s #%u EIO", partition_names[part], n);
        return fail(EIO);
    }
    int err = writable(fd) ? erase_check(fd, req) : EPERM;
    if (err == 0 && !fill_erased(part, req->start, req->length))
        err = EIO;
    trace("mtd erase %s off=0x%08x len=%u%s%s", partition_names[part], req->start, req->length,
          err ? " " : "", err ? errno_name(err) : "");
    return err ? fail(err) : 0;
}

// Text of the open flags as the trace shows them.
void format_flags(char* out, size_t cap, int flags)
{
    int mode = flags & O_ACCMODE;
    snprintf(out, cap, "%s", mode == O_RDWR ? "O_RDWR" : mode == O_WRONLY ? "O_WRONLY" : "O_RDONLY");
    struct {
        int bit;
        const char* name;
    } const extra[] = {{O_SYNC, "O_SYNC"},     {O_CREAT, "O_CREAT"},       {O_TRUNC, "O_TRUNC"},
                       {O_APPEND, "O_APPEND"}, {O_NONBLOCK, "O_NONBLOCK"}, {O_CLOEXEC, "O_CLOEXEC"},
                       {O_EXCL, "O_EXCL"}};
    bool sync_shown = false;
    for (const auto& e : extra) {
        if ((flags & e.bit) != e.bit)
            continue;
        if (e.bit == O_SYNC)
            sync_shown = true;
        size_t len = strlen(out);
        snprintf(out + len, cap - len, "|%s", e.name);
    }
    if (!sync_shown && (flags & O_DSYNC) == O_DSYNC) {
        size_t len = strlen(out);
        snprintf(out + len, cap - len, "|O_DSYNC");
    }
}

} // namespace

void mtd_opened(int part, int flags)
{
    char text[128];
    format_flags(text, sizeof text, flags);
    trace("mtd open %s flags=%s", partition_names[part], text);
}

void mtd_closed(int) {}

ssize_t mtd_pread(int part, int fd, void* buf, size_t count, off64_t offset)
{
    unsigned n = ++read_ops;
    if (conf.fail_read_at == n) {
        trace("mtd fail read %s #%u EIO", partition_names[part], n);
        return fail(EIO);
    }
    ssize_t got = real.pread64(fd, buf, count, offset);
    int err = got < 0 ? errno : 0;
    trace("mtd read %s off=0x%08llx len=%zu%s%s", partition_names[part],
          static_cast<unsigned long long>(offset), count, err ? " " : "", err ? errno_name(err) : "");
    errno = err ? err : errno;
    return got;
}

ssize_t mtd_pwrite(int part, int fd, const void* buf, size_t count, off64_t offset)
{
    unsigned n = ++write_ops;
    unsigned op = ++change_ops;
    if (conf.power_cut_at == op)
        power_cut("write", part, offset, op);
    if (conf.fail_write_at == n) {
        trace("mtd fail write %s #%u EIO", partition_names[part], n);
        return fail(EIO);
    }
    off64_t size = partition_size(fd);
    int err = 0;
    size_t todo = count;
    if (!writable(fd))
        err = EBADF;
    else if (offset < 0)
        err = EINVAL;
    else if (offset >= size)
        err = ENOSPC;
    else {
        if (static_cast<off64_t>(todo) > size - offset)
            todo = static_cast<size_t>(size - offset);
        if (!program_bits(part, offset, static_cast<const std::uint8_t*>(buf), todo))
            err = EIO;
    }
    trace("mtd write %s off=0x%08llx len=%zu%s%s", partition_names[part],
          static_cast<unsigned long long>(offset), count, err ? " " : "", err ? errno_name(err) : "");
    return err ? fail(err) : static_cast<ssize_t>(todo);
}

// Plain read and write work at the descriptor's file position, as on the
// character device.
ssize_t mtd_read(int part, int fd, void* buf, size_t count)
{
    off64_t pos = lseek64(fd, 0, SEEK_CUR);
    if (pos < 0)
        return -1;
    ssize_t got = mtd_pread(part, fd, buf, count, pos);
    if (got > 0)
        lseek64(fd, pos + got, SEEK_SET);
    return got;
}

ssize_t mtd_write(int part, int fd, const void* buf, size_t count)
{
    off64_t pos = lseek64(fd, 0, SEEK_CUR);
    if (pos < 0)
        return -1;
    ssize_t put = mtd_pwrite(part, fd, buf, count, pos);
    if (put > 0)
        lseek64(fd, pos + put, SEEK_SET);
    return put;
}

int mtd_ioctl(int part, int fd, unsigned long request, void* arg)
{
    switch (request) {
    case MEMGETINFO:
        return get_info(part, fd, arg);
    case MEMERASE:
        return erase(part, fd, arg);
    case MEMGETREGIONCOUNT: {
        if (!arg)
            return fail(EFAULT);
        const int none = 0;
        memcpy(arg, &none, sizeof none);
        return 0;
    }
    default:
        trace("mtd ioctl %s 0x%lx ENOTTY", partition_names[part], request);
        return fail(ENOTTY);
    }
}

} // namespace boardsim
