// VPD EEPROM access over the i2c-dev buses, behind the channel multiplexer
// on bus 1.
#pragma once

#include <cstdint>

// Descriptors of /dev/i2c-0..2; -1 while closed.
extern int i2c_file[3];

// EEPROM offsets of the boot-selection bytes.
constexpr std::uint16_t VPD_IMAGE_SELECT = 256;
constexpr std::uint16_t VPD_BOOTED_IMAGE = 314;
constexpr std::uint16_t VPD_USB_BOOT = 315;
constexpr std::uint8_t USB_BOOT_ENABLED = 213;

int api_i2c_init();
int api_i2c_close();
int setup_mux(int channel);
int clear_mux();
// 0 after a failure, the number of bytes read after a success.
int i2c_read(int bus, int device, std::uint16_t offset, int count, int addr_len, std::uint8_t* buffer);
int get_vpd_offset(std::uint16_t offset, int count, std::uint8_t* buffer);
int set_vpd_offset(std::uint16_t offset, std::uint8_t value);
std::uint8_t api_get_image();
int api_set_image(std::uint8_t slot);
int api_set_booted_image(std::uint8_t value);
std::uint8_t api_get_usbboot();
int api_eeprom_read(std::uint8_t* buffer, std::uint16_t offset, int count);
