// Board-side driver of the EEPROM layer: opens the buses as start-up does
// and runs the operations named on the command line in turn, printing each
// result.
//
//   probe_eeprom OP [OP ...]
//   OP: get-image | get-usbboot | which | set-image=N | set-booted=N |
//       read=OFFSET,COUNT | close
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "board/i2c.h"
#include "boot/start.h"

namespace {

int number(const char* text)
{
    return static_cast<int>(std::strtol(text, nullptr, 0));
}

void eeprom_read(const char* arg)
{
    const char* comma = std::strchr(arg, ',');
    const int count = comma ? number(comma + 1) : 1;
    std::vector<std::uint8_t> buffer(count > 0 ? static_cast<std::size_t>(count) : 0, 0);
    const int r = api_eeprom_read(buffer.data(), static_cast<std::uint16_t>(number(arg)), count);
    std::printf("api_eeprom_read=%d [", r);
    for (std::size_t i = 0; i < buffer.size(); ++i)
        std::printf(i ? " %02x" : "%02x", buffer[i]);
    std::printf("]\n");
}

bool run_op(const std::string& op)
{
    if (op == "get-image")
        std::printf("api_get_image=%d\n", api_get_image());
    else if (op == "get-usbboot")
        std::printf("api_get_usbboot=%d\n", api_get_usbboot());
    else if (op == "which")
        std::printf("which_image=%d\n", which_image());
    else if (op.rfind("set-image=", 0) == 0)
        std::printf("api_set_image=%d\n", api_set_image(static_cast<std::uint8_t>(number(op.c_str() + 10))));
    else if (op.rfind("set-booted=", 0) == 0)
        std::printf("api_set_booted_image=%d\n",
                    api_set_booted_image(static_cast<std::uint8_t>(number(op.c_str() + 11))));
    else if (op.rfind("read=", 0) == 0)
        eeprom_read(op.c_str() + 5);
    else if (op == "close")
        std::printf("api_i2c_close=%d\n", api_i2c_close());
    else
        return false;
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::printf("api_i2c_init=%d\n", api_i2c_init());
    for (int i = 1; i < argc; ++i) {
        if (!run_op(argv[i])) {
            std::fprintf(stderr, "probe_eeprom: unknown operation %s\n", argv[i]);
            return 2;
        }
    }
    std::fflush(stdout);
    return 0;
}
