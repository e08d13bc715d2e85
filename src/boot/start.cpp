// Start-up: the interrupt flag, the choice of the image slot, the board
// reset, and the boot sequence that main() runs from start to end.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "board/flash.h"
#include "board/i2c.h"
#include "boot/extract.h"
#include "boot/settings.h"
#include "boot/start.h"
#include "boot/usb_boot.h"
#include "net/mgmt.h"
#include "rescue/rescue.h"
#include "sys/command.h"
#include "sys/paths.h"

std::atomic<std::uint8_t> sig_quit_raised{0};
std::uint8_t usb_boot_enabled = 0;
std::uint8_t tried_alt_image = 0;

namespace {

void announce_boot(int image_number)
{
    std::printf("Booting image '%d'\n", image_number);
    std::fflush(stdout);
}

// The USB-boot byte enables USB boot, but only a stick that becomes ready
// in time can be booted from: without one the boot goes on from flash.
void decide_usb_boot()
{
    usb_boot_enabled = api_get_usbboot() == USB_BOOT_ENABLED ? 1 : 0;
    if (usb_boot_enabled && usb_mount() < 0)
        usb_boot_enabled = 0;
}

// What the stick decides: it may update the boot loader (and reset), replace
// slots, or hold a USB boot image to try first. 0 when nothing on it decided
// the image, else the slot that a replacement image was just installed into.
int image_from_usb_stick()
{
    if (!usb_boot_enabled)
        return 0;
    usb_update_boot();
    const int image_number = usb_which_image();
    if (image_number == IMAGE_USB) {
        std::printf("Booting image '%s' from USB stick.\n", std::strrchr(USB_BOOT_IMAGE, '/') + 1);
        std::fflush(stdout);
        extract_image(IMAGE_USB);
        std::printf("USB Boot failed. Trying flash images.\n");
        return 0;
    }
    // Only a slot number names an image to boot; anything else is nothing.
    return image_number == IMAGE_SLOT1 || image_number == IMAGE_SLOT2 ? image_number : 0;
}

} // namespace

void sig_handler(int)
{
    sig_quit_raised = 1;
}

// No SA_RESTART: a console read or poll that the signal interrupts must
// come back at once so that the dialogue can look at the flag.
void sig_init()
{
    struct sigaction action {};
    action.sa_handler = sig_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
}

int bring_up_board()
{
    sig_init();
    api_i2c_init();
    const int flash = api_flash_init();
    run_command(MOUNT_USER_PARTITION);
    // One walk over the whole partition, so that the file system has
    // scanned everything before the image slots are read.
    run_command("/usr/bin/find /user > /dev/null");
    return flash;
}

int other_slot(int slot)
{
    return slot == IMAGE_SLOT1 ? IMAGE_SLOT2 : IMAGE_SLOT1;
}

int which_image()
{
    const std::uint8_t selected = api_get_image();
    return selected == IMAGE_SLOT2 ? IMAGE_SLOT2 : IMAGE_SLOT1;
}

void board_reset()
{
    std::fflush(stdout);
    ::sleep(1);
    if (run_command("reboot") < 0)
        std::fprintf(stderr, "System reboot failed, please power-cycle.\n");
    std::exit(0);
}

void boot_sequence()
{
    bring_up_board();
    parse_uboot_env();
    if (rescue_enable)
        run_rescue_mode();
    if (standalone_diags)
        run_standalone_diags();
    decide_usb_boot();
    int image_number = image_from_usb_stick();
    if (image_number == 0)
        image_number = which_image();
    if (gdbserver_enable)
        mgmt_port_setup(1);
    announce_boot(image_number);
    extract_image(image_number);
    const int other = other_slot(image_number);
    announce_boot(other);
    tried_alt_image = 1;
    extract_image(other);
    board_reset();
}
