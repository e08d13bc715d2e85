// VPD EEPROM access over the i2c-dev buses. The EEPROM sits on bus 1
// behind channel 0 of a multiplexer; every access selects the channel
// before it and deselects all channels after it, failed ones included.
#include "board/i2c.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "sys/command.h"

int i2c_file[3] = {-1, -1, -1};

namespace {

constexpr int NUM_BUSES = 3;
constexpr int VPD_BUS = 1;
constexpr int MUX_ADDRESS = 0x70;
constexpr int VPD_CHANNEL = 0;
constexpr int VPD_DEVICE = 0xA8; // 8-bit form of 0x54
constexpr int VPD_ADDRESS = 0x54;
// The EEPROM needs this long to finish its internal write cycle.
constexpr useconds_t VPD_WRITE_CYCLE_US = 100000;

// The descriptor of a bus; a bus number outside 0..2 or a closed entry
// gives -1, which every system call refuses without touching another file.
int bus_fd(int bus)
{
    if (bus < 0 || bus >= NUM_BUSES)
        return -1;
    return i2c_file[bus];
}

void close_bus(int bus)
{
    if (i2c_file[bus] >= 0)
        ::close(i2c_file[bus]);
    i2c_file[bus] = -1;
}

int write_mux(std::uint8_t mask)
{
    const int fd = bus_fd(VPD_BUS);
    ::ioctl(fd, I2C_SLAVE, MUX_ADDRESS);
    return static_cast<int>(::write(fd, &mask, 1));
}

std::uint8_t read_vpd_byte(std::uint16_t offset)
{
    std::uint8_t value = 0;
    get_vpd_offset(offset, 1, &value);
    return value;
}

} // namespace

int api_i2c_init()
{
    for (int bus = 0; bus < NUM_BUSES; ++bus) {
        close_bus(bus);
        const std::string path = strprintf("/dev/i2c-%d", bus);
        i2c_file[bus] = ::open(path.c_str(), O_RDWR);
        if (i2c_file[bus] < 0) {
            i2c_file[bus] = -1;
            std::printf("ERROR: driver %s couldn't be opened\n", path.c_str());
            return -1;
        }
    }
    return 0;
}

int api_i2c_close()
{
    for (int bus = 0; bus < NUM_BUSES; ++bus)
        close_bus(bus);
    return 0;
}

int setup_mux(int channel)
{
    const auto mask = static_cast<std::uint8_t>(channel >= 0 && channel < 8 ? 1u << channel : 0u);
    return write_mux(mask);
}

int clear_mux()
{
    return write_mux(0);
}

int i2c_read(int bus, int device, std::uint16_t offset, int count, int addr_len, std::uint8_t* buffer)
{
    const std::uint8_t address[2] = {static_cast<std::uint8_t>(offset >> 8),
                                     static_cast<std::uint8_t>(offset)};
    const std::uint8_t* address_bytes = addr_len == 2 ? address : address + 1;
    const std::size_t address_len = addr_len == 2 ? 2 : 1;
    const int fd = bus_fd(bus);
    if (::ioctl(fd, I2C_SLAVE, device >> 1) < 0) {
        std::printf("I2C error when setting bus %d, device 0x%x: %d\n", bus, device, errno);
        return 0;
    }
    if (::write(fd, address_bytes, address_len) != static_cast<ssize_t>(address_len)) {
        std::printf("I2C error - device 0x%x writing bus %d offset %d: %d\n", device, bus, offset, errno);
        return 0;
    }
    if (count < 0 || ::read(fd, buffer, static_cast<std::size_t>(count)) != count) {
        std::printf("I2C error - device 0x%x @ %d, %d bytes : %d\n", device, offset, count, errno);
        return 0;
    }
    // A successful read gives the number of bytes read.
    return count;
}

int get_vpd_offset(std::uint16_t offset, int count, std::uint8_t* buffer)
{
    setup_mux(VPD_CHANNEL);
    const int result = i2c_read(VPD_BUS, VPD_DEVICE, offset, count, 2, buffer);
    clear_mux();
    return result;
}

int set_vpd_offset(std::uint16_t offset, std::uint8_t value)
{
    const std::uint8_t bytes[3] = {static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset),
                                   value};
    const int fd = bus_fd(VPD_BUS);
    setup_mux(VPD_CHANNEL);
    const int set = ::ioctl(fd, I2C_SLAVE, VPD_ADDRESS);
    if (set < 0) {
        std::printf("I2C error when setting bus %d: %d\n", VPD_BUS, errno);
        clear_mux();
        return set;
    }
    const auto written = static_cast<int>(::write(fd, bytes, sizeof bytes));
    const int write_errno = errno;
    ::usleep(VPD_WRITE_CYCLE_US);
    if (written != static_cast<int>(sizeof bytes))
        std::printf("I2C error when writing bus %d offset %d: %d\n", VPD_BUS, offset, write_errno);
    clear_mux();
    return written;
}

std::uint8_t api_get_image()
{
    return read_vpd_byte(VPD_IMAGE_SELECT);
}

int api_set_image(std::uint8_t slot)
{
    return set_vpd_offset(VPD_IMAGE_SELECT, slot);
}

int api_set_booted_image(std::uint8_t value)
{
    return set_vpd_offset(VPD_BOOTED_IMAGE, value);
}

std::uint8_t api_get_usbboot()
{
    return read_vpd_byte(VPD_USB_BOOT);
}

int api_eeprom_read(std::uint8_t* buffer, std::uint16_t offset, int count)
{
    return get_vpd_offset(offset, count, buffer);
}
