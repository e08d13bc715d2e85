// Start-up: the interrupt flag, the choice of the image slot, the board
// reset, and the boot sequence that main() runs from start to end.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "board/flash.h"
#include "board/i2c.h"
#include "boot/launch.h"
#include "boot/usb_boot.h"
#include "net/mgmt.h"
#include "rescue/rescue.h"
#include "sys/command.h"

std::atomic<std::uint8_t> sig_quit_raised{0};
std::uint8_t usb_boot_enabled = 0;
std::uint8_t tried_alt_image = 0;

namespace {

constexpr const char* USB_BOOT_FILE = "KV4410NX_OS.img";

// No SA_RESTART: a console read or poll that the signal interrupts must
// come back at once so that the dialogue can look at the flag.
void install_sigint_handler()
{
    struct sigaction action {};
    action.sa_handler = sig_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
}

void mount_user_partition()
{
    run_command("/bin/mount -o sync -t jffs2 /dev/mtd-user /user");
    // One walk over the whole partition, so that the file system has
    // scanned everything before the image slots are read.
    run_command("/usr/bin/find /user > /dev/null");
}

void announce_boot(int image_number)
{
    std::printf("Booting image '%d'\n", image_number);
    std::fflush(stdout);
}

// Steps 8 and 9: the USB-boot byte enables USB boot only when the stick
// then becomes ready.
void check_usb_boot()
{
    usb_boot_enabled = api_get_usbboot() == USB_BOOT_ENABLED ? 1 : 0;
    if (usb_boot_enabled && usb_mount() < 0)
        usb_boot_enabled = 0;
}

// Step 10: 0 when nothing on the stick decided the image, else the slot
// that a replacement image was just installed into.
int usb_boot_image()
{
    if (!usb_boot_enabled)
        return 0;
    usb_update_boot();
    const int image_number = usb_which_image();
    if (image_number == IMAGE_USB) {
        std::printf("Booting image '%s' from USB stick.\n", USB_BOOT_FILE);
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

void sig_init()
{
    install_sigint_handler();
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
    sig_init();
    api_i2c_init();
    api_flash_init();
    parse_uboot_env();
    mount_user_partition();
    if (rescue_enable)
        run_rescue_mode();
    if (standalone_diags)
        run_standalone_diags();
    check_usb_boot();
    int image_number = usb_boot_image();
    if (image_number == 0)
        image_number = which_image();
    if (gdbserver_enable)
        mgmt_port_setup(1);
    announce_boot(image_number);
    extract_image(image_number);
    const int other = image_number == IMAGE_SLOT1 ? IMAGE_SLOT2 : IMAGE_SLOT1;
    announce_boot(other);
    tried_alt_image = 1;
    extract_image(other);
    board_reset();
}
