// I2C buses: descriptors on /dev/i2c-0..2 behave like i2c-dev. I2C_SLAVE
// picks the 7-bit address of the following plain reads and writes.
//
// Bus 1 carries a channel multiplexer at 0x70 (one written byte is the
// channel mask, a read gives it back) and, behind its channel 0, a 24C-family
// EEPROM at 0x54 with 16-bit memory addresses, kept in the board's vpd.bin.
// Buses 0 and 2 are empty. A transfer to an address where nothing answers
// fails with ENXIO, the error i2c-dev passes on when the address phase gets
// no acknowledge.
//
// After a data write has been acknowledged the EEPROM programs its cells in
// an internal write cycle of a few milliseconds. `power_cut_eeprom_at` N
// cuts the power inside the cycle of the Nth data write of the power-on:
// the bytes of that write are left undefined, each taking a value drawn
// from `eeprom_cut_seed` and its address (any of 0..255, the old and the new
// value included).
#include "layer.h"
#include <errno.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace boardsim {

namespace {

constexpr int MUX_ADDR = 0x70;
constexpr int EEPROM_ADDR = 0x54;
constexpr size_t MAX_TRANSFER = 8192; // i2c-dev clips longer reads and writes
constexpr int MAX_FDS = 1024;

// Address chosen with I2C_SLAVE per descriptor, stored + 1 (0 = none yet,
// which addresses 0x00 as a fresh i2c-dev client does).
unsigned short slave_of_fd[MAX_FDS];
std::uint8_t mux_mask[I2C_BUSES];
std::uint32_t eeprom_pointer;
int vpd_fd = -1;
unsigned eeprom_writes; // data writes of this power-on, for power_cut_eeprom_at

int fail(int err)
{
    errno = err;
    return -1;
}

int slave(int fd)
{
    return fd >= 0 && fd < MAX_FDS && slave_of_fd[fd] ? slave_of_fd[fd] - 1 : 0;
}

bool eeprom_reachable(int bus)
{
    return bus == 1 && !conf.eeprom_absent && (mux_mask[1] & 1);
}

bool answers(int bus, int addr)
{
    if (bus == 1 && addr == MUX_ADDR)
        return true;
    return addr == EEPROM_ADDR && eeprom_reachable(bus);
}

// Opens vpd.bin, padding it with erased bytes up to the EEPROM's size.
int vpd_store()
{
    if (vpd_fd >= 0)
        return vpd_fd;
    const int fd = open_board_file("vpd.bin", O_RDWR | O_CREAT, 0644);
    if (fd < 0)
        return -1;
    struct stat64 st;
    if (fstat64(fd, &st) == 0 && st.st_size < static_cast<off64_t>(conf.eeprom_size)) {
        std::uint8_t ones[256];
        memset(ones, 0xFF, sizeof ones);
        for (off64_t at = st.st_size; at < static_cast<off64_t>(conf.eeprom_size);) {
            size_t piece = static_cast<size_t>(conf.eeprom_size - at) < sizeof ones
                               ? static_cast<size_t>(conf.eeprom_size - at)
                               : sizeof ones;
            if (real.pwrite64(fd, ones, piece, at) <= 0)
                break;
            at += static_cast<off64_t>(piece);
        }
    }
    vpd_fd = fd;
    return fd;
}

std::uint32_t eeprom_size()
{
    return conf.eeprom_size ? conf.eeprom_size : 1;
}

std::uint8_t eeprom_get(std::uint32_t addr)
{
    std::uint8_t value = 0xFF;
    int fd = vpd_store();
    if (fd >= 0 && real.pread64(fd, &value, 1, addr) != 1)
        value = 0xFF;
    return value;
}

void eeprom_put(std::uint32_t addr, std::uint8_t value)
{
    int fd = vpd_store();
    if (fd >= 0) {
        ssize_t ignored = real.pwrite64(fd, &value, 1, addr);
        (void)ignored;
    }
}

// The value a cell is left with when the power goes inside its write cycle.
std::uint8_t undefined_value(std::uint32_t addr)
{
    std::uint64_t x = (std::uint64_t{conf.eeprom_cut_seed} << 32) ^ addr;
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return static_cast<std::uint8_t>((x ^ (x >> 31)) >> 56);
}

// The power goes inside the write cycle of the page write just made: the
// `count` cells written from `first` (wrapping in its page) take undefined
// values.
[[noreturn]] void cut_in_write_cycle(std::uint32_t first, size_t count)
{
    std::uint32_t page = conf.eeprom_page ? conf.eeprom_page : eeprom_size();
    std::uint32_t base = first - first % page;
    std::uint8_t left[64];
    size_t shown = 0;
    for (size_t i = 0; i < count; ++i) {
        std::uint32_t addr = (base + (first - base + i) % page) % eeprom_size();
        std::uint8_t value = undefined_value(addr);
        eeprom_put(addr, value);
        if (shown < sizeof left)
            left[shown++] = value;
    }
    char bytes[256];
    format_bytes(bytes, sizeof bytes, left, shown);
    trace("power-cut inside eeprom write cycle 0x%04x (eeprom write #%u): left %s", first, eeprom_writes,
          bytes);
    cut_power();
}

// Two bytes set the address pointer; further bytes are a page write that
// wraps inside the page the pointer is in.
void eeprom_write(const std::uint8_t* data, size_t count)
{
    if (count < 2)
        return;
    eeprom_pointer = ((std::uint32_t{data[0]} << 8) | data[1]) % eeprom_size();
    std::uint32_t page = conf.eeprom_page ? conf.eeprom_page : eeprom_size();
    std::uint32_t base = eeprom_pointer - eeprom_pointer % page;
    std::uint32_t in_page = eeprom_pointer - base;
    for (size_t i = 2; i < count; ++i) {
        eeprom_put((base + in_page) % eeprom_size(), data[i]);
        in_page = (in_page + 1) % page;
    }
    if (count > 2)
        eeprom_pointer = (base + in_page) % eeprom_size();
}

// Sequential read from the pointer, rolling over at the end of the memory.
void eeprom_read(std::uint8_t* out, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        out[i] = eeprom_get(eeprom_pointer);
        eeprom_pointer = (eeprom_pointer + 1) % eeprom_size();
    }
}

