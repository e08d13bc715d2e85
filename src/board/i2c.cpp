// Temporary bodies: replaced by the module's real implementation.
#include "board/i2c.h"

int i2c_file[3] = {-1, -1, -1};
int api_i2c_init() { return -1; }
int api_i2c_close() { return 0; }
std::uint8_t api_get_image() { return 0; }
int api_set_image(std::uint8_t) { return -1; }
int api_set_booted_image(std::uint8_t) { return -1; }
std::uint8_t api_get_usbboot() { return 0; }
int api_eeprom_read(std::uint8_t*, std::uint16_t, int) { return 0; }
