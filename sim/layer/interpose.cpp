// The C library entry points the layer takes over. Each one sends board
// devices to their emulation and everything else to the C library.
#include "layer.h"
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <unistd.h>

using namespace boardsim;

extern "C" void __chk_fail(void) __attribute__((noreturn));

namespace {

__attribute__((constructor)) void start_layer()
{
    layer_init();
}

// The open mode is there only when the flags ask for a new file.
bool has_mode(int flags)
{
    return (flags & O_CREAT) || (flags & __O_TMPFILE) == __O_TMPFILE;
}

int opened(int fd, int flags)
{
    if (fd < 0)
        return fd;
    int saved = errno;
    device_ref dev = classify_fd(fd);
    if (dev.kind == DEV_MTD)
        mtd_opened(dev.index, flags);
    else if (dev.kind == DEV_I2C)
        i2c_opened(dev.index, fd);
    errno = saved;
    return fd;
}

ssize_t do_pread(int fd, void* buf, size_t count, off64_t offset)
{
    layer_init();
    device_ref dev = classify_fd(fd);
    if (dev.kind == DEV_MTD)
        return mtd_pread(dev.index, fd, buf, count, offset);
    if (dev.kind == DEV_OTHER && !stick_read_allowed(fd, offset, count))
        return -1;
    return real.pread64(fd, buf, count, offset);
}

ssize_t do_pwrite(int fd, const void* buf, size_t count, off64_t offset)
{
    layer_init();
    device_ref dev = classify_fd(fd);
    if (dev.kind == DEV_MTD)
        return mtd_pwrite(dev.index, fd, buf, count, offset);
    char path[512];
    if (dev.kind == DEV_OTHER && dev.regular && user_file(fd, path, sizeof path))
        return user_write(path, fd, buf, count, offset, true);
    return real.pwrite64(fd, buf, count, offset);
}

int do_ioctl(int (*next)(int, unsigned long, ...), int fd, unsigned long request, void* arg)
{
    layer_init();
    device_ref dev = classify_fd(fd);
    if (dev.kind == DEV_MTD)
        return mtd_ioctl(dev.index, fd, request, arg);
    if (dev.kind == DEV_I2C)
        return i2c_ioctl(dev.index, fd, request, arg);
    bool handled = false;
    int result = net_ioctl(fd, request, arg, &handled);
    if (handled)
        return result;
    return next(fd, request, arg);
}

} // namespace