void trace_transfer(int bus, const char* what, int addr, const std::uint8_t* data, size_t count)
{
    char bytes[256];
    format_bytes(bytes, sizeof bytes, data, count);
    trace("i2c %d %s 0x%02x %s mux=%02x", bus, what, addr, bytes, mux_mask[bus]);
}

} // namespace

void i2c_opened(int bus, int fd)
{
    if (fd >= 0 && fd < MAX_FDS)
        slave_of_fd[fd] = 0;
    trace("i2c open %d", bus);
}

void i2c_closed(int fd)
{
    if (fd >= 0 && fd < MAX_FDS)
        slave_of_fd[fd] = 0;
}

ssize_t i2c_write(int bus, int fd, const void* buf, size_t count)
{
    const std::uint8_t* data = static_cast<const std::uint8_t*>(buf);
    int addr = slave(fd);
    if (count > MAX_TRANSFER)
        count = MAX_TRANSFER;
    if (!answers(bus, addr)) {
        trace_transfer(bus, "nack write", addr, data, count);
        return fail(ENXIO);
    }
    if (addr == MUX_ADDR && count > 0)
        mux_mask[bus] = data[count - 1];
    else if (addr == EEPROM_ADDR)
        eeprom_write(data, count);
    trace_transfer(bus, "write", addr, data, count);
    if (addr == EEPROM_ADDR && count > 2 && ++eeprom_writes == conf.power_cut_eeprom_at)
        cut_in_write_cycle((std::uint32_t{data[0]} << 8 | data[1]) % eeprom_size(), count - 2);
    return static_cast<ssize_t>(count);
}

ssize_t i2c_read(int bus, int fd, void* buf, size_t count)
{
    std::uint8_t* out = static_cast<std::uint8_t*>(buf);
    int addr = slave(fd);
    if (count > MAX_TRANSFER)
        count = MAX_TRANSFER;
    if (!answers(bus, addr)) {
        trace("i2c %d nack read 0x%02x len=%zu mux=%02x", bus, addr, count, mux_mask[bus]);
        return fail(ENXIO);
    }
    if (addr == MUX_ADDR)
        memset(out, mux_mask[bus], count);
    else
        eeprom_read(out, count);
    trace_transfer(bus, "read", addr, out, count);
    return static_cast<ssize_t>(count);
}

int i2c_ioctl(int bus, int fd, unsigned long request, void* arg)
{
    unsigned long value = reinterpret_cast<unsigned long>(arg);
    switch (request) {
    case I2C_SLAVE:
    case I2C_SLAVE_FORCE:
        if (value > 0x7f) {
            trace("i2c %d slave 0x%lx EINVAL", bus, value);
            return fail(EINVAL);
        }
        if (fd >= 0 && fd < MAX_FDS)
            slave_of_fd[fd] = static_cast<unsigned short>(value + 1);
        trace("i2c %d slave 0x%02lx", bus, value);
        return 0;
    case I2C_FUNCS:
        if (!arg)
            return fail(EFAULT);
        *static_cast<unsigned long*>(arg) = I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL;
        return 0;
    case I2C_RETRIES:
    case I2C_TIMEOUT:
        return 0;
    default:
        trace("i2c %d ioctl 0x%lx ENOTTY", bus, request);
        return fail(ENOTTY);
    }
}

} // namespace boardsim
