// Memory-backed MTD partitions (see fake_mtd.h).
#include "fake_mtd.h"

#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <vector>

#include "support.h"

namespace {

struct partition {
    int fd;
    std::uint32_t size;
};

std::vector<partition>& partitions()
{
    static std::vector<partition> all;
    return all;
}

std::uint32_t erase_size = 4096;
unsigned refused = 0;

const partition* partition_of(int fd)
{
    for (const partition& p : partitions())
        if (p.fd == fd)
            return &p;
    return nullptr;
}

// Fills [start, start + length) with 0xFF.
void fill_erased(int fd, std::uint64_t start, std::uint64_t length)
{
    static const std::vector<std::uint8_t> ones(64u << 10, 0xFF);
    while (length > 0) {
        const std::size_t n = length < ones.size() ? static_cast<std::size_t>(length) : ones.size();
        fuzz_check(pwrite(fd, ones.data(), n, static_cast<off_t>(start)) == static_cast<ssize_t>(n),
                   "fake flash erase");
        start += n;
        length -= n;
    }
}

int get_info(const partition& p, mtd_info_user* info)
{
    std::memset(info, 0, sizeof *info);
    info->type = MTD_NORFLASH;
    info->flags = MTD_CAP_NORFLASH;
    info->size = p.size;
    info->erasesize = erase_size;
    info->writesize = 1;
    return 0;
}

int erase(const partition& p, const erase_info_user* req)
{
    const std::uint64_t end = std::uint64_t{req->start} + req->length;
    if (erase_size == 0 || req->start % erase_size || req->length % erase_size || end > p.size) {
        ++refused;
        errno = EINVAL;
        return -1;
    }
    fill_erased(p.fd, req->start, req->length);
    return 0;
}

int answer(int fd, unsigned long request, void* arg)
{
    if (const partition* p = partition_of(fd)) {
        if (request == MEMGETINFO)
            return get_info(*p, static_cast<mtd_info_user*>(arg));
        if (request == MEMERASE)
            return erase(*p, static_cast<const erase_info_user*>(arg));
        errno = ENOTTY;
        return -1;
    }
    return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
}

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) __THROW
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return answer(fd, request, arg);
}

#if defined(__powerpc__) && !defined(__powerpc64__)
// 32-bit PowerPC programs built for 64-bit time call this name instead.
extern "C" int __ioctl_time64(int fd, unsigned long request, ...) __THROW __attribute__((alias("ioctl")));
#endif

namespace fake_mtd {

int add_partition(std::uint32_t size)
{
    const int fd = memfd_create("mtd", MFD_CLOEXEC);
    fuzz_check(fd >= 0 && ftruncate(fd, size) == 0, "fake flash partition");
    partitions().push_back({fd, size});
    return fd;
}

void set_erase_size(std::uint32_t size)
{
    erase_size = size;
}

void blank_all()
{
    for (const partition& p : partitions()) {
        // Dropping the pages costs next to nothing, where rewriting tens
        // of MiB with 0xFF would dominate every run.
        fuzz_check(ftruncate(p.fd, 0) == 0 && ftruncate(p.fd, p.size) == 0, "fake flash reset");
    }
}

unsigned refused_erases()
{
    return refused;
}

} // namespace fake_mtd