extern "C" {

int open(const char* path, int flags, ...)
{
    layer_init();
    mode_t mode = 0;
    if (has_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    return opened(real.open(path, flags, mode), flags);
}

int open64(const char* path, int flags, ...)
{
    layer_init();
    mode_t mode = 0;
    if (has_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    return opened(real.open64(path, flags, mode), flags);
}

int openat(int dirfd, const char* path, int flags, ...)
{
    layer_init();
    mode_t mode = 0;
    if (has_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    return opened(real.openat(dirfd, path, flags, mode), flags);
}

int openat64(int dirfd, const char* path, int flags, ...)
{
    layer_init();
    mode_t mode = 0;
    if (has_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    return opened(real.openat64(dirfd, path, flags, mode), flags);
}

// Fortified forms (no mode argument).
int __open_2(const char* path, int flags)
{
    return open(path, flags);
}

int __open64_2(const char* path, int flags)
{
    return open64(path, flags);
}

int __openat_2(int dirfd, const char* path, int flags)
{
    return openat(dirfd, path, flags);
}

int __openat64_2(int dirfd, const char* path, int flags)
{
    return openat64(dirfd, path, flags);
}

ssize_t read(int fd, void* buf, size_t count)
{
    layer_init();
    device_ref dev = classify_fd(fd);
    if (dev.kind == DEV_MTD)
        return mtd_read(dev.index, fd, buf, count);
    if (dev.kind == DEV_I2C)
        return i2c_read(dev.index, fd, buf, count);
    if (!stick_read_allowed(fd, -1, count))
        return -1;
    return real.read(fd, buf, count);
}

ssize_t __read_chk(int fd, void* buf, size_t count, size_t buflen)
{
    if (count > buflen)
        __chk_fail();
    return read(fd, buf, count);
}

ssize_t write(int fd, const void* buf, size_t count)
{
    layer_init();
    device_ref dev = classify_fd(fd);
    if (dev.kind == DEV_MTD)
        return mtd_write(dev.index, fd, buf, count);
    if (dev.kind == DEV_I2C)
        return i2c_write(dev.index, fd, buf, count);
    char path[512];
    if (dev.regular && user_file(fd, path, sizeof path))
        return user_write(path, fd, buf, count, 0, false);
    return real.write(fd, buf, count);
}

ssize_t pread(int fd, void* buf, size_t count, off_t offset)
{
    return do_pread(fd, buf, count, offset);
}

ssize_t pread64(int fd, void* buf, size_t count, off64_t offset)
{
    return do_pread(fd, buf, count, offset);
}

ssize_t __pread_chk(int fd, void* buf, size_t count, off_t offset, size_t buflen)
{
    if (count > buflen)
        __chk_fail();
    return do_pread(fd, buf, count, offset);
}

ssize_t __pread64_chk(int fd, void* buf, size_t count, off64_t offset, size_t buflen)
{
    if (count > buflen)
        __chk_fail();
    return do_pread(fd, buf, count, offset);
}

ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset)
{
    return do_pwrite(fd, buf, count, offset);
}

ssize_t pwrite64(int fd, const void* buf, size_t count, off64_t offset)
{
    return do_pwrite(fd, buf, count, offset);
}

// The kernel's copy between files reads its input like a pread.
ssize_t sendfile(int out_fd, int in_fd, off_t* offset, size_t count)
{
    layer_init();
    if (!stick_read_allowed(in_fd, offset ? *offset : -1, count))
        return -1;
    return real.sendfile(out_fd, in_fd, offset, count);
}

ssize_t sendfile64(int out_fd, int in_fd, off64_t* offset, size_t count)
{
    layer_init();
    if (!stick_read_allowed(in_fd, offset ? *offset : -1, count))
        return -1;
    return real.sendfile64(out_fd, in_fd, offset, count);
}

int close(int fd)
{
    layer_init();
    i2c_closed(fd);
    user_closing(fd);
    return real.close(fd);
}

// Streams on user-partition files: the C library writes them with its own
// internal calls, which the interposed write() never sees.
size_t fwrite(const void* data, size_t size, size_t n, FILE* f)
{
    layer_init();
    return user_fwrite(data, size, n, f, real.fwrite);
}

int fflush(FILE* f)
{
    layer_init();
    user_flushing(f);
    return real.fflush(f);
}

int fclose(FILE* f)
{
    layer_init();
    if (f) {
        // The buffered data reaches the kernel before the close does.
        user_flushing(f);
        real.fflush(f);
        user_closing(fileno(f));
    }
    return real.fclose(f);
}

int fsync(int fd)
{
    layer_init();
    user_syncing(fd);
    return real.fsync(fd);
}

int fdatasync(int fd)
{
    layer_init();
    user_syncing(fd);
    return real.fdatasync(fd);
}

// Commands run without the layer; those that write the user partition are
// counted here so that a power cut can fall inside them.
int system(const char* command)
{
    layer_init();
    user_command_starting(command);
    return real.system(command);
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    layer_init();
    return do_ioctl(real.ioctl, fd, request, arg);
}

#if defined(__powerpc__) && !defined(__powerpc64__)
// 32-bit programs built with 64-bit time call this name instead.
int __ioctl_time64(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    layer_init();
    return do_ioctl(real.ioctl_time64 ? real.ioctl_time64 : real.ioctl, fd, request, arg);
}
#endif

} // extern "C"
